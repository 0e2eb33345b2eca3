#include "engine/vxi11/Vxi11OperationQueue.h"

#include "engine/os/Allocator.h"
#include "engine/vxi11/Vxi11DeviceLock.h"
#include "engine/vxi11/Vxi11EventDispatcherGate.h"
#include "engine/vxi11/Vxi11EventGate.h"
#include "engine/vxi11/Vxi11Status.h"

CVxi11OperationQueue::CVxi11OperationQueue(CVxi11DeviceLock* deviceLock,
                                           CVxi11EventGate* eventGate,
                                           CVxi11EventDispatcherGate* dispatcherGate)
    : m_deviceLock(deviceLock), m_eventGate(eventGate), m_dispatcherGate(dispatcherGate)
{
}

CVxi11OperationQueue::~CVxi11OperationQueue()
{
    while (SOperationRecord* head = m_records.GetHead()) {
        EngineDelete(m_records.Unlink(head->key));
    }
}

bool CVxi11OperationQueue::Lock()
{
    std::uint32_t status = 0;
    m_mutex.Lock(&status);
    return status == 0;
}

bool CVxi11OperationQueue::Contains(const SOperationRecord* record) const
{
    for (SOperationRecord* entry = m_records.GetHead(); entry != nullptr; entry = entry->next) {
        if (entry == record) {
            return true;
        }
    }
    return false;
}

void CVxi11OperationQueue::BeginOperation(std::uint32_t lid, std::uint32_t* status)
{
    if (!Lock()) {
        *status = VXI11_STATUS_FAULT;
        return;
    }
    if (m_enabled == 0) {
        *status = VXI11_STATUS_ABORTED;
    } else {
        SOperationRecord* record = EngineNew<SOperationRecord>(lid);
        if (record == nullptr || record->event.InitFailed() != 0) {
            EngineDelete(record);
            *status = VXI11_STATUS_NO_MEMORY;
        } else {
            m_records.PushBack(record);
            *status = 0;
        }
    }
    m_mutex.Unlock();
}

void CVxi11OperationQueue::Prioritise(std::uint32_t lid)
{
    if (!Lock()) {
        return;
    }
    m_records.Reorder(lid, kPassedLock);
    m_mutex.Unlock();
}

void CVxi11OperationQueue::WaitTurnAheadOfWaiters(std::uint32_t lid, std::uint32_t timeoutMs,
                                                  std::uint32_t* status)
{
    if (!Lock()) {
        *status = VXI11_STATUS_FAULT;
        return;
    }
    m_records.Reorder(lid, kAheadOfWaiters);
    if (SOperationRecord* record = m_records.Find(lid)) {
        record->drop = 1;
        record->aborted = 0;  // an abort of the departing link marked before this was meant for it
    }
    m_mutex.Unlock();
    WaitTurn(lid, timeoutMs, status);
}

void CVxi11OperationQueue::WaitTurn(std::uint32_t lid, std::uint32_t timeoutMs,
                                    std::uint32_t* status)
{
    if (!Lock()) {
        *status = VXI11_STATUS_FAULT;
        return;
    }
    SOperationRecord* record = m_enabled != 0 ? m_records.Find(lid) : nullptr;
    if (record == nullptr || record->aborted != 0) {
        *status = VXI11_STATUS_ABORTED;
        m_mutex.Unlock();
        return;
    }
    if (m_records.GetHead() == record) {
        *status = 0;
        m_mutex.Unlock();
        return;
    }
    record->waiting = 1;
    record->waiterInside = 1;
    m_mutex.Unlock();
    std::uint32_t waitStatus = 0;
    record->event.Wait(timeoutMs, &waitStatus);
    Lock();
    record->waiting = 0;
    record->waiterInside = 0;
    if (m_enabled == 0 || !Contains(record)) {
        // Disable took the record out and left it to this waiter.
        if (Contains(record)) {
            m_records.Unlink(lid);
        }
        EngineDelete(record);
        *status = VXI11_STATUS_ABORTED;
    } else if (m_records.GetHead() == record) {
        *status = 0;
    } else if (record->aborted != 0) {
        *status = VXI11_STATUS_ABORTED;
    } else if (waitStatus != 0) {
        *status = VXI11_STATUS_IO_TIMEOUT;
    } else {
        *status = VXI11_STATUS_FAULT;
    }
    m_mutex.Unlock();
}

