#include "Host/peripherals/CKorvexPulsedProbe.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "Host/acquisition/CKorvexDSP.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/Error.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/peripherals/ProbeXml.h"

namespace Korvex {

namespace {

std::uint32_t ClampToU32(double v) {
    if (!(v > 0.0)) return 0;  // negative or NaN
    if (v >= static_cast<double>(std::numeric_limits<std::uint32_t>::max()))
        return std::numeric_limits<std::uint32_t>::max();
    return static_cast<std::uint32_t>(v);
}

}  // namespace

CKorvexPulsedProbe::CKorvexPulsedProbe(const CKorvexChannel& address, const DeviceIdentifier& id)
    : CKorvexPwMeasuringPeripheral(address), CKorvexRealPeripheral(id) {
    PwSetDefaults(info);
}

int CKorvexPulsedProbe::Initialise() {
    if (initialised) return 0;
    try {
        if (RouteTo(channel, GetIdentifierWord(), identifier.number) != 0) throw int(eNoData);
        if (ReadDeviceInfo(*this, channel) != 0) throw int(eNoData);
        if (mapWord < kDirectoryMapWord)
            ReadSingleRecords();
        else
            ReadDirectoryRecords();
    } catch (int) {
        return eNoData;
    }
    if (ProbeXmlStatus == 0) ApplyProbeXmlRecord(ProbeXmlRecordData(), info);
    initialised = 1;
    return 0;
}

void CKorvexPulsedProbe::ReadSingleRecords() {
    if (ReadIdentityStrings(*this, channel) != 0) throw int(eNoData);
    std::vector<std::uint8_t> data;
    if (ReadSelector(*this, channel, kSelectorPhysicalInformation, data) != 0 ||
        !ReadPwPhysicalInformationRecord(data.data(), data.size(), info, nullptr))
        throw int(eNoData);
    if (identifier.capability & 1) {
        if (ReadSelector(*this, channel, kSelectorHallRecord, data) != 0) throw int(eNoData);
        ReadHallRecord(data.data(), data.size());
    }
}

void CKorvexPulsedProbe::ReadDirectoryRecords() {
    std::vector<std::uint8_t> block;
    if (ReadDeviceBlock(block, channel, GetIdentifierWord(), identifier.number, 0,
                        kDirectoryBlockSize) != 0)
        throw int(eNoData);
    std::vector<DirectoryEntry> entries;
    if (!ReadProbeDirectory(block, directory, entries)) throw int(eNoData);
    auto at = [&](unsigned entry) { return block.data() + entries[entry].offset; };
    auto rest = [&](unsigned entry) { return block.size() - entries[entry].offset; };
    if (!Korvex::ReadIdentityStrings(at(0), rest(0), identity1, identity2)) throw int(eNoData);
    if (!ReadPwPhysicalInformationRecord(at(1), rest(1), info, nullptr)) throw int(eNoData);
    ReadHallRecord(at(2), rest(2));
}

void CKorvexPulsedProbe::ReadHallRecord(const std::uint8_t* record, std::size_t available) {
    if (!ReadHallSensorRecord(record, available, hall)) throw int(eNoData);
}

int CKorvexPulsedProbe::ReadDeviceMemory(std::vector<std::uint8_t>& bytes) {
    return ReadDeviceBlock(bytes, channel, GetIdentifierWord(), identifier.number, 0,
                           kDirectoryBlockSize);
}

int CKorvexPulsedProbe::WriteDeviceMemory(const std::vector<std::uint8_t>& bytes) {
    return WriteMemory(bytes, channel, GetIdentifierWord(), identifier.number, 512, 0);
}

void CKorvexPulsedProbe::SampleWindow(double offset, double shortDuration, double sampleLength,
                                      std::uint32_t& start, std::uint32_t& length) {
    start = ClampToU32(((offset + shortDuration) * 1000000.0) * 1.1);
    length = ClampToU32(((sampleLength + shortDuration) * 1000000.0) * 1.1);
}

int CKorvexPulsedProbe::Activate() {
    if (int r = RouteTo(channel, GetIdentifierWord(), identifier.number)) return r;
    if (int r = Initialise()) return r;
    if ((identifier.capability & 1) && (hall.flags & 2)) {
        if (int r = WriteHallSetupWord()) return r;
    }
    const double offset = CParameterNode::GetFloat64Attribute(g_pSampleOffset, eAttrValue);
    const double shortDuration =
        CParameterNode::GetFloat64Attribute(g_pAcquisitionShortDuration, eAttrValue);
    const bool automatic = CParameterNode::GetStringAttribute(g_pSampleMode, eAttrValue) == "AUTO";
    const double sampleLength =
        automatic ? KorvexGetProbeSampleLength(this, 0) : KorvexGetSettingsSampleLength();
    std::uint32_t start = 0, length = 0;
    SampleWindow(offset, shortDuration, sampleLength, start, length);
    return WriteWords(start, length);
}

int CKorvexPulsedProbe::WriteWords(std::uint32_t first, std::uint32_t second) {
    return WriteWordsToDevice(*this, channel, first, second);
}

bool CKorvexPulsedProbe::GetHallState() const {
    return (identifier.capability & 1) && (hall.flags & 2) && (hall.flags & 1);
}

int CKorvexPulsedProbe::ReadHallWords(std::uint16_t& w1, std::uint16_t& w2, std::uint16_t& w3,
                                      std::uint16_t& w4) {
    return ReadHallWordsFromDevice(w1, w2, w3, w4);
}

int CKorvexPulsedProbe::WriteHallSetupWord() {
    PeripheralMemoryBlock block;
    block.selector = kSelectorHallSetup;
    block.data = {static_cast<std::uint8_t>(hall.setupWord >> 8),
                  static_cast<std::uint8_t>(hall.setupWord)};
    std::uint32_t code = 0;
    const int r = PeripheralWriteMemory(RouteOf(channel), GetIdentifierWord(), identifier.number,
                                        block, code);
    return r == 0 && code == 0 ? 0 : eNoData;
}

int CKorvexPulsedProbe::ReadHallWordsFromDevice(std::uint16_t& w1, std::uint16_t& w2,
                                                std::uint16_t& w3, std::uint16_t& w4) {
    std::vector<std::uint8_t> data;
    std::uint16_t words[4];
    if (ReadSelector(*this, channel, kSelectorHallReading, data) != 0 ||
        !ReadHallReading(data.data(), data.size(), words))
        return eNoData;
    w1 = words[0];
    w2 = words[1];
    w3 = words[2];
    w4 = words[3];
    return 0;
}

int CKorvexPulsedProbe::GetHallValue(float& x, float& y, float& z, float& magnitude, float& scale) {
    x = y = z = magnitude = scale = 0.0f;
    if (!((hall.flags & 2) && (hall.flags & 1))) return eNoData;
    std::uint16_t w[4];
    if (ReadHallWordsFromDevice(w[0], w[1], w[2], w[3]) != 0) return eNoData;
    // The words and offsets are unsigned: the differences are taken in int, then in float.
    const float dT = static_cast<float>(int(w[3]) - int(hall.reference));
    float axis[3];
    for (unsigned i = 0; i < 3; ++i) {
        const float raw = static_cast<float>(int(w[i]) - int(hall.offset[i]));
        axis[i] = (raw - dT * hall.tempOffset[i]) * (hall.gain[i] + dT * hall.tempGain[i]);
    }
    const float sum = axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2];
    x = axis[0];
    y = axis[1];
    z = axis[2];
    magnitude = static_cast<float>(std::sqrt(static_cast<double>(sum)));
    scale = static_cast<float>(hall.hallByte / 100.0);
    return 0;
}

}  // namespace Korvex
