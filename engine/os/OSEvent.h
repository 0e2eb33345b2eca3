// Engine counting event: a count with a maximum, guarded by a mutex and a condition variable
// on the monotonic clock. Waits are measured in 10-ms ticks.
#pragma once

#include <pthread.h>

#include <cstdint>

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
    void Wait(std::uint32_t timeoutMs, std::uint32_t* status);
    // Adds one count while the count is below the maximum.
    void Post();

private:
    std::uint8_t initFailed;
    std::uint32_t count;
    std::uint32_t maximumCount;
    std::uint32_t waiting = 0;  // threads blocked in Wait
    pthread_mutex_t mutex;
    pthread_cond_t condition;
};
