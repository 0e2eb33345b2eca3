// The VXI-11 transport's physical interface: one per device offered over TCP/IP ("inst<n>"
// and an optional alias). The link procedures of every connection reach the device session
// through it (CVxi11LinkInterface, called by the registry under the link's mutex); the
// session drives it through the physical-interface operations.
//
// One procedure runs at a time (operation queue) and never together with the engine's work
// on the session (dispatcher gate: the engine holds it through HoldTransport). A procedure
// that waits for the engine (input or response buffer posted, status byte, clear done) waits
// on the event gate, outside the dispatcher gate. Which link owns the message in the
// exchange, what is owed to a departed link and which GETs are handed to the running
// procedure is the interface's ledger (CExchangeLedger): who may end whose operation.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/session/PhysicalInterface.h"
#include "engine/vxi11/Vxi11DeviceLock.h"
#include "engine/vxi11/Vxi11EventDispatcherGate.h"
#include "engine/vxi11/Vxi11EventGate.h"
#include "engine/vxi11/Vxi11LinkInterface.h"
#include "engine/vxi11/Vxi11OperationQueue.h"

class CVxi11PhysicalInterfaceManager;
class CVxi11OperationGuard;

class CVxi11PhysicalInterface : public Korvex::CPhysicalInterface, public CVxi11LinkInterface {
public:
    enum : std::uint8_t {
        kFlagTrigger = 1,
        kFlagRemoteLocal = 2,
        kFlagNotifyWrite = 4,
        kFlagStatusByte = 16,
    };
    enum : std::uint32_t { kNoOperation = 0, kWriting = 1, kReading = 2 };
    // Largest chunk of a device_write handed to the engine at once.
    static constexpr std::uint32_t kWriteChunk = 4096;
    // How long dropping a departed link's unfinished message waits for its turn, and for
    // the clear.
    static constexpr std::uint32_t kDropBoundMs = 2000;

    // number: the engine's interface number ("inst<number>").
    CVxi11PhysicalInterface(CVxi11PhysicalInterfaceManager* manager, std::uint32_t number,
                            std::uint32_t* status);
    ~CVxi11PhysicalInterface() override;

    std::uint32_t GetNumber() const { return GetArgument0(); }
    bool IsConstructed() const { return m_constructed != 0; }
    // Set and cleared by the manager only (under its mutex).
    void SetOpenMark(bool open) { m_open = open ? 1 : 0; }

    // ---- physical-interface operations ----
    std::uint8_t IsActive() override { return m_open.load(); }
    // settings: the device's name settings (Korvex::Vxi11DeviceNameSettings) or null.
    void Open(const void* settings, std::uint32_t* status) override;
    void Close(std::uint32_t* status) override;
    void ReleaseTransport(std::uint32_t* status) override;
    void HoldTransport(std::uint32_t* status) override;
    void EnableTrigger(std::uint32_t* status) override;
    void DisableTrigger(std::uint32_t* status) override;
    void EnableRemoteLocalReports(std::uint32_t* status) override;
    void DisableRemoteLocalReports(std::uint32_t* status) override;
    void RequestInputNotification(std::uint32_t* status) override;
    void ClearFinished(std::uint32_t* status) override;
    void TransportOperation(std::uint32_t* status) override;
    void StartReceive(Korvex::CMessageDescriptor* descriptor, std::uint32_t* status) override;
    void CancelReceive(std::uint32_t* count, std::uint8_t* end, std::uint32_t* status) override;
    void StartSend(Korvex::CMessageDescriptor* descriptor, std::uint8_t chr, std::uint8_t end,
                   std::uint32_t* status) override;
    void CancelSend(std::uint32_t* count, std::uint32_t* status) override;
    std::uint8_t IsReceiving() override { return m_operation == kWriting ? 1 : 0; }
    std::uint8_t IsSending() override { return m_operation == kReading ? 1 : 0; }
    void LimitChunk(Korvex::CMessageDescriptor* descriptor) override;
    std::uint8_t TermCharEnabled() override { return m_termCharEnabled; }
    std::uint8_t TermChar() override { return m_termChar; }
    std::uint8_t TransportState() override { return m_constructed; }
    void SrqAsserted(std::uint32_t* status) override;
    void SrqReleased(std::uint32_t* status) override;
    void StatusByte(std::uint8_t stb, std::uint32_t* status) override;

