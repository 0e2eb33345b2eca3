#include "Host/parameters/RecursiveMutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "platform/KernelTestSupport.h"

using namespace Korvex;
using namespace kernel::test;

TEST(RecursiveMutex, NestedHoldsFreeOnlyAtTheLastUnlock) {
    CRecursiveMutex m;
    EXPECT_EQ(m.Owner(), 0u);
    EXPECT_EQ(m.Depth(), 0);
    ASSERT_TRUE(m.Lock());
    ASSERT_TRUE(m.Lock());
    ASSERT_TRUE(m.Lock());
    EXPECT_EQ(m.Owner(), kernel::thread_self());
    EXPECT_EQ(m.Depth(), 3);

    std::atomic<bool> otherHolds{false};
    std::atomic<std::int32_t> depthSeen{0};
    std::atomic<kernel::handle_t> ownerSeen{0};
    TestThread other([&] {
        if (!m.Lock()) return;
        otherHolds = true;
        depthSeen = m.Depth();
        ownerSeen = m.Owner();
        m.Unlock();
    });
    kernel::thread_resume(other.handle);
    ASSERT_TRUE(WaitBlocked(other.handle));

    m.Unlock();
    m.Unlock();
    EXPECT_EQ(m.Depth(), 1);
    EXPECT_EQ(m.Owner(), kernel::thread_self());
    EXPECT_TRUE(kernel::thread_info(other.handle).waiting);
    EXPECT_FALSE(otherHolds);

    m.Unlock();  // the waiter takes it with depth 1
    ASSERT_TRUE(WaitExited(other.handle));
    EXPECT_TRUE(otherHolds);
    EXPECT_EQ(depthSeen, 1);
    EXPECT_EQ(ownerSeen, other.handle);
    EXPECT_EQ(m.Owner(), 0u);
    EXPECT_EQ(m.Depth(), 0);
    kernel::thread_delete(other.handle);
}

TEST(RecursiveMutex, BrokenWaitChangesNothingAndReturnsFalse) {
    CRecursiveMutex m;
    ASSERT_TRUE(m.Lock());
    kernel::handle_t me = kernel::thread_self();
    std::atomic<int> result{-1};
    TestThread waiter([&] {
        bool ok = m.Lock();
        result = ok ? 1 : 0;
        if (ok) m.Unlock();
    });
    kernel::thread_resume(waiter.handle);
    ASSERT_TRUE(WaitBlocked(waiter.handle));
    kernel::thread_release(waiter.handle);
    ASSERT_TRUE(WaitExited(waiter.handle));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(m.Owner(), me);
    EXPECT_EQ(m.Depth(), 1);

    // Still usable: nested hold by the owner, then free and taken by another thread.
    ASSERT_TRUE(m.Lock());
    EXPECT_EQ(m.Depth(), 2);
    m.Unlock();
    m.Unlock();
    EXPECT_EQ(m.Owner(), 0u);
    TestThread next([&] {
        bool ok = m.Lock();
        result = ok ? 1 : 0;
        if (ok) m.Unlock();
    });
    kernel::thread_resume(next.handle);
    ASSERT_TRUE(WaitExited(next.handle));
    EXPECT_EQ(result, 1);
    EXPECT_EQ(m.Depth(), 0);
    kernel::thread_delete(waiter.handle);
    kernel::thread_delete(next.handle);
}

TEST(RecursiveMutex, ScopedLockReleasesOnlyWhatItObtained) {
    CRecursiveMutex m;
    {
        CRecursiveLock outer(m);
        EXPECT_TRUE(outer.Locked());
        {
            CRecursiveLock inner(m);
            EXPECT_TRUE(inner.Locked());
            EXPECT_EQ(m.Depth(), 2);
        }
        EXPECT_EQ(m.Depth(), 1);
    }
    EXPECT_EQ(m.Owner(), 0u);

    ASSERT_TRUE(m.Lock());
    std::atomic<int> locked{-1};
    TestThread t([&] {
        CRecursiveLock hold(m);  // broken: must not unlock at scope end
        locked = hold.Locked() ? 1 : 0;
    });
    kernel::thread_resume(t.handle);
    ASSERT_TRUE(WaitBlocked(t.handle));
    kernel::thread_release(t.handle);
    ASSERT_TRUE(WaitExited(t.handle));
    EXPECT_EQ(locked, 0);
    EXPECT_EQ(m.Depth(), 1);
    m.Unlock();
    kernel::thread_delete(t.handle);
}

#ifdef NDEBUG
TEST(RecursiveMutex, UnlockByAnotherThreadLeavesTheHoldAlone) {
    CRecursiveMutex m;
    ASSERT_TRUE(m.Lock());
    ASSERT_TRUE(m.Lock());
    TestThread t([&] { m.Unlock(); });
    kernel::thread_resume(t.handle);
    ASSERT_TRUE(WaitExited(t.handle));
    EXPECT_EQ(m.Owner(), kernel::thread_self());
    EXPECT_EQ(m.Depth(), 2);
    m.Unlock();
    m.Unlock();
    EXPECT_EQ(m.Owner(), 0u);
    kernel::thread_delete(t.handle);
}
#else
TEST(RecursiveMutexDeathTest, UnlockByAThreadNotHoldingItAsserts) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    CRecursiveMutex m;
    EXPECT_DEATH(m.Unlock(), "does not hold it");
}
#endif

TEST(RecursiveMutex, NestedHoldsExcludeConcurrentThreads) {
    CRecursiveMutex m;
    long counter = 0;
    std::vector<std::unique_ptr<TestThread>> threads;
    for (int i = 0; i < 4; ++i) {
        threads.push_back(std::make_unique<TestThread>([&] {
            for (int n = 0; n < 1000; ++n) {
                CRecursiveLock outer(m);
                CRecursiveLock inner(m);
                long seen = counter;
                counter = seen + 1;
            }
        }));
    }
    for (auto& t : threads) kernel::thread_resume(t->handle);
    for (auto& t : threads) ASSERT_TRUE(WaitExited(t->handle));
    for (auto& t : threads) kernel::thread_delete(t->handle);
    EXPECT_EQ(counter, 4000);
    EXPECT_EQ(m.Depth(), 0);
}

// Nested holds of several threads at once exclude one another: a plain counter changed only
// under the mutex comes out exact, and each holder sees itself as owner at its own depth.
TEST(RecursiveMutex, NestedHoldsOfManyThreadsExcludeOneAnother) {
    constexpr int Threads = 4;
    constexpr int Rounds = 2000;
    CRecursiveMutex m;
    long counter = 0;
    std::atomic<int> wrongOwner{0};
    std::vector<std::unique_ptr<TestThread>> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.push_back(std::make_unique<TestThread>([&] {
            for (int r = 0; r < Rounds; ++r) {
                CRecursiveLock outer(m);
                CRecursiveLock inner(m);
                if (m.Owner() != kernel::thread_self() || m.Depth() != 2) ++wrongOwner;
                ++counter;
            }
        }));
    }
    for (auto& t : threads) kernel::thread_resume(t->handle);
    for (auto& t : threads) ASSERT_TRUE(WaitExited(t->handle));
    for (auto& t : threads) kernel::thread_delete(t->handle);
    EXPECT_EQ(counter, Threads * Rounds);
    EXPECT_EQ(wrongOwner, 0);
    EXPECT_EQ(m.Owner(), 0u);
    EXPECT_EQ(m.Depth(), 0);
}
