// A wake-up for a thread that sleeps outside its lock: the sleeper notes under its lock that
// it sleeps, releases the lock and waits here; a waker that saw the note posts after its own
// unlock. Unlike a condition variable, nothing is re-locked inside the wait, so the sleeper's
// next unlock costs no system call, and a post while nobody sleeps costs none either.
// A post the sleeper did not consume (it timed out meanwhile) ends its next wait at once:
// every sleeper looks at its condition again after waking.
#pragma once

#include <semaphore.h>

#include <atomic>
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

// Spinning pays only while the thread that makes the awaited change runs on another CPU. On
// one CPU (the board's, or a host process kept on one) that thread runs only once the spinner
// gives the CPU up, so a spin just delays it. Decided once, as the process starts, from its CPU
// affinity; every spin goes through SpinSite, and places that prepare for a spin ask this first.
bool SpinningPays();
// The decision itself, from the calling thread's affinity as it is now: more than one CPU.
bool AffinityAllowsSeveralCpus();

// A place where a thread looks, without sleeping or yielding, for a change another thread makes
// within microseconds, before it sleeps. It looks at most `most`, and no longer than the waker
// has lately needed there: after each spin the bound moves toward twice the time in which it
// saw the change, or toward half itself when it missed it, so a place whose waker mostly comes
// late soon spins only briefly. Where spinning does not pay, Spin looks once.
class SpinSite {
public:
    explicit constexpr SpinSite(std::chrono::nanoseconds most)
        : mostNs(most.count()), boundNs(most.count())
    {
    }
    SpinSite(const SpinSite&) = delete;
    SpinSite& operator=(const SpinSite&) = delete;

    // True when done() came true.
    template <typename Done>
    bool Spin(Done done)
    {
        if (done()) return true;
        if (!SpinningPays()) return false;
        const long long bound = boundNs.load(std::memory_order_relaxed);
        const auto start = std::chrono::steady_clock::now();
        bool seen = false;
        long long spent = 0;
        for (unsigned round = 1; !seen; ++round) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
            asm volatile("yield");
#endif
            seen = done();
            if (seen || round % 64 == 0) {
                spent = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now() - start).count();
                if (spent >= bound) break;
            }
        }
        Learn(bound, seen, spent);
        return seen;
    }

    std::chrono::nanoseconds Bound() const
    {
        return std::chrono::nanoseconds(boundNs.load(std::memory_order_relaxed));
    }

private:
    void Learn(long long bound, bool seen, long long spent);

    const long long mostNs;
    std::atomic<long long> boundNs;  // spinners of this place race on it; any of their values will do
};

}  // namespace kernel
