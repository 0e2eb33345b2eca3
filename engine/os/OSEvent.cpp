#include "engine/os/OSEvent.h"

#include <chrono>

namespace {
using Clock = std::chrono::steady_clock;
}  // namespace

COSEvent::COSEvent(std::uint32_t initialCount, std::uint32_t maximumCount)
    : initFailed(1), count(initialCount), maximumCount(maximumCount), mutex() {
    if (pthread_mutex_init(&mutex, nullptr) != 0) {
        return;
    }
    initFailed = 0;
}

COSEvent::~COSEvent() {
    if (initFailed == 0) {
        pthread_mutex_destroy(&mutex);
    }
}

void COSEvent::Wait(std::uint32_t timeoutMs, std::uint32_t* status, kernel::SpinSite* spin) {
    if (initFailed != 0) {
        *status = 5;
        return;
    }
    if (spin != nullptr && timeoutMs != 0) {
        spin->Spin([this] { return count.load(std::memory_order_relaxed) != 0; });
    }
    pthread_mutex_lock(&mutex);
    if (count.load(std::memory_order_relaxed) == 0 && timeoutMs != 0) {
        const bool forever = timeoutMs == kWaitForever;
        const std::uint32_t ticks = timeoutMs / kTickMs > 0 ? timeoutMs / kTickMs : 1;
        const Clock::time_point deadline =
            Clock::now() + std::chrono::milliseconds(static_cast<std::uint64_t>(ticks) * kTickMs);
        while (count.load(std::memory_order_relaxed) == 0) {
            const Clock::duration left = deadline - Clock::now();
            if (!forever && left <= Clock::duration::zero()) {
                break;
            }
            ++waiting;
            pthread_mutex_unlock(&mutex);
            if (forever) {
                wake.Wait();
            } else {
                wake.WaitFor(left);
            }
            pthread_mutex_lock(&mutex);
            --waiting;
        }
    }
    if (count.load(std::memory_order_relaxed) > 0) {
        count.fetch_sub(1, std::memory_order_relaxed);
        *status = 0;
    } else {
        *status = 6;
    }
    pthread_mutex_unlock(&mutex);
}

void COSEvent::Post() {
    if (initFailed != 0) {
        return;
    }
    pthread_mutex_lock(&mutex);
    const bool posted = count.load(std::memory_order_relaxed) < maximumCount;
    if (posted) {
        count.fetch_add(1, std::memory_order_relaxed);
    }
    const bool mustWake = posted && waiting != 0;
    pthread_mutex_unlock(&mutex);
    // After the unlock: the woken thread takes the mutex first thing.
    if (mustWake) {
        wake.Post();
    }
}
