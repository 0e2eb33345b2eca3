// The transport-neutral side of a device session. A transport (VXI-11, USB488) derives
// from it, supplies the virtual operations through which the session drives it, and
// calls the entry points when the host acts. Entry points run on the transport's thread
// without the session mutex and do nothing while no session is bound.
//
// Data flow: the session makes a posted input buffer or a queued response current
// (SetCurrentInput / SetCurrentResponse) and starts it; the base arms one chunk at a time
// (LimitChunk, then StartReceive / StartSend) and hands completed messages and responses
// to the session. A count reported beyond the chunk armed is a transfer failure (device
// event 49).
//
// The interface owns the service-request machine and the status-byte holder of its
// device and is their observer: SRQ and the polled status byte go to the transport
// (slots SrqAsserted, SrqReleased, StatusByte), a status-byte request to the session.
//
// Device events from a thread that is not the transport's delivery thread (a manager
// destroying its interfaces) go through NotifyDeviceEventOutside, which takes the
// session mutex and holds the transport like an operation first. Such a notification
// pins the session: Detach, called when a session's end begins, takes it out of their
// reach under the same lock and waits until no notification is inside it any more.
//
// HoldTransport / ReleaseTransport are a level, not a count: while held the transport
// starts no delivery (no call of an entry point). A hold asked on the transport's own
// thread during a delivery returns at once; from another thread it returns once no
// delivery runs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "engine/session/ExchangeLedger.h"
#include "engine/srq/ServiceRequestObservers.h"
#include "engine/srq/StatusByteHolder.h"

