// Engine counting event: a count with a maximum, guarded by a mutex; a waiter sleeps outside
// the mutex on a wake semaphore. Waits are measured in 10-ms ticks on the monotonic clock.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "platform/kernel/WakeSemaphore.h"

class COSEvent {
public:
    static constexpr std::uint32_t kWaitForever = 0xFFFFFFFFu;
    static constexpr std::uint32_t kTickMs = 10;

    COSEvent(std::uint32_t initialCount, std::uint32_t maximumCount);
    ~COSEvent();
    COSEvent(const COSEvent&) = delete;
    COSEvent& operator=(const COSEvent&) = delete;

    // 1 when the event could not be initialised (then Wait reports 5 and Post does nothing).
    std::uint8_t InitFailed() const { return initFailed; }

    // Takes one count. timeoutMs: kWaitForever waits without limit; 0 only tests; otherwise
    // waits max(1, timeoutMs / 10) ticks. Status 0 when the count was taken, else 6.
    // spin: for a post expected within microseconds, where to look for it before sleeping
    // (a sleep and its wake cost two system calls and the wake latency).
    void Wait(std::uint32_t timeoutMs, std::uint32_t* status, kernel::SpinSite* spin = nullptr);
    // Adds one count while the count is below the maximum.
    void Post();

private:
    std::uint8_t initFailed;
    std::atomic<std::uint32_t> count;  // changed under the mutex; read without it while spinning
    std::uint32_t maximumCount;
    std::uint32_t waiting = 0;  // threads asleep in Wait
    pthread_mutex_t mutex;
    kernel::WakeSemaphore wake;
};
