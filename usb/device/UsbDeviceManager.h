// The device side of the USB stack: owns the default endpoint, the standard-request manager
// and the descriptor set; keeps the registered interface classes (each behind an I/O
// manager); routes every SETUP; turns the controller's device events into activation and
// deactivation of the classes.
//
// Settings (UsbDeviceSettings): u16 items idVendor, idProduct, bcdDevice; byte 0
// bConfigurationValue, 1 bMaxPower (2 mA units), 2 bInterfaceNumber; flag 0 self-powered;
// strings 0 manufacturer, 1 product, 2 serial number, 3 configuration, 4 (when set) the
// interface string in place of the class's.
//
// Exclusion: the manager's mutex (class list, started flag, control owner) is only taken
// with dispatching disabled and never inside an interrupt-service pass; Start, Stop,
// RegisterInterfaceClass and UnregisterInterfaceClass disable dispatching themselves and are
// refused (0x543FF) inside a pass. The stack is never destroyed on the interrupt thread.
// Engine code that changes USB state brackets it with DisableAsynchronousEventDispatching /
// EnableAsynchronousEventDispatching: the disable waits out a running pass (inside a pass it
// only stops further passes until the matching enable); the enable never waits.
#pragma once

#include <cstdint>

#include "engine/buffer/ByteBuffer.h"
#include "engine/containers/LinkedList.h"
#include "engine/device/UsbDeviceSettings.h"
#include "engine/os/OSMutex.h"
#include "usb/core/UsbController.h"
#include "usb/core/UsbEventObservers.h"
#include "usb/device/UsbDescriptorSet.h"
#include "usb/device/UsbInterfaceClass.h"
#include "usb/device/UsbInterfaceClassIoManager.h"
#include "usb/device/UsbSharedDefaultEndpoint.h"
#include "usb/device/UsbStandardRequestManager.h"

namespace Korvex {

class CUsbDeviceManager : public CUsbDeviceEventObserver, public CUsbEndpointEventObserver {
public:
    CUsbDeviceManager(CUsbController* controller, std::uint32_t* status);
    ~CUsbDeviceManager() override;
    CUsbDeviceManager(const CUsbDeviceManager&) = delete;
    CUsbDeviceManager& operator=(const CUsbDeviceManager&) = delete;

    // Fills the descriptors from the settings and the registered classes and attaches the
    // device to the bus. Started already: 0x54311; power settings out of range: 0x54370;
    // interfaces not numbered from 0 in order: 0x543A1.
    void Start(const UsbDeviceSettings& settings, std::uint32_t* status);
    // Detaches; running transfers end with code 3; every class is deactivated.
    void Stop(std::uint32_t* status);
    bool IsStarted();

    // Makes the class's I/O manager and endpoints (configuration and interface number from
    // the settings, alternate setting 0) and binds the class (Configure). Counts one dispatch
    // disable that the class's next EnableAsynchronousEventDispatching gives back (else the
    // unregistration). Refused with 0x54311 once started.
    CUsbInterfaceClassIoManager* RegisterInterfaceClass(const UsbDeviceSettings& settings,
                                                        CUsbInterfaceClass* interfaceClass,
                                                        CUsbInterfaceClassEventObserver* observer,
                                                        std::uint32_t* status);
    // Stops a started device, removes the class's endpoints and destroys its I/O manager.
    void UnregisterInterfaceClass(CUsbInterfaceClassIoManager* ioManager, std::uint32_t* status);

    void DisableAsynchronousEventDispatching(std::uint32_t* status);
    // Checks first that the controller exists and that the caller is not inside the
    // interrupt service (a failed check raises SIGBUS and the call goes on).
    void EnableAsynchronousEventDispatching(std::uint32_t* status);

    // Records the owner of the control transfer and returns the real default endpoint.
    CUsbEndpoint* ClaimControl(CUsbSharedDefaultEndpoint* owner, std::uint32_t* status);
    void ReleaseControl(CUsbSharedDefaultEndpoint* owner);

    CUsbController* GetController() const { return m_controller; }
    CUsbEndpoint* GetDefaultEndpoint() const { return m_defaultEndpoint; }
    CUsbDescriptorSet* GetDescriptorSet() const { return m_descriptors; }
    CByteBuffer* GetReplyBuffer() const { return m_replyBuffer; }
    // The first active class with that interface / owning an endpoint with that address.
    CUsbInterfaceClassIoManager* FindByInterface(std::uint8_t interfaceNumber);
    CUsbInterfaceClassIoManager* FindByEndpoint(std::uint8_t address);

    // ---- device events (interrupt thread, or the caller of Stop) ----
    void OnConfigurationChanged(std::uint16_t value, std::uint32_t* status) override;
    void OnInterfaceChanged(std::uint8_t configuration, std::uint8_t interfaceNumber,
                            std::uint8_t alternate, std::uint32_t* status) override;
    void OnDeconfigured(std::uint32_t* status) override;
    void OnReset(std::uint32_t* status) override;
    void OnSuspend(std::uint32_t* status) override;

    // ---- default endpoint events ----
    void OnSetup(const UsbSetupPacket& setup, std::uint32_t* status) override;
    void OnOutComplete(CUsbEndpoint* endpoint, std::uint32_t code, std::uint32_t bytes,
                       std::uint32_t* status) override;
    void OnInComplete(CUsbEndpoint* endpoint, std::uint32_t code, std::uint32_t bytes,
                      std::uint32_t* status) override;

private:
    void BuildDescriptors(const UsbDeviceSettings& settings, std::uint32_t* status);
    void StopLocked(std::uint32_t* status);
    void CancelControl(std::uint32_t* status);
    void DeactivateAll(std::uint32_t* status);
    bool LockMutex(std::uint32_t* status);
    // Start, Stop, registration and unregistration from inside a pass: 0x543FF.
    bool RefusedInPass(std::uint32_t* status);

    CUsbController* m_controller;
    CUsbEndpoint* m_defaultEndpoint = nullptr;
    CUsbSharedDefaultEndpoint* m_controlOwner = nullptr;
    COSMutex m_mutex;
    CUsbDescriptorSet* m_descriptors = nullptr;
    CUsbStandardRequestManager* m_requests = nullptr;
    CByteBuffer* m_replyBuffer = nullptr;
    CLinkedList<CUsbInterfaceClassIoManager*> m_classes;
    std::uint8_t m_started = 0;
    // I/O managers whose registration still holds a dispatch disable.
    COSMutex m_holdLock;
    CLinkedList<CUsbInterfaceClassIoManager*> m_holders;
};

} // namespace Korvex
