#include "engine/session/DeviceSession.h"

#include "engine/os/Allocator.h"
#include "engine/session/MessageDescriptor.h"
#include "engine/session/PhysicalInterface.h"
#include "engine/status/EngineStatus.h"

namespace Korvex {

namespace {
constexpr std::uint32_t kNoInterface = 0x54300;
constexpr std::uint32_t kInterfaceNotActive = 0x54303;
constexpr std::uint32_t kInterfaceAlreadyActive = 0x54304;
constexpr std::uint32_t kNoInputBuffer = 0x54321;
constexpr std::uint32_t kNoResponse = 0x54322;

} // namespace

CDeviceSession::CDeviceSession(CPhysicalInterface* physicalInterface, std::uint32_t* status)
{
    *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
    if (m_mutex.InitFailed()) {
        m_constructionStatus = *status;
        return;
    }
    m_queue = EngineNew<CEventQueue>(kQueueCapacity, status);
    if (m_queue == nullptr) {
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
    }
    if (*status == 0) {
        m_input = EngineNew<CMessageDescriptor>(CMessageDescriptor::Input, status);
        if (m_input == nullptr) {
            *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
        }
    }
    if (*status == 0) {
        m_response = EngineNew<CMessageDescriptor>(CMessageDescriptor::Response, status);
        if (m_response == nullptr) {
            *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
        }
    }
    if (*status == 0 && physicalInterface != nullptr) {
        physicalInterface->Bind(this, status);
        if (*status == 0) {
            m_interface = physicalInterface;
        }
    }
    m_constructionStatus = *status;
    m_valid = *status == 0 ? 1 : 0;
}

CDeviceSession::~CDeviceSession()
{
    // No device event from outside may still be inside the session when it goes.
    CPhysicalInterface* bound = m_interface.load();
    if (bound != nullptr) {
        bound->Detach(this);
    }
    std::uint32_t status = 0;
    m_mutex.Lock(&status);
    CPhysicalInterface* physicalInterface = m_interface.exchange(nullptr);
    if (physicalInterface != nullptr) {
        physicalInterface->Unbind(this);
    }
    EngineDelete(m_input);
    EngineDelete(m_response);
    EngineDelete(m_queue);
    m_input = m_response = nullptr;
    m_queue = nullptr;
    if (status == 0) {
        m_mutex.Unlock();
    }
}

// ---- frame ----

bool CDeviceSession::Enter(bool requireActive, std::uint32_t* status, bool* held)
{
    *held = false;
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return false;
    }
    CPhysicalInterface* physicalInterface = m_interface.load();
    if (physicalInterface == nullptr) {
        *status = kNoInterface;
    } else if (!physicalInterface->IsActive()) {
        if (!requireActive) {
            *status = 0;
            return true;
        }
        *status = kInterfaceNotActive;
    } else {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        physicalInterface->HoldTransport(status);
        if (*status == 0) {
            *held = true;
            return true;
        }
    }
    m_mutex.Unlock();
    return false;
}

void CDeviceSession::Leave(bool held, std::uint32_t* status)
{
    if (held) {
        std::uint32_t releaseStatus = 0;
        m_queue->ReleaseBelowHalf(m_interface.load(), &releaseStatus);
        if (*status == 0) {
            *status = releaseStatus;
        }
    }
    m_mutex.Unlock();
}

// ---- posting ----

void CDeviceSession::PostEvent(std::uint32_t index, std::uint32_t code, std::uint32_t argument,
                               void* descriptor, std::uint8_t acknowledge, bool* posted,
                               std::uint32_t* status)
{
    *posted = false;
    *status = 0;
    const EventSlot& slot = m_slots[index];
    if (!slot.installed) {
        return;
    }
    *posted = m_queue->PostHoldingAtHalf(code, argument, slot.handler, slot.context,
                                         descriptor, acknowledge, m_interface.load(), status);
}

void CDeviceSession::DropInput()
{
    CPhysicalInterface* physicalInterface = m_interface.load();
    if (physicalInterface != nullptr && physicalInterface->GetCurrentInput() == m_input) {
        physicalInterface->CancelInput();
        physicalInterface->SetCurrentInput(nullptr);
    }
    m_input->Clear();
    m_inputPosted = 0;
}

