// The hardware-independent core of the USB device stack: the endpoints every interface class
// asked for, the endpoints of the current configuration (the active array, in service order
// bulk OUT, bulk IN, interrupt IN, control), configuration changes and the interrupt service.
// A concrete controller supplies the hardware operations (the pure virtual ones).
//
// Interrupts: in interrupt context AcknowledgeInterrupt asks IsInterruptOurs and masks the
// controller's interrupts (DisableInterrupts); the "USB Interrupt Handler" thread then runs
// ServiceInterrupts, one pass per wake.
//
// Exclusion between the service and engine threads:
//  - each pass holds the service lock; the disable count, the dispatching flag and the
//    started flag sit under a short lock that is never held while waiting;
//  - DisableDispatching on another thread counts up (0 -> 1 while started: dispatching off,
//    interrupts masked) and then waits until a running pass has ended, holding no other lock
//    of this stack; inside a pass it only counts up and turns dispatching off: no further
//    pass runs until the count is back at 0;
//  - EnableDispatching never waits: it counts down and at 0, while started, turns
//    dispatching on and unmasks the interrupts;
//  - after a pass, with the service lock released, the first error of the pass goes to the
//    exception observer.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/containers/LinkedList.h"
#include "engine/containers/SortedArray.h"
#include "engine/os/OSMutex.h"
#include "engine/os/OSUsbDevice.h"
#include "usb/core/UsbEndpoint.h"
#include "usb/core/UsbEventObservers.h"

namespace Korvex {

class CUsbController {
public:
    // activeCapacity: room of the active array (default endpoint included).
    CUsbController(COSUsbDevice* device, CUsbExceptionEventObserver* exceptionObserver,
                   std::uint32_t activeCapacity, std::uint32_t* status);
    virtual ~CUsbController();
    CUsbController(const CUsbController&) = delete;
    CUsbController& operator=(const CUsbController&) = delete;

    // ---- controller-specific operations ----
    // Called at device start: 1 self-powered, 2 bus-powered.
    virtual void SetPowerSource(std::uint32_t source);
    // A value the interface class asks for when it is activated (0).
    virtual std::uint32_t GetActivationValue();
    // The interface class's indicator request (not supported: 0x543FF).
    virtual void RequestIndicator(std::uint16_t argument, std::uint32_t* status);
    // A value handed to an interface class when it is built (-1).
    virtual std::int32_t GetClassValue();
    // 2 full speed, 3 high speed.
    virtual std::uint32_t GetControllerKind() = 0;
    virtual void SetAddress(std::uint16_t address, std::uint32_t* status) = 0;

    // ---- endpoints ----
    CUsbEndpoint* CreateControlEndpoint(CUsbEndpointEventObserver* observer,
                                        std::uint32_t* status);
    CUsbEndpoint* CreateEndpoint(std::uint8_t configuration, std::uint8_t interfaceNumber,
                                 std::uint8_t alternate, std::uint32_t kind,
                                 CUsbEndpointEventObserver* observer, std::uint32_t* status);
    // Takes the endpoint out of the active array and the list, then destroys it.
    void RemoveEndpoint(CUsbEndpoint* endpoint, std::uint32_t* status);

    std::uint16_t GetConfiguration() const { return m_configuration; }
    bool IsValidConfiguration(std::uint8_t value);
    // Some endpoint of an interface class has all three (the default endpoint has none).
    bool IsValidInterface(std::uint8_t configuration, std::uint8_t interfaceNumber,
                          std::uint8_t alternate);
    bool IsActiveInterface(std::uint8_t interfaceNumber);
    // 255 when no active endpoint has that interface.
    std::uint8_t GetAlternateSetting(std::uint8_t interfaceNumber);
    bool IsEndpointHalted(std::uint8_t address, std::uint32_t* status);
    void HaltEndpoint(std::uint8_t address, std::uint32_t* status);
    void ClearEndpointHalt(std::uint8_t address, std::uint32_t* status);
    // True when the endpoint is in the active array.
    bool IsActiveEndpoint(const CUsbEndpoint* endpoint);

    // ---- device states ----
    void Start(CUsbDeviceEventObserver* observer, std::uint32_t* status);
    void Stop(std::uint32_t* status);
    void SetConfiguration(std::uint16_t value, std::uint32_t* status);
    void SetInterface(std::uint8_t configuration, std::uint8_t interfaceNumber,
                      std::uint8_t alternate, std::uint32_t* status);
    bool IsStarted();

