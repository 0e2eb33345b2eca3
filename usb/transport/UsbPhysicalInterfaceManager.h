// The engine's factory of USB physical interfaces (server kind 2). The first interface
// makes the device stack (the USB device object with its "USB Interrupt Handler" thread,
// the S3C2410 controller, the USB device manager); each interface is a USBTMC-USB488 class
// bound to a CUsbPhysicalInterface; the last one to go takes the stack down again.
//
// It is also the exception observer of the controller: errors of the interrupt service
// arrive after the pass and reach every interface as device event 49 (statuses
// 0x54300-0x54305) or 53 (any other). Device-wide events are delivered without the
// manager mutex (an interface that closes may need the stack), under a lifetime mutex
// that DestroyInterface also takes, so the interfaces collected stay alive meanwhile.
// A Close made inside the pass is finished there too.
//
// Lock order: the lifetime mutex before the manager mutex.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/containers/LinkedList.h"
#include "engine/os/OSMutex.h"
#include "engine/os/OSUsbDevice.h"
#include "engine/session/PhysicalInterfaceFactory.h"
#include "usb/core/UsbEventObservers.h"

namespace Korvex {

class CS3C2410Controller;
class CUsbDeviceManager;
class CUsbPhysicalInterface;

class CUsbPhysicalInterfaceManager : public CPhysicalInterfaceFactory,
                                     public CUsbExceptionEventObserver,
                                     public COSUsbDeviceManager {
public:
    static constexpr std::uint32_t kDeviceGone = 48;
    static constexpr std::uint32_t kTransferFailed = 49;
    static constexpr std::uint32_t kManagerDestroyed = 52;
    static constexpr std::uint32_t kOtherFailure = 53;

    // 0x543FF when the device-object maker failed, 0x543F0 when a mutex cannot be made.
    explicit CUsbPhysicalInterfaceManager(std::uint32_t* status);
    // Event 52 to every interface left, then they and the stack are destroyed.
    ~CUsbPhysicalInterfaceManager() override;
    CUsbPhysicalInterfaceManager(const CUsbPhysicalInterfaceManager&) = delete;
    CUsbPhysicalInterfaceManager& operator=(const CUsbPhysicalInterfaceManager&) = delete;

    // Checks in order: server kind 2 (else 0x543FF), device index 0 (else 0x54300), API
    // version >> 8 = 0x10400 (else 0x54364). 0x543F0 out of memory; the manager is left
    // as it was on any failure.
    CPhysicalInterface* CreateInterface(const ZoOpenDescriptor* descriptor,
                                        std::uint32_t interfaceArgument,
                                        std::uint32_t* status) override;
    // 0x543FF when the interface is not one of this manager's.
    void DestroyInterface(CPhysicalInterface* physicalInterface, std::uint32_t* status) override;

    void OnUsbException(COSUsbDevice* device, std::uint32_t status) override;
    // The USB device has gone: every interface is closed, told (event 48) and destroyed,
    // then the stack.
    virtual void OnUsbDeviceEvent(COSUsbDevice* device);

    std::uint32_t Count();
    // The stack of the device entry (null while none is made).
    CUsbDeviceManager* GetDeviceManager();
    COSUsbDevice* GetDevice();
    // The device event an interrupt-service error becomes: 49 for 0x54300-0x54305, else 53.
    static std::uint32_t EventForException(std::uint32_t status);

private:
    // With the manager mutex held.
    void MakeStack(std::uint32_t* status);
    void DestroyStack();
    // The interfaces made (manager mutex held).
    std::vector<CUsbPhysicalInterface*> CollectLocked() const;
    // Takes the interface off the list and destroys it with its class (manager mutex held).
    bool Forget(CUsbPhysicalInterface* physicalInterface);
    static void Free(CUsbPhysicalInterface* physicalInterface);

    COSMutex m_mutex;
    COSMutex m_lifetimeMutex;
    COSUsbDevice* m_device = nullptr;
    CS3C2410Controller* m_controller = nullptr;
    CUsbDeviceManager* m_deviceManager = nullptr;
    CLinkedList<CUsbPhysicalInterface*> m_interfaces;
    std::uint32_t m_count = 0;
};

} // namespace Korvex