void CDeviceSession::DropResponse()
{
    CPhysicalInterface* physicalInterface = m_interface.load();
    if (physicalInterface != nullptr && physicalInterface->GetCurrentResponse() == m_response) {
        physicalInterface->CancelOutput();
        physicalInterface->SetCurrentResponse(nullptr);
    }
    m_response->Clear();
    m_responseQueued = 0;
}

void CDeviceSession::PostDueReports()
{
    std::uint32_t status = 0;
    bool posted = false;
    for (int pass = 0; pass < 8; ++pass) {
        bool acted = false;
        if (m_exchange.InterruptedDue()) {
            // The pending response is dropped and handed back.
            void* data = m_responseQueued ? m_response->GetUserData() : nullptr;
            const std::uint32_t sent = m_responseQueued ? m_response->GetDone() : 0;
            if (m_responseQueued) {
                DropResponse();
            }
            // A reply owed to nobody (its link has gone) is handed back without a report.
            const std::uint32_t code = ReplyOwedToNobody() ? kCodeResponseCancelled : kCodeResponseInterrupted;
            PostEvent(kResponseDoneEvent, code, sent, data, 1, &posted, &status);
            status = 0;
            m_exchange.InterruptedPosted(&status);
            acted = true;
        }
        if (m_exchange.UnterminatedDue() && m_inputPosted) {
            // Posted with the input buffer; without one it waits for the next
            // SetInputBuffer.
            void* data = m_input->GetUserData();
            PostEvent(kMessageReceivedEvent, kCodeUnterminated, 0, data, 0, &posted, &status);
            if (posted) {
                DropInput();
                status = 0;
                m_exchange.UnterminatedPosted(&status);
                acted = true;
            }
        }
        if (m_exchange.ResponseRequestedDue() && m_slots[kResponseRequestedEvent].installed) {
            PostEvent(kResponseRequestedEvent, kCodeResponseRequested, 0, nullptr, 1, &posted,
                      &status);
            if (posted) {
                status = 0;
                m_exchange.ResponseRequestedPosted(&status);
                acted = true;
            }
        }
        if (m_exchange.TriggerDue()) {
            PostEvent(kTriggerEvent, kCodeTrigger, 0, nullptr, 0, &posted, &status);
            status = 0;
            if (posted) {
                m_exchange.TriggerPosted(&status);
            } else {
                // A trigger nobody will finish is finished here.
                m_exchange.TriggerFinished(&status);
            }
            acted = true;
        }
        if (!acted) {
            return;
        }
    }
}

// ---- operations ----

void CDeviceSession::Open(const void* settings, std::uint32_t* status)
{
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return;
    }
    CPhysicalInterface* physicalInterface = m_interface.load();
    if (physicalInterface == nullptr) {
        *status = kNoInterface;
        m_mutex.Unlock();
        return;
    }
    if (physicalInterface->IsActive()) {
        *status = kInterfaceAlreadyActive;
        m_mutex.Unlock();
        return;
    }
    m_exchange.Reset();
    m_messageStarted = 0;
    physicalInterface->GetLedger().ForgetOwedBusTriggers();
    *status = ZODEVICE_STATUS_DRIVER_FAULT;
    physicalInterface->Open(settings, status);
    if (*status == 0) {
        m_input->SetInternalBuffer(physicalInterface->InputBufferSize(), status);
    }
    if (*status == 0 && m_input->GetInternalBuffer() != nullptr) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        physicalInterface->AttachInputBuffer(m_input, status);
    }
    if (*status == 0) {
        m_response->SetInternalBuffer(physicalInterface->OutputBufferSize(), status);
    }
    if (*status == 0 && m_response->GetInternalBuffer() != nullptr) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        physicalInterface->AttachOutputBuffer(m_response, status);
    }
    if (*status != 0) {
        // A failed Open leaves the interface closed.
        if (physicalInterface->IsActive()) {
            std::uint32_t closeStatus = ZODEVICE_STATUS_DRIVER_FAULT;
            physicalInterface->Close(&closeStatus);
        }
        m_mutex.Unlock();
        return;
    }
    Leave(true, status);
}

