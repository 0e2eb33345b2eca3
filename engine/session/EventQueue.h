// A device session's event queue: a ring of event records filled by the transport's
// reports and by session operations, emptied by the session's event observer.
//
// The queue has its own mutex; Wait waits for "count > 0 or aborted", looked at under it,
// so no post is lost: it first looks for a record for a few microseconds (the events of one
// message follow each other closely), then sleeps outside the mutex on a wake semaphore.
// Posts wake it after releasing the mutex, so the woken observer does not block on it at
// once. The transport flow control of the session is
// decided under the same mutex: a report that leaves the queue half full or fuller holds
// the transport (PostHoldingAtHalf), and an operation or a take that leaves it below half
// releases it (ReleaseBelowHalf). Deciding both under one mutex keeps a report's hold and
// the observer's release in order, so the transport is never held for good.
#pragma once


#include <atomic>
#include <cstdint>

#include "engine/os/OSMutex.h"
#include "platform/kernel/WakeSemaphore.h"

namespace Korvex {

class CPhysicalInterface;

// Handler of an event slot: (code, argument, context, descriptor) -> result.
using EventHandler = std::uint32_t (*)(std::uint32_t code, std::uint32_t argument,
                                       void* context, void* descriptor);

struct EventRecord {
    // 0..126; kNoEvent when the record holds no event.
    std::uint32_t code;
    // For message events the byte count.
    std::uint32_t argument;
    EventHandler handler;
    void* context;
    // The user's buffer of a completed message (its bytes already in it), else null.
    void* descriptor;
    // 1 when the session must be told that the handler has finished.
    std::uint8_t acknowledge;
};

class CEventQueue {
public:
    static constexpr std::uint32_t kNoEvent = 127;

    // Status 0, or 0x543F0 when the records could not be allocated, 5 when the mutex could
    // not be made.
    CEventQueue(std::uint32_t capacity, std::uint32_t* status);
    ~CEventQueue();
    CEventQueue(const CEventQueue&) = delete;
    CEventQueue& operator=(const CEventQueue&) = delete;

    // Stores a record at the tail and wakes a waiter; 0x54355 and nothing stored when the
    // queue is full.
    void Post(std::uint32_t code, std::uint32_t argument, EventHandler handler, void* context,
              void* descriptor, std::uint8_t acknowledge, std::uint32_t* status);
    // As Post; then, under the queue mutex, holds the transport when the queue is half
    // full or fuller (also when the post failed because the queue is full). The post's
    // failure wins over the hold's. Answers whether the record was stored.
    bool PostHoldingAtHalf(std::uint32_t code, std::uint32_t argument, EventHandler handler,
                           void* context, void* descriptor, std::uint8_t acknowledge,
                           CPhysicalInterface* transport, std::uint32_t* status);
    // Releases the transport when the queue holds fewer than half its capacity; status 0
    // when nothing had to be done.
    void ReleaseBelowHalf(CPhysicalInterface* transport, std::uint32_t* status);

    // Blocking: waits until a record is there or the wait is aborted; else only polls
    // (0x54356 when the queue is empty). An aborted wait clears the flag and reports
    // 0x54357; an Abort is reported once.
    void Wait(bool blocking, std::uint32_t* status);
    // Copies the record at the head out and removes it; 0x54354 when the queue is empty.
    void Take(EventRecord* record, std::uint32_t* status);
    // Makes one Wait (the current or the next) return 0x54357.
    void Abort(std::uint32_t* status);

    std::uint32_t Count();
    std::uint32_t Capacity() const { return m_capacity; }

private:
    // Both called with m_mutex held.
    void PostLocked(std::uint32_t code, std::uint32_t argument, EventHandler handler,
                    void* context, void* descriptor, std::uint8_t acknowledge,
                    std::uint32_t* status);
    bool Lock(std::uint32_t* status);
    // Unlocks, then wakes a waiting observer when a record was stored.
    void UnlockAndWake(bool stored);

    EventRecord* m_records = nullptr;
    COSMutex m_mutex;
    kernel::WakeSemaphore m_wake;  // observers sleep on it outside the mutex
    std::uint8_t m_ready = 0;
    std::uint8_t m_aborted = 0;
    std::uint32_t m_capacity = 0;
    std::atomic<std::uint32_t> m_count{0};  // changed under m_mutex
    std::uint32_t m_waiting = 0;  // observers blocked in Wait
    std::uint32_t m_head = 0;
    std::uint32_t m_tail = 0;
};

} // namespace Korvex
