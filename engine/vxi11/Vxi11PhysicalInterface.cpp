#include "engine/vxi11/Vxi11PhysicalInterface.h"

#include <cstring>

#include "engine/session/DeviceSession.h"
#include "engine/session/MessageDescriptor.h"
#include "engine/vxi11/InstrumentServer.h"
#include "engine/vxi11/Vxi11Log.h"
#include "engine/vxi11/Vxi11OperationGuard.h"
#include "engine/vxi11/Vxi11PhysicalInterfaceManager.h"
#include "engine/vxi11/Vxi11Registry.h"
#include "engine/vxi11/Vxi11Status.h"

using Korvex::CMessageDescriptor;

namespace {
constexpr std::uint32_t kNotAllowed = 0x54395;  // trigger / remote / local not allowed (8)
constexpr std::uint32_t kRemote = 2;
constexpr std::uint32_t kLocal = 1;
constexpr std::uint32_t kReasonChr = 2;
constexpr std::uint32_t kReasonEnd = 4;
} // namespace

CVxi11PhysicalInterface::CVxi11PhysicalInterface(CVxi11PhysicalInterfaceManager* manager,
                                                 std::uint32_t number, std::uint32_t* status)
    : CPhysicalInterface(manager, number, 0, status),
      m_manager(manager),
      m_queue(&m_deviceLock, &m_eventGate, &m_dispatcherGate)
{
    if (*status != 0) {
        return;
    }
    m_constructed = m_deviceLock.InitFailed() == 0 && m_eventGate.InitFailed() == 0 &&
                            m_dispatcherGate.InitFailed() == 0 && m_queue.InitFailed() == 0
                        ? 1
                        : 0;
    // A read waiting for its reply may now deliver a GET handed to it.
    GetLedger().SetFetchElsewhereObserver([this] { m_eventGate.WakeBufferWait(); });
}

CVxi11PhysicalInterface::~CVxi11PhysicalInterface()
{
    if (m_open != 0) {
        std::uint32_t status = 0;
        Close(&status);
    }
}

// ---- physical-interface operations ----

void CVxi11PhysicalInterface::Open(const void* settings, std::uint32_t* status)
{
    if (m_open != 0) {
        *status = 0;
        return;
    }
    m_queue.Enable();
    m_deviceLock.Enable();
    m_eventGate.Enable();
    m_dispatcherGate.Open();
    *status = VXI11_STATUS_FAULT;
    m_manager->RegisterAlias(this, settings, status);
    if (*status != 0) {
        m_dispatcherGate.Close();
        m_eventGate.Disable();
        m_deviceLock.Disable();
        m_queue.Disable();
        return;
    }
    m_manager->NotifyOpened();
}

void CVxi11PhysicalInterface::Close(std::uint32_t* status)
{
    if (m_open != 0) {
        m_manager->ClearOpen(this);
        m_dispatcherGate.Close();
        m_flags = 0;
        m_eventGate.Disable();
        m_deviceLock.Disable();
        m_queue.Disable();
        CVxi11Registry* registry = CVxi11Registry::Instance();
        if (registry != nullptr) {
            registry->DestroyLinksOfInterface(this);
        }
    }
    *status = 0;
}

void CVxi11PhysicalInterface::ReleaseTransport(std::uint32_t* status)
{
    if (m_open == 0) {
        *status = VXI11_STATUS_NOT_OPEN;
        return;
    }
    m_dispatcherGate.LeaveFromEngine();
    *status = 0;
}

void CVxi11PhysicalInterface::HoldTransport(std::uint32_t* status)
{
    if (m_open == 0) {
        *status = VXI11_STATUS_NOT_OPEN;
        return;
    }
    m_dispatcherGate.EnterFromEngine();
    *status = 0;
}

void CVxi11PhysicalInterface::EnableTrigger(std::uint32_t* status)
{
    m_flags |= kFlagTrigger;
    *status = 0;
}

void CVxi11PhysicalInterface::DisableTrigger(std::uint32_t* status)
{
    m_flags &= static_cast<std::uint8_t>(~kFlagTrigger);
    *status = 0;
}