void CDeviceSession::Close(std::uint32_t* status)
{
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return;
    }
    CPhysicalInterface* physicalInterface = m_interface.load();
    if (physicalInterface == nullptr) {
        *status = kNoInterface;
        m_mutex.Unlock();
        return;
    }
    std::uint32_t holdStatus = ZODEVICE_STATUS_DRIVER_FAULT;
    if (physicalInterface->IsActive()) {
        physicalInterface->HoldTransport(&holdStatus);
    }
    DropInput();
    DropResponse();
    *status = ZODEVICE_STATUS_DRIVER_FAULT;
    physicalInterface->Close(status);
    m_exchange.Reset();
    m_messageStarted = 0;
    if (holdStatus == 0) {
        std::uint32_t releaseStatus = ZODEVICE_STATUS_DRIVER_FAULT;
        physicalInterface->ReleaseTransport(&releaseStatus);
    }
    m_mutex.Unlock();
}

void CDeviceSession::SetEventHandler(std::uint32_t index, EventHandler handler, void* context,
                                     std::uint32_t* status)
{
    bool held = false;
    if (!Enter(false, status, &held)) {
        return;
    }
    CPhysicalInterface* physicalInterface = m_interface.load();
    if (index >= kEventSlots) {
        *status = ENGINE_STATUS_EVENT_INDEX_INVALID;
    } else if (handler == nullptr) {
        *status = ENGINE_STATUS_NULL_POINTER;
    } else if (m_slots[index].installed) {
        *status = ZODEVICE_STATUS_EVENT_ALREADY_ENABLED;
    } else {
        *status = 0;
        // Installed first: a transport may report its current state as the events are
        // enabled (a USB link already in a remote state).
        m_slots[index] = EventSlot{1, handler, context};
        if (index == kTriggerEvent) {
            *status = ZODEVICE_STATUS_DRIVER_FAULT;
            physicalInterface->EnableTrigger(status);
        } else if (index == kRemoteLocalEvent) {
            *status = ZODEVICE_STATUS_DRIVER_FAULT;
            physicalInterface->EnableRemoteLocalReports(status);
        } else if (index == kStatusByteRequestEvent) {
            physicalInterface->GetStatusByteHolder()->EnableStatusByteRequests();
        }
        if (*status != 0) {
            m_slots[index] = EventSlot{0, nullptr, nullptr};
        }
    }
    Leave(held, status);
}

void CDeviceSession::ClearEventHandler(std::uint32_t index, std::uint32_t* status)
{
    bool held = false;
    if (!Enter(false, status, &held)) {
        return;
    }
    CPhysicalInterface* physicalInterface = m_interface.load();
    if (index >= kEventSlots) {
        *status = ENGINE_STATUS_EVENT_INDEX_INVALID;
    } else {
        *status = 0;
        if (index == kTriggerEvent) {
            *status = ZODEVICE_STATUS_DRIVER_FAULT;
            physicalInterface->DisableTrigger(status);
        } else if (index == kRemoteLocalEvent) {
            *status = ZODEVICE_STATUS_DRIVER_FAULT;
            physicalInterface->DisableRemoteLocalReports(status);
        } else if (index == kStatusByteRequestEvent) {
            // A poll waiting for the device gets the stored byte now.
            physicalInterface->GetStatusByteHolder()->DisableStatusByteRequests(status);
        }
        if (*status == 0) {
            m_slots[index] = EventSlot{0, nullptr, nullptr};
        }
    }
    Leave(held, status);
}

void CDeviceSession::SetInputBuffer(std::uint8_t* data, std::uint32_t size,
                                    std::uint32_t* status)
{
    bool held = false;
    if (!Enter(true, status, &held)) {
        return;
    }
    if (m_inputPosted) {
        *status = ZODEVICE_STATUS_INPUT_QUEUE_ALREADY_ENABLED;
    } else if (data == nullptr || size == 0) {
        *status = ZODEVICE_STATUS_MSG_BUFFER_INVALID;
    } else {
        m_input->PostInput(data, size, status);
        if (*status == 0) {
            m_inputPosted = 1;
            CPhysicalInterface* physicalInterface = m_interface.load();
            physicalInterface->SetCurrentInput(m_input);
            // An UNTERMINATED that waited for a buffer goes out with this one.
            PostDueReports();
            if (m_inputPosted) {
                physicalInterface->StartInput();
            }
        }
    }
    Leave(held, status);
}

void CDeviceSession::DisableInputQueue(std::uint32_t* status)
{
    bool held = false;
    if (!Enter(true, status, &held)) {
        return;
    }
    if (!m_inputPosted) {
        *status = kNoInputBuffer;
    } else {
        DropInput();
        *status = 0;
    }
    Leave(held, status);
}

