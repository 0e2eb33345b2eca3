// The 8-byte SETUP packet of a control transfer, fields in host order.
#pragma once

#include <cstdint>

namespace Korvex {

struct UsbSetupPacket {
    std::uint8_t bmRequestType;
    std::uint8_t bRequest;
    std::uint16_t wValue;
    std::uint16_t wIndex;
    std::uint16_t wLength;

    // From the wire bytes (16-bit fields low byte first).
    static UsbSetupPacket FromBytes(const std::uint8_t bytes[8])
    {
        return UsbSetupPacket{bytes[0], bytes[1],
                              static_cast<std::uint16_t>(bytes[2] | (bytes[3] << 8)),
                              static_cast<std::uint16_t>(bytes[4] | (bytes[5] << 8)),
                              static_cast<std::uint16_t>(bytes[6] | (bytes[7] << 8))};
    }
};

} // namespace Korvex
