// Session event queue: capacity, ring order, abort and poll, and no record lost between
// concurrent posters and the taker.
#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "engine/os/Allocator.h"
#include "engine/session/EventQueue.h"
#include "engine/status/EngineStatus.h"

using Korvex::CEventQueue;
using Korvex::EventRecord;

namespace {

void PostCode(CEventQueue& q, std::uint32_t code, std::uint32_t argument, std::uint32_t* status)
{
    q.Post(code, argument, nullptr, nullptr, nullptr, 0, status);
}

TEST(engine_event_queue, TenthPostFitsEleventhIsRefused)
{
    std::uint32_t status = 1;
    CEventQueue q(10, &status);
    ASSERT_EQ(status, 0u);
    for (std::uint32_t i = 0; i < 10; ++i) {
        PostCode(q, i, 0, &status);
        ASSERT_EQ(status, 0u) << i;
    }
    PostCode(q, 99, 0, &status);
    EXPECT_EQ(status, ENGINE_STATUS_EVENT_QUEUE_FULL);
    EXPECT_EQ(publish(status), ZODEVICE_STATUS_EVENT_ERROR);
    EXPECT_EQ(q.Count(), 10u);
    EventRecord r{};
    q.Take(&r, &status);
    EXPECT_EQ(r.code, 0u);  // the refused record was not stored over the oldest
}

TEST(engine_event_queue, RingWrapsAroundInOrder)
{
    std::uint32_t status = 1;
    CEventQueue q(10, &status);
    EventRecord r{};
    std::uint32_t next = 0;
    for (std::uint32_t round = 0; round < 7; ++round) {
        for (std::uint32_t i = 0; i < 7; ++i) {
            PostCode(q, (round * 7 + i) % 127, round, &status);
            ASSERT_EQ(status, 0u);
        }
        for (std::uint32_t i = 0; i < 7; ++i) {
            q.Wait(false, &status);
            ASSERT_EQ(status, 0u);
            q.Take(&r, &status);
            ASSERT_EQ(status, 0u);
            EXPECT_EQ(r.code, next++ % 127);
            EXPECT_EQ(r.argument, round);
        }
    }
    q.Take(&r, &status);
    EXPECT_EQ(status, 0x54354u);
}

TEST(engine_event_queue, PollAndAbort)
{
    std::uint32_t status = 1;
    CEventQueue q(10, &status);
    q.Wait(false, &status);
    EXPECT_EQ(status, ZODEVICE_STATUS_EVENT_MSG_UNAVAILABLE);
    q.Abort(&status);
    ASSERT_EQ(status, 0u);
    q.Wait(true, &status);
    EXPECT_EQ(status, ZODEVICE_STATUS_EVENT_MSG_ABORTED);
    // Reported once.
    q.Wait(false, &status);
    EXPECT_EQ(status, ZODEVICE_STATUS_EVENT_MSG_UNAVAILABLE);
}

TEST(engine_event_queue, AbortWakesABlockedWaiter)
{
    std::uint32_t status = 1;
    CEventQueue q(10, &status);
    std::uint32_t waitStatus = 0;
    std::thread waiter([&] { q.Wait(true, &waitStatus); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    q.Abort(&status);
    waiter.join();
    EXPECT_EQ(waitStatus, ZODEVICE_STATUS_EVENT_MSG_ABORTED);
}

TEST(engine_event_queue, AllocationFailure)
{
    EngineFailAllocation(1);
    std::uint32_t status = 0;
    {
        CEventQueue q(10, &status);
        EXPECT_EQ(status, ZODEVICE_STATUS_INSUFFICIENT_MEMORY);
        PostCode(q, 1, 0, &status);
        EXPECT_EQ(status, ZODEVICE_STATUS_DRIVER_FAULT);
    }
    EngineResetAllocatorHooks();
}

TEST(engine_event_queue, TwoPostersOneTakerLoseNothing)
{
    constexpr std::uint32_t kPerPoster = 50000;
    std::uint32_t status = 1;
    CEventQueue q(10, &status);
    auto poster = [&q](std::uint32_t id) {
        for (std::uint32_t i = 0; i < kPerPoster;) {
            std::uint32_t s = 0;
            q.Post(id, i, nullptr, nullptr, nullptr, 0, &s);
            if (s == 0) {
                ++i;
            } else {
                ASSERT_EQ(s, ENGINE_STATUS_EVENT_QUEUE_FULL);
                std::this_thread::yield();
            }
        }
    };
    std::thread a(poster, 1);
    std::thread b(poster, 2);
    std::uint32_t expected[3] = {0, 0, 0};
    for (std::uint32_t taken = 0; taken < 2 * kPerPoster; ++taken) {
        std::uint32_t s = 0;
        q.Wait(true, &s);
        ASSERT_EQ(s, 0u);
        EventRecord r{};
        q.Take(&r, &s);
        ASSERT_EQ(s, 0u);
        ASSERT_TRUE(r.code == 1 || r.code == 2);
        ASSERT_EQ(r.argument, expected[r.code]);  // in order per poster
        ++expected[r.code];
    }
    a.join();
    b.join();
    EXPECT_EQ(expected[1], kPerPoster);
    EXPECT_EQ(expected[2], kPerPoster);
    EXPECT_EQ(q.Count(), 0u);
}

} // namespace
