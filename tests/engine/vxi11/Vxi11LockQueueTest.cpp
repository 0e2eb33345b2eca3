// Device lock and operation queue of one interface, with real threads and loose time bounds:
// lock order and depth, lock contention (error 11), arrival order, the lock holder first,
// aborts of each wait (error 23) and closing.
#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "Vxi11GateHarness.h"
#include "engine/os/Allocator.h"
#include "engine/vxi11/Vxi11Status.h"

namespace {

constexpr std::uint32_t kForever = 0xFFFFFFFFu;

// ---- device lock ----

TEST(Vxi11Lock, HolderNestsAndOthersPollOrTimeOutWithLocked)
{
    CVxi11DeviceLock lock;
    std::uint32_t status = 0;
    lock.Acquire(1, 0, &status);
    EXPECT_EQ(status, VXI11_STATUS_LOCKED);  // not enabled
    lock.Enable();
    lock.Acquire(1, 0, &status);
    ASSERT_EQ(status, 0u);
    lock.Acquire(1, 0, &status);
    ASSERT_EQ(status, 0u);
    EXPECT_EQ(lock.Holder(), 1u);

    lock.Acquire(2, 0, &status);  // a poll
    EXPECT_EQ(status, VXI11_STATUS_LOCKED);
    const std::int64_t start = NowMs();
    lock.Acquire(2, 200, &status);
    EXPECT_EQ(status, VXI11_STATUS_LOCKED);
    EXPECT_GE(NowMs() - start, 190);

    lock.Release(2);  // not the holder: nothing
    lock.Release(1);
    EXPECT_EQ(lock.Holder(), 1u);  // one acquisition left
    lock.Release(1);
    EXPECT_EQ(lock.Holder(), 0u);
    lock.Acquire(2, 0, &status);
    EXPECT_EQ(status, 0u);
}

TEST(Vxi11Lock, WaitersGetTheLockInArrivalOrder)
{
    CVxi11DeviceLock lock;
    lock.Enable();
    std::uint32_t status = 0;
    lock.Acquire(1, 0, &status);
    std::mutex orderMutex;
    std::vector<std::uint32_t> order;
    std::vector<std::thread> waiters;
    for (std::uint32_t lid = 2; lid <= 4; ++lid) {
        waiters.emplace_back([&, lid] {
            std::uint32_t waitStatus = 1;
            lock.Acquire(lid, kForever, &waitStatus);
            EXPECT_EQ(waitStatus, 0u);
            {
                std::lock_guard<std::mutex> guard(orderMutex);
                order.push_back(lid);
            }
            SleepMs(10);
            lock.Release(lid);
        });
        SleepMs(40);  // arrival order
    }
    lock.Release(1);
    for (auto& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(order, (std::vector<std::uint32_t>{2, 3, 4}));
    EXPECT_EQ(lock.Holder(), 0u);
}

TEST(Vxi11Lock, AbortAndDisableEndAWaitWithAborted)
{
    CVxi11DeviceLock lock;
    lock.Enable();
    std::uint32_t status = 0;
    lock.Acquire(1, 0, &status);

    std::uint32_t aborted = 0;
    std::thread waiter([&] { lock.Acquire(2, kForever, &aborted); });
    SleepMs(50);
    lock.AbortWaiter(3);  // another lid: nothing
    lock.AbortWaiter(2);
    waiter.join();
    EXPECT_EQ(aborted, VXI11_STATUS_ABORTED);
    EXPECT_EQ(lock.Holder(), 1u);

    std::uint32_t disabled = 0;
    std::thread second([&] { lock.Acquire(2, kForever, &disabled); });
    SleepMs(50);
    lock.Disable();
    second.join();
    EXPECT_EQ(disabled, VXI11_STATUS_ABORTED);
    EXPECT_EQ(lock.Holder(), 0u);
    lock.Release(1);  // freed by Disable: nothing
}

// ---- operation queue through the guard ----

class Vxi11QueueFixture : public ::testing::Test {
protected:
    void SetUp() override { harness.Open(); }

    // Runs a procedure of lid on its own thread: builds the guard, records the status and, on
    // success, the order of entry, holds for holdMs, and ends.
    std::thread Procedure(std::uint32_t lid, bool waitLock, std::uint32_t lockTimeout,
                          std::uint32_t ioTimeout, int holdMs, std::uint32_t* status)
    {
        return std::thread([=] {
            CVxi11OperationGuard guard(harness, lid, harness.queue, waitLock, lockTimeout,
                                       ioTimeout, harness.dispatcherGate, status);
            if (*status == 0) {
                {
                    std::lock_guard<std::mutex> lock(orderMutex);
                    order.push_back(lid);
                }
                SleepMs(holdMs);
            }
        });
    }

    GateHarness harness;
    std::mutex orderMutex;
    std::vector<std::uint32_t> order;
};

TEST_F(Vxi11QueueFixture, ProceduresRunOneAtATimeInArrivalOrder)
{
    std::uint32_t statuses[3] = {1, 1, 1};
    std::vector<std::thread> threads;
    for (std::uint32_t i = 0; i < 3; ++i) {
        threads.push_back(Procedure(10 + i, false, 0, 5000, 80, &statuses[i]));
        SleepMs(30);
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(order, (std::vector<std::uint32_t>{10, 11, 12}));
    for (std::uint32_t status : statuses) {
        EXPECT_EQ(status, 0u);
    }
    EXPECT_EQ(harness.queue.Running(), 0u);
}

TEST_F(Vxi11QueueFixture, AnotherLinksLockFailsAtOnceOrAfterTheLockTimeOutWithLocked)
{
    std::uint32_t status = 1;
    harness.Lock(1, false, 0, &status);  // device_lock of link 1
    ASSERT_EQ(status, 0u);

    std::int64_t start = NowMs();
    {
        CVxi11OperationGuard guard(harness, 2, harness.queue, false, 0, 30000,
                                   harness.dispatcherGate, &status);
        EXPECT_EQ(status, VXI11_STATUS_LOCKED);
    }
    EXPECT_LT(NowMs() - start, 10000);  // not after its I/O time-out

    start = NowMs();
    {
        CVxi11OperationGuard guard(harness, 2, harness.queue, true, 500, 1000,
                                   harness.dispatcherGate, &status);
        EXPECT_EQ(status, VXI11_STATUS_LOCKED);
    }
    EXPECT_GE(NowMs() - start, 480);

    {
        CVxi11OperationGuard guard(harness, 1, harness.queue, false, 0, 1000,
                                   harness.dispatcherGate, &status);
        EXPECT_EQ(status, 0u);  // the holder itself
    }
    harness.Unlock(1, &status);
    {
        CVxi11OperationGuard guard(harness, 2, harness.queue, false, 0, 1000,
                                   harness.dispatcherGate, &status);
        EXPECT_EQ(status, 0u);
    }
    {
        CVxi11OperationGuard guard(harness, 3, harness.queue, false, 0, 1000,
                                   harness.dispatcherGate, &status);
        EXPECT_EQ(status, 0u);  // link 2 left no lock behind
    }
    EXPECT_EQ(harness.deviceLock.Holder(), 0u);
}

TEST_F(Vxi11QueueFixture, TheLockHoldersOperationGoesBeforeAQueuedWaiter)
{
    std::uint32_t running = 1;
    std::uint32_t waiter = 1;
    std::uint32_t holder = 1;
    std::thread first = Procedure(30, false, 0, 5000, 300, &running);
    ASSERT_TRUE(Eventually([&] { return harness.queue.Running() == 30u; }));
    std::uint32_t status = 1;
    harness.Lock(1, false, 0, &status);  // link 1 locks while 30 runs
    ASSERT_EQ(status, 0u);
    std::thread second = Procedure(2, true, 5000, 5000, 10, &waiter);  // waits for the lock
    SleepMs(50);
    std::thread third = Procedure(1, false, 0, 5000, 100, &holder);  // the holder's operation
    SleepMs(50);
    first.join();
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> lock(orderMutex);
        return order.size() == 2;
    }));
    harness.Unlock(1, &status);
    second.join();
    third.join();
    EXPECT_EQ(order, (std::vector<std::uint32_t>{30, 1, 2}));
    EXPECT_EQ(running, 0u);
    EXPECT_EQ(waiter, 0u);
    EXPECT_EQ(holder, 0u);
}

