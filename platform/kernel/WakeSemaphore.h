// A wake-up for a thread that sleeps outside its lock: the sleeper notes under its lock that
// it sleeps, releases the lock and waits here; a waker that saw the note posts after its own
// unlock. Unlike a condition variable, nothing is re-locked inside the wait, so the sleeper's
// next unlock costs no system call, and a post while nobody sleeps costs none either.
// A post the sleeper did not consume (it timed out meanwhile) ends its next wait at once:
// every sleeper looks at its condition again after waking.
#pragma once

#include <semaphore.h>

#include <chrono>

namespace kernel {

class WakeSemaphore {
public:
    WakeSemaphore() { sem_init(&sem, 0, 0); }
    ~WakeSemaphore() { sem_destroy(&sem); }
    WakeSemaphore(const WakeSemaphore&) = delete;
    WakeSemaphore& operator=(const WakeSemaphore&) = delete;

    void Post() { sem_post(&sem); }
    // Wakes that many sleepers (a broadcast to the sleepers counted under the caller's lock).
    void Post(unsigned times)
    {
        for (unsigned i = 0; i < times; ++i) sem_post(&sem);
    }
    // Waits for a post; false when a signal interrupted the wait.
    bool Wait() { return sem_wait(&sem) == 0; }
    // Waits for a post at most span (a second at most in one go: the caller, which keeps its
    // own deadline on the monotonic clock, waits again). False on time-out or a signal.
    bool WaitFor(std::chrono::nanoseconds span);

private:
    sem_t sem;
};

// Looks at done() for up to span without sleeping or yielding, for a change another thread
// makes within microseconds; true when done() came true.
template <typename Done>
bool SpinFor(std::chrono::nanoseconds span, Done done)
{
    const auto end = std::chrono::steady_clock::now() + span;
    for (unsigned round = 1;; ++round) {
        if (done()) return true;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
        asm volatile("yield");
#endif
        if (round % 64 == 0 && std::chrono::steady_clock::now() >= end) return false;
    }
}

}  // namespace kernel
