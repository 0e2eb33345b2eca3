// The I/O manager of one registered interface class: owns the class's endpoints (index by
// kind: 0 its shared default endpoint, 1 bulk IN, 2 bulk OUT, 3 interrupt IN), forwards the
// class's endpoint operations by kind, turns endpoint events into calls on the class's
// observer, and activates or deactivates the class.
//
// The class's operations that change USB state (starts, aborts, halts) run on engine threads
// between DisableAsynchronousEventDispatching and EnableAsynchronousEventDispatching of the
// device manager, or on the interrupt thread from inside an event.
#pragma once

#include <cstdint>

#include "engine/buffer/ByteBuffer.h"
#include "usb/core/UsbEndpoint.h"
#include "usb/core/UsbEventObservers.h"
#include "usb/device/UsbInterfaceClass.h"
#include "usb/device/UsbSharedDefaultEndpoint.h"

namespace Korvex {

class CUsbDeviceManager;

class CUsbInterfaceClassIoManager : public CUsbEndpointEventObserver {
public:
    static constexpr std::uint32_t kKinds = 4;

    CUsbInterfaceClassIoManager(CUsbDeviceManager* manager, std::uint8_t configuration,
                                std::uint8_t interfaceNumber, std::uint8_t alternate,
                                CUsbInterfaceClass* interfaceClass,
                                CUsbInterfaceClassEventObserver* observer);
    ~CUsbInterfaceClassIoManager() override;

    // ---- endpoint operations by kind (a kind the class does not have: 0x543FF) ----
    void StartReceive(std::uint32_t kind, CByteBuffer* chain, std::uint32_t* status);
    void ExpectTransferRest(std::uint32_t kind, std::uint32_t bytes, std::uint32_t padding,
                            std::uint32_t* status);
    void StartSend(std::uint32_t kind, CByteBuffer* chain, std::uint32_t* status);
    std::uint32_t Abort(std::uint32_t kind, std::uint32_t* status);
    bool IsTransferDone(std::uint32_t kind, std::uint32_t* status);
    void Flush(std::uint32_t kind, std::uint32_t* status);
    void FinishRequest(std::uint32_t kind, std::uint32_t* status);
    void Halt(std::uint32_t kind, std::uint32_t* status);
    void ClearHalt(std::uint32_t kind, std::uint32_t* status);
    CUsbEndpoint* GetEndpoint(std::uint32_t kind) const
    {
        return kind < kKinds ? m_endpoints[kind] : nullptr;
    }
    bool HasEndpointAddress(std::uint8_t address) const;

    void Activate(std::uint32_t value, std::uint32_t* status);
    void Deactivate(std::uint32_t* status);
    void OnSuspend(std::uint32_t* status);

    std::uint8_t GetConfiguration() const { return m_configuration; }
    std::uint8_t GetInterfaceNumber() const { return m_interfaceNumber; }
    std::uint8_t GetAlternateSetting() const { return m_alternate; }
    bool IsActive() const { return m_active != 0; }
    CUsbInterfaceClass* GetInterfaceClass() const { return m_class; }
    CUsbDeviceManager* GetDeviceManager() const { return m_manager; }

    // ---- endpoint events ----
    void OnSetup(const UsbSetupPacket& setup, std::uint32_t* status) override;
    void OnOutComplete(CUsbEndpoint* endpoint, std::uint32_t code, std::uint32_t bytes,
                       std::uint32_t* status) override;
    void OnInComplete(CUsbEndpoint* endpoint, std::uint32_t code, std::uint32_t bytes,
                      std::uint32_t* status) override;

    // For the device manager: the endpoints of the class are made / removed.
    void CreateEndpoints(std::uint32_t* status);
    void RemoveEndpoints();
    CUsbSharedDefaultEndpoint* GetSharedDefaultEndpoint() const { return m_shared; }
    // The dispatch-disable count taken by the registration and not yet given back.
    bool m_registrationHold = false;

private:
    CUsbEndpoint* Forward(std::uint32_t kind, std::uint32_t* status);

    CUsbDeviceManager* m_manager;
    std::uint8_t m_configuration;
    std::uint8_t m_interfaceNumber;
    std::uint8_t m_alternate;
    CUsbInterfaceClass* m_class;
    CUsbInterfaceClassEventObserver* m_observer;
    CUsbSharedDefaultEndpoint* m_shared = nullptr;
    CUsbEndpoint* m_endpoints[kKinds] = {};
    std::uint8_t m_active = 0;
};

} // namespace Korvex