void CVxi11PhysicalInterface::EnableRemoteLocalReports(std::uint32_t* status)
{
    m_flags |= kFlagRemoteLocal;
    *status = 0;
}

void CVxi11PhysicalInterface::DisableRemoteLocalReports(std::uint32_t* status)
{
    m_flags &= static_cast<std::uint8_t>(~kFlagRemoteLocal);
    *status = 0;
}

void CVxi11PhysicalInterface::RequestInputNotification(std::uint32_t* status)
{
    if (m_open == 0) {
        *status = VXI11_STATUS_NOT_OPEN;
        return;
    }
    m_flags |= kFlagNotifyWrite;
    *status = 0;
}

void CVxi11PhysicalInterface::ClearFinished(std::uint32_t* status)
{
    if (m_open == 0) {
        *status = VXI11_STATUS_NOT_OPEN;
        return;
    }
    m_clearDone = 1;
    m_eventGate.RaiseEvent(CVxi11EventGate::kClearDone);
    *status = 0;
}

void CVxi11PhysicalInterface::TransportOperation(std::uint32_t* status)
{
    *status = m_open != 0 ? 0 : VXI11_STATUS_NOT_OPEN;
}

void CVxi11PhysicalInterface::StartReceive(CMessageDescriptor* descriptor, std::uint32_t* status)
{
    if (m_open == 0) {
        *status = VXI11_STATUS_NOT_OPEN;
        return;
    }
    m_receive = descriptor;
    m_eventGate.RaiseEvent(CVxi11EventGate::kInputPosted);
    *status = 0;
}

void CVxi11PhysicalInterface::CancelReceive(std::uint32_t* count, std::uint8_t* end,
                                            std::uint32_t* status)
{
    *count = 0;
    *end = 0;
    if (m_open == 0) {
        *status = VXI11_STATUS_NOT_OPEN;
        return;
    }
    m_receive = nullptr;
    *status = 0;
}

void CVxi11PhysicalInterface::StartSend(CMessageDescriptor* descriptor, std::uint8_t chr,
                                        std::uint8_t end, std::uint32_t* status)
{
    if (m_open == 0) {
        *status = VXI11_STATUS_NOT_OPEN;
        return;
    }
    m_chr = chr;
    m_end = end;
    m_send = descriptor;
    m_eventGate.RaiseEvent(CVxi11EventGate::kResponsePosted);
    *status = 0;
}

void CVxi11PhysicalInterface::CancelSend(std::uint32_t* count, std::uint32_t* status)
{
    *count = 0;
    if (m_open == 0) {
        *status = VXI11_STATUS_NOT_OPEN;
        return;
    }
    m_send = nullptr;
    *status = 0;
}

void CVxi11PhysicalInterface::LimitChunk(CMessageDescriptor* descriptor)
{
    Korvex::CByteBuffer* buffer = descriptor->Buffer();
    std::uint32_t limit = buffer->BytesInWindow();
    if (descriptor->GetKind() == CMessageDescriptor::Input) {
        if (limit > kWriteChunk) {
            limit = kWriteChunk;
        }
    } else {
        // Nothing goes out while no device_read takes it.
        const std::uint32_t remaining = m_operation == kReading ? m_readRemaining.load() : 0;
        if (limit > remaining) {
            limit = remaining;
        }
    }
    std::uint32_t status = 0;
    buffer->SetEnd(buffer->GetStart() + limit, &status);
}

void CVxi11PhysicalInterface::SrqAsserted(std::uint32_t* status)
{
    if (m_open == 0) {
        *status = VXI11_STATUS_NOT_OPEN;
        return;
    }
    CVxi11Registry* registry = CVxi11Registry::Instance();
    if (registry != nullptr) {
        registry->NotifyServiceRequest(this);
    }
    *status = 0;
}

void CVxi11PhysicalInterface::SrqReleased(std::uint32_t* status)
{
    if (m_open == 0) {
        *status = VXI11_STATUS_NOT_OPEN;
        return;
    }
    CVxi11Registry* registry = CVxi11Registry::Instance();
    if (registry != nullptr) {
        registry->ClearServiceRequest(this);
    }
    *status = 0;
}

