// Dispatcher gate (the engine level against running procedures) and event gate, with real
// threads: the engine hold as an idempotent level, holds from the delivering procedure and from
// other threads, aborts and closing of each wait, and a stress of deliveries that fill the
// session queue half-way against observer and API holds.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "Vxi11GateHarness.h"
#include "engine/os/OSEvent.h"
#include "engine/vxi11/Vxi11Status.h"

namespace {

constexpr std::uint32_t kForever = 0xFFFFFFFFu;

TEST(Vxi11Gate, ClosedUntilOpenAndTheEngineLevelIsSetAtOpen)
{
    CVxi11EventDispatcherGate gate;
    ASSERT_EQ(gate.InitFailed(), 0u);
    std::uint32_t status = 0;
    gate.Enter(1, 100, &status);
    EXPECT_EQ(status, VXI11_STATUS_ABORTED);
    gate.Open();
    EXPECT_TRUE(gate.IsEngineInside());
    const std::int64_t start = NowMs();
    gate.Enter(1, 50, &status);
    EXPECT_EQ(status, VXI11_STATUS_IO_TIMEOUT);
    EXPECT_GE(NowMs() - start, 45);
    gate.Enter(1, 0, &status);  // a poll
    EXPECT_EQ(status, VXI11_STATUS_IO_TIMEOUT);
    gate.LeaveFromEngine();
    gate.Enter(1, 0, &status);
    EXPECT_EQ(status, 0u);
    EXPECT_TRUE(gate.IsHeld());
    gate.Leave();
    EXPECT_FALSE(gate.IsHeld());
}

TEST(Vxi11Gate, TheEngineHoldIsALevelThatOneReleaseClears)
{
    CVxi11EventDispatcherGate gate;
    gate.Open();
    gate.LeaveFromEngine();
    gate.EnterFromEngine();
    gate.EnterFromEngine();  // idempotent
    std::uint32_t status = 0;
    gate.Enter(1, 0, &status);
    EXPECT_EQ(status, VXI11_STATUS_IO_TIMEOUT);
    gate.LeaveFromEngine();
    gate.Enter(1, 0, &status);
    EXPECT_EQ(status, 0u);
    gate.Leave();
}

TEST(Vxi11Gate, AHoldOnTheDeliveringThreadReturnsAtOnceOthersWaitForTheProcedure)
{
    CVxi11EventDispatcherGate gate;
    gate.Open();
    gate.LeaveFromEngine();
    std::uint32_t status = 1;
    gate.Enter(7, 0, &status);
    ASSERT_EQ(status, 0u);

    // Two engine threads (the observer and an API hold) wait; both go on when it leaves.
    std::atomic<int> engineIn{0};
    std::thread observer([&] {
        gate.EnterFromEngine();
        ++engineIn;
    });
    std::thread api([&] {
        gate.EnterFromEngine();
        ++engineIn;
    });
    SleepMs(60);
    EXPECT_EQ(engineIn.load(), 0);  // a procedure is inside

    gate.EnterFromEngine();  // the procedure delivers and fills the queue half-way
    EXPECT_TRUE(gate.IsEngineInside());
    EXPECT_EQ(engineIn.load(), 0);
    gate.Leave();
    observer.join();
    api.join();
    EXPECT_EQ(engineIn.load(), 2);

    // The level stays until the engine releases it; then the next procedure enters.
    std::uint32_t next = 1;
    std::thread procedure([&] { gate.Enter(8, 2000, &next); });
    SleepMs(60);
    EXPECT_EQ(gate.WaitingLid(), 8u);
    gate.LeaveFromEngine();
    procedure.join();
    EXPECT_EQ(next, 0u);
}

TEST(Vxi11Gate, AbortAndCloseEndAProceduresWaitWithAborted)
{
    CVxi11EventDispatcherGate gate;
    gate.Open();  // engine level set
    std::uint32_t aborted = 1;
    std::thread waiter([&] { gate.Enter(3, kForever, &aborted); });
    ASSERT_TRUE(Eventually([&] { return gate.WaitingLid() == 3u; }));
    gate.AbortWaiter(4);
    SleepMs(20);
    gate.AbortWaiter(3);
    waiter.join();
    EXPECT_EQ(aborted, VXI11_STATUS_ABORTED);

    std::uint32_t closed = 1;
    std::thread second([&] { gate.Enter(3, kForever, &closed); });
    ASSERT_TRUE(Eventually([&] { return gate.WaitingLid() == 3u; }));
    gate.Close();
    second.join();
    EXPECT_EQ(closed, VXI11_STATUS_ABORTED);
    gate.EnterFromEngine();  // closed: nothing, no wait
    gate.LeaveFromEngine();
}

TEST(Vxi11Gate, TheQueueAbortsAProcedureWaitingInTheGate)
{
    GateHarness harness;
    harness.Open(false);  // the engine keeps its level
    std::uint32_t status = 1;
    std::thread procedure([&] {
        CVxi11OperationGuard guard(harness, 9, harness.queue, false, 0, kForever,
                                   harness.dispatcherGate, &status);
    });
    ASSERT_TRUE(Eventually([&] { return harness.dispatcherGate.WaitingLid() == 9u; }));
    std::uint32_t abortStatus = 1;
    harness.Abort(9, &abortStatus);
    procedure.join();
    EXPECT_EQ(status, VXI11_STATUS_ABORTED);
    EXPECT_EQ(harness.queue.Running(), 0u);
}

// ---- event gate ----

class Vxi11GateEventFixture : public ::testing::Test {
protected:
    void SetUp() override { harness.Open(); }
    GateHarness harness;
};

TEST_F(Vxi11GateEventFixture, ARaisedEventEndsTheWaitAndTheProcedureIsInsideAgain)
{
    EXPECT_FALSE(harness.eventGate.RaiseEvent(CVxi11EventGate::kInputPosted));  // nobody waits
    std::uint32_t status = 1;
    CVxi11OperationGuard guard(harness, 1, harness.queue, false, 0, 5000,
                               harness.dispatcherGate, &status);
    ASSERT_EQ(status, 0u);
    std::thread engine([&] {
        ASSERT_TRUE(Eventually([&] { return harness.eventGate.WaitingLid() == 1u; }));
        // The engine works while the procedure waits (it has left the gate).
        harness.dispatcherGate.EnterFromEngine();
        EXPECT_FALSE(harness.eventGate.RaiseEvent(CVxi11EventGate::kResponsePosted));
        EXPECT_TRUE(harness.eventGate.RaiseEvent(CVxi11EventGate::kInputPosted));
        SleepMs(50);
        harness.dispatcherGate.LeaveFromEngine();
    });
    const std::int64_t start = NowMs();
    harness.eventGate.WaitEvent(1, CVxi11EventGate::kInputPosted, guard, &status);
    engine.join();
    EXPECT_EQ(status, 0u);
    EXPECT_GE(NowMs() - start, 45);  // it waited for the engine to release
    EXPECT_TRUE(guard.HoldsGate());
    EXPECT_LE(guard.ConsumeElapsed(), 5000u - 45u);  // the gate wait counts too
}

TEST_F(Vxi11GateEventFixture, NoEventWithinTheIoTimeOutGivesIoTimeOut)
{
    std::uint32_t status = 1;
    const std::int64_t start = NowMs();  // the guard's clock starts after this
    {
        CVxi11OperationGuard guard(harness, 1, harness.queue, false, 0, 120,
                                   harness.dispatcherGate, &status);
        ASSERT_EQ(status, 0u);
        harness.eventGate.WaitEvent(1, CVxi11EventGate::kResponsePosted, guard, &status);
        EXPECT_EQ(status, VXI11_STATUS_IO_TIMEOUT);
        EXPECT_GE(NowMs() - start, 100);
        // The event wait runs in whole ticks: less than one tick of the time-out may be left.
        EXPECT_LT(guard.RemainingMs(), COSEvent::kTickMs);
    }

    // io_timeout 0 only polls.
    CVxi11OperationGuard guard(harness, 1, harness.queue, false, 0, 0, harness.dispatcherGate,
                               &status);
    ASSERT_EQ(status, 0u);
    harness.eventGate.WaitEvent(1, CVxi11EventGate::kResponsePosted, guard, &status);
    EXPECT_EQ(status, VXI11_STATUS_IO_TIMEOUT);
    EXPECT_EQ(guard.RemainingMs(), 0u);
}

TEST_F(Vxi11GateEventFixture, AbortAndCloseEndAnEventWaitWithAborted)
{
    for (int closing = 0; closing < 2; ++closing) {
        std::uint32_t status = 1;
        std::thread procedure([&] {
            CVxi11OperationGuard guard(harness, 2, harness.queue, false, 0, kForever,
                                       harness.dispatcherGate, &status);
            if (status == 0) {
                harness.eventGate.WaitEvent(2, CVxi11EventGate::kStatusByteReady, guard, &status);
            }
        });
        ASSERT_TRUE(Eventually([&] { return harness.eventGate.WaitingLid() == 2u; }));
        std::uint32_t ignored = 0;
        if (closing != 0) {
            harness.Close();
        } else {
            harness.Abort(2, &ignored);
        }
        procedure.join();
        EXPECT_EQ(status, VXI11_STATUS_ABORTED) << (closing != 0 ? "close" : "abort");
        EXPECT_FALSE(harness.dispatcherGate.IsHeld());
    }
    std::uint32_t status = 1;
    CVxi11OperationGuard guard(harness, 3, harness.queue, false, 0, 100,
                               harness.dispatcherGate, &status);
    EXPECT_EQ(status, VXI11_STATUS_ABORTED);
}

// Deliveries that fill the session's event queue half-way take the engine hold on the
// procedure's own thread; an observer thread drains the queue under the hold and releases
// below half; an API thread holds and releases around its own work. Procedures and engine
// work must never overlap, and nothing may hang.
TEST(Vxi11GateStress, HalfFullDeliveriesAgainstObserverAndApiHolds)
{
    GateHarness harness;
    harness.Open();
    CVxi11EventDispatcherGate& gate = harness.dispatcherGate;
    constexpr int kHalf = 4;
    constexpr int kRounds = 400;

    std::mutex session;  // the session mutex of the engine's own threads
    std::atomic<int> queued{0};
    std::atomic<int> procedureInside{0};
    std::atomic<int> engineInside{0};
    std::atomic<int> violations{0};
    std::atomic<bool> stop{false};
    std::atomic<int> delivered{0};

    auto engineWork = [&] {
        engineInside.fetch_add(1);
        if (procedureInside.load() != 0) {
            violations.fetch_add(1);
        }
        engineInside.fetch_sub(1);
    };

    std::vector<std::thread> procedures;
    for (std::uint32_t lid = 1; lid <= 2; ++lid) {
        procedures.emplace_back([&, lid] {
            for (int round = 0; round < kRounds; ++round) {
                std::uint32_t status = 1;
                CVxi11OperationGuard guard(harness, lid, harness.queue, false, 0, kForever,
                                           gate, &status);
                if (status != 0) {
                    violations.fetch_add(1);
                    continue;
                }
                procedureInside.fetch_add(1);
                if (engineInside.load() != 0) {
                    violations.fetch_add(1);
                }
                if (queued.fetch_add(1) + 1 >= kHalf) {
                    gate.EnterFromEngine();  // must not wait for itself
                }
                delivered.fetch_add(1);
                procedureInside.fetch_sub(1);
            }
        });
    }
    std::thread observer([&] {
        while (!stop.load() || queued.load() > 0) {
            if (queued.load() == 0) {
                std::this_thread::yield();
                continue;
            }
            std::lock_guard<std::mutex> lock(session);
            gate.EnterFromEngine();
            queued.fetch_sub(1);
            engineWork();
            if (queued.load() < kHalf / 2) {
                gate.LeaveFromEngine();
            }
        }
        std::lock_guard<std::mutex> lock(session);
        gate.LeaveFromEngine();
    });
    std::thread api([&] {
        while (!stop.load()) {
            std::lock_guard<std::mutex> lock(session);
            gate.EnterFromEngine();
            engineWork();
            if (queued.load() < kHalf / 2) {
                gate.LeaveFromEngine();
            }
        }
    });
    for (auto& procedure : procedures) {
        procedure.join();
    }
    stop = true;
    observer.join();
    api.join();
    EXPECT_EQ(delivered.load(), 2 * kRounds);
    EXPECT_EQ(violations.load(), 0);
}

} // namespace