std::vector<Korvex::CExchangeLedger::Waiting> CVxi11OperationQueue::WaitingBehindHead()
{
    std::vector<Korvex::CExchangeLedger::Waiting> waiting;
    if (!Lock()) {
        return waiting;
    }
    SOperationRecord* head = m_records.GetHead();
    for (SOperationRecord* record = head != nullptr ? head->next : nullptr; record != nullptr;
         record = record->next) {
        waiting.push_back({record->key, record->drop != 0});
    }
    m_mutex.Unlock();
    return waiting;
}

void CVxi11OperationQueue::EndWaitForTurn(std::uint32_t lid)
{
    if (!Lock()) {
        return;
    }
    // Marked also when its wait for the turn has not begun yet, which then ends at once.
    SOperationRecord* record = m_records.Find(lid);
    if (record != nullptr) {
        record->aborted = 1;
        if (record->waiting != 0) {
            record->waiting = 0;
            record->event.Post();
        }
    }
    m_mutex.Unlock();
}

void CVxi11OperationQueue::EndOperation(std::uint32_t lid)
{
    if (!Lock()) {
        return;
    }
    EngineDelete(m_records.Unlink(lid));
    SOperationRecord* head = m_records.GetHead();
    if (head != nullptr && head->waiting != 0) {
        head->waiting = 0;
        head->event.Post();
    }
    m_mutex.Unlock();
}

bool CVxi11OperationQueue::IsAbortPending(std::uint32_t lid)
{
    if (!Lock()) {
        return true;
    }
    SOperationRecord* record = m_enabled != 0 ? m_records.Find(lid) : nullptr;
    const bool pending = record == nullptr || record->aborted != 0;
    m_mutex.Unlock();
    return pending;
}

void CVxi11OperationQueue::Abort(std::uint32_t lid)
{
    if (!Lock()) {
        return;
    }
    AbortLocked(lid);
    m_mutex.Unlock();
}

void CVxi11OperationQueue::AbortLocked(std::uint32_t lid)
{
    if (m_enabled != 0) {
        SOperationRecord* record = m_records.Find(lid);
        if (record != nullptr && record->drop != 0) {
            // The drop ends what the departed link left; the link's own aborts (its peer gone
            // while destroy_link waits, a device_abort) must not leave that undone. Its own
            // time-out bounds it.
            return;
        }
        m_deviceLock->AbortWaiter(lid);
        if (record != nullptr) {
            m_dispatcherGate->AbortWaiter(lid);
            m_eventGate->Cancel(lid);
            // Marked also while it runs: the procedure sees it after its next chunk.
            record->aborted = 1;
            if (record->waiting != 0) {
                record->waiting = 0;
                record->event.Post();
            }
        }
    }
}

void CVxi11OperationQueue::Enable()
{
    if (!Lock()) {
        return;
    }
    m_enabled = 1;
    m_mutex.Unlock();
}

void CVxi11OperationQueue::Disable()
{
    if (!Lock()) {
        return;
    }
    m_enabled = 0;
    while (SOperationRecord* record = m_records.GetHead()) {
        m_records.Unlink(record->key);
        if (record->waiterInside != 0) {
            // Its waiter frees it.
            record->waiting = 0;
            record->aborted = 1;
            record->event.Post();
        } else {
            EngineDelete(record);
        }
    }
    m_mutex.Unlock();
}

std::uint32_t CVxi11OperationQueue::Running()
{
    if (!Lock()) {
        return 0;
    }
    SOperationRecord* head = m_records.GetHead();
    const std::uint32_t lid = head != nullptr ? head->key : 0;
    m_mutex.Unlock();
    return lid;
}