    // ---- link procedures ----
    std::uint32_t Write(std::uint32_t lid, bool waitLock, std::uint32_t lockTimeout, bool end,
                        std::uint32_t ioTimeout, std::uint32_t count, const std::uint8_t* data,
                        std::uint32_t* status) override;
    std::uint32_t Read(std::uint32_t lid, bool waitLock, std::uint32_t lockTimeout,
                       bool termCharSet, std::uint8_t termChar, std::uint32_t ioTimeout,
                       std::uint32_t count, std::uint8_t* destination, std::uint32_t* reason,
                       std::uint32_t* status) override;
    void ReadStatusByte(CVxi11Client* connection, std::uint32_t xid, std::uint32_t lid,
                        bool waitLock, std::uint32_t lockTimeout, std::uint32_t ioTimeout,
                        std::uint32_t* status) override;
    void Trigger(std::uint32_t lid, bool waitLock, std::uint32_t lockTimeout,
                 std::uint32_t ioTimeout, std::uint32_t* status) override;
    void Clear(std::uint32_t lid, bool waitLock, std::uint32_t lockTimeout,
               std::uint32_t ioTimeout, std::uint32_t* status) override;
    void Remote(std::uint32_t lid, bool waitLock, std::uint32_t lockTimeout,
                std::uint32_t ioTimeout, std::uint32_t* status) override;
    void Local(std::uint32_t lid, bool waitLock, std::uint32_t lockTimeout,
               std::uint32_t ioTimeout, std::uint32_t* status) override;
    void Lock(std::uint32_t lid, bool waitLock, std::uint32_t lockTimeout,
              std::uint32_t* status) override;
    void Unlock(std::uint32_t lid, std::uint32_t* status) override;
    void Abort(std::uint32_t lid, std::uint32_t* status) override;
    // lid's message in the exchange is owed to nobody from now on (the ledger's Depart).
    void LinkGoing(std::uint32_t lid) override;
    // When lid wrote the message in progress (no END yet), or its message holds a query the
    // device is answering or has answered, or lid has read for its reply, clears the device,
    // as device_clear would, so that neither its half message nor its response reaches
    // another link, and a FETC? that waits for triggers ends. A message that has not begun
    // runs on, its reply owed to nobody. No other link's operation is aborted for it: the
    // operation running now ends the message itself when it waits for a buffer, else the
    // drop does once that operation is over; whatever other links have queued or locked. A
    // drop that cannot run within its bounds says so in the log.
    void DropUnfinished(std::uint32_t lid) override;

    // For checks.
    CVxi11DeviceLock& GetDeviceLock() { return m_deviceLock; }
    CVxi11EventDispatcherGate& GetDispatcherGate() { return m_dispatcherGate; }
    CVxi11EventGate& GetEventGate() { return m_eventGate; }
    CVxi11OperationQueue& GetQueue() { return m_queue; }
    using CPhysicalInterface::GetLedger;

private:
    // Waits (outside the dispatcher gate) until the engine armed a chunk in armed.
    void WaitForDescriptor(std::uint32_t lid, std::atomic<Korvex::CMessageDescriptor*>& armed,
                           std::uint32_t event, CVxi11OperationGuard& guard,
                           std::uint32_t* status);
    // The abort / time-out check after a chunk; complete: the chunk ends the transfer.
    void CheckChunk(std::uint32_t lid, CVxi11OperationGuard& guard, bool complete,
                    std::uint32_t* status);
    // The device clear inside a running procedure; ends its link's unfinished message.
    void ClearWithin(std::uint32_t lid, CVxi11OperationGuard& guard, std::uint32_t* status);
    // Ends what the departed link left, from within a procedure of lid that has the turn (the
    // drop's own, or another link's waiting for a buffer): the ledger says whether the
    // device is cleared.
    void EndMessageOf(std::uint32_t departed, std::uint32_t lid, CVxi11OperationGuard& guard,
                      std::uint32_t* status);
    // Delivers the GETs handed to the running procedure of lid, in queue order.
    void DeliverHandedTriggers();
    // Inside the dispatcher gate: a complete message waits for the device, which has not
    // begun it.
    bool MessageNotBegun() const;
    // The log line of a drop that could not get the turn to end lid's message (status: why).
    void LogUndropped(std::uint32_t lid, std::uint32_t status);
    // Remote and Local.
    void ReportRemoteLocal(std::uint32_t lid, bool waitLock, std::uint32_t lockTimeout,
                           std::uint32_t ioTimeout, std::uint32_t value, std::uint32_t* status);

    CVxi11PhysicalInterfaceManager* m_manager;
    CVxi11DeviceLock m_deviceLock;
    CVxi11EventGate m_eventGate;
    CVxi11EventDispatcherGate m_dispatcherGate;
    CVxi11OperationQueue m_queue;
    // The input and the response chunk the engine armed last (both can be armed at once).
    std::atomic<Korvex::CMessageDescriptor*> m_receive{nullptr};
    std::atomic<Korvex::CMessageDescriptor*> m_send{nullptr};
    std::atomic<std::uint32_t> m_operation{kNoOperation};
    std::atomic<std::uint8_t> m_lateStatusByte{0};
    std::atomic<std::uint8_t> m_statusByte{0};
    std::atomic<std::uint8_t> m_flags{0};
    std::atomic<std::uint8_t> m_clearDone{0};
    std::uint8_t m_termCharEnabled = 0;
    std::uint8_t m_termChar = 10;
    std::atomic<std::uint32_t> m_readRemaining{0};
    std::atomic<std::uint8_t> m_chr{0};
    std::atomic<std::uint8_t> m_end{0};
    std::uint8_t m_constructed = 0;
    std::atomic<std::uint8_t> m_open{0};
};