void CVxi11PhysicalInterface::StatusByte(std::uint8_t stb, std::uint32_t* status)
{
    if (m_open == 0) {
        *status = VXI11_STATUS_NOT_OPEN;
        return;
    }
    *status = 0;
    if (m_lateStatusByte != 0) {
        return;
    }
    m_statusByte = stb;
    m_flags |= kFlagStatusByte;
    m_eventGate.RaiseEvent(CVxi11EventGate::kStatusByteReady);
}

// ---- link procedures ----

void CVxi11PhysicalInterface::WaitForDescriptor(std::uint32_t lid,
                                                std::atomic<CMessageDescriptor*>& armed,
                                                std::uint32_t event, CVxi11OperationGuard& guard,
                                                std::uint32_t* status)
{
    *status = 0;
    Korvex::CExchangeLedger& ledger = GetLedger();
    // Inside the dispatcher gate the engine changes nothing; it posts only while this
    // procedure waits outside it.
    for (;;) {
        // A departed link's message may be what keeps the buffer from coming (a FETC?
        // waiting for triggers), or its response may be what would come: it is ended first.
        if (const std::uint32_t departed = ledger.TakeEnd(lid)) {
            EndMessageOf(departed, lid, guard, status);
            if (*status != 0) {
                return;  // the clear is made; this procedure's time is up
            }
            if (event == CVxi11EventGate::kInputPosted) {
                StartInput();  // a clear there took back the input armed for this write
            }
        }
        // A GET queued behind a write that waits for the device to take it would wait for
        // its turn, and the device may not take the write before a trigger comes (another
        // interface's FETC? waiting for it): it is delivered from here, in arrival order. So
        // it is from a read whose message has not begun while that FETC? waits; not from a
        // read of a message being run or answered: the GET would interrupt its query.
        const auto getsDeliverable = [this, event, &ledger] {
            return event == CVxi11EventGate::kInputPosted || (ledger.FetchElsewhere() && MessageNotBegun());
        };
        if (getsDeliverable()) {
            DeliverHandedTriggers();
        }
        if (armed.load() != nullptr) {
            return;
        }
        m_eventGate.WaitEvent(
            lid, event, guard, status, [this, lid] { return m_queue.IsAbortPending(lid); },
            [this, lid, &ledger, &getsDeliverable] {
                return ledger.HasFor(lid, getsDeliverable(), m_queue.WaitingBehindHead());
            });
        if (*status != 0) {
            return;
        }
    }
}

void CVxi11PhysicalInterface::DeliverHandedTriggers()
{
    for (;;) {
        const std::uint32_t triggering = GetLedger().TakeHanded(m_queue.WaitingBehindHead());
        if (triggering == 0) {
            return;
        }
        CPhysicalInterface::Trigger();
        GetLedger().EndTaken(triggering, [this, triggering] { m_queue.EndWaitForTurn(triggering); });
    }
}

bool CVxi11PhysicalInterface::MessageNotBegun() const
{
    const Korvex::CDeviceSession* session = GetSession();
    return session != nullptr && session->MessageNotBegun();
}

void CVxi11PhysicalInterface::CheckChunk(std::uint32_t lid, CVxi11OperationGuard& guard,
                                         bool complete, std::uint32_t* status)
{
    if (m_queue.IsAbortPending(lid)) {
        *status = VXI11_STATUS_ABORTED;
        return;
    }
    // A chunk that completes the transfer counts even when the time is up; the time-out
    // applies only before waiting for more.
    if (guard.ConsumeElapsed() == 0 && !complete) {
        *status = VXI11_STATUS_IO_TIMEOUT;
    }
}

