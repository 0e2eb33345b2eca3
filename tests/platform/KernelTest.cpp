#include "platform/kernel/Kernel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/KernelTestSupport.h"

using namespace kernel;
using namespace kernel::test;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

double ElapsedMs(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

// Runs every test at 0.1 real ms per tick and restores the board clock afterwards.
class KernelFast : public ::testing::Test {
protected:
    void SetUp() override { set_tick_ms(0.1); }
    void TearDown() override { set_tick_ms(10.0); }
};

}  // namespace

// ---- threads -----------------------------------------------------------------------------

TEST(KernelThread, CreatedSuspendedRunsNothingBeforeResume) {
    std::atomic<bool> ran{false};
    TestThread t([&] { ran = true; }, "Host Parser Thread", 15, 32768);
    ASSERT_NE(t.handle, 0u);
    ThreadInfo info = thread_info(t.handle);
    EXPECT_TRUE(info.exists);
    EXPECT_EQ(info.suspend_count, 1);
    EXPECT_EQ(info.priority, 15);
    EXPECT_EQ(info.stack_size, 32768u);
    EXPECT_STREQ(info.name, "Host Parser Thread");
    thread_suspend(t.handle);
    EXPECT_EQ(thread_info(t.handle).suspend_count, 2);
    thread_resume(t.handle);
    EXPECT_EQ(thread_info(t.handle).suspend_count, 1);
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(ran);

    thread_resume(t.handle);
    ASSERT_TRUE(WaitExited(t.handle));
    EXPECT_TRUE(ran);
    EXPECT_TRUE(thread_delete(t.handle));
    EXPECT_FALSE(thread_info(t.handle).exists);
    EXPECT_FALSE(thread_delete(t.handle));
}

