// An IEEE 488.2 device served over USBTMC-USB488 (server kind 2).
#pragma once

#include <cstdint>

#include "engine/device/4882Device.h"

namespace Korvex {

class CUsbDevice : public virtual C4882Device {
public:
    CUsbDevice() = default;
    ~CUsbDevice() override = default;

    // manufacturer, product, serialNumber: 1..63 printable characters (32..126, none of
    // * " : / \ ?), no blank at either end; string3/string4 the same up to 126, or null.
    // Any breach: 0x54312.
    ZODEVICE_STATUS Open(std::uint16_t idVendor, std::uint16_t idProduct,
                         std::uint16_t bcdDevice, const char* manufacturer, const char* product,
                         const char* serialNumber, const char* string3, const char* string4,
                         std::uint32_t maxPower, std::uint32_t flag0,
                         std::uint32_t interfaceArgument, bool useEventThread);

    // The string rule above with a length limit.
    static bool ValidString(const char* text, std::uint32_t maxLength);
};

} // namespace Korvex