namespace Korvex {

class CDeviceSession;
class CMessageDescriptor;
class CPhysicalInterfaceFactory;
class CServiceRequestStateMachine;

class CPhysicalInterface : public CStatusByteStateMachineEventObserver,
                           public CServiceRequestStateMachineEventObserver {
public:
    static constexpr std::uint32_t kTransferFailed = 49;
    static constexpr std::uint32_t kOtherFailure = 53;

    // Status 0x543FF when the service-request machine cannot be made.
    CPhysicalInterface(CPhysicalInterfaceFactory* factory, std::uint32_t argument0,
                       std::uint32_t argument1, std::uint32_t* status);
    ~CPhysicalInterface() override;
    CPhysicalInterface(const CPhysicalInterface&) = delete;
    CPhysicalInterface& operator=(const CPhysicalInterface&) = delete;

    // ---- what the session expects of a transport ----
    // A serial poll waits for the device: unless the status has failed, the bound session
    // posts the status-byte request event. Non-zero status when nothing was posted.
    virtual void StatusByteRequest(std::uint32_t* status);
    virtual std::uint8_t IsActive() = 0;
    virtual void Open(const void* settings, std::uint32_t* status) = 0;
    virtual void Close(std::uint32_t* status) = 0;
    virtual void ReleaseTransport(std::uint32_t* status) = 0;
    virtual void HoldTransport(std::uint32_t* status) = 0;
    virtual void EnableTrigger(std::uint32_t* status) = 0;
    virtual void DisableTrigger(std::uint32_t* status) = 0;
    virtual void EnableRemoteLocalReports(std::uint32_t* status) = 0;
    virtual void DisableRemoteLocalReports(std::uint32_t* status) = 0;
    // The host writes while no input buffer is posted: call ForwardToSession once the
    // transport may deliver again.
    virtual void RequestInputNotification(std::uint32_t* status) = 0;
    virtual void ClearFinished(std::uint32_t* status) = 0;
    virtual void TransportOperation(std::uint32_t* status) = 0;
    // Size of the internal input buffer the transport wants (0: the caller's buffer).
    virtual std::uint32_t InputBufferSize() { return 0; }
    virtual void AttachInputBuffer(CMessageDescriptor* descriptor, std::uint32_t* status);
    virtual void StartReceive(CMessageDescriptor* descriptor, std::uint32_t* status) = 0;
    virtual void CancelReceive(std::uint32_t* count, std::uint8_t* end,
                               std::uint32_t* status) = 0;
    virtual std::uint32_t OutputBufferSize() { return 0; }
    virtual void AttachOutputBuffer(CMessageDescriptor* descriptor, std::uint32_t* status);
    // chr: the termination character ends this chunk; end: the chunk ends a response
    // queued with END.
    virtual void StartSend(CMessageDescriptor* descriptor, std::uint8_t chr, std::uint8_t end,
                           std::uint32_t* status) = 0;
    virtual void CancelSend(std::uint32_t* count, std::uint32_t* status) = 0;
    virtual std::uint8_t IsReceiving() = 0;
    virtual std::uint8_t IsSending() = 0;
    // Caps the window of the descriptor's next chunk.
    virtual void LimitChunk(CMessageDescriptor* descriptor) = 0;
    virtual std::uint8_t TermCharEnabled() { return 0; }
    virtual std::uint8_t TermChar() { return 10; }
    virtual std::uint8_t TransportState() = 0;
    virtual void SrqAsserted(std::uint32_t* status) = 0;
    virtual void SrqReleased(std::uint32_t* status) = 0;
    // The status byte (RQS included) answering the serial poll under way.
    virtual void StatusByte(std::uint8_t stb, std::uint32_t* status) = 0;

    // ---- observer of the service-request machine and the status-byte holder ----
    void OnSrqAsserted(std::uint32_t* status) override { SrqAsserted(status); }
    void OnSrqReleased(std::uint32_t* status) override { SrqReleased(status); }
    void OnStatusByte(std::uint8_t stb, std::uint32_t* status) override { StatusByte(stb, status); }
    void OnStatusByteRequest(std::uint32_t* status) override { StatusByteRequest(status); }

    // ---- binding ----
    // 0x54311 when a session is already bound.
    void Bind(CDeviceSession* session, std::uint32_t* status);
    // Clears the binding only when it is this session's.
    void Unbind(CDeviceSession* session);
    // The session's end begins: notifications from outside no longer reach it, and one
    // already inside it is waited for. Called without the session mutex; the binding (what
    // the transport's own thread and the session's close use) stays until Unbind.
    void Detach(CDeviceSession* session);
    CDeviceSession* GetSession() const { return m_session.load(); }
    CPhysicalInterfaceFactory* GetFactory() const { return m_factory; }
    std::uint32_t GetArgument0() const { return m_argument0; }
    std::uint32_t GetArgument1() const { return m_argument1; }

    // ---- session side (called with the transport held, or from a delivery) ----
    void SetCurrentInput(CMessageDescriptor* descriptor);
    void SetCurrentResponse(CMessageDescriptor* descriptor);
    CMessageDescriptor* GetCurrentInput() const { return m_currentInput; }
    CMessageDescriptor* GetCurrentResponse() const { return m_currentResponse; }
    bool InputActive() const { return m_inputActive != 0; }
    bool OutputActive() const { return m_outputActive != 0; }
    // Withdraws an armed reception / send (transport cancel; bytes already reported stay).
    void CancelInput();
    void CancelOutput();
    // Service request and status byte (operations, transport held).
    void RequestService(std::uint32_t* status);
    void ClearServiceRequest(std::uint32_t* status);
    void SetStatusByte(std::uint8_t stb, std::uint32_t* status);
    CStatusByteHolder* GetStatusByteHolder() { return &m_statusByte; }
    CServiceRequestStateMachine* GetServiceRequestMachine() const { return m_srq; }
    // What this interface's message exchange owes whom (any thread).
    CExchangeLedger& GetLedger() { return m_ledger; }

    // ---- entry points for the transport ----
    // The host starts writing: arm the current input buffer, or tell the session that no
    // buffer is posted.
    void StartInput();
    // count bytes of the armed chunk arrived; end: the host marked the message's end.
    void OnInputReceived(std::uint32_t count, std::uint8_t end);
    // The host starts reading: arm the current response, or tell the session that the
    // host reads without a queued response.
    void StartOutput();
    // count bytes of the armed chunk went out.
    void OnOutputSent(std::uint32_t count);
    // The notification asked for by RequestInputNotification.
    void ForwardToSession();
    void DeviceClear();
    void Trigger();
    // value 1 local, 2 remote, 3 local lockout, 4 remote lockout.
    void ReportRemoteLocalState(std::uint32_t value);
    // A failing serial-poll event is device event 53.
    void BeginSerialPoll();
    void EndSerialPoll();
    // On the transport's delivery thread.
    void NotifyDeviceEvent(std::uint32_t code);
    // On any other thread; the caller holds no lock of the transport's manager.
    void NotifyDeviceEventOutside(std::uint32_t code);

private:
    // Arms the next chunk; an empty window after LimitChunk arms nothing (the transport
    // takes no more now) and waits for the next Start.
    void ArmInput();
    void ArmOutput();

    CPhysicalInterfaceFactory* m_factory;
    std::uint32_t m_argument0;
    std::uint32_t m_argument1;
    std::atomic<CDeviceSession*> m_session{nullptr};
    // The session that notifications from outside reach (the bound one until Detach), and
    // the number of them inside it: both guarded by m_bindMutex.
    std::mutex m_bindMutex;
    std::condition_variable m_unpinned;
    CDeviceSession* m_notified = nullptr;
    std::uint32_t m_pins = 0;
    CMessageDescriptor* m_currentInput = nullptr;
    CMessageDescriptor* m_currentResponse = nullptr;
    std::uint8_t m_inputActive = 0;
    std::uint8_t m_outputActive = 0;
    std::uint32_t m_armedCount = 0;   // bytes of the chunk armed for input
    std::uint32_t m_sendCount = 0;    // bytes of the chunk armed for output
    std::uint8_t m_sendChr = 0;
    CStatusByteHolder m_statusByte{this};
    CServiceRequestStateMachine* m_srq = nullptr;
    CExchangeLedger m_ledger;
};

} // namespace Korvex
