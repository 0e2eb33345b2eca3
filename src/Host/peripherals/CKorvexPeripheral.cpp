#include "Host/peripherals/CKorvexPeripheral.h"

#include <algorithm>

#include "Host/parameters/Error.h"
#include "Host/peripherals/PeripheralBus.h"
#include "Host/peripherals/PeripheralRecords.h"

namespace Korvex {

CKorvexPeripheral::CKorvexPeripheral(const CKorvexChannel& address) : channel(address) {}

CKorvexChannel CKorvexPeripheral::GetChannel() const {
    CKorvexChannel copy;
    copy.count = std::min<std::uint8_t>(channel.count, CKorvexChannel::MaxLevels);
    std::copy(channel.level, channel.level + copy.count, copy.level);
    return copy;
}

int CKorvexPeripheral::IsNotPulsed(std::uint32_t /*argument*/) const {
    const auto* pw = dynamic_cast<const CKorvexPwMeasuringPeripheral*>(this);
    return pw == nullptr || pw->LacksPhysicalInformation() ? 1 : 0;
}

const PwPhysicalInformation& CKorvexPeripheral::GetPwPhysicalInformation() const {
    const auto* pw = dynamic_cast<const CKorvexPwMeasuringPeripheral*>(this);
    const PwPhysicalInformation* info = pw ? pw->GetPhysicalInformation() : nullptr;
    return info ? *info : PwDefaultPhysicalInformation();
}

int CKorvexPeripheral::WriteMemory(const std::vector<std::uint8_t>& bytes,
                                   const CKorvexChannel& address, std::uint16_t word,
                                   std::uint32_t number, std::uint16_t chunk, std::uint16_t start) {
    if (bytes.empty()) return 0;
    // Addresses are 16 bits: bytes past the top would wrap onto the device's first bytes.
    if (chunk == 0 || start + bytes.size() > 0x10000) return eNoData;
    const CKorvexChannel route = RouteOf(address);
    std::size_t position = 0;
    std::uint32_t at = start;
    while (position < bytes.size()) {
        const std::size_t n = std::min<std::size_t>(chunk, bytes.size() - position);
        PeripheralMemoryBlock block;
        block.selector = kSelectorBlock;
        block.data.resize(4 + n);
        block.data[0] = static_cast<std::uint8_t>(at >> 8);
        block.data[1] = static_cast<std::uint8_t>(at);
        block.data[2] = static_cast<std::uint8_t>(n >> 8);
        block.data[3] = static_cast<std::uint8_t>(n);
        std::copy(bytes.begin() + position, bytes.begin() + position + n, block.data.begin() + 4);
        std::uint32_t code = 0;
        SetPeripheralTolerantPolling(1);
        const int r = PeripheralWriteMemory(route, word, number, block, code);
        SetPeripheralTolerantPolling(0);
        if (r != 0 || code != 0) return eNoData;
        at += static_cast<std::uint32_t>(n);
        position += n;
    }
    return 0;
}

int CKorvexPeripheral::ReadSelector(const CKorvexRealPeripheral& device,
                                    const CKorvexChannel& address, std::uint8_t selector,
                                    std::vector<std::uint8_t>& data) {
    PeripheralMemoryBlock block;
    block.selector = selector;
    std::uint32_t code = 0;
    const int r = PeripheralReadMemory(RouteOf(address), static_cast<std::uint16_t>(device.identifier.word),
                                       device.identifier.number, block, code);
    if (r != 0 || code != 0) return eNoData;
    data = std::move(block.data);
    return 0;
}

int CKorvexPeripheral::ReadDeviceInfo(CKorvexRealPeripheral& device, const CKorvexChannel& address) {
    std::vector<std::uint8_t> data;
    if (ReadSelector(device, address, kSelectorMapWord, data) != 0 || data.size() < 2) return eNoData;
    device.mapWord = BE16(data.data());
    return 0;
}

int CKorvexPeripheral::ReadIdentityStrings(CKorvexRealPeripheral& device,
                                           const CKorvexChannel& address) {
    std::vector<std::uint8_t> data;
    if (ReadSelector(device, address, kSelectorIdentity, data) != 0) return eNoData;
    if (!Korvex::ReadIdentityStrings(data.data(), data.size(), device.identity1, device.identity2))
        return eNoData;
    return 0;
}

int CKorvexPeripheral::WriteWordsToDevice(CKorvexRealPeripheral& device,
                                          const CKorvexChannel& address, std::uint32_t first,
                                          std::uint32_t second) {
    PeripheralMemoryBlock block;
    block.selector = kSelectorWords;
    for (std::uint32_t v : {first, second})
        for (int shift = 24; shift >= 0; shift -= 8) block.data.push_back(static_cast<std::uint8_t>(v >> shift));
    std::uint32_t code = 0;
    const int r = PeripheralWriteMemory(RouteOf(address), static_cast<std::uint16_t>(device.identifier.word),
                                        device.identifier.number, block, code);
    return r == 0 && code == 0 ? 0 : eWriteFailed;
}

int CKorvexPeripheral::RouteTo(const CKorvexChannel& address, std::uint16_t word,
                               std::uint32_t number) {
    try {
        if (int r = PeripheralRoute(CKorvexChannel{}, 0, 0)) return r;
        return PeripheralRoute(RouteOf(address), word, number);
    } catch (int e) {
        return e;
    }
}

CKorvexRealPeripheral::CKorvexRealPeripheral(const DeviceIdentifier& id) : identifier(id) {}

}  // namespace Korvex
