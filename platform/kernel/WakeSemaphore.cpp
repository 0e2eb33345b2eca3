#include "platform/kernel/WakeSemaphore.h"

#include <sched.h>
#include <time.h>

#include <algorithm>

namespace kernel {

namespace {
// False (no spin) for whatever runs before the process's static initialisation reaches here.
const bool severalCpus = AffinityAllowsSeveralCpus();
}  // namespace

bool SpinningPays() { return severalCpus; }

bool AffinityAllowsSeveralCpus()
{
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    // A mask too small for the host's CPUs fails: so many CPUs are several.
    if (sched_getaffinity(0, sizeof cpus, &cpus) != 0) return true;
    return CPU_COUNT(&cpus) > 1;
}

void SpinSite::Learn(long long bound, bool seen, long long spent)
{
    // Short enough to cost nothing where the waker comes late, long enough to see a waker that
    // comes at once, and so to let the bound grow again when the waker speeds up.
    constexpr long long leastNs = 2000;
    long long next;
    if (seen) {
        // Twice what the waker needed: up at once, down slowly, so the bound follows the late
        // end of the waker's times rather than their mean.
        const long long target = std::min(mostNs, std::max(leastNs, 2 * spent));
        next = target > bound ? bound + (target - bound) / 2 : bound - (bound - target) / 16;
    } else {
        next = bound - (bound - std::max(leastNs, bound / 2)) / 16;
    }
    boundNs.store(next, std::memory_order_relaxed);
}

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
