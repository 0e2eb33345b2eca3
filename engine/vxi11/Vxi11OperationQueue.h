// One VXI-11 procedure at a time per interface: operation records by lid, in arrival order
// except that a record that passed the lock step goes in front of those that did not, and the
// drop of a departed link goes in front of both; the head runs, the others wait on their own
// event. The queue also aborts a lid's waits in the device lock, the
// dispatcher gate and the event gate (device_abort).
//
// Ending, aborting or asking about a lid without a record does nothing (Disable frees the
// records that no waiter owns).
#pragma once

#include <cstdint>
#include <vector>

#include "engine/containers/OrderedList.h"
#include "engine/session/ExchangeLedger.h"
#include "engine/os/OSEvent.h"
#include "engine/os/OSMutex.h"

class CVxi11DeviceLock;
class CVxi11EventGate;
class CVxi11EventDispatcherGate;

class CVxi11OperationQueue {
public:
    CVxi11OperationQueue(CVxi11DeviceLock* deviceLock, CVxi11EventGate* eventGate,
                         CVxi11EventDispatcherGate* dispatcherGate);
    ~CVxi11OperationQueue();
    CVxi11OperationQueue(const CVxi11OperationQueue&) = delete;
    CVxi11OperationQueue& operator=(const CVxi11OperationQueue&) = delete;

    std::uint8_t InitFailed() const { return m_mutex.InitFailed(); }
    CVxi11DeviceLock* GetDeviceLock() const { return m_deviceLock; }

    // Appends lid's record (priority 0). 0x54396 when disabled, 0x543F0 without memory.
    void BeginOperation(std::uint32_t lid, std::uint32_t* status);
    // Priority 1: in front of every record behind the head that has not passed the lock step.
    void Prioritise(std::uint32_t lid);
    // Waits until lid's record is the head. 0; 0x54324 timed out; 0x54396 aborted or disabled.
    void WaitTurn(std::uint32_t lid, std::uint32_t timeoutMs, std::uint32_t* status);
    // The turn of a departed link's drop: lid's record is marked as a drop and goes in front
    // of every waiting record, then WaitTurn. The running operation is left to run: a drop
    // that does not get the turn in time ends with 0x54324. Aborts of lid do not reach the
    // drop: it ends what the departed link left, within its own time-out.
    void WaitTurnAheadOfWaiters(std::uint32_t lid, std::uint32_t timeoutMs,
                                std::uint32_t* status);
    // The operations waiting behind the running one, in queue order (the ledger's handed
    // GETs are taken in that order).
    std::vector<Korvex::CExchangeLedger::Waiting> WaitingBehindHead();
    // Once the GET of lid's device_trigger was delivered by the running procedure: ends that
    // device_trigger's wait for its turn (0x54396), at once if it has not begun waiting yet.
    void EndWaitForTurn(std::uint32_t lid);
    // Removes lid's record and wakes the new head.
    void EndOperation(std::uint32_t lid);
    // Whether lid's operation was aborted (true when disabled or when it has no record).
    bool IsAbortPending(std::uint32_t lid);
    // device_abort for lid.
    void Abort(std::uint32_t lid);
    void Enable();
    // Wakes every waiting record and frees every other one.
    void Disable();

    // The lid at the head (0: none); for checks.
    std::uint32_t Running();

private:
    struct SOperationRecord {
        explicit SOperationRecord(std::uint32_t lid) : key(lid) {}
        std::uint32_t key;  // the lid
        std::uint8_t aborted = 0;
        std::uint8_t waiting = 0;       // waits for its turn
        std::uint8_t waiterInside = 0;  // its waiter runs without the mutex; it frees the record
        std::uint8_t drop = 0;          // the drop of a departed link
        std::int32_t priority = 0;      // place in the queue
        COSEvent event{0, 1};
        SOperationRecord* next = nullptr;
    };

    enum : std::int32_t { kPassedLock = 1, kAheadOfWaiters = 2 };

    bool Lock();
    // Abort with the mutex held.
    void AbortLocked(std::uint32_t lid);
    bool Contains(const SOperationRecord* record) const;

    COSMutex m_mutex;
    Korvex::COrderedList<SOperationRecord> m_records;
    std::uint8_t m_enabled = 0;
    CVxi11DeviceLock* m_deviceLock;
    CVxi11EventGate* m_eventGate;
    CVxi11EventDispatcherGate* m_dispatcherGate;
};
