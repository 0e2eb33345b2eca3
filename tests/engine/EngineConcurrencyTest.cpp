// Threads against one device: round trips against service requests and polls, Close and
// Open against operations, Close around the observer and its callbacks, a blocked
// callback under a flood of reports, and manager-thread device events.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "TestDevice.h"
#include "support/ThreadCount.h"
#include "engine/api/ZoDeviceApi.h"
#include "engine/os/Allocator.h"

namespace Korvex {
namespace {

using testsupport::ThreadCount;
using testsupport::ThreadCountOnceAt;

class engine_concurrency : public ::testing::Test {
protected:
    void SetUp() override
    {
        FakeServers::Install();
        ASSERT_EQ(zo_device_start_tcpip_server(), 0);
    }
    // Stops the servers: their interfaces go, as a real manager's do.
    void TearDown() override
    {
        zo_device_stop_tcpip_server();
        zo_device_stop_usb_server();
    }
};

TEST_F(engine_concurrency, RoundTripsAgainstServiceRequestsAndPolls)
{
    TestDevice device;
    ASSERT_EQ(device.OpenTcpIp(), 0u);
    ASSERT_EQ(device.EnableStatusByteRequestEvent(), 0u);
    FakeTransport* host = device.Transport();
    std::atomic<bool> stop{false};
    std::thread status([&] {
        std::uint8_t stb = 0;
        while (!stop.load()) {
            EXPECT_EQ(device.RequestService(), 0u);
            EXPECT_EQ(device.SetStatusByte(stb++ & 0x3F), 0u);
        }
    });
    std::thread polls([&] {
        while (!stop.load()) {
            EXPECT_GE(host->HostSerialPoll(), 0);
        }
    });
    // Up to 10 000 round trips, for at most 20 s: a loaded machine runs fewer.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int i = 0; i < 10000 && std::chrono::steady_clock::now() < end; ++i) {
        ASSERT_TRUE(host->HostWrite("*IDN?", true));
        std::uint32_t reason = 0;
        ASSERT_EQ(host->HostRead(64, &reason), "*IDN?=OK") << i;
    }
    stop = true;
    status.join();
    polls.join();
    EXPECT_EQ(host->Violations(), 0u);
}

TEST_F(engine_concurrency, CloseAndOpenAgainstRequestService)
{
    TestDevice device;
    ASSERT_EQ(device.OpenTcpIp(), 0u);
    std::atomic<bool> stop{false};
    std::thread requests([&] {
        while (!stop.load()) {
            const ZODEVICE_STATUS status = device.RequestService();
            EXPECT_TRUE(status == 0 || status == 0x54318u) << std::hex << status;
        }
    });
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(device.Close(), 0u);
        ASSERT_EQ(device.OpenTcpIp(), 0u);
    }
    stop = true;
    requests.join();
}

TEST_F(engine_concurrency, CloseWhileTheObserverWaits)
{
    TestDevice device;
    ASSERT_EQ(device.OpenTcpIp(), 0u);
    const std::size_t threads = ThreadCount();
    EXPECT_EQ(device.Close(), 0u);
    EXPECT_EQ(ThreadCountOnceAt(threads - 1), threads - 1);
}

