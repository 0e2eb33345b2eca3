// An interface class as the USB framework sees it: the description of its interface and
// endpoints (CUsbInterfaceClass), and the events the framework delivers to it
// (CUsbInterfaceClassEventObserver). Events arrive on the "USB Interrupt Handler" thread.
#pragma once

#include <cstdint>

#include "usb/core/UsbSetupPacket.h"

namespace Korvex {

class CUsbInterfaceClassIoManager;

// The interface description of a class: interface class, subclass, protocol, interface
// string, the kinds of its endpoints in order, and the interrupt-IN endpoint's properties.
struct UsbInterfaceDescription {
    static constexpr std::uint32_t kMaxEndpoints = 3;

    std::uint8_t interfaceClass;
    std::uint8_t subClass;
    std::uint8_t protocol;
    const char* interfaceString;  // null or empty: none
    std::uint32_t endpointCount;
    std::uint32_t endpointKinds[kMaxEndpoints];
    std::uint8_t highSpeedInterval;   // property 1
    std::uint8_t fullSpeedInterval;   // property 2
    std::uint16_t interruptMaxPacket; // property 3
};

class CUsbInterfaceClassEventObserver {
public:
    virtual ~CUsbInterfaceClassEventObserver() = default;
    // A class request addressed to the interface or one of its endpoints.
    virtual void OnClassRequest(const UsbSetupPacket& setup, std::uint32_t* status) = 0;
    // An OUT transfer of an endpoint of the class ended (kind 2, or 0 for a control OUT
    // data stage); code: the completion code (UsbEventObservers.h).
    virtual void OnOutComplete(std::uint32_t kind, std::uint32_t code, std::uint32_t bytes,
                               std::uint32_t* status) = 0;
    // An IN transfer ended (kind 1, 3, or 0 for a control IN data stage).
    virtual void OnInComplete(std::uint32_t kind, std::uint32_t code, std::uint32_t bytes,
                              std::uint32_t* status) = 0;
    // The host selected the class's configuration; value: the controller's activation value.
    virtual void OnActivate(std::uint32_t value, std::uint32_t* status) = 0;
    // The configuration was left (SET_CONFIGURATION, bus reset, stop).
    virtual void OnDeactivate(std::uint32_t* status) = 0;
    virtual void OnSuspend(std::uint32_t* status) = 0;
};

class CUsbInterfaceClass {
public:
    virtual ~CUsbInterfaceClass() = default;
    virtual const UsbInterfaceDescription& GetInterfaceDescription() = 0;
    // Bound to its I/O manager at registration; unbound at unregistration.
    virtual void Configure(CUsbInterfaceClassIoManager* ioManager, std::uint32_t* status) = 0;
    virtual void Unconfigure(std::uint32_t* status) = 0;
};

} // namespace Korvex
