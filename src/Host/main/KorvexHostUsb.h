// The host-interface object of the USBTMC-USB488 module: one engine device session of
// server kind 2 joined to the SCPI parser.
#pragma once

#include <cstdint>
#include <string>

#include "Host/main/KorvexEngineHost.h"
#include "engine/device/UsbDevice.h"

namespace Korvex {

class CKorvexHostUsb : public CUsbDevice, public CKorvexEngineHost {
public:
    static constexpr std::uint32_t MaxPower = 50;

    // Opens the session with the USB identity (model as the product string; no third or
    // fourth string), then the input queue, trigger and status-byte request events;
    // Opened() tells whether every step passed.
    CKorvexHostUsb(CKorvexHostParser* parser, std::uint16_t vendorId, std::uint16_t productId,
                   std::uint16_t versionBcd, const std::string& manufacturer,
                   const std::string& model, const std::string& serial);
    // Closes the session first, so no callback runs on a dying object.
    ~CKorvexHostUsb() override;
};

}  // namespace Korvex
