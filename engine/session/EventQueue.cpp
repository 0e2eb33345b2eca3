#include "engine/session/EventQueue.h"

#include <chrono>

#include "engine/os/Allocator.h"
#include "engine/session/PhysicalInterface.h"
#include "engine/status/EngineStatus.h"

namespace Korvex {

namespace {
constexpr std::uint32_t kQueueEmpty = 0x54354;
// Where a blocking Wait looks for a record before it sleeps, at most this long.
kernel::SpinSite waitSpin(std::chrono::microseconds(50));
} // namespace

CEventQueue::CEventQueue(std::uint32_t capacity, std::uint32_t* status)
{
    if (m_mutex.InitFailed()) {
        *status = ENGINE_STATUS_NOT_CREATED;
        return;
    }
    m_records = static_cast<EventRecord*>(
        EngineAllocate(sizeof(EventRecord) * (capacity == 0 ? 1 : capacity)));
    if (m_records == nullptr) {
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
        return;
    }
    for (std::uint32_t i = 0; i < capacity; ++i) {
        m_records[i] = EventRecord{kNoEvent, 0, nullptr, nullptr, nullptr, 0};
    }
    m_capacity = capacity;
    m_ready = 1;
    *status = 0;
}

CEventQueue::~CEventQueue()
{
    EngineFree(m_records);
}

bool CEventQueue::Lock(std::uint32_t* status)
{
    if (!m_ready) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return false;
    }
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return false;
    }
    return true;
}

void CEventQueue::PostLocked(std::uint32_t code, std::uint32_t argument, EventHandler handler,
                             void* context, void* descriptor, std::uint8_t acknowledge,
                             std::uint32_t* status)
{
    if (m_count >= m_capacity) {
        *status = ENGINE_STATUS_EVENT_QUEUE_FULL;
        return;
    }
    m_records[m_tail] = EventRecord{code, argument, handler, context, descriptor, acknowledge};
    m_tail = (m_tail + 1) % m_capacity;
    ++m_count;
    *status = 0;
}

void CEventQueue::UnlockAndWake(bool stored)
{
    // The observer needs the mutex as soon as it wakes: wake it once the mutex is free, and
    // only when it sleeps (it looks at the count under the mutex before it sleeps).
    const bool wake = stored && m_waiting != 0;
    m_mutex.Unlock();
    if (wake) {
        m_wake.Post();
    }
}

void CEventQueue::Post(std::uint32_t code, std::uint32_t argument, EventHandler handler,
                       void* context, void* descriptor, std::uint8_t acknowledge,
                       std::uint32_t* status)
{
    if (!Lock(status)) {
        return;
    }
    PostLocked(code, argument, handler, context, descriptor, acknowledge, status);
    UnlockAndWake(*status == 0);
}

bool CEventQueue::PostHoldingAtHalf(std::uint32_t code, std::uint32_t argument,
                                    EventHandler handler, void* context, void* descriptor,
                                    std::uint8_t acknowledge, CPhysicalInterface* transport,
                                    std::uint32_t* status)
{
    if (!Lock(status)) {
        return false;
    }
    PostLocked(code, argument, handler, context, descriptor, acknowledge, status);
    const bool stored = *status == 0;
    if (transport != nullptr && m_count >= m_capacity / 2) {
        std::uint32_t holdStatus = ZODEVICE_STATUS_DRIVER_FAULT;
        transport->HoldTransport(&holdStatus);
        if (*status == 0) {
            *status = holdStatus;
        }
    }
    UnlockAndWake(stored);
    return stored;
}

void CEventQueue::ReleaseBelowHalf(CPhysicalInterface* transport, std::uint32_t* status)
{
    if (!Lock(status)) {
        return;
    }
    *status = 0;
    if (transport != nullptr && m_count < m_capacity / 2) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        transport->ReleaseTransport(status);
    }
    m_mutex.Unlock();
}

void CEventQueue::Wait(bool blocking, std::uint32_t* status)
{
    if (blocking && m_ready) {
        waitSpin.Spin([this] { return m_count.load(std::memory_order_relaxed) != 0; });
    }
    if (!Lock(status)) {
        return;
    }
    if (blocking) {
        while (m_count == 0 && !m_aborted) {
            ++m_waiting;
            m_mutex.Unlock();
            m_wake.Wait();
            std::uint32_t lockStatus = 0;
            m_mutex.Lock(&lockStatus);
            --m_waiting;
        }
    }
    if (m_aborted) {
        m_aborted = 0;
        *status = ZODEVICE_STATUS_EVENT_MSG_ABORTED;
    } else if (m_count == 0) {
        *status = ZODEVICE_STATUS_EVENT_MSG_UNAVAILABLE;
    } else {
        *status = 0;
    }
    m_mutex.Unlock();
}

void CEventQueue::Take(EventRecord* record, std::uint32_t* status)
{
    if (!Lock(status)) {
        return;
    }
    if (m_count == 0) {
        *status = kQueueEmpty;
    } else {
        *record = m_records[m_head];
        m_records[m_head].code = kNoEvent;
        m_head = (m_head + 1) % m_capacity;
        --m_count;
        *status = 0;
    }
    m_mutex.Unlock();
}

void CEventQueue::Abort(std::uint32_t* status)
{
    if (!Lock(status)) {
        return;
    }
    m_aborted = 1;
    const std::uint32_t sleepers = m_waiting;
    *status = 0;
    m_mutex.Unlock();
    m_wake.Post(sleepers);
}

std::uint32_t CEventQueue::Count()
{
    std::uint32_t status = 0;
    if (!Lock(&status)) {
        return 0;
    }
    const std::uint32_t count = m_count;
    m_mutex.Unlock();
    return count;
}

} // namespace Korvex
