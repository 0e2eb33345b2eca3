// The VXI-11 device lock of one interface: a FIFO of lock records by lid; the record at the
// head holds the lock (with a depth for repeated acquisitions by the holder), the others wait
// on their own event, in arrival order.
//
// A wait that times out, or a poll that finds another link holding the lock, reports
// VXI11_STATUS_LOCKED; an aborted wait or one ended by Disable reports VXI11_STATUS_ABORTED.
// Releasing or aborting a lid without a record does nothing.
#pragma once

#include <cstdint>

#include "engine/os/OSEvent.h"
#include "engine/os/OSMutex.h"

class CVxi11DeviceLock {
public:
    CVxi11DeviceLock() = default;
    ~CVxi11DeviceLock();
    CVxi11DeviceLock(const CVxi11DeviceLock&) = delete;
    CVxi11DeviceLock& operator=(const CVxi11DeviceLock&) = delete;

    std::uint8_t InitFailed() const { return m_mutex.InitFailed(); }

    // timeoutMs as COSEvent::Wait (0 polls, COSEvent::kWaitForever waits without limit).
    void Acquire(std::uint32_t lid, std::uint32_t timeoutMs, std::uint32_t* status);
    // Waits like Acquire until no other link holds the lock, but takes no lock: passes at
    // once when the lock is free or held by lid.
    void Pass(std::uint32_t lid, std::uint32_t timeoutMs, std::uint32_t* status);
    // The holder gives up one acquisition; nothing unless lid holds the lock.
    void Release(std::uint32_t lid);
    // Ends the wait of lid's record, if it waits.
    void AbortWaiter(std::uint32_t lid);
    void Enable();
    // Wakes every waiting record and frees every other one.
    void Disable();

    // The lid holding the lock (0: none); for checks.
    std::uint32_t Holder();

private:
    struct SLockRecord {
        explicit SLockRecord(std::uint32_t id) : lid(id) {}
        std::uint32_t lid;
        std::uint32_t depth = 0;
        std::uint8_t aborted = 0;
        std::uint8_t waiting = 0;     // waits for a post
        std::uint8_t waiterInside = 0;  // its waiter runs without the mutex; it frees the record
        COSEvent event{0, 1};
        SLockRecord* next = nullptr;
    };

    // With the mutex held (the wait drops it meanwhile).
    void AcquireLocked(std::uint32_t lid, std::uint32_t timeoutMs, std::uint32_t* status);
    void ReleaseLocked(std::uint32_t lid);
    bool Contains(const SLockRecord* record) const;
    void Unlink(SLockRecord* record);

    COSMutex m_mutex;
    SLockRecord* m_head = nullptr;
    SLockRecord* m_tail = nullptr;
    std::uint8_t m_enabled = 0;
};
