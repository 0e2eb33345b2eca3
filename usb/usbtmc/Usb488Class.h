// The USBTMC-USB488 interface class (class 0xFE, subclass 3, protocol 1; bulk-OUT, bulk-IN
// and interrupt-IN endpoints). The USB framework reaches it as an interface-class event
// observer (class requests, completions, start, stop, suspend) and as an interface class
// (description, configure); the engine reaches it through its physical interface, which
// calls the engine-side operations with the transport held. It owns the class requests,
// the bulk manager, the remote/local machine of the link and the GET_CAPABILITIES block.
//
// Lifecycle: constructed -> configured (I/O manager bound) -> started (header receive
// armed, notifications enabled) -> stopped -> unconfigured -> destroyed.
//
// No lock of its own: framework events run in passes of the interrupt service, engine
// calls under the transport hold, and the two never overlap.
#pragma once

#include <cstdint>

#include "engine/remotelocal/RemoteLocalStateMachine.h"
#include "usb/device/UsbInterfaceClass.h"

namespace Korvex {

class CByteBuffer;
class CPhysicalInterface;
class CUsb488BulkManager;
class CUsb488ClassRequests;
class CUsbInterfaceClassIoManager;

class CUsb488Class : public CUsbInterfaceClassEventObserver,
                     public CRemoteLocalStateMachineObserver,
                     public CUsbInterfaceClass {
public:
    static constexpr std::uint16_t kCapabilitiesSize = 24;

    // maximumTransfer: the controller's class value (0xFFFFFFFF: no limit). 0x543F0 when a
    // part cannot be made.
    CUsb488Class(std::uint32_t maximumTransfer, std::uint32_t* status);
    ~CUsb488Class() override;
    CUsb488Class(const CUsb488Class&) = delete;
    CUsb488Class& operator=(const CUsb488Class&) = delete;

    // ---- framework events (USB thread) ----
    // A class request and an IN completion first let the bulk manager take a header it held
    // behind a request that the engine has ended meanwhile.
    void OnClassRequest(const UsbSetupPacket& setup, std::uint32_t* status) override;
    // Bulk-OUT completions go to the bulk manager.
    void OnOutComplete(std::uint32_t kind, std::uint32_t code, std::uint32_t bytes,
                       std::uint32_t* status) override;
    // Bulk-IN to the bulk manager, control to the class requests' reply completion, the
    // interrupt-IN notification to the class requests.
    void OnInComplete(std::uint32_t kind, std::uint32_t code, std::uint32_t bytes,
                      std::uint32_t* status) override;
    // Start: header receive armed (once a clear of the bus's own has finished),
    // notifications enabled, remote enable released.
    void OnActivate(std::uint32_t value, std::uint32_t* status) override;
    // Stop: header receive cancelled, both bulk states and the class requests reset. When
    // the bus ends the host's session (a reset, a configuration or interface change) and
    // the host left a message unfinished or not yet processed, or a reply unread, the engine
    // clears the device as for INITIATE_CLEAR, so that nothing of it reaches the next session.
    void OnDeactivate(std::uint32_t* status) override;
    // Local.
    void OnSuspend(std::uint32_t* status) override;

    // ---- remote/local machine ----
    // Reports the state to the engine: 0, 1, 2, 3 -> 1, 2, 3, 4 (any other -> 2).
    void OnRemoteLocalStateChanged(std::uint32_t stateCode) override;

    // ---- interface class ----
    const UsbInterfaceDescription& GetInterfaceDescription() override { return m_description; }
    // Binds the bulk manager and the class requests to the I/O manager; capability byte 4
    // bit 2 from the controller's indicator report.
    void Configure(CUsbInterfaceClassIoManager* io, std::uint32_t* status) override;
    void Unconfigure(std::uint32_t* status) override;

    // ---- engine side (the physical interface) ----
    void EnableTrigger(std::uint32_t* status);
    void DisableTrigger(std::uint32_t* status);
    void EnableRemoteLocal(std::uint32_t* status);
    void DisableRemoteLocal(std::uint32_t* status);
    void RequestInputNotification(std::uint32_t* status);
    void ClearFinished(std::uint32_t* status);
    void RegisterInputBuffer(CByteBuffer* buffer, std::uint32_t* status);
    void PostReceiveBuffer(CByteBuffer* buffer, std::uint32_t* status);
    void CancelInput(std::uint32_t* count, std::uint8_t* end, std::uint32_t* status);
    void RegisterOutputBuffer(CByteBuffer* buffer, std::uint32_t* status);
    void SendResponse(CByteBuffer* buffer, std::uint8_t termCharFound, std::uint8_t eom,
                      std::uint32_t* status);
    void CancelResponse(std::uint32_t* count, std::uint32_t* status);
    bool InputActive() const;
    bool ResponseRequested() const;
    void LimitWindow(CByteBuffer* window, bool input);
    std::uint8_t TermCharEnabled() const;
    std::uint8_t TermChar() const;
    void SendStatusByte(std::uint8_t stb, std::uint32_t* status);
    void ServiceRequest(std::uint32_t* status);
    void ServiceRequestReleased(std::uint32_t* status);
    void ReturnToLocal(std::uint32_t* status);
    // Another interface's FETC? begins to wait for bus triggers (the ledger's observer).
    void OnFetchElsewhere();

    // ---- for its parts ----
    CPhysicalInterface* GetPhysicalInterface() const { return m_physicalInterface; }
    void SetPhysicalInterface(CPhysicalInterface* physicalInterface)
    {
        m_physicalInterface = physicalInterface;
    }
    CUsbInterfaceClassIoManager* GetIoManager() const { return m_io; }
    CUsb488ClassRequests* GetClassRequests() const { return m_requests; }
    CUsb488BulkManager* GetBulkManager() const { return m_bulk; }
    CRemoteLocalStateMachine* GetRemoteLocalMachine() const { return m_remoteLocal; }
    const std::uint8_t* GetCapabilities() const { return m_capabilities; }
    bool TriggerEnabled() const { return m_triggerEnabled != 0; }
    // Consumes a pending input notification (true when one was asked for).
    bool TakeInputNotification();
    // The host gave up on the message it was sending: the engine drops it as for a device
    // clear, and Bulk-OUT listens again once that clear has finished.
    void ClearAbandonedMessage();
    // The controller's indicator request, without the device manager's mutex.
    void PulseIndicator(std::uint16_t value, std::uint32_t* status);

private:
    void ReportClosedInterface(std::uint32_t* status);
    // In a pass of the interrupt service: the previous host left part of a message, a
    // message the device has not processed yet, or a reply it owes (the session says).
    bool LeftUnfinished() const;

    CPhysicalInterface* m_physicalInterface = nullptr;
    CUsbInterfaceClassIoManager* m_io = nullptr;
    CUsb488ClassRequests* m_requests = nullptr;
    CUsb488BulkManager* m_bulk = nullptr;
    CRemoteLocalStateMachine* m_remoteLocal = nullptr;
    UsbInterfaceDescription m_description;
    std::uint8_t* m_capabilities = nullptr;
    std::uint8_t m_triggerEnabled = 0;
    std::uint8_t m_remoteLocalEnabled = 0;
    std::uint8_t m_inputNotification = 0;
    std::uint8_t m_active = 0;
    // Clears the class asked of the engine itself, not yet finished: until then the header
    // receive stays unarmed (the host's writes wait) so that none of the next message
    // meets the clear.
    std::uint32_t m_ownClears = 0;
};

} // namespace Korvex