TEST(KernelThread, SelfSuspendParksAtOnce) {
    Semaphore before, after;
    semaphore_init(&before, 0);
    semaphore_init(&after, 0);
    std::atomic<bool> resumed{false};
    TestThread t([&] {
        semaphore_post(&before);
        thread_suspend(thread_self());
        resumed = true;
        semaphore_post(&after);
    });
    thread_resume(t.handle);
    ASSERT_TRUE(semaphore_wait(&before));
    ASSERT_TRUE(WaitUntil([&] { return thread_info(t.handle).suspend_count == 1; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(resumed);
    thread_resume(t.handle);
    ASSERT_TRUE(semaphore_wait(&after));
    EXPECT_TRUE(resumed);
    ASSERT_TRUE(WaitExited(t.handle));
    thread_delete(t.handle);
    semaphore_destroy(&before);
    semaphore_destroy(&after);
}

TEST(KernelThread, SuspendingAnotherParksItAtItsNextKernelCall) {
    Semaphore go;
    semaphore_init(&go, 0);
    std::atomic<int> rounds{0};
    std::atomic<bool> stop{false};
    TestThread t([&] {
        while (!stop) {
            semaphore_wait(&go);
            ++rounds;
        }
    });
    thread_resume(t.handle);
    thread_suspend(t.handle);
    semaphore_post(&go);  // the wait completes, but the suspended thread does not return from it
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(rounds, 0);
    thread_resume(t.handle);
    ASSERT_TRUE(WaitUntil([&] { return rounds == 1; }));
    stop = true;
    semaphore_post(&go);
    ASSERT_TRUE(WaitExited(t.handle));
    thread_delete(t.handle);
    semaphore_destroy(&go);
}

TEST(KernelThread, SelfIsNeverZeroAndDistinctPerThread) {
    handle_t main = thread_self();
    EXPECT_NE(main, 0u);
    EXPECT_EQ(thread_self(), main);
    handle_t other = 0;
    std::thread([&] { other = thread_self(); }).join();
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, main);

    std::atomic<handle_t> inside{0};
    TestThread t([&] { inside = thread_self(); });
    thread_resume(t.handle);
    ASSERT_TRUE(WaitExited(t.handle));
    EXPECT_EQ(inside, t.handle);
    thread_delete(t.handle);
}

TEST(KernelThread, ExitFromNestedCallEndsTheThread) {
    std::atomic<bool> afterExit{false};
    TestThread t([&] {
        [] { thread_exit(); }();
        afterExit = true;
    });
    thread_resume(t.handle);
    ASSERT_TRUE(WaitExited(t.handle));
    EXPECT_FALSE(afterExit);
    EXPECT_FALSE(thread_info(t.handle).killed);
    EXPECT_TRUE(thread_delete(t.handle));
}

TEST(KernelThread, DeletingANeverResumedThreadRunsNothing) {
    std::atomic<bool> ran{false};
    TestThread t([&] { ran = true; });
    EXPECT_TRUE(thread_delete(t.handle));
    std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(ran);
    EXPECT_FALSE(thread_info(t.handle).exists);
}

TEST(KernelThread, DeletingABlockedThreadLetsItsObjectsBeDestroyed) {
    auto sem = std::make_unique<Semaphore>();
    auto mutex = std::make_unique<Mutex>();
    auto flag = std::make_unique<Flag>();
    semaphore_init(sem.get(), 0);
    mutex_init(mutex.get());
    flag_init(flag.get());
    ASSERT_TRUE(mutex_lock(mutex.get()));

    std::atomic<int> returned{0};
    TestThread a([&] { semaphore_wait(sem.get()); ++returned; });
    TestThread b([&] { mutex_lock(mutex.get()); ++returned; });
    TestThread c([&] { flag_wait(flag.get(), 1, FLAG_WAITMODE_OR); ++returned; });
    for (auto* t : {&a, &b, &c}) thread_resume(t->handle);
    for (auto* t : {&a, &b, &c}) ASSERT_TRUE(WaitBlocked(t->handle));

    for (auto* t : {&a, &b, &c}) {
        EXPECT_TRUE(thread_delete(t->handle));
        EXPECT_FALSE(thread_info(t->handle).exists);
    }
    mutex_unlock(mutex.get());
    semaphore_destroy(sem.get());
    mutex_destroy(mutex.get());
    flag_destroy(flag.get());
    sem.reset();
    mutex.reset();
    flag.reset();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(returned, 0);
}

TEST(KernelThread, KilledOrEndedHolderGivesUpTheSchedulerLock) {
    Semaphore holding;
    semaphore_init(&holding, 0);
    std::atomic<bool> go{false};
    TestThread t([&] {
        scheduler_lock();
        semaphore_post(&holding);
        while (!go) std::this_thread::yield();
        scheduler_unlock();  // killed meanwhile: parks here
    });
    thread_resume(t.handle);
    ASSERT_TRUE(semaphore_wait(&holding));
    EXPECT_TRUE(thread_delete(t.handle));
    go = true;
    scheduler_lock();  // would wait for ever if the parked thread kept it
    EXPECT_TRUE(scheduler_locked_by_self());
    scheduler_unlock();
    semaphore_destroy(&holding);

    TestThread ending([] {
        scheduler_lock();
        thread_exit();
    });
    thread_resume(ending.handle);
    ASSERT_TRUE(WaitExited(ending.handle));
    scheduler_lock();
    scheduler_unlock();
    thread_delete(ending.handle);
}

// ---- release -----------------------------------------------------------------------------

TEST(KernelRelease, EveryBlockingWaitReturnsFalse) {
    Semaphore sem;
    Mutex mutex;
    Flag flag;
    Cond cond;
    semaphore_init(&sem, 0);
    mutex_init(&mutex);
    flag_init(&flag);
    cond_init(&cond, &mutex);
    ASSERT_TRUE(mutex_lock(&mutex));

    std::atomic<int> step{0};
    bool semResult = true, mutexResult = true, condResult = true, condHeld = false;
    std::uint32_t flagResult = 1;
    TestThread t([&] {
        semResult = semaphore_wait(&sem);
        step = 1;
        mutexResult = mutex_lock(&mutex);
        step = 2;
        flagResult = flag_wait(&flag, 3, FLAG_WAITMODE_AND);
        step = 3;
        if (mutex_lock(&mutex)) {
            step = 4;
            condResult = cond_wait(&cond);
            condHeld = !mutex_trylock(&mutex);  // held again, by us
            mutex_unlock(&mutex);
        }
        step = 5;
    });
    thread_resume(t.handle);
    for (int expected = 1; expected <= 3; ++expected) {
        thread_release(t.handle);
        ASSERT_TRUE(WaitUntil([&] { return step == expected; }));
    }
    EXPECT_FALSE(semResult);
    EXPECT_FALSE(mutexResult);
    EXPECT_EQ(flagResult, 0u);
    EXPECT_EQ(semaphore_peek(&sem), 0u);
    EXPECT_EQ(flag_peek(&flag), 0u);

    mutex_unlock(&mutex);
    ASSERT_TRUE(WaitUntil([&] { return step == 4; }));
    thread_release(t.handle);
    ASSERT_TRUE(WaitExited(t.handle));
    EXPECT_FALSE(condResult);
    EXPECT_TRUE(condHeld);
    EXPECT_TRUE(mutex_trylock(&mutex));  // freed by the thread
    mutex_unlock(&mutex);

    thread_delete(t.handle);
    cond_destroy(&cond);
    flag_destroy(&flag);
    mutex_destroy(&mutex);
    semaphore_destroy(&sem);
}

TEST(KernelRelease, NonBlockingCallsLeaveAPendingReleaseForTheNextWait) {
    Semaphore sem;
    semaphore_init(&sem, 1);
    bool first = false, second = true;
    Semaphore gate;
    semaphore_init(&gate, 0);
    TestThread t([&] {
        while (!semaphore_trywait(&gate)) thread_yield();
        first = semaphore_wait(&sem);   // available: does not block, the release stays pending
        second = semaphore_wait(&sem);  // would block: returns false at once
    });
    thread_resume(t.handle);
    thread_release(t.handle);
    semaphore_post(&gate);
    ASSERT_TRUE(WaitExited(t.handle));
    EXPECT_TRUE(first);
    EXPECT_FALSE(second);
    thread_delete(t.handle);
    semaphore_destroy(&gate);
    semaphore_destroy(&sem);
}

TEST_F(KernelFast, ReleaseCutsADelayShort) {
    TestThread t([] { thread_delay(100000000); });
    thread_resume(t.handle);
    ASSERT_TRUE(WaitBlocked(t.handle));
    thread_release(t.handle);
    ASSERT_TRUE(WaitExited(t.handle));
    thread_delete(t.handle);
}

// ---- clock and timed waits ---------------------------------------------------------------

TEST(KernelClock, MillisecondsRoundUpToTicks) {
    EXPECT_EQ(ms_to_ticks(0), 0u);
    EXPECT_EQ(ms_to_ticks(1), 1u);
    EXPECT_EQ(ms_to_ticks(10), 1u);
    EXPECT_EQ(ms_to_ticks(11), 2u);
    EXPECT_EQ(ms_to_ticks(30000), 3000u);
}

TEST_F(KernelFast, DelayLastsAtLeastItsTicks) {
    EXPECT_DOUBLE_EQ(tick_ms(), 0.1);
    auto start = Clock::now();
    tick_t before = current_time();
    thread_delay(300);
    EXPECT_GE(current_time(), before + 300);
    EXPECT_GE(ElapsedMs(start), 29.0);
}

TEST_F(KernelFast, TimeStaysMonotonicAcrossScaleChanges) {
    tick_t a = current_time();
    set_tick_ms(50.0);
    tick_t b = current_time();
    set_tick_ms(0.1);
    std::this_thread::sleep_for(2ms);
    tick_t c = current_time();
    EXPECT_LE(a, b);
    EXPECT_LT(b, c);
}

TEST_F(KernelFast, TimedWaitsTimeOutAtTheirDeadline) {
    Semaphore sem;
    Flag flag;
    Mutex mutex;
    Cond cond;
    semaphore_init(&sem, 0);
    flag_init(&flag);
    mutex_init(&mutex);
    cond_init(&cond, &mutex);

    auto start = Clock::now();
    EXPECT_FALSE(semaphore_timed_wait(&sem, current_time() + 200));
    EXPECT_GE(ElapsedMs(start), 19.0);

    start = Clock::now();
    EXPECT_EQ(flag_timed_wait(&flag, 1, FLAG_WAITMODE_OR, current_time() + 200), 0u);
    EXPECT_GE(ElapsedMs(start), 19.0);

    ASSERT_TRUE(mutex_lock(&mutex));
    start = Clock::now();
    EXPECT_FALSE(cond_timed_wait(&cond, current_time() + 200));
    EXPECT_GE(ElapsedMs(start), 19.0);
    EXPECT_FALSE(mutex_trylock(&mutex));  // held again
    mutex_unlock(&mutex);

    cond_destroy(&cond);
    mutex_destroy(&mutex);
    flag_destroy(&flag);
    semaphore_destroy(&sem);
}

TEST_F(KernelFast, PastDeadlineTestsOnce) {
    Semaphore sem;
    Flag flag;
    semaphore_init(&sem, 1);
    flag_init(&flag);
    EXPECT_TRUE(semaphore_timed_wait(&sem, 0));
    EXPECT_FALSE(semaphore_timed_wait(&sem, 0));
    flag_setbits(&flag, 4);
    EXPECT_EQ(flag_timed_wait(&flag, 4, FLAG_WAITMODE_AND, 0), 4u);
    EXPECT_EQ(flag_timed_wait(&flag, 8, FLAG_WAITMODE_AND, 0), 0u);
    flag_destroy(&flag);
    semaphore_destroy(&sem);
}

// ---- semaphores and condition variables -------------------------------------------------

TEST(KernelSemaphore, CountsPostsAndHandsThemToWaiters) {
    Semaphore sem;
    semaphore_init(&sem, 2);
    EXPECT_EQ(semaphore_peek(&sem), 2u);
    EXPECT_TRUE(semaphore_trywait(&sem));
    EXPECT_TRUE(semaphore_wait(&sem));
    EXPECT_FALSE(semaphore_trywait(&sem));
    EXPECT_EQ(semaphore_peek(&sem), 0u);

    std::atomic<int> got{0};
    TestThread a([&] { if (semaphore_wait(&sem)) ++got; });
    TestThread b([&] { if (semaphore_wait(&sem)) ++got; });
    thread_resume(a.handle);
    thread_resume(b.handle);
    ASSERT_TRUE(WaitBlocked(a.handle));
    ASSERT_TRUE(WaitBlocked(b.handle));
    EXPECT_EQ(got, 0);
    semaphore_post(&sem);
    semaphore_post(&sem);
    semaphore_post(&sem);
    ASSERT_TRUE(WaitExited(a.handle));
    ASSERT_TRUE(WaitExited(b.handle));
    EXPECT_EQ(got, 2);
    EXPECT_EQ(semaphore_peek(&sem), 1u);
    thread_delete(a.handle);
    thread_delete(b.handle);
    semaphore_destroy(&sem);
}

TEST(KernelCond, SignalWakesOneBroadcastWakesAll) {
    Mutex mutex;
    Cond cond;
    mutex_init(&mutex);
    cond_init(&cond, &mutex);
    int waiting = 0, woken = 0;
    std::vector<std::unique_ptr<TestThread>> threads;
    for (int i = 0; i < 3; ++i) {
        threads.push_back(std::make_unique<TestThread>([&] {
            mutex_lock(&mutex);
            ++waiting;
            if (cond_wait(&cond)) ++woken;
            mutex_unlock(&mutex);
        }));
        thread_resume(threads.back()->handle);
    }
    auto count = [&](int& v) {
        mutex_lock(&mutex);
        int r = v;
        mutex_unlock(&mutex);
        return r;
    };
    ASSERT_TRUE(WaitUntil([&] { return count(waiting) == 3; }));
    mutex_lock(&mutex);
    cond_signal(&cond);
    mutex_unlock(&mutex);
    ASSERT_TRUE(WaitUntil([&] { return count(woken) == 1; }));
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(count(woken), 1);
    cond_broadcast(&cond);
    ASSERT_TRUE(WaitUntil([&] { return count(woken) == 3; }));
    for (auto& t : threads) ASSERT_TRUE(WaitExited(t->handle));
    for (auto& t : threads) thread_delete(t->handle);
    cond_destroy(&cond);
    mutex_destroy(&mutex);
}

// ---- event flags -------------------------------------------------------------------------

TEST(KernelFlag, AndOrAndClearModes) {
    Flag flag;
    flag_init(&flag);
    flag_setbits(&flag, 0x5);
    EXPECT_EQ(flag_poll(&flag, 0x3, FLAG_WAITMODE_AND), 0u);
    EXPECT_EQ(flag_poll(&flag, 0x5, FLAG_WAITMODE_AND), 0x5u);
    EXPECT_EQ(flag_poll(&flag, 0x3, FLAG_WAITMODE_OR), 0x5u);
    EXPECT_EQ(flag_poll(&flag, 0xA, FLAG_WAITMODE_OR), 0u);
    EXPECT_EQ(flag_peek(&flag), 0x5u);  // no CLR: nothing cleared

    EXPECT_EQ(flag_poll(&flag, 0x3, FLAG_WAITMODE_OR | FLAG_WAITMODE_CLR), 0x5u);
    EXPECT_EQ(flag_peek(&flag), 0x4u);  // only the pattern bits cleared
    flag_setbits(&flag, 0xF0);
    EXPECT_EQ(flag_wait(&flag, 0x14, FLAG_WAITMODE_AND | FLAG_WAITMODE_CLR), 0xF4u);
    EXPECT_EQ(flag_peek(&flag), 0xE0u);

    flag_maskbits(&flag, 0x60);
    EXPECT_EQ(flag_peek(&flag), 0x60u);
    flag_maskbits(&flag, 0);
    EXPECT_EQ(flag_peek(&flag), 0u);
    flag_destroy(&flag);
}

TEST(KernelFlag, SetbitsWakesMatchingWaitersInOrder) {
    Flag flag;
    flag_init(&flag);
    std::atomic<std::uint32_t> andResult{0}, orResult{0}, clrResult{0};
    TestThread andWaiter([&] { andResult = flag_wait(&flag, 0x3, FLAG_WAITMODE_AND); });
    thread_resume(andWaiter.handle);
    ASSERT_TRUE(WaitBlocked(andWaiter.handle));
    TestThread clrWaiter([&] { clrResult = flag_wait(&flag, 0x1, FLAG_WAITMODE_OR | FLAG_WAITMODE_CLR); });
    thread_resume(clrWaiter.handle);
    ASSERT_TRUE(WaitBlocked(clrWaiter.handle));

    flag_setbits(&flag, 0x2);  // neither: AND needs 0x1 as well
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(andResult, 0u);
    EXPECT_EQ(clrResult, 0u);

    flag_setbits(&flag, 0x1);  // both, the AND waiter first; the CLR waiter then clears 0x1
    ASSERT_TRUE(WaitExited(andWaiter.handle));
    ASSERT_TRUE(WaitExited(clrWaiter.handle));
    EXPECT_EQ(andResult, 0x3u);
    EXPECT_EQ(clrResult, 0x3u);
    EXPECT_EQ(flag_peek(&flag), 0x2u);

    TestThread orWaiter([&] { orResult = flag_wait(&flag, 0x8, FLAG_WAITMODE_OR); });
    thread_resume(orWaiter.handle);
    flag_setbits(&flag, 0x8);
    ASSERT_TRUE(WaitExited(orWaiter.handle));
    EXPECT_EQ(orResult, 0xAu);

    for (auto h : {andWaiter.handle, clrWaiter.handle, orWaiter.handle}) thread_delete(h);
    flag_destroy(&flag);
}

// ---- scheduler lock ----------------------------------------------------------------------

TEST(KernelSchedulerLock, NestsAndExcludesOtherHolders) {
    EXPECT_FALSE(scheduler_locked_by_self());
    scheduler_lock();
    scheduler_lock();
    EXPECT_TRUE(scheduler_locked_by_self());
    std::atomic<bool> otherHeld{false}, otherSawSelf{true};
    TestThread t([&] {
        otherSawSelf = scheduler_locked_by_self();
        scheduler_lock();
        otherHeld = true;
        scheduler_unlock();
    });
    thread_resume(t.handle);
    ASSERT_TRUE(WaitBlocked(t.handle));
    scheduler_unlock();
    EXPECT_TRUE(scheduler_locked_by_self());
    std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(otherHeld);
    scheduler_unlock();
    ASSERT_TRUE(WaitExited(t.handle));
    EXPECT_TRUE(otherHeld);
    EXPECT_FALSE(otherSawSelf);
    EXPECT_FALSE(scheduler_locked_by_self());
    thread_delete(t.handle);
}

// Many threads posting, waiting, timing out and releasing on two semaphores, a mutex and a
// flag at once: every post is taken exactly once (by a wait or left in the count), every
// flag bit set is taken once, and nothing deadlocks. Run under ThreadSanitizer too.
TEST(KernelStress, PostWaitTimeoutReleaseKeepEveryCount) {
    constexpr int kWorkers = 6;
    constexpr int kRounds = 3000;
    Semaphore items;
    Semaphore spare;
    Mutex mutex;
    Flag flag;
    semaphore_init(&items, 0);
    semaphore_init(&spare, 0);
    mutex_init(&mutex);
    flag_init(&flag);
    std::atomic<long> posted{0}, taken{0}, bitsSet{0}, bitsTaken{0}, inside{0};
    std::atomic<bool> overlap{false};
    std::atomic<int> finished{0};
    std::vector<std::unique_ptr<test::TestThread>> threads;
    for (int w = 0; w < kWorkers; ++w) {
        threads.push_back(std::make_unique<test::TestThread>([&, w] {
            for (int i = 0; i < kRounds; ++i) {
                if ((i + w) % 2 == 0) {
                    semaphore_post(&items);
                    ++posted;
                } else if (i % 3 == 0 ? semaphore_timed_wait(&items, current_time() + 1)
                                      : semaphore_trywait(&items)) {
                    ++taken;
                }
                if (mutex_lock(&mutex)) {
                    if (inside.fetch_add(1) != 0) overlap = true;
                    inside.fetch_sub(1);
                    mutex_unlock(&mutex);
                }
                // Worker w alone sets bit w and alone takes bit w + 1.
                const std::uint32_t own = 1u << w;
                const std::uint32_t next = 1u << ((w + 1) % kWorkers);
                if (i % 5 == 0) {
                    if ((flag_peek(&flag) & own) == 0) {
                        flag_setbits(&flag, own);
                        ++bitsSet;
                    }
                } else if (i % 5 == 1 &&
                           flag_timed_wait(&flag, next, FLAG_WAITMODE_OR | FLAG_WAITMODE_CLR, current_time() + 1) != 0) {
                    ++bitsTaken;
                }
                if (i % 50 == 0) semaphore_post(&spare);
            }
            ++finished;
        }));
    }
    // A releaser that ends whatever wait a worker is in.
    std::atomic<bool> stop{false};
    std::thread releaser([&] {
        while (!stop.load()) {
            for (auto& t : threads) thread_release(t->handle);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    for (auto& t : threads) thread_resume(t->handle);
    ASSERT_TRUE(test::WaitUntil([&] { return finished.load() == kWorkers; }));
    stop = true;
    releaser.join();
    for (auto& t : threads) {
        ASSERT_TRUE(test::WaitExited(t->handle));
        thread_delete(t->handle);
    }
    EXPECT_FALSE(overlap.load());
    EXPECT_EQ(posted.load(), taken.load() + static_cast<long>(semaphore_peek(&items)));
    EXPECT_EQ(semaphore_peek(&spare), static_cast<std::uint32_t>(kWorkers * (kRounds / 50)));
    long left = 0;
    for (std::uint32_t bits = flag_peek(&flag); bits != 0; bits &= bits - 1) ++left;
    EXPECT_EQ(bitsSet.load(), bitsTaken.load() + left);
    semaphore_destroy(&items);
    semaphore_destroy(&spare);
    mutex_destroy(&mutex);
    flag_destroy(&flag);
}

// Lockers meet the mutex held by a running thread (they look at it a while before they
// queue); each round kills them at a random point of that, and the holder unlocks and
// destroys the mutex at once, while a killed locker may still be looking at it.
TEST(KernelStress, LockersKilledWhileTheHolderRunsLetTheMutexBeDestroyed) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    for (int round = 0; round < 500; ++round) {
        auto* mutex = new Mutex;
        mutex_init(mutex);
        std::atomic<bool> held{false}, release{false};
        test::TestThread holder([&] {
            mutex_lock(mutex);
            held = true;
            while (!release.load()) {
            }
            mutex_unlock(mutex);
            mutex_destroy(mutex);
            delete mutex;
        });
        // A killed locker may still be on its way into mutex_lock: its body is kept for ever.
        static auto* kept = new std::vector<std::unique_ptr<test::TestThread>>;
        std::vector<test::TestThread*> lockers;
        for (int i = 0; i < 3; ++i) {
            kept->push_back(std::make_unique<test::TestThread>([mutex] {
                if (mutex_lock(mutex)) mutex_unlock(mutex);
            }));
            lockers.push_back(kept->back().get());
        }
        thread_resume(holder.handle);
        ASSERT_TRUE(test::WaitUntil([&] { return held.load(); }));
        for (test::TestThread* t : lockers) thread_resume(t->handle);
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(random() % 30);
        while (std::chrono::steady_clock::now() < until) {
        }
        for (test::TestThread* t : lockers) thread_delete(t->handle);
        release = true;
        ASSERT_TRUE(test::WaitExited(holder.handle));
        thread_delete(holder.handle);
    }
}
