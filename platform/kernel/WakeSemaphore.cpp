#include "platform/kernel/WakeSemaphore.h"

#include <time.h>

#include <algorithm>

namespace kernel {

bool WakeSemaphore::WaitFor(std::chrono::nanoseconds span)
{
    if (span.count() <= 0) return sem_trywait(&sem) == 0;
    // sem_timedwait takes a wall-clock deadline; one second at most keeps a step of the wall
    // clock from stretching the wait.
    const long long ns = std::min<long long>(span.count(), 1000000000LL);
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_nsec += static_cast<long>(ns);
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += deadline.tv_nsec / 1000000000L;
        deadline.tv_nsec %= 1000000000L;
    }
    return sem_timedwait(&sem, &deadline) == 0;
}

}  // namespace kernel
