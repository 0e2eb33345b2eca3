#include "Host/peripherals/CKorvexPulsedCamera.h"

#include <algorithm>
#include <cstring>

#include "Host/parameters/Bindings.h"
#include "Host/parameters/Error.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/peripherals/PeripheralBus.h"

namespace Korvex {

namespace {

constexpr std::size_t kHeaderChecked = 29;  // bytes 0-28 XOR to 0
constexpr unsigned kEntries = 6;

[[noreturn]] void Fail() { throw int(eNoData); }

}  // namespace

CKorvexPulsedCamera::CKorvexPulsedCamera(const CKorvexChannel& address, const DeviceIdentifier& id)
    : CKorvexPwMeasuringPeripheral(address), CKorvexRealPeripheral(id) {}

int CKorvexPulsedCamera::Initialise() {
    if (initialised) return 0;
    try {
        if (ReadDeviceInfo(*this, channel) != 0) Fail();
        std::vector<std::uint8_t> data;
        if (ReadSelector(*this, channel, kSelectorPhysicalInformation, data) != 0 ||
            !ReadPulsedCameraRecord(data.data(), data.size(), record))
            Fail();
        std::vector<std::uint8_t> memory;
        if (ReadDeviceBlock(memory, channel, GetIdentifierWord(), identifier.number, 0,
                            kDirectoryBlockSize) != 0)
            Fail();
        ReadDirectory(memory);
        for (auto& r : set.records) {
            r->MinFreq = std::max(r->MinFreq, record.lowFreq);
            r->MaxFreq = std::min(r->MaxFreq, record.highFreq);
            r->MinIF = std::max(r->MinIF, record.lowIF);
            r->MaxIF = std::min(r->MaxIF, record.highIF);
            r->FreqMultiplier *= record.factor;
        }
        if (WriteHeadMap(*this, channel, headMap) != 0) Fail();
    } catch (int) {
        return eNoData;
    }
    initialised = 1;
    return 0;
}

void CKorvexPulsedCamera::ReadDirectory(const std::vector<std::uint8_t>& memory) {
    if (memory.size() < kHeaderChecked + 2 || BE16(memory.data()) != 1 ||
        !PeripheralFrameCheck(memory.data(), kHeaderChecked))
        Fail();
    ReadDirectoryHeader(memory.data(), directory);
    std::memcpy(identityBlock, &memory[16], sizeof identityBlock);
    directory.check = memory[28];
    identifier.presence = BE16(&memory[16]);
    identifier.typeCode = memory[18];
    identifier.word = BE16(&memory[19]);
    identifier.number = BE24(&memory[21]);
    identifier.capability = BE32(&memory[24]);

    std::vector<DirectoryEntry> entries;
    if (!ReadDirectoryEntries(memory, 29, entries) || entries.size() < kEntries) Fail();
    const std::uint8_t* const end = memory.data() + memory.size();
    auto at = [&](unsigned entry) { return memory.data() + entries[entry].offset; };

    if (!Korvex::ReadIdentityStrings(at(0), std::size_t(end - at(0)), identity1, identity2)) Fail();

    headMap.clear();
    const std::uint8_t* p = at(1);
    const std::size_t heads = *p++;
    if (std::size_t(end - p) < 2 * heads) Fail();
    for (std::size_t i = 0; i < heads; ++i, p += 2) headMap.push_back({p[0], p[1]});

    p = at(2);
    if (!ReadLengthPrefixedBytes(list1, p, end)) Fail();
    p = at(3);
    if (!ReadLengthPrefixedBytes(list2, p, end)) Fail();

    // Camera block: [version][3 doubles][L][text][double][Q][Q u16]
    p = at(4);
    if (end - p < 26 || p[0] != 1) Fail();
    block.version = p[0];
    for (unsigned i = 0; i < 3; ++i) block.values[i] = BEDouble(p + 1 + 8 * i);
    const std::size_t textLength = p[25];
    p += 26;
    if (std::size_t(end - p) < textLength + 9) Fail();
    block.text.assign(reinterpret_cast<const char*>(p), textLength);
    p += textLength;
    block.value4 = BEDouble(p);
    const std::size_t words = p[8];
    p += 9;
    if (std::size_t(end - p) < 2 * words) Fail();
    block.words.clear();
    for (std::size_t i = 0; i < words; ++i, p += 2) block.words.push_back(BE16(p));

    set.records.clear();
    p = at(5);
    const std::size_t records = *p++;
    for (std::size_t i = 0; i < records; ++i) {
        auto info = std::make_unique<PwPhysicalInformation>();
        PwSetDefaults(*info);
        const std::uint8_t* next = nullptr;
        if (!ReadPwPhysicalInformationRecord(p, std::size_t(end - p), *info, &next)) Fail();
        set.records.push_back(std::move(info));
        p = next;
    }
}

std::uint8_t CKorvexPulsedCamera::GetSubChannelCount() const {
    return static_cast<std::uint8_t>(headMap.size());
}

int CKorvexPulsedCamera::ReadDeviceMemory(std::vector<std::uint8_t>& bytes) {
    return ReadDeviceBlock(bytes, channel, GetIdentifierWord(), identifier.number, 0,
                           kDirectoryBlockSize);
}

int CKorvexPulsedCamera::WriteDeviceMemory(const std::vector<std::uint8_t>& bytes) {
    return WriteMemory(bytes, channel, GetIdentifierWord(), identifier.number, 512, 0);
}

int CKorvexPulsedCamera::Activate() {
    return RouteTo(channel, GetIdentifierWord(), identifier.number);
}

double CKorvexPulsedCamera::GetMinFreq() const {
    if (set.records.empty()) return 0.0;
    double v = set.records.front()->MinFreq;
    for (const auto& r : set.records) v = std::max(v, r->MinFreq);
    return v;
}

double CKorvexPulsedCamera::GetMaxFreq() const {
    if (set.records.empty()) return 0.0;
    double v = set.records.front()->MaxFreq;
    for (const auto& r : set.records) v = std::min(v, r->MaxFreq);
    return v;
}

double CKorvexPulsedCamera::GetGyroRatio() const {
    if (set.records.empty()) return 1.1;
    const double first = set.records.front()->GyroRatio;
    for (const auto& r : set.records)
        if (r->GyroRatio != first)
            return CParameterNode::GetFloat64Attribute(g_pNominalPGyroRatio, eAttrValue);
    return first;
}

int CKorvexPulsedCamera::ReadHallWords(std::uint16_t&, std::uint16_t&, std::uint16_t&, std::uint16_t&) {
    return eNoData;
}

int CKorvexPulsedCamera::GetHallValue(float& x, float& y, float& z, float& magnitude, float& scale) {
    x = y = z = magnitude = scale = 0.0f;
    return eNoData;
}

const PwPhysicalInformation* CKorvexPulsedCamera::GetPhysicalInformation() const {
    return set.records.empty() ? &PwDefaultPhysicalInformation() : set.records.front().get();
}

int CKorvexPulsedCamera::WriteWords(std::uint32_t first, std::uint32_t second) {
    return WriteWordsToDevice(*this, channel, first, second);
}

const PwPhysicalInformation* CKorvexPulsedCamera::HeadRecord(unsigned head) const {
    if (head == 0 || head > headMap.size()) return nullptr;
    const unsigned index = headMap[head - 1][1];
    return index < set.records.size() ? set.records[index].get() : nullptr;
}

int CKorvexPulsedCamera::WriteHeadMap(CKorvexRealPeripheral& device, const CKorvexChannel& address,
                                      const std::vector<HeadMapEntry>& map) {
    if (map.empty()) return eGeneralFailure;
    PeripheralMemoryBlock data;
    data.selector = kSelectorHeadMap;
    data.data.push_back(static_cast<std::uint8_t>(map.size()));
    for (const HeadMapEntry& e : map) data.data.insert(data.data.end(), e.begin(), e.end());
    std::uint32_t code = 0;
    const int r = PeripheralWriteMemory(RouteOf(address), static_cast<std::uint16_t>(device.identifier.word),
                                        device.identifier.number, data, code);
    return r == 0 && code == 0 ? 0 : eWriteFailed;
}

}  // namespace Korvex