void CDeviceSession::SendOutput(const std::uint8_t* data, std::uint32_t count,
                                std::uint8_t end, std::uint32_t* status)
{
    bool held = false;
    if (!Enter(true, status, &held)) {
        return;
    }
    if (m_responseQueued) {
        *status = ZODEVICE_STATUS_RESPONSE_MSG_ALREADY_QUEUED;
    } else if (data == nullptr) {
        *status = ZODEVICE_STATUS_MSG_BUFFER_INVALID;
    } else {
        *status = 0;
        m_exchange.SendOutput(status);
        if (*status == 0) {
            m_response->PostResponse(data, count, end != 0, status);
        }
        if (*status == 0) {
            m_responseQueued = 1;
            CPhysicalInterface* physicalInterface = m_interface.load();
            physicalInterface->SetCurrentResponse(m_response);
            PostDueReports();
            if (m_responseQueued) {
                physicalInterface->StartOutput();
            }
        }
    }
    Leave(held, status);
}

void CDeviceSession::CancelResponse(std::uint32_t* status)
{
    bool held = false;
    if (!Enter(true, status, &held)) {
        return;
    }
    if (!m_responseQueued) {
        *status = kNoResponse;
    } else {
        DropResponse();
        *status = 0;
    }
    Leave(held, status);
}

#define KORVEX_EXCHANGE_OPERATION(Name, Extra)                                                 \
    void CDeviceSession::Name(std::uint32_t* status)                                           \
    {                                                                                          \
        bool held = false;                                                                     \
        if (!Enter(true, status, &held)) {                                                     \
            return;                                                                            \
        }                                                                                      \
        *status = 0;                                                                           \
        m_exchange.Name(status);                                                               \
        if (*status == 0) {                                                                    \
            Extra;                                                                             \
            PostDueReports();                                                                  \
        }                                                                                      \
        Leave(held, status);                                                                   \
    }

KORVEX_EXCHANGE_OPERATION(InputProcessed, (void)0)
KORVEX_EXCHANGE_OPERATION(EndMessageDone, (void)0)
KORVEX_EXCHANGE_OPERATION(ReportBufferFull, (void)0)
KORVEX_EXCHANGE_OPERATION(ReportUnterminated, if (m_responseQueued) DropResponse())
KORVEX_EXCHANGE_OPERATION(EnableRelaxedMode, (void)0)
KORVEX_EXCHANGE_OPERATION(DisableRelaxedMode, (void)0)

#undef KORVEX_EXCHANGE_OPERATION

void CDeviceSession::QueryDetected(std::uint32_t* status)
{
    bool held = false;
    if (!Enter(true, status, &held)) {
        return;
    }
    *status = 0;
    if (ReplyOwedToNobody()) {
        *status = ZODEVICE_STATUS_MEP_ERROR;  // the exchange never learns of the query
    } else {
        m_exchange.QueryDetected(status);
        if (*status == 0) {
            PostDueReports();
        }
    }
    Leave(held, status);
}

void CDeviceSession::TakePendingTrigger(std::uint32_t* status)
{
    bool held = false;
    if (!Enter(true, status, &held)) {
        return;
    }
    *status = 0;
    CPhysicalInterface* physicalInterface = m_interface.load();
    CExchangeLedger* ledger = physicalInterface != nullptr ? &physicalInterface->GetLedger() : nullptr;
    if (ledger != nullptr && ledger->TakeOwedBusTrigger()) {
        // Counted for the other interface's FETC? as it arrived: it never entered the exchange.
    } else if (ledger != nullptr && CaughtBehindFetch()) {
        m_exchange.TakePendingTrigger(status);
        if (*status == 0) {
            PostDueReports();
        }
    } else {
        *status = ZODEVICE_STATUS_MEP_ERROR;
    }
    Leave(held, status);
}

void CDeviceSession::SetFetchElsewhere(bool waiting, bool stillArmed, std::uint32_t* status)
{
    bool held = false;
    if (!Enter(false, status, &held)) {
        return;
    }
    *status = 0;
    CPhysicalInterface* physicalInterface = m_interface.load();
    if (physicalInterface != nullptr) {
        physicalInterface->GetLedger().SetFetchElsewhere(waiting, stillArmed);
        if (waiting) {
            CaughtBehindFetch();
        }
    }
    Leave(held, status);
}

