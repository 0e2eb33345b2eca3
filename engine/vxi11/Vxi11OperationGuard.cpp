#include "engine/vxi11/Vxi11OperationGuard.h"

#include "engine/os/OSEvent.h"
#include "engine/vxi11/InstrumentServer.h"
#include "engine/vxi11/Vxi11DeviceLock.h"
#include "engine/vxi11/Vxi11EventDispatcherGate.h"
#include "engine/vxi11/Vxi11LinkInterface.h"
#include "engine/vxi11/Vxi11OperationQueue.h"
#include "engine/vxi11/Vxi11Status.h"

CVxi11OperationGuard::CVxi11OperationGuard(CVxi11LinkInterface& physicalInterface,
                                           std::uint32_t lid, CVxi11OperationQueue& queue,
                                           bool waitLock, std::uint32_t lockTimeout,
                                           std::uint32_t ioTimeout,
                                           CVxi11EventDispatcherGate& dispatcherGate,
                                           std::uint32_t* status,
                                           const std::function<void()>& lockPassed)
    : m_lid(lid), m_queue(&queue), m_gate(&dispatcherGate), m_start(RpcNowMs())
{
    queue.BeginOperation(lid, status);
    if (*status != 0) {
        return;
    }
    m_queued = 1;
    // The lock step only proves that no other link holds the lock.
    queue.GetDeviceLock()->Pass(lid, waitLock ? lockTimeout : 0, status);
    if (*status != 0) {
        return;
    }
    if (lockPassed) {
        lockPassed();
    }
    queue.Prioritise(lid);
    m_remaining = ioTimeout;
    m_start = RpcNowMs();
    queue.WaitTurn(lid, ioTimeout, status);
    if (*status == 0) {
        Enter(physicalInterface, status);
    }
}

CVxi11OperationGuard CVxi11OperationGuard::ForDrop(CVxi11LinkInterface& physicalInterface,
                                                   std::uint32_t lid, CVxi11OperationQueue& queue,
                                                   std::uint32_t turnTimeout,
                                                   std::uint32_t ioTimeout,
                                                   CVxi11EventDispatcherGate& dispatcherGate,
                                                   std::uint32_t* status)
{
    return CVxi11OperationGuard(DropTag{}, physicalInterface, lid, queue, turnTimeout, ioTimeout,
                                dispatcherGate, status);
}

CVxi11OperationGuard::CVxi11OperationGuard(DropTag, CVxi11LinkInterface& physicalInterface,
                                           std::uint32_t lid, CVxi11OperationQueue& queue,
                                           std::uint32_t turnTimeout, std::uint32_t ioTimeout,
                                           CVxi11EventDispatcherGate& dispatcherGate,
                                           std::uint32_t* status)
    : m_lid(lid), m_queue(&queue), m_gate(&dispatcherGate), m_start(RpcNowMs())
{
    queue.BeginOperation(lid, status);
    if (*status != 0) {
        return;
    }
    m_queued = 1;
    queue.WaitTurnAheadOfWaiters(lid, turnTimeout, status);
    m_remaining = ioTimeout;
    m_start = RpcNowMs();
    if (*status == 0) {
        Enter(physicalInterface, status);
    }
}

void CVxi11OperationGuard::Enter(CVxi11LinkInterface& physicalInterface, std::uint32_t* status)
{
    if (physicalInterface.IsActive() == 0) {
        *status = VXI11_STATUS_NOT_OPEN;
        return;
    }
    ConsumeElapsed();
    EnterGate(status);
}

CVxi11OperationGuard::~CVxi11OperationGuard()
{
    LeaveGate();
    if (m_queued != 0) {
        m_queue->EndOperation(m_lid);
    }
}

std::uint32_t CVxi11OperationGuard::ConsumeElapsed()
{
    const std::int64_t now = RpcNowMs();
    if (m_remaining != 0 && m_remaining != COSEvent::kWaitForever) {
        const std::int64_t elapsed = now - m_start;
        m_remaining = elapsed >= static_cast<std::int64_t>(m_remaining)
                          ? 0
                          : m_remaining - static_cast<std::uint32_t>(elapsed < 0 ? 0 : elapsed);
    }
    m_start = now;
    return m_remaining;
}

void CVxi11OperationGuard::LeaveGate()
{
    if (m_gateHeld != 0) {
        m_gateHeld = 0;
        m_gate->Leave();
    }
}

void CVxi11OperationGuard::EnterGate(std::uint32_t* status)
{
    m_gate->Enter(m_lid, m_remaining, status);
    m_gateHeld = *status == 0 ? 1 : 0;
}
