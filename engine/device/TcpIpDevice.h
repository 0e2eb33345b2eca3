// An IEEE 488.2 device served over VXI-11 (server kind 1).
#pragma once

#include <cstdint>

#include "engine/device/4882Device.h"

namespace Korvex {

// The device-name settings handed to the VXI-11 transport (24 bytes).
struct Vxi11DeviceNameSettings {
    std::uint32_t size;      // 24
    std::uint8_t complete;   // 1 when version is 1
    char name[16];
    std::uint8_t version;    // 1
    std::uint8_t nameSet;
    std::uint8_t reserved;
};
static_assert(sizeof(Vxi11DeviceNameSettings) == 24, "device-name settings are 24 bytes");

class CTcpIpDevice : public virtual C4882Device {
public:
    CTcpIpDevice() = default;
    ~CTcpIpDevice() override = default;

    // name: null, or 1..15 characters (else 0x54312).
    ZODEVICE_STATUS Open(std::uint32_t interfaceArgument, const char* name, bool useEventThread);
};

} // namespace Korvex
