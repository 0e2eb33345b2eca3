#include "engine/vxi11/Vxi11PhysicalInterface.h"

#include <chrono>
#include <cstring>
#include <thread>

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
    // Inside the dispatcher gate the engine changes nothing; it posts only while this
    // procedure waits outside it.
    for (;;) {
        // A departed link's message may be what keeps the buffer from coming (a FETC?
        // waiting for triggers), or its response may be what would come: it is ended first.
        std::uint32_t departed = m_departedLid.load();
        if (departed != 0 && departed != lid &&
            m_departedLid.compare_exchange_strong(departed, 0)) {
            EndMessageOf(departed, lid, guard, status);
            if (*status != 0) {
                HandBackDeparted(departed, *status);
                return;
            }
            if (event == CVxi11EventGate::kInputPosted) {
                StartInput();  // a clear there took back the input armed for this write
            }
        }
        // A GET queued behind a write that waits for the device to take it would wait for
        // its turn, and the device may not take the write before a trigger comes (another
        // interface's FETC? waiting for it): it is delivered from here, in arrival order. Not
        // from a read's wait: the GET would interrupt the query being answered for it.
        while (event == CVxi11EventGate::kInputPosted) {
            const std::uint32_t triggering = m_queue.TakeHandedTrigger();
            if (triggering == 0) {
                break;
            }
            CPhysicalInterface::Trigger();
            m_queue.EndWaitForTurn(triggering);
        }
        if (armed.load() != nullptr) {
            return;
        }
        m_eventGate.WaitEvent(lid, event, guard, status,
                              [this, lid] { return m_queue.IsAbortPending(lid); });
        if (*status != 0) {
            return;
        }
    }
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
    if (m_messagePartial.load() != 0 && m_messageLid.load() != lid) {
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
        if (m_messagePartial.load() == 0) {
            m_messageRead = 0;  // a new message
        }
        m_messageLid = lid;
        m_messagePartial = end && last ? 0 : 1;
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
    if (m_messageLid.load() == lid) {
        m_messageRead = 1;
    }
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
        if ((*reason & kReasonEnd) != 0 && m_messageLid.load() == lid && m_messagePartial.load() == 0) {
            m_messageLid = 0;  // answered whole
            m_messageRead = 0;
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
                                       m_queue.HandTrigger(lid);
                                       handed = true;
                                       m_eventGate.WakeBufferWait();
                                   }
                               });
    if (handed && !m_queue.TakeBackTrigger(lid)) {
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
    m_messageLid = 0;
    m_messagePartial = 0;
    m_messageRead = 0;
    m_clearDone = 0;
    DeviceClear();
    // The clear may finish during the call itself.
    if (m_clearDone == 0) {
        m_eventGate.WaitEvent(lid, CVxi11EventGate::kClearDone, guard, status);
    }
}

void CVxi11PhysicalInterface::DropUnfinished(std::uint32_t lid)
{
    if (lid == 0 || m_messageLid.load() != lid) {
        return;
    }
    // Whichever procedure has the turn first ends the message: the one running now, when it
    // waits for a buffer (woken here), or this drop once the running one is over. Nobody's
    // operation is taken from it.
    ++m_dropsWaiting;
    if (!PublishDeparted(lid)) {
        --m_dropsWaiting;
        return;
    }
    m_eventGate.WakeBufferWait();
    std::uint32_t status = 0;
    CVxi11OperationGuard guard = CVxi11OperationGuard::ForDrop(
        *this, lid, m_queue, kDropBoundMs, kDropBoundMs, m_dispatcherGate, &status);
    // From here a procedure that cannot end the message does not hand it back to this drop.
    --m_dropsWaiting;
    std::uint32_t pending = lid;
    if (!m_departedLid.compare_exchange_strong(pending, 0)) {
        return;  // another procedure took it on: it ends it, or hands it back, or logs
    }
    if (status == 0) {
        EndMessageOf(lid, lid, guard, &status);
    }
    if (status != 0) {
        LogUndropped(lid, status);
    }
}

bool CVxi11PhysicalInterface::PublishDeparted(std::uint32_t lid)
{
    // One message is in progress at a time, so at most one departed link is owed anything: a
    // link named here whose message is gone is replaced.
    std::uint32_t named = 0;
    while (!m_departedLid.compare_exchange_weak(named, lid)) {
        if (named == lid) {
            break;
        }
        if (m_messageLid.load() == named) {
            return false;
        }
    }
    if (m_messageLid.load() != lid) {
        std::uint32_t published = lid;
        m_departedLid.compare_exchange_strong(published, 0);
        return false;
    }
    return true;
}

void CVxi11PhysicalInterface::HandBackDeparted(std::uint32_t departed, std::uint32_t status)
{
    PublishDeparted(departed);
    // No drop is left to take it: it stays, said once in the log (unless a drop took it
    // back meanwhile).
    std::uint32_t pending = departed;
    if (m_dropsWaiting.load() == 0 && m_departedLid.compare_exchange_strong(pending, 0)) {
        LogUndropped(departed, status);
    }
}

void CVxi11PhysicalInterface::EndMessageOf(std::uint32_t departed, std::uint32_t lid,
                                           CVxi11OperationGuard& guard, std::uint32_t* status)
{
    *status = 0;
    if (m_messageLid.load() != departed) {
        return;  // another message since: nothing of the departed link's is left
    }
    // Inside the dispatcher gate the session stands still and may be looked at. A message
    // whose query the device has announced, or whose response waits, or whose reply the
    // departed link has read for, is owed to that link (another link's GET may have
    // interrupted the query since, and a FETC? then still waits for triggers); one without a
    // query is left to finish (a clear would abort what it started). A message the device
    // has not taken up yet is given a short bound to show which it is.
    const Korvex::CDeviceSession* session = GetSession();
    using Exchange = Korvex::CMessageExchange;
    std::uint32_t state = Exchange::Idle;
    const bool read = m_messageRead.load() != 0;
    const std::int64_t deadline = RpcNowMs() + kTakeUpBoundMs;
    for (;;) {
        state = session != nullptr ? static_cast<std::uint32_t>(session->GetExchange().GetState()) : 0u;
        if (state != Exchange::Read || read || m_messagePartial.load() != 0 || RpcNowMs() >= deadline) {
            break;
        }
        guard.LeaveGate();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        guard.EnterGate(status);
        if (*status != 0) {
            return;
        }
    }
    const bool answering = session != nullptr && (state == Exchange::Query || state == Exchange::Send ||
                                                  state == Exchange::Response || session->ResponseQueued());
    if (m_messagePartial.load() == 0 && !answering && !read) {
        m_messageLid = 0;
        m_messageRead = 0;
        return;
    }
    ClearWithin(lid, guard, status);
}

void CVxi11PhysicalInterface::LogUndropped(std::uint32_t lid, std::uint32_t status)
{
    if (m_messageLid.load() == lid) {
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