TEST_F(Vxi11QueueFixture, WaitingForTheTurnTimesOutWithIoTimeOut)
{
    std::uint32_t first = 1;
    std::thread holder = Procedure(1, false, 0, 5000, 400, &first);
    ASSERT_TRUE(Eventually([&] { return harness.queue.Running() == 1u; }));
    const std::int64_t start = NowMs();
    std::uint32_t status = 1;
    {
        CVxi11OperationGuard guard(harness, 2, harness.queue, false, 0, 150,
                                   harness.dispatcherGate, &status);
    }
    EXPECT_EQ(status, VXI11_STATUS_IO_TIMEOUT);
    EXPECT_GE(NowMs() - start, 140);
    holder.join();
    EXPECT_EQ(harness.queue.Running(), 0u);
}

TEST_F(Vxi11QueueFixture, AbortEndsTheWaitForTheLockAndForTheTurnWithAborted)
{
    std::uint32_t status = 1;
    harness.Lock(1, false, 0, &status);
    std::uint32_t lockWaiter = 1;
    std::thread waiting = Procedure(2, true, kForever, 5000, 0, &lockWaiter);
    ASSERT_TRUE(Eventually([&] { return harness.queue.Running() == 2u; }));
    SleepMs(30);
    harness.Abort(2, &status);
    waiting.join();
    EXPECT_EQ(lockWaiter, VXI11_STATUS_ABORTED);
    harness.Unlock(1, &status);

    std::uint32_t first = 1;
    std::uint32_t turnWaiter = 1;
    std::thread running = Procedure(3, false, 0, 5000, 300, &first);
    ASSERT_TRUE(Eventually([&] { return harness.queue.Running() == 3u; }));
    std::thread queued = Procedure(4, false, 0, kForever, 0, &turnWaiter);
    SleepMs(50);
    harness.Abort(4, &status);
    queued.join();
    EXPECT_EQ(turnWaiter, VXI11_STATUS_ABORTED);
    running.join();
    EXPECT_EQ(first, 0u);
}

