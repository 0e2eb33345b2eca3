// The probe services of the settings code, the commands and the acquisition (see
// PeripheralServices.h), over the peripheral nodes of the topology.
#include "Host/peripherals/PeripheralServices.h"

#include <cstring>

#include "Host/parameters/Error.h"
#include "Host/peripherals/PeripheralLookup.h"
#include "Host/peripherals/TopologyLock.h"

namespace Korvex {

namespace {

constexpr std::uint16_t DirectWriteChunk = 512;

}  // namespace

std::string CKorvexPeripheral::GetName(const CKorvexPeripheral* peripheral)
{
    std::string name(CKorvexChannel::MaxLevels + 1, '\0');
    if (peripheral == nullptr) return name;
    const CKorvexChannel channel = peripheral->GetChannel();
    std::memcpy(&name[0], &channel, sizeof channel);
    return name + peripheral->GetIdentityText();
}

CKorvexPeripheral* CKorvexPeripheral::IsPresent(const std::string& channelPath)
{
    return PeripheralAt(channelPath);
}

CParameterNode* CKorvexPeripheral::FindNodeByAddress(const CKorvexChannel& channel)
{
    return PeripheralNodeAt(ChannelPath(channel));
}

std::uint32_t CKorvexPeripheral::GetCurrentProbePath(CKorvexChannel& channel)
{
    CRecursiveLock topology(TopologyLock());
    CKorvexPeripheral* current = nullptr;
    const int code = GetCurrentProbePath(current);
    if (code == eOk) channel = current->GetChannel();
    return static_cast<std::uint32_t>(code);
}

int CKorvexPeripheral::ReadMemory(const CKorvexChannel& address, std::vector<std::uint8_t>& bytes)
{
    CRecursiveLock topology(TopologyLock());
    CKorvexPeripheral* peripheral = PeripheralAt(ChannelPath(address));
    if (peripheral == nullptr) return eInvalidChannelList;
    return peripheral->ReadDeviceMemory(bytes);
}

int CKorvexPeripheral::WriteMemory(const CKorvexChannel& address,
                                   const std::vector<std::uint8_t>& bytes)
{
    CRecursiveLock topology(TopologyLock());
    CKorvexPeripheral* peripheral = PeripheralAt(ChannelPath(address));
    if (peripheral != nullptr) return peripheral->WriteDeviceMemory(bytes);
    // No object (memory without a usable record yet): straight to the device at that route,
    // identifier 0/0 ("the device at this route").
    return WriteMemory(bytes, address, 0, 0, DirectWriteChunk, 0);
}

double value_get_f64(const CKorvexPeripheral* peripheral)
{
    const auto* measuring = dynamic_cast<const CKorvexMeasuringPeripheral*>(peripheral);
    return measuring != nullptr ? measuring->storedValue : 0.0;
}

void value_set_f64(CKorvexPeripheral* peripheral, double value)
{
    auto* measuring = dynamic_cast<CKorvexMeasuringPeripheral*>(peripheral);
    if (measuring != nullptr) measuring->storedValue = value;
}

}  // namespace Korvex