std::uint32_t CVxi11PhysicalInterface::Write(std::uint32_t lid, bool waitLock,
                                             std::uint32_t lockTimeout, bool end,
                                             std::uint32_t ioTimeout, std::uint32_t count,
                                             const std::uint8_t* data, std::uint32_t* status)
{
    CVxi11OperationGuard guard(*this, lid, m_queue, waitLock, lockTimeout, ioTimeout,
                               m_dispatcherGate, status);
    if (*status != 0) {
        return 0;
    }
    if (count == 0) {
        *status = 0;
        return 0;
    }
    if (GetLedger().PartialOfOther(lid)) {
        // Another link's message still lacks its END: it is dropped, never completed by
        // these bytes.
        ClearWithin(lid, guard, status);
        if (*status != 0) {
            return 0;
        }
    }
    m_operation = kWriting;
    StartInput();
    std::uint32_t taken = 0;
    while (taken < count && *status == 0) {
        WaitForDescriptor(lid, m_receive, CVxi11EventGate::kInputPosted, guard, status);
        if (*status != 0) {
            m_operation = kNoOperation;
            return taken;
        }
        if ((m_flags.load() & kFlagNotifyWrite) != 0) {
            m_flags &= static_cast<std::uint8_t>(~kFlagNotifyWrite);
            ForwardToSession();
        }
        CMessageDescriptor* descriptor = m_receive;
        Korvex::CByteBuffer* buffer = descriptor->Buffer();
        std::uint32_t chunk = buffer->BytesInWindow();
        if (chunk > count - taken) {
            chunk = count - taken;
        }
        std::memcpy(buffer->GetStorage() + buffer->GetStart(), data + taken, chunk);
        taken += chunk;
        const bool last = taken == count;
        CheckChunk(lid, guard, last, status);
        if (last || *status != 0) {
            m_operation = kNoOperation;
        }
        m_receive = nullptr;
        GetLedger().Written(lid, end && last);
        OnInputReceived(chunk, end && last ? 1 : 0);
    }
    return taken;
}

std::uint32_t CVxi11PhysicalInterface::Read(std::uint32_t lid, bool waitLock,
                                            std::uint32_t lockTimeout, bool termCharSet,
                                            std::uint8_t termChar, std::uint32_t ioTimeout,
                                            std::uint32_t count, std::uint8_t* destination,
                                            std::uint32_t* reason, std::uint32_t* status)
{
    *reason = 0;
    CVxi11OperationGuard guard(*this, lid, m_queue, waitLock, lockTimeout, ioTimeout,
                               m_dispatcherGate, status);
    if (*status != 0) {
        return 0;
    }
    if (count == 0) {
        *status = 0;
        return 0;
    }
    GetLedger().ReadFor(lid);
    m_termCharEnabled = termCharSet ? 1 : 0;
    m_termChar = termChar;
    m_operation = kReading;
    m_chr = 0;
    m_end = 0;
    m_readRemaining = count;
    StartOutput();
    std::uint32_t delivered = 0;
    while (delivered < count && *reason == 0 && *status == 0) {
        WaitForDescriptor(lid, m_send, CVxi11EventGate::kResponsePosted, guard, status);
        if (*status != 0) {
            m_operation = kNoOperation;
            m_readRemaining = 0;
            break;
        }
        CMessageDescriptor* descriptor = m_send;
        Korvex::CByteBuffer* buffer = descriptor->Buffer();
        std::uint32_t chunk = buffer->BytesInWindow();
        if (chunk > count - delivered) {
            chunk = count - delivered;
        }
        std::memcpy(destination + delivered, buffer->GetStorage() + buffer->GetStart(), chunk);
        delivered += chunk;
        if (m_end != 0) {
            *reason |= kReasonEnd;
        }
        if (m_chr != 0) {
            *reason |= kReasonChr;
        }
        m_chr = 0;
        m_end = 0;
        const bool complete = delivered == count || *reason != 0;
        CheckChunk(lid, guard, complete, status);
        m_send = nullptr;
        if (!complete && *status == 0) {
            m_readRemaining = count - delivered;
        } else {
            m_operation = kNoOperation;
            m_readRemaining = 0;
        }
        if ((*reason & kReasonEnd) != 0) {
            GetLedger().Answered(lid);
        }
        OnOutputSent(chunk);
    }
    return delivered;
}

