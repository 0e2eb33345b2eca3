#include "engine/vxi11/Vxi11EventGate.h"

#include <chrono>

#include "engine/vxi11/Vxi11OperationGuard.h"
#include "engine/vxi11/Vxi11Status.h"

namespace {
kernel::SpinSite responseSpin(std::chrono::microseconds(50));

bool IsBufferEvent(std::uint32_t event)
{
    return event == CVxi11EventGate::kInputPosted || event == CVxi11EventGate::kResponsePosted;
}
}  // namespace

bool CVxi11EventGate::RaiseEvent(std::uint32_t event)
{
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        return false;
    }
    bool woken = false;
    if (m_enabled != 0 && event != 0 && event == m_awaitedEvent) {
        m_raised = 1;
        m_waitingLid = 0;
        m_awaitedEvent = 0;
        m_event.Post();
        woken = true;
    }
    m_mutex.Unlock();
    return woken;
}

void CVxi11EventGate::WaitEvent(std::uint32_t lid, std::uint32_t event,
                                CVxi11OperationGuard& guard, std::uint32_t* status,
                                const std::function<bool()>& abortPending,
                                const std::function<bool()>& lookAgain)
{
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        *status = VXI11_STATUS_FAULT;
        return;
    }
    if (m_enabled == 0) {
        *status = VXI11_STATUS_ABORTED;
        m_mutex.Unlock();
        return;
    }
    m_waitingLid = lid;
    m_awaitedEvent = event;
    m_raised = 0;
    m_cancelled = 0;
    m_mutex.Unlock();

    // An abort marked before this wait was registered found nobody to cancel: end it now.
    if (abortPending && abortPending()) {
        Cancel(lid);
    } else if (lookAgain && lookAgain()) {
        WakeBufferWait();
    }

    guard.LeaveGate();
    guard.ConsumeElapsed();
    // A response comes from the message the parser is executing, usually within microseconds:
    // look for it a little before sleeping.
    std::uint32_t waitStatus = 0;
    m_event.Wait(guard.RemainingMs(), &waitStatus, event == kResponsePosted ? &responseSpin : nullptr);
    guard.ConsumeElapsed();

    m_mutex.Lock(&lockStatus);
    m_waitingLid = 0;
    m_awaitedEvent = 0;
    std::uint32_t eventStatus;
    if (waitStatus != 0) {
        if (m_raised != 0 || m_enabled == 0) {
            // Raised or disabled after the wait ended: take a post away.
            std::uint32_t pollStatus = 0;
            m_event.Wait(0, &pollStatus);
            eventStatus = m_cancelled != 0 || m_enabled == 0 ? VXI11_STATUS_ABORTED : 0;
        } else {
            eventStatus = VXI11_STATUS_IO_TIMEOUT;
        }
    } else {
        eventStatus = m_enabled != 0 && m_cancelled == 0 ? 0 : VXI11_STATUS_ABORTED;
    }
    m_mutex.Unlock();

    if (eventStatus == VXI11_STATUS_ABORTED) {
        // The procedure ends; it has no more business with the engine.
        *status = eventStatus;
        return;
    }
    std::uint32_t gateStatus = 0;
    guard.EnterGate(&gateStatus);
    *status = eventStatus != 0 ? eventStatus : gateStatus;
}

void CVxi11EventGate::WakeBufferWait()
{
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        return;
    }
    if (m_enabled != 0 && m_waitingLid != 0 && IsBufferEvent(m_awaitedEvent)) {
        m_raised = 1;
        m_waitingLid = 0;
        m_awaitedEvent = 0;
        m_event.Post();
    }
    m_mutex.Unlock();
}

void CVxi11EventGate::Cancel(std::uint32_t lid)
{
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        return;
    }
    if (m_enabled != 0 && lid != 0 && m_waitingLid == lid) {
        m_cancelled = 1;
        m_raised = 1;
        m_waitingLid = 0;
        m_awaitedEvent = 0;
        m_event.Post();
    }
    m_mutex.Unlock();
}

void CVxi11EventGate::Enable()
{
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        return;
    }
    m_enabled = 1;
    m_waitingLid = 0;
    m_awaitedEvent = 0;
    m_raised = 0;
    m_cancelled = 0;
    std::uint32_t pollStatus = 0;
    m_event.Wait(0, &pollStatus);
    m_mutex.Unlock();
}

void CVxi11EventGate::Disable()
{
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        return;
    }
    m_enabled = 0;
    if (m_waitingLid != 0) {
        m_event.Post();
    }
    m_mutex.Unlock();
}

std::uint32_t CVxi11EventGate::WaitingLid()
{
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        return 0;
    }
    const std::uint32_t lid = m_waitingLid;
    m_mutex.Unlock();
    return lid;
}