TEST_F(Vxi11QueueFixture, AbortOfTheRunningOperationIsPendingUntilItEnds)
{
    std::uint32_t status = 1;
    CVxi11OperationGuard guard(harness, 5, harness.queue, false, 0, 1000,
                               harness.dispatcherGate, &status);
    ASSERT_EQ(status, 0u);
    EXPECT_FALSE(harness.queue.IsAbortPending(5));
    harness.Abort(5, &status);
    EXPECT_TRUE(harness.queue.IsAbortPending(5));
    EXPECT_TRUE(harness.queue.IsAbortPending(6));  // no record
}

// A departing link's drop outlives that link's aborts (its peer gone while destroy_link
// waits for the turn): it runs once the operation in front ends.
TEST_F(Vxi11QueueFixture, AnAbortOfTheDepartingLinkDoesNotStopItsDrop)
{
    std::uint32_t status = 1;
    std::optional<CVxi11OperationGuard> running;
    running.emplace(harness, 1, harness.queue, false, 0, 5000, harness.dispatcherGate, &status);
    ASSERT_EQ(status, 0u);
    std::uint32_t dropStatus = 1;
    std::thread drop([&] {
        CVxi11OperationGuard guard = CVxi11OperationGuard::ForDrop(
            harness, 2, harness.queue, 5000, 5000, harness.dispatcherGate, &dropStatus);
    });
    ASSERT_TRUE(Eventually([&] { return !harness.queue.IsAbortPending(2); }));
    harness.Abort(2, &status);
    // Still queued and not aborted (the drop clears a mark that came before its turn began).
    EXPECT_TRUE(Eventually([&] { return !harness.queue.IsAbortPending(2); }));
    running.reset();
    drop.join();
    EXPECT_EQ(dropStatus, 0u);
}

TEST_F(Vxi11QueueFixture, ClosingEndsWaitersWithAbortedAndLaterProceduresWithNotOpen)
{
    std::uint32_t first = 1;
    std::uint32_t queued = 1;
    std::thread running = Procedure(1, false, 0, 5000, 200, &first);
    ASSERT_TRUE(Eventually([&] { return harness.queue.Running() == 1u; }));
    std::thread waiting = Procedure(2, false, 0, kForever, 0, &queued);
    SleepMs(50);
    harness.Close();
    waiting.join();
    running.join();
    EXPECT_EQ(queued, VXI11_STATUS_ABORTED);

    std::uint32_t status = 1;
    CVxi11OperationGuard guard(harness, 3, harness.queue, false, 0, 100,
                               harness.dispatcherGate, &status);
    EXPECT_EQ(status, VXI11_STATUS_ABORTED);  // the queue is disabled
}

TEST_F(Vxi11QueueFixture, AnInterfaceNotOpenFailsAfterTheTurn)
{
    harness.open = 0;
    std::uint32_t status = 1;
    {
        CVxi11OperationGuard guard(harness, 1, harness.queue, false, 0, 100,
                                   harness.dispatcherGate, &status);
        EXPECT_EQ(status, VXI11_STATUS_NOT_OPEN);
    }
    EXPECT_EQ(harness.queue.Running(), 0u);
}

TEST_F(Vxi11QueueFixture, OutOfMemoryWhenQueueingOrLocking)
{
    std::uint32_t status = 1;
    EngineFailAllocation(1);
    {
        CVxi11OperationGuard guard(harness, 1, harness.queue, false, 0, 100,
                                   harness.dispatcherGate, &status);
        EXPECT_EQ(status, VXI11_STATUS_NO_MEMORY);
    }
    harness.Lock(7, false, 0, &status);  // the lock step of another link needs a record
    ASSERT_EQ(status, 0u);
    EngineFailAllocation(2);
    {
        CVxi11OperationGuard guard(harness, 1, harness.queue, false, 0, 100,
                                   harness.dispatcherGate, &status);
        EXPECT_EQ(status, VXI11_STATUS_NO_MEMORY);
    }
    EngineResetAllocatorHooks();
    EXPECT_EQ(harness.queue.Running(), 0u);
    EXPECT_EQ(harness.deviceLock.Holder(), 7u);
}

// The lock step of one link must not look like a held lock to another link's poll.
TEST_F(Vxi11QueueFixture, ConcurrentProceduresWithoutALockNeverSeeLocked)
{
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (std::uint32_t lid = 1; lid <= 3; ++lid) {
        threads.emplace_back([&, lid] {
            for (int round = 0; round < 300; ++round) {
                std::uint32_t status = 1;
                CVxi11OperationGuard guard(harness, lid, harness.queue, false, 0, 5000,
                                           harness.dispatcherGate, &status);
                if (status != 0) {
                    failures.fetch_add(1);
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
}

} // namespace