void CVxi11PhysicalInterface::ReadStatusByte(CVxi11Client* connection, std::uint32_t xid,
                                             std::uint32_t lid, bool waitLock,
                                             std::uint32_t lockTimeout, std::uint32_t ioTimeout,
                                             std::uint32_t* status)
{
    CVxi11OperationGuard guard(*this, lid, m_queue, waitLock, lockTimeout, ioTimeout,
                               m_dispatcherGate, status);
    if (*status != 0) {
        return;
    }
    m_lateStatusByte = 0;
    m_flags &= static_cast<std::uint8_t>(~kFlagStatusByte);
    BeginSerialPoll();
    std::uint32_t pollStatus = 0;
    if ((m_flags.load() & kFlagStatusByte) == 0) {
        m_eventGate.WaitEvent(lid, CVxi11EventGate::kStatusByteReady, guard, &pollStatus);
        if (pollStatus != 0 && (m_flags.load() & kFlagStatusByte) == 0) {
            m_lateStatusByte = 1;
        }
    }
    connection->SendReadStbReply(xid, m_statusByte, pollStatus);
    // The poll ends inside the gate, as every delivery into the session.
    if (!guard.HoldsGate()) {
        std::uint32_t gateStatus = 0;
        guard.EnterGate(&gateStatus);
    }
    if (guard.HoldsGate()) {
        EndSerialPoll();
    }
    *status = 0;
}

void CVxi11PhysicalInterface::Trigger(std::uint32_t lid, bool waitLock, std::uint32_t lockTimeout,
                                      std::uint32_t ioTimeout, std::uint32_t* status)
{
    // Once past the lock step, the trigger is handed to the procedure running now, for when
    // it is a write that waits for the device to take it; it is taken back if that procedure
    // did not deliver it by the time this one has the turn (or has timed out).
    bool handed = false;
    CVxi11OperationGuard guard(*this, lid, m_queue, waitLock, lockTimeout, ioTimeout,
                               m_dispatcherGate, status, [this, lid, &handed] {
                                   if ((m_flags.load() & kFlagTrigger) != 0) {
                                       GetLedger().Hand(lid);
                                       handed = true;
                                       m_eventGate.WakeBufferWait();
                                   }
                               });
    if (handed && !GetLedger().TakeBack(lid)) {
        *status = 0;  // delivered by the procedure in front
        return;
    }
    if (*status != 0) {
        return;
    }
    if ((m_flags.load() & kFlagTrigger) == 0) {
        *status = kNotAllowed;
        return;
    }
    CPhysicalInterface::Trigger();
    *status = 0;
}

void CVxi11PhysicalInterface::Clear(std::uint32_t lid, bool waitLock, std::uint32_t lockTimeout,
                                    std::uint32_t ioTimeout, std::uint32_t* status)
{
    CVxi11OperationGuard guard(*this, lid, m_queue, waitLock, lockTimeout, ioTimeout,
                               m_dispatcherGate, status);
    if (*status != 0) {
        return;
    }
    ClearWithin(lid, guard, status);
}

void CVxi11PhysicalInterface::ClearWithin(std::uint32_t lid, CVxi11OperationGuard& guard,
                                          std::uint32_t* status)
{
    GetLedger().Cleared();
    m_clearDone = 0;
    DeviceClear();
    // The clear may finish during the call itself.
    if (m_clearDone == 0) {
        m_eventGate.WaitEvent(lid, CVxi11EventGate::kClearDone, guard, status);
    }
}

void CVxi11PhysicalInterface::LinkGoing(std::uint32_t lid)
{
    if (GetLedger().Depart(lid)) {
        m_eventGate.WakeBufferWait();  // a procedure waiting for a buffer ends it first
    }
}

void CVxi11PhysicalInterface::DropUnfinished(std::uint32_t lid)
{
    Korvex::CExchangeLedger& ledger = GetLedger();
    // Whichever procedure has the turn first ends the message: the one running now, when it
    // waits for a buffer (woken here), or this drop once the running one is over. Nobody's
    // operation is taken from it.
    if (!ledger.Depart(lid)) {
        return;
    }
    m_eventGate.WakeBufferWait();
    std::uint32_t status = 0;
    CVxi11OperationGuard guard = CVxi11OperationGuard::ForDrop(
        *this, lid, m_queue, kDropBoundMs, kDropBoundMs, m_dispatcherGate, &status);
    if (status != 0) {
        // Left posted: the next procedure that waits for a buffer ends it.
        LogUndropped(lid, status);
    } else if (ledger.DropTakesEnd(lid)) {
        EndMessageOf(lid, lid, guard, &status);
    }
}

