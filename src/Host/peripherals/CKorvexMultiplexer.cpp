#include "Host/peripherals/CKorvexMultiplexer.h"

#include "Host/parameters/Error.h"

namespace Korvex {

CKorvexMultiplexer::CKorvexMultiplexer(const CKorvexChannel& address, const DeviceIdentifier& id,
                                       std::uint8_t channels)
    : CKorvexPeripheral(address), CKorvexRealPeripheral(id), channelCount(channels) {}

int CKorvexMultiplexer::Initialise() {
    if (initialised) return 0;
    if (ReadDeviceInfo(*this, channel) != 0 || ReadIdentityStrings(*this, channel) != 0)
        return eNoData;
    initialised = 1;
    return 0;
}

int CKorvexMultiplexer::ReadDeviceMemory(std::vector<std::uint8_t>& /*bytes*/) { return eNoData; }

int CKorvexMultiplexer::WriteDeviceMemory(const std::vector<std::uint8_t>& /*bytes*/) {
    return eNoData;
}

}  // namespace Korvex
