#include "engine/os/OSEvent.h"

#include <cerrno>
#include <ctime>

namespace {

timespec DeadlineAfterTicks(std::uint32_t ticks) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    const std::uint64_t ns = static_cast<std::uint64_t>(ticks) * COSEvent::kTickMs * 1000000u;
    deadline.tv_sec += static_cast<time_t>(ns / 1000000000u);
    deadline.tv_nsec += static_cast<long>(ns % 1000000000u);
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

}  // namespace

COSEvent::COSEvent(std::uint32_t initialCount, std::uint32_t maximumCount)
    : initFailed(1), count(initialCount), maximumCount(maximumCount), mutex(), condition() {
    if (pthread_mutex_init(&mutex, nullptr) != 0) {
        return;
    }
    pthread_condattr_t attributes;
    bool made = false;
    if (pthread_condattr_init(&attributes) == 0) {
        made = pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC) == 0 &&
               pthread_cond_init(&condition, &attributes) == 0;
        pthread_condattr_destroy(&attributes);
    }
    if (!made) {
        pthread_mutex_destroy(&mutex);
        return;
    }
    initFailed = 0;
}

COSEvent::~COSEvent() {
    if (initFailed == 0) {
        pthread_cond_destroy(&condition);
        pthread_mutex_destroy(&mutex);
    }
}

void COSEvent::Wait(std::uint32_t timeoutMs, std::uint32_t* status) {
    if (initFailed != 0) {
        *status = 5;
        return;
    }
    pthread_mutex_lock(&mutex);
    if (timeoutMs == kWaitForever) {
        while (count == 0) {
            ++waiting;
            pthread_cond_wait(&condition, &mutex);
            --waiting;
        }
    } else if (timeoutMs != 0) {
        const std::uint32_t ticks = timeoutMs / kTickMs > 0 ? timeoutMs / kTickMs : 1;
        const timespec deadline = DeadlineAfterTicks(ticks);
        while (count == 0) {
            ++waiting;
            const int result = pthread_cond_timedwait(&condition, &mutex, &deadline);
            --waiting;
            if (result == ETIMEDOUT) {
                break;
            }
        }
    }
    if (count > 0) {
        --count;
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
    const bool posted = count < maximumCount;
    if (posted) {
        ++count;
    }
    const bool wake = posted && waiting != 0;
    pthread_mutex_unlock(&mutex);
    // After the unlock: the woken thread takes the mutex first thing.
    if (wake) {
        pthread_cond_signal(&condition);
    }
}