bool CDeviceSession::CaughtBehindFetch()
{
    CPhysicalInterface* physicalInterface = m_interface.load();
    if (physicalInterface == nullptr) {
        return false;
    }
    CExchangeLedger& ledger = physicalInterface->GetLedger();
    if (MessageNotBegun() && ledger.FetchElsewhere()) {
        ledger.CatchBehindFetch();
        return true;
    }
    return ledger.CaughtBehindFetch();
}

bool CDeviceSession::ReplyOwedToNobody() const
{
    CPhysicalInterface* physicalInterface = m_interface.load();
    return physicalInterface != nullptr && physicalInterface->GetLedger().ReplyOwedToNobody();
}

bool CDeviceSession::MessageNotBegun() const
{
    const CMessageExchange::Record& r = m_exchange.GetRecord();
    return r.state == CMessageExchange::Read && r.endMessageActive != 0 && r.queryDetected == 0 &&
           m_responseQueued == 0;
}

void CDeviceSession::CheckInterface(std::uint32_t* status)
{
    bool held = false;
    if (!Enter(true, status, &held)) {
        return;
    }
    *status = ZODEVICE_STATUS_DRIVER_FAULT;
    m_interface.load()->TransportOperation(status);
    Leave(held, status);
}

void CDeviceSession::SetStatusByte(std::uint8_t stb, std::uint32_t* status)
{
    bool held = false;
    if (!Enter(true, status, &held)) {
        return;
    }
    m_interface.load()->SetStatusByte(stb, status);
    Leave(held, status);
}

void CDeviceSession::RequestService(std::uint32_t* status)
{
    bool held = false;
    if (!Enter(true, status, &held)) {
        return;
    }
    m_interface.load()->RequestService(status);
    Leave(held, status);
}

void CDeviceSession::ClearServiceRequest(std::uint32_t* status)
{
    bool held = false;
    if (!Enter(true, status, &held)) {
        return;
    }
    m_interface.load()->ClearServiceRequest(status);
    Leave(held, status);
}

// ---- event side ----

void CDeviceSession::GetEvent(bool blocking, EventRecord* record, std::uint32_t* status)
{
    for (;;) {
        m_queue->Wait(blocking, status);
        if (*status != 0) {
            return;
        }
        std::uint32_t lockStatus = 0;
        m_mutex.Lock(&lockStatus);
        if (lockStatus != 0) {
            *status = ZODEVICE_STATUS_DRIVER_FAULT;
            return;
        }
        CPhysicalInterface* physicalInterface = m_interface.load();
        if (physicalInterface != nullptr && !physicalInterface->IsActive()) {
            physicalInterface = nullptr;
        }
        if (physicalInterface != nullptr) {
            *status = ZODEVICE_STATUS_DRIVER_FAULT;
            physicalInterface->HoldTransport(status);
            if (*status != 0) {
                m_mutex.Unlock();
                return;
            }
        }
        m_queue->Take(record, status);
        bool deliver = *status == 0;
        if (deliver) {
            const std::uint32_t code = record->code;
            if (code <= kCodeUnterminated) {
                deliver = m_slots[kMessageReceivedEvent].installed != 0;
            } else if (code >= kCodeResponseSent && code <= kCodeResponseCancelled) {
                deliver = m_slots[kResponseDoneEvent].installed != 0;
            }
        }
        std::uint32_t releaseStatus = 0;
        m_queue->ReleaseBelowHalf(physicalInterface, &releaseStatus);
        m_mutex.Unlock();
        if (*status != 0) {
            return;
        }
        if (deliver) {
            *status = releaseStatus;
            return;
        }
        record->code = CEventQueue::kNoEvent;
    }
}

void CDeviceSession::AbortEventWait(std::uint32_t* status)
{
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return;
    }
    m_queue->Abort(status);
    m_mutex.Unlock();
}

void CDeviceSession::EventDone(std::uint32_t code, std::uint32_t, std::uint32_t* status)
{
    bool held = false;
    if (!Enter(false, status, &held)) {
        return;
    }
    *status = 0;
    if (code == kCodeDeviceClear) {
        m_exchange.DeviceClearFinished(status);
        CPhysicalInterface* physicalInterface = m_interface.load();
        if (*status == 0 && physicalInterface->IsActive()) {
            *status = ZODEVICE_STATUS_DRIVER_FAULT;
            physicalInterface->ClearFinished(status);
        }
        PostDueReports();
    }
    Leave(held, status);
}