TEST_F(engine_concurrency, CloseDuringACallbackWaitsForIt)
{
    TestDevice device;
    ASSERT_EQ(device.OpenTcpIp(), 0u);
    std::mutex gate;
    std::unique_lock<std::mutex> closed(gate);
    std::atomic<bool> inCallback{false};
    device.messageHook = [&] {
        inCallback = true;
        std::lock_guard<std::mutex> wait(gate);
    };
    ASSERT_TRUE(device.Transport()->HostWrite("X", true));
    while (!inCallback.load()) {
        std::this_thread::yield();
    }
    std::atomic<bool> done{false};
    std::thread closer([&] {
        EXPECT_EQ(device.Close(), 0u);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(done.load());
    closed.unlock();
    closer.join();
    EXPECT_TRUE(done.load());
    EXPECT_FALSE(device.IsOpen());
}

TEST_F(engine_concurrency, CloseFromACallbackIsRefused)
{
    TestDevice device;
    ASSERT_EQ(device.OpenTcpIp(), 0u);
    device.closeFromCallback = true;
    ASSERT_TRUE(device.Transport()->HostWrite("X", true));
    ASSERT_TRUE(device.WaitCount('M', 1));
    EXPECT_EQ(device.callbackCloseStatus.load(), 0x54350u);
    EXPECT_TRUE(device.IsOpen());
    device.closeFromCallback = false;
    EXPECT_EQ(device.Close(), 0u);
}

TEST_F(engine_concurrency, CyclesLeaveNoThreadOrMemory)
{
    {
        // A first thread makes the sanitizer runtimes start their own threads.
        TestDevice warmUp;
        ASSERT_EQ(warmUp.OpenTcpIp(), 0u);
    }
    const std::size_t threads = ThreadCount();
    const std::int64_t blocks = EngineLiveBlocks();
    for (int i = 0; i < 100; ++i) {
        TestDevice device;
        ASSERT_EQ(device.OpenTcpIp(), 0u);
        ASSERT_TRUE(device.Transport()->HostWrite("A?", true));
        std::uint32_t reason = 0;
        ASSERT_EQ(device.Transport()->HostRead(64, &reason), "A?=OK");
    }
    EXPECT_EQ(ThreadCountOnceAt(threads), threads);
    EXPECT_EQ(EngineLiveBlocks(), blocks);
    EXPECT_EQ(FakeServers::Factory(1).Live(), 0u);
}

TEST_F(engine_concurrency, BlockedCallbackUnderARemoteLocalFlood)
{
    TestDevice device;
    ASSERT_EQ(device.OpenTcpIp(), 0u);
    ASSERT_EQ(device.EnableRemoteLocalEvent(1), 0u);
    FakeTransport* host = device.Transport();
    std::mutex gate;
    std::unique_lock<std::mutex> closed(gate);
    device.remoteLocalHook = [&gate] { std::lock_guard<std::mutex> wait(gate); };
    constexpr std::uint32_t kReports = 20;
    std::atomic<std::uint32_t> sent{0};
    std::thread flood([&] {
        for (std::uint32_t i = 0; i < kReports; ++i) {
            host->HostRemoteLocal(2 + (i & 1));
            ++sent;
        }
    });
    // One report in the blocked callback, five queued, then the transport is held.
    for (int i = 0; i < 15000 && !(host->Held() && sent.load() >= 6); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(host->Held());
    EXPECT_EQ(sent.load(), 6u);
    closed.unlock();
    flood.join();
    ASSERT_TRUE(device.WaitCount('L', kReports));
    std::vector<std::uint32_t> values;
    for (const auto& c : device.Callbacks()) {
        values.push_back(c.value);
    }
    ASSERT_EQ(values.size(), kReports);
    for (std::uint32_t i = 0; i < kReports; ++i) {
        EXPECT_EQ(values[i], 1 + (i & 1)) << i;
    }
    for (int i = 0; i < 30000 && host->Held(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_FALSE(host->Held());
}

TEST_F(engine_concurrency, ManagerDeviceEventsAgainstOperations)
{
    for (std::uint32_t code : {53u, 52u}) {
        TestDevice device;
        ASSERT_EQ(device.OpenTcpIp(), 0u);
        FakeTransport* host = device.Transport();
        std::atomic<bool> stop{false};
        std::thread operations([&] {
            while (!stop.load()) {
                device.RequestService();
                device.SetStatusByte(1);
                device.InputProcessed();
            }
        });
        std::thread writer([&] {
            std::uint32_t reason = 0;
            for (int i = 0; i < 50 && !stop.load(); ++i) {
                if (!host->HostWrite("A?", true, 50)) {
                    break;
                }
                host->HostRead(64, &reason, 50);
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        host->ManagerDeviceEvent(code);
        EXPECT_FALSE(host->IsActive()) << code;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        stop = true;
        operations.join();
        writer.join();
        EXPECT_EQ(host->Violations(), 0u);
        EXPECT_EQ(device.Close(), 0u) << code;
    }
}

} // namespace
} // namespace Korvex
