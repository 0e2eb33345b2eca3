// The observer interfaces of the USB core: errors of the interrupt service, device events of
// the controller, and endpoint events (SETUP and transfer completions).
//
// Transfer completion codes: 0 ended without a reason bit, 1 normal end, 2 ended with a short
// packet, 3 ended by a stall, deconfiguration or bus reset (aborted), 4 ended because the host
// started something else.
#pragma once

#include <cstdint>

#include "usb/core/UsbSetupPacket.h"

class COSUsbDevice;

namespace Korvex {

class CUsbEndpoint;

enum : std::uint32_t {
    kUsbCompletionNone = 0,
    kUsbCompletionNormal = 1,
    kUsbCompletionShort = 2,
    kUsbCompletionAborted = 3,
    kUsbCompletionOverridden = 4,
};

class CUsbExceptionEventObserver {
public:
    virtual ~CUsbExceptionEventObserver() = default;
    // The first error of an interrupt service pass, after the pass.
    virtual void OnUsbException(COSUsbDevice* device, std::uint32_t status) = 0;
};

class CUsbDeviceEventObserver {
public:
    virtual ~CUsbDeviceEventObserver() = default;
    virtual void OnConfigurationChanged(std::uint16_t value, std::uint32_t* status) = 0;
    virtual void OnInterfaceChanged(std::uint8_t configuration, std::uint8_t interfaceNumber,
                                    std::uint8_t alternate, std::uint32_t* status) = 0;
    virtual void OnDeconfigured(std::uint32_t* status) = 0;
    virtual void OnReset(std::uint32_t* status) = 0;
    virtual void OnSuspend(std::uint32_t* status) = 0;
};

class CUsbEndpointEventObserver {
public:
    virtual ~CUsbEndpointEventObserver() = default;
    virtual void OnSetup(const UsbSetupPacket& setup, std::uint32_t* status) = 0;
    // endpoint: the endpoint (or shared default endpoint) whose transfer ended.
    virtual void OnOutComplete(CUsbEndpoint* endpoint, std::uint32_t code, std::uint32_t bytes,
                               std::uint32_t* status) = 0;
    virtual void OnInComplete(CUsbEndpoint* endpoint, std::uint32_t code, std::uint32_t bytes,
                              std::uint32_t* status) = 0;
};

} // namespace Korvex