bool CDeviceSession::ExchangeUnfinished() const
{
    const CMessageExchange::Record& r = m_exchange.GetRecord();
    if (m_messageStarted || m_responseQueued || r.messageAvailable || r.messagePending ||
        r.endPending || r.endMessageActive || r.responseQueued) {
        return true;
    }
    switch (r.state) {
    case CMessageExchange::Query:
    case CMessageExchange::Send:
    case CMessageExchange::Response:
    case CMessageExchange::Deadlock:
        return true;
    default:
        // Idle and Done are finished; Read without a message is a bus trigger at work.
        return false;
    }
}

// ---- reports ----

void CDeviceSession::ReportStatusByteRequest(std::uint32_t* status)
{
    bool posted = false;
    PostEvent(kStatusByteRequestEvent, kCodeStatusByteRequest, 0, nullptr, 0, &posted, status);
    if (!posted && *status == 0) {
        *status = ZODEVICE_STATUS_EVENT_ERROR;
    }
}

void CDeviceSession::ReportDeviceEventOutside(std::uint32_t code, std::uint32_t* status)
{
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return;
    }
    CPhysicalInterface* physicalInterface = m_interface.load();
    bool held = false;
    if (physicalInterface != nullptr && physicalInterface->IsActive()) {
        std::uint32_t holdStatus = ZODEVICE_STATUS_DRIVER_FAULT;
        physicalInterface->HoldTransport(&holdStatus);
        held = holdStatus == 0;
    }
    ReportDeviceEvent(code, status);
    if (held) {
        // The interface may be forgotten now; the hold was taken on this one.
        std::uint32_t releaseStatus = 0;
        m_queue->ReleaseBelowHalf(physicalInterface, &releaseStatus);
    }
    m_mutex.Unlock();
}

void CDeviceSession::ReportHostWriting()
{
    CPhysicalInterface* physicalInterface = m_interface.load();
    if (physicalInterface != nullptr) {
        std::uint32_t status = ZODEVICE_STATUS_DRIVER_FAULT;
        physicalInterface->RequestInputNotification(&status);
    }
}

void CDeviceSession::ReportNewInput()
{
    if (m_messageStarted) {
        return;
    }
    m_messageStarted = 1;
    if (CPhysicalInterface* physicalInterface = m_interface.load()) {
        physicalInterface->GetLedger().MessageMovedOn();
    }
    std::uint32_t status = 0;
    m_exchange.NewInput(&status);
    PostDueReports();
}

void CDeviceSession::ReportMessageReceived(CMessageDescriptor* descriptor, bool end,
                                           std::uint32_t* status)
{
    ReportNewInput();
    descriptor->CopyToUser();
    const std::uint32_t count = descriptor->GetDone();
    bool posted = false;
    PostEvent(kMessageReceivedEvent, end ? kCodeMessageEnd : kCodeMessageBufferFull, count,
              descriptor->GetUserData(), 0, &posted, status);
    CPhysicalInterface* physicalInterface = m_interface.load();
    if (posted) {
        m_input->Clear();
        m_inputPosted = 0;
        if (physicalInterface != nullptr) {
            physicalInterface->SetCurrentInput(nullptr);
        }
    } else {
        // The chunk is lost, the buffer stays posted for the next one.
        std::uint32_t repostStatus = 0;
        m_input->PostInput(m_input->GetUserData(), m_input->GetUserSize(), &repostStatus);
    }
    if (end) {
        m_messageStarted = 0;
        std::uint32_t exchangeStatus = 0;
        m_exchange.EndReceived(&exchangeStatus);
        CaughtBehindFetch();
    }
    PostDueReports();
}

void CDeviceSession::ReportHostReading()
{
    std::uint32_t status = 0;
    m_exchange.HostRead(&status);
    PostDueReports();
}

void CDeviceSession::ReportResponseDone(CMessageDescriptor* descriptor, std::uint32_t* status)
{
    void* data = descriptor->GetUserData();
    const std::uint32_t count = descriptor->GetDone();
    m_response->Clear();
    m_responseQueued = 0;
    CPhysicalInterface* physicalInterface = m_interface.load();
    if (physicalInterface != nullptr) {
        physicalInterface->SetCurrentResponse(nullptr);
    }
    std::uint32_t exchangeStatus = 0;
    m_exchange.ResponseSent(&exchangeStatus);
    if (physicalInterface != nullptr) {
        physicalInterface->GetLedger().MessageMovedOn();  // answered whole
    }
    bool posted = false;
    PostEvent(kResponseDoneEvent, kCodeResponseSent, count, data, 0, &posted, status);
    PostDueReports();
}

