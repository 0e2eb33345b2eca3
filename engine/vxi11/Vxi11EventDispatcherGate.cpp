#include "engine/vxi11/Vxi11EventDispatcherGate.h"

#include <cerrno>
#include <chrono>
#include <ctime>

#include "engine/os/OSEvent.h"
#include "engine/vxi11/Vxi11Status.h"

namespace {

// A procedure leaves the gate within microseconds of posting an event to the engine: the
// engine looks for it, at most this long, before it sleeps.
kernel::SpinSite leaveSpin(std::chrono::microseconds(50));

}  // namespace

CVxi11EventDispatcherGate::CVxi11EventDispatcherGate() : m_changed()
{
    pthread_condattr_t attributes;
    if (m_mutex.InitFailed() != 0 || pthread_condattr_init(&attributes) != 0) {
        return;
    }
    if (pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC) == 0 &&
        pthread_cond_init(&m_changed, &attributes) == 0) {
        m_initFailed = 0;
    }
    pthread_condattr_destroy(&attributes);
}

CVxi11EventDispatcherGate::~CVxi11EventDispatcherGate()
{
    if (m_initFailed == 0) {
        pthread_cond_destroy(&m_changed);
    }
}

void CVxi11EventDispatcherGate::Lock()
{
    std::uint32_t status = 0;
    m_mutex.Lock(&status);
}

void CVxi11EventDispatcherGate::Enter(std::uint32_t lid, std::uint32_t timeoutMs,
                                      std::uint32_t* status)
{
    if (m_initFailed != 0) {
        *status = VXI11_STATUS_FAULT;
        return;
    }
    Lock();
    if (m_closed != 0) {
        *status = VXI11_STATUS_ABORTED;
        Unlock();
        return;
    }
    m_waitingLid = lid;
    timespec deadline{};
    if (timeoutMs != 0 && timeoutMs != COSEvent::kWaitForever) {
        const std::uint32_t ticks =
            timeoutMs / COSEvent::kTickMs > 0 ? timeoutMs / COSEvent::kTickMs : 1;
        const std::uint64_t ns = static_cast<std::uint64_t>(ticks) * COSEvent::kTickMs * 1000000u;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += static_cast<time_t>(ns / 1000000000u);
        deadline.tv_nsec += static_cast<long>(ns % 1000000000u);
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
    }
    while (m_closed == 0 && m_abort == 0 && (m_engineInside != 0 || m_held != 0) &&
           timeoutMs != 0) {
        ++m_procedureWaiters;
        const int result = timeoutMs == COSEvent::kWaitForever
                               ? pthread_cond_wait(&m_changed, m_mutex.NativeHandle())
                               : pthread_cond_timedwait(&m_changed, m_mutex.NativeHandle(), &deadline);
        --m_procedureWaiters;
        if (result == ETIMEDOUT) {
            break;
        }
    }
    if (m_waitingLid == lid) {
        m_waitingLid = 0;
    }
    if (m_closed != 0) {
        *status = VXI11_STATUS_ABORTED;
    } else if (m_abort != 0) {
        m_abort = 0;
        *status = VXI11_STATUS_ABORTED;
    } else if (m_engineInside != 0 || m_held != 0) {
        *status = VXI11_STATUS_IO_TIMEOUT;
    } else {
        m_held = 1;
        m_holderThread = pthread_self();
        *status = 0;
    }
    Unlock();
}

void CVxi11EventDispatcherGate::Leave()
{
    if (m_initFailed != 0) {
        return;
    }
    Lock();
    m_held = 0;
    // The engine goes on when it waits (the procedures then still wait for its level to
    // clear), else one procedure. Woken after the unlock, as the woken thread takes the mutex
    // at once.
    const std::uint32_t engineWaiters = m_engineWaiters;
    const bool wakeProcedure = engineWaiters == 0 && m_engineInside == 0 && m_procedureWaiters != 0;
    Unlock();
    m_engineMayEnter.Post(engineWaiters);
    if (wakeProcedure) {
        pthread_cond_signal(&m_changed);
    }
}

void CVxi11EventDispatcherGate::EnterFromEngine()
{
    if (m_initFailed != 0) {
        return;
    }
    Lock();
    if (m_closed == 0) {
        m_engineInside = 1;
        if (m_held != 0 && !pthread_equal(m_holderThread, pthread_self())) {
            if (kernel::SpinningPays()) {
                Unlock();
                leaveSpin.Spin([this] { return m_held.load(std::memory_order_relaxed) == 0; });
                Lock();
            }
            while (m_held != 0 && m_closed == 0) {
                ++m_engineWaiters;
                Unlock();
                m_engineMayEnter.Wait();
                Lock();
                --m_engineWaiters;
            }
        }
    }
    Unlock();
}

void CVxi11EventDispatcherGate::LeaveFromEngine()
{
    if (m_initFailed != 0) {
        return;
    }
    Lock();
    bool wake = false;
    if (m_closed == 0) {
        m_engineInside = 0;
        // One procedure can enter now; it signals the next when it leaves.
        wake = m_held == 0 && m_procedureWaiters != 0;
    }
    Unlock();
    if (wake) {
        pthread_cond_signal(&m_changed);
    }
}

void CVxi11EventDispatcherGate::AbortWaiter(std::uint32_t lid)
{
    if (m_initFailed != 0) {
        return;
    }
    Lock();
    if (m_closed == 0 && lid != 0 && m_waitingLid == lid) {
        m_abort = 1;
        m_waitingLid = 0;
        pthread_cond_broadcast(&m_changed);
    }
    Unlock();
}

void CVxi11EventDispatcherGate::Open()
{
    if (m_initFailed != 0) {
        return;
    }
    Lock();
    m_waitingLid = 0;
    m_abort = 0;
    m_engineInside = 1;
    m_held = 0;
    m_closed = 0;
    Unlock();
}

void CVxi11EventDispatcherGate::Close()
{
    if (m_initFailed != 0) {
        return;
    }
    Lock();
    m_closed = 1;
    m_waitingLid = 0;
    pthread_cond_broadcast(&m_changed);
    const std::uint32_t engineWaiters = m_engineWaiters;
    Unlock();
    m_engineMayEnter.Post(engineWaiters);
}

bool CVxi11EventDispatcherGate::IsHeld()
{
    Lock();
    const bool held = m_held != 0;
    Unlock();
    return held;
}

bool CVxi11EventDispatcherGate::IsEngineInside()
{
    Lock();
    const bool inside = m_engineInside != 0;
    Unlock();
    return inside;
}

std::uint32_t CVxi11EventDispatcherGate::WaitingLid()
{
    Lock();
    const std::uint32_t lid = m_waitingLid;
    Unlock();
    return lid;
}