void CVxi11PhysicalInterface::EndMessageOf(std::uint32_t departed, std::uint32_t lid,
                                           CVxi11OperationGuard& guard, std::uint32_t* status)
{
    *status = 0;
    // Inside the dispatcher gate the session stands still and may be looked at. A message
    // whose query the device has announced, or whose response waits or is being sent, is
    // owed to the departed link (another link's GET may have interrupted the query since, and
    // a FETC? then still waits for triggers); so is one it has read for, or one still
    // without END. Any other runs on: the device has not begun it, or it holds no query so
    // far, and whatever reply it makes is owed to nobody.
    const Korvex::CDeviceSession* session = GetSession();
    using Exchange = Korvex::CMessageExchange;
    const std::uint32_t state = session != nullptr ? static_cast<std::uint32_t>(session->GetExchange().GetState()) : 0u;
    const bool answering = session != nullptr &&
                           (state == Exchange::Query || state == Exchange::Send || state == Exchange::Response ||
                            session->ResponseQueued() || session->GetExchange().GetRecord().queryDetected != 0);
    if (GetLedger().EndOwed(departed, answering) == Korvex::CExchangeLedger::Ending::kClear) {
        ClearWithin(lid, guard, status);
    }
}

void CVxi11PhysicalInterface::LogUndropped(std::uint32_t lid, std::uint32_t status)
{
    if (GetLedger().Owns(lid)) {
        Vxi11Log("CVxi11PhysicalInterface::DropUnfinished, the unfinished message of departed link %u "
                 "stays (%#x); a device_clear ends it",
                 static_cast<unsigned>(lid), static_cast<unsigned>(status));
    }
}

void CVxi11PhysicalInterface::ReportRemoteLocal(std::uint32_t lid, bool waitLock,
                                                std::uint32_t lockTimeout,
                                                std::uint32_t ioTimeout, std::uint32_t value,
                                                std::uint32_t* status)
{
    CVxi11OperationGuard guard(*this, lid, m_queue, waitLock, lockTimeout, ioTimeout,
                               m_dispatcherGate, status);
    if (*status != 0) {
        return;
    }
    if ((m_flags.load() & kFlagRemoteLocal) == 0) {
        *status = kNotAllowed;
        return;
    }
    ReportRemoteLocalState(value);
    *status = 0;
}

void CVxi11PhysicalInterface::Remote(std::uint32_t lid, bool waitLock, std::uint32_t lockTimeout,
                                     std::uint32_t ioTimeout, std::uint32_t* status)
{
    // Plain remote: remote with lockout is a state of its own.
    ReportRemoteLocal(lid, waitLock, lockTimeout, ioTimeout, kRemote, status);
}

void CVxi11PhysicalInterface::Local(std::uint32_t lid, bool waitLock, std::uint32_t lockTimeout,
                                    std::uint32_t ioTimeout, std::uint32_t* status)
{
    ReportRemoteLocal(lid, waitLock, lockTimeout, ioTimeout, kLocal, status);
}

void CVxi11PhysicalInterface::Lock(std::uint32_t lid, bool waitLock, std::uint32_t lockTimeout,
                                   std::uint32_t* status)
{
    if (m_open == 0) {
        *status = VXI11_STATUS_NOT_OPEN;
        return;
    }
    m_deviceLock.Acquire(lid, waitLock ? lockTimeout : 0, status);
}

void CVxi11PhysicalInterface::Unlock(std::uint32_t lid, std::uint32_t* status)
{
    if (m_open == 0) {
        *status = VXI11_STATUS_NOT_OPEN;
        return;
    }
    m_deviceLock.Release(lid);
    *status = 0;
}

void CVxi11PhysicalInterface::Abort(std::uint32_t lid, std::uint32_t* status)
{
    if (m_open == 0) {
        *status = VXI11_STATUS_NOT_OPEN;
        return;
    }
    m_queue.Abort(lid);
    *status = 0;
}
