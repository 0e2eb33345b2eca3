#include "engine/vxi11/Vxi11DeviceLock.h"

#include "engine/os/Allocator.h"
#include "engine/vxi11/Vxi11Status.h"

CVxi11DeviceLock::~CVxi11DeviceLock()
{
    while (m_head != nullptr) {
        SLockRecord* next = m_head->next;
        EngineDelete(m_head);
        m_head = next;
    }
}

bool CVxi11DeviceLock::Contains(const SLockRecord* record) const
{
    for (const SLockRecord* entry = m_head; entry != nullptr; entry = entry->next) {
        if (entry == record) {
            return true;
        }
    }
    return false;
}

void CVxi11DeviceLock::Unlink(SLockRecord* record)
{
    SLockRecord* previous = nullptr;
    for (SLockRecord* entry = m_head; entry != nullptr; previous = entry, entry = entry->next) {
        if (entry != record) {
            continue;
        }
        if (previous == nullptr) {
            m_head = entry->next;
        } else {
            previous->next = entry->next;
        }
        if (m_tail == entry) {
            m_tail = previous;
        }
        entry->next = nullptr;
        return;
    }
}

void CVxi11DeviceLock::Acquire(std::uint32_t lid, std::uint32_t timeoutMs, std::uint32_t* status)
{
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        *status = VXI11_STATUS_FAULT;
        return;
    }
    AcquireLocked(lid, timeoutMs, status);
    m_mutex.Unlock();
}

void CVxi11DeviceLock::Pass(std::uint32_t lid, std::uint32_t timeoutMs, std::uint32_t* status)
{
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        *status = VXI11_STATUS_FAULT;
        return;
    }
    if (m_enabled != 0 && (m_head == nullptr || m_head->lid == lid)) {
        // Free, or held by lid itself: nothing to wait for, and no record that a concurrent
        // poll of another link could mistake for a holder.
        *status = 0;
    } else {
        AcquireLocked(lid, timeoutMs, status);
        if (*status == 0) {
            ReleaseLocked(lid);
        }
    }
    m_mutex.Unlock();
}

void CVxi11DeviceLock::AcquireLocked(std::uint32_t lid, std::uint32_t timeoutMs,
                                     std::uint32_t* status)
{
    if (m_enabled == 0) {
        *status = VXI11_STATUS_LOCKED;
        return;
    }
    if (m_head != nullptr && m_head->lid == lid) {
        ++m_head->depth;
        *status = 0;
        return;
    }
    SLockRecord* record = EngineNew<SLockRecord>(lid);
    if (record == nullptr || record->event.InitFailed() != 0) {
        EngineDelete(record);
        *status = VXI11_STATUS_NO_MEMORY;
        return;
    }
    if (m_tail == nullptr) {
        m_head = record;
    } else {
        m_tail->next = record;
    }
    m_tail = record;
    if (m_head == record) {
        *status = 0;
        return;
    }
    record->waiting = 1;
    record->waiterInside = 1;
    m_mutex.Unlock();
    std::uint32_t waitStatus = 0;
    record->event.Wait(timeoutMs, &waitStatus);
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    record->waiting = 0;
    record->waiterInside = 0;
    const bool listed = Contains(record);
    if (m_enabled == 0 || !listed) {
        // Disable took the record out of the queue and left it to this waiter.
        if (listed) {
            Unlink(record);
        }
        EngineDelete(record);
        *status = VXI11_STATUS_ABORTED;
    } else if (m_head == record) {
        *status = 0;
    } else {
        Unlink(record);
        if (record->aborted != 0) {
            *status = VXI11_STATUS_ABORTED;
        } else if (waitStatus != 0) {
            *status = VXI11_STATUS_LOCKED;
        } else {
            *status = VXI11_STATUS_FAULT;
        }
        EngineDelete(record);
    }
}

void CVxi11DeviceLock::Release(std::uint32_t lid)
{
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        return;
    }
    ReleaseLocked(lid);
    m_mutex.Unlock();
}

void CVxi11DeviceLock::ReleaseLocked(std::uint32_t lid)
{
    if (m_head != nullptr && m_head->lid == lid) {
        if (m_head->depth > 0) {
            --m_head->depth;
        } else {
            SLockRecord* released = m_head;
            Unlink(released);
            EngineDelete(released);
            if (m_head != nullptr && m_head->waiting != 0) {
                m_head->waiting = 0;
                m_head->event.Post();
            }
        }
    }
}

void CVxi11DeviceLock::AbortWaiter(std::uint32_t lid)
{
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        return;
    }
    for (SLockRecord* record = m_head; record != nullptr; record = record->next) {
        if (record->lid == lid && record->waiting != 0) {
            record->aborted = 1;
            record->waiting = 0;
            record->event.Post();
        }
    }
    m_mutex.Unlock();
}

void CVxi11DeviceLock::Enable()
{
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        return;
    }
    m_enabled = 1;
    m_mutex.Unlock();
}

void CVxi11DeviceLock::Disable()
{
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        return;
    }
    m_enabled = 0;
    SLockRecord* record = m_head;
    m_head = m_tail = nullptr;
    while (record != nullptr) {
        SLockRecord* next = record->next;
        record->next = nullptr;
        if (record->waiterInside != 0) {
            // Its waiter frees it.
            record->waiting = 0;
            record->aborted = 1;
            record->event.Post();
        } else {
            EngineDelete(record);
        }
        record = next;
    }
    m_mutex.Unlock();
}

std::uint32_t CVxi11DeviceLock::Holder()
{
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        return 0;
    }
    const std::uint32_t lid = m_head != nullptr ? m_head->lid : 0;
    m_mutex.Unlock();
    return lid;
}