    // ---- dispatching ----
    void DisableDispatching(std::uint32_t* status);
    void EnableDispatching(std::uint32_t* status);
    bool IsDispatching();
    std::uint32_t GetDisableCount();
    // True on the interrupt thread while a pass runs.
    bool IsServicing() const;

    // In interrupt context: true (interrupts masked) when the interrupt is the controller's.
    bool AcknowledgeInterrupt();
    // One pass of the interrupt service (on the "USB Interrupt Handler" thread).
    void ServiceInterrupts();

    COSUsbDevice* GetDevice() const { return m_device; }

protected:
    virtual void ClearAllInterrupts(std::uint32_t* status) = 0;
    virtual void Attach(std::uint32_t* status) = 0;
    virtual void Detach(std::uint32_t* status) = 0;
    virtual void EnableInterrupts(std::uint32_t* status) = 0;
    virtual void DisableInterrupts(std::uint32_t* status) = 0;
    virtual bool IsInterruptOurs() = 0;
    virtual bool CheckSuspendResume(std::uint32_t* status) = 0;
    virtual bool CheckReset(std::uint32_t* status) = 0;
    virtual bool CheckExtraEvent(std::uint32_t* status) = 0;
    virtual void OnConfigurationSelected(std::uint32_t* status) = 0;
    virtual void OnConfigurationApplied(std::uint32_t* status) = 0;
    virtual void OnEndpointsReleased(std::uint32_t* status) = 0;
    virtual CUsbControllerEndpoint* MakeControlEndpoint(CUsbEndpointEventObserver* observer,
                                                        std::uint32_t* status) = 0;
    virtual CUsbControllerEndpoint* MakeBulkInEndpoint(std::uint8_t configuration,
                                                       std::uint8_t interfaceNumber,
                                                       std::uint8_t alternate,
                                                       CUsbEndpointEventObserver* observer,
                                                       std::uint32_t* status) = 0;
    virtual CUsbControllerEndpoint* MakeBulkOutEndpoint(std::uint8_t configuration,
                                                        std::uint8_t interfaceNumber,
                                                        std::uint8_t alternate,
                                                        CUsbEndpointEventObserver* observer,
                                                        std::uint32_t* status) = 0;
    virtual CUsbControllerEndpoint* MakeInterruptInEndpoint(std::uint8_t configuration,
                                                            std::uint8_t interfaceNumber,
                                                            std::uint8_t alternate,
                                                            CUsbEndpointEventObserver* observer,
                                                            std::uint32_t* status) = 0;
    virtual void DestroyEndpoint(CUsbControllerEndpoint* endpoint) = 0;
    // At the start of every pass that runs.
    virtual void BeginPass() {}

    // For the concrete controller's destructor, in this order: no pass can start any more,
    // then every endpoint still listed is destroyed.
    void ReleaseInterruptAttachment();
    void DestroyRemainingEndpoints();

private:
    class CResolver : public COSInterruptHandler {
    public:
        CResolver(CUsbController* controller, bool primary)
            : m_controller(controller), m_primary(primary)
        {
        }
        std::uint32_t HandleInterrupt(std::uint32_t vector) override;

    private:
        CUsbController* m_controller;
        bool m_primary;
    };

    struct CInterruptAttachment {
        CResolver primary;
        CResolver secondary;
        bool attached;
    };

    static std::uint32_t ServiceKey(std::uint32_t kind);
    CUsbControllerEndpoint* FindActive(std::uint8_t address);
    CUsbControllerEndpoint* FindDefault();
    bool InsertListed(CUsbControllerEndpoint* endpoint);
    void Deconfigure(std::uint32_t* status);

    COSUsbDevice* m_device;
    CUsbExceptionEventObserver* m_exceptionObserver;
    CLinkedList<CUsbControllerEndpoint*> m_endpoints;
    CSortedArray<CUsbControllerEndpoint*> m_active;
    CInterruptAttachment* m_attachment = nullptr;
    CUsbDeviceEventObserver* m_observer = nullptr;
    std::uint16_t m_configuration = 0;

    COSMutex m_serviceLock;
    COSMutex m_shortLock;  // guards the three below
    std::uint32_t m_disableCount = 0;
    bool m_dispatching = false;
    bool m_started = false;
    std::atomic<bool> m_inPass{false};
};

} // namespace Korvex