void CDeviceSession::ReportTrigger(std::uint32_t* status)
{
    *status = 0;
    CPhysicalInterface* physicalInterface = m_interface.load();
    if (physicalInterface != nullptr && CaughtBehindFetch()) {
        // It would wait behind a message caught behind the other interface's FETC?, which
        // waits for it: it counts now, and never enters the exchange (see CExchangeLedger).
        physicalInterface->GetLedger().OweBusTrigger();
        bool posted = false;
        PostEvent(kTriggerEvent, kCodeTriggerWaiting, 0, nullptr, 0, &posted, status);
        if (posted) {
            return;
        }
        // Nobody counts it: it keeps its place in the exchange.
        physicalInterface->GetLedger().TakeOwedBusTrigger();
        *status = 0;
    }
    const std::uint32_t waiting = m_exchange.GetRecord().pendingTriggers;
    m_exchange.Trigger(status);
    PostDueReports();
    if (*status == 0 && m_exchange.GetRecord().pendingTriggers > waiting) {
        // The device learns of it now: a message that cannot begin before this trigger
        // counts must not hold it.
        bool posted = false;
        PostEvent(kTriggerEvent, kCodeTriggerWaiting, 0, nullptr, 0, &posted, status);
    }
}

void CDeviceSession::ReportDeviceClear(std::uint32_t* status)
{
    m_exchange.ResetForDeviceClear();
    m_messageStarted = 0;
    CPhysicalInterface* physicalInterface = m_interface.load();
    if (physicalInterface != nullptr) {
        physicalInterface->GetLedger().MessageMovedOn();
    }
    if (m_inputPosted) {
        // The partial message is dropped; the buffer stays posted from its start.
        if (physicalInterface != nullptr) {
            physicalInterface->CancelInput();
        }
        std::uint32_t repostStatus = 0;
        m_input->PostInput(m_input->GetUserData(), m_input->GetUserSize(), &repostStatus);
    }
    bool posted = false;
    if (m_responseQueued) {
        void* data = m_response->GetUserData();
        const std::uint32_t sent = m_response->GetDone();
        DropResponse();
        PostEvent(kResponseDoneEvent, kCodeResponseCancelled, sent, data, 0, &posted, status);
    }
    PostEvent(kDeviceClearEvent, kCodeDeviceClear, 0, nullptr, 1, &posted, status);
    if (!posted) {
        // Nobody will acknowledge the clear: it is finished here.
        std::uint32_t exchangeStatus = 0;
        m_exchange.DeviceClearFinished(&exchangeStatus);
        if (physicalInterface != nullptr) {
            std::uint32_t clearStatus = ZODEVICE_STATUS_DRIVER_FAULT;
            physicalInterface->ClearFinished(&clearStatus);
        }
    }
}

void CDeviceSession::ReportRemoteLocal(std::uint32_t value, std::uint32_t* status)
{
    const std::uint32_t code =
        value >= 1 && value <= 4 ? kCodeRemoteLocalFirst + value - 1 : kCodeInvalid;
    bool posted = false;
    PostEvent(kRemoteLocalEvent, code, 0, nullptr, 0, &posted, status);
}

void CDeviceSession::ReportDeviceEvent(std::uint32_t code, std::uint32_t* status)
{
    bool posted = false;
    PostEvent(kInterfaceEvent, code, 0, nullptr, 0, &posted, status);
    CPhysicalInterface* physicalInterface = m_interface.load();
    if (physicalInterface == nullptr) {
        return;
    }
    if (code == kDeviceGone) {
        // The device has gone: forget the interface without calling it.
        physicalInterface->SetCurrentInput(nullptr);
        physicalInterface->SetCurrentResponse(nullptr);
        m_input->Clear();
        m_inputPosted = 0;
        m_response->Clear();
        m_responseQueued = 0;
        physicalInterface->Unbind(this);
        m_interface = nullptr;
        return;
    }
    DropInput();
    DropResponse();
    std::uint32_t closeStatus = ZODEVICE_STATUS_DRIVER_FAULT;
    physicalInterface->Close(&closeStatus);
    if (code == kManagerDestroyed) {
        physicalInterface->Unbind(this);
        m_interface = nullptr;
        m_input->SetInternalBuffer(0, &closeStatus);
        m_response->SetInternalBuffer(0, &closeStatus);
    }
}

} // namespace Korvex
