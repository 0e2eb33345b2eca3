// A TestDevice opened through CTcpIpDevice/CUsbDevice over the fake transport: host
// messages, queries, UNTERMINATED, INTERRUPTED, service requests and serial polls,
// remote/local, device clear and trigger, each through the whole engine.
#include <gtest/gtest.h>

#include <thread>

#include "TestDevice.h"
#include "engine/api/ZoDeviceApi.h"

namespace Korvex {
namespace {

class engine_end_to_end : public ::testing::Test {
protected:
    void SetUp() override
    {
        FakeServers::Install();
        ASSERT_EQ(zo_device_start_tcpip_server(), 0);
        ASSERT_EQ(zo_device_start_usb_server(), 0);
        ASSERT_EQ(device.OpenTcpIp(), 0u);
        host = device.Transport();
        ASSERT_NE(host, nullptr);
    }
    // Stops the servers: their interfaces go, as a real manager's do.
    void TearDown() override
    {
        zo_device_stop_tcpip_server();
        zo_device_stop_usb_server();
    }

    std::string Read(std::uint32_t* reason, int timeoutMs = 30000)
    {
        return host->HostRead(256, reason, timeoutMs);
    }

    TestDevice device;
    FakeTransport* host = nullptr;
};

TEST_F(engine_end_to_end, QueryThenReadAnswersWithEnd)
{
    ASSERT_TRUE(host->HostWrite("*IDN?", true));
    std::uint32_t reason = 0;
    EXPECT_EQ(Read(&reason), "*IDN?=OK");
    EXPECT_EQ(reason & FakeTransport::kReasonEnd, FakeTransport::kReasonEnd);
    ASSERT_TRUE(device.WaitCount('R', 1));
    const auto callbacks = device.Callbacks();
    EXPECT_EQ(callbacks.front().kind, 'M');
    EXPECT_EQ(callbacks.front().value, 0u);
    EXPECT_EQ(callbacks.front().text, "*IDN?");
    EXPECT_EQ(callbacks.back().kind, 'R');
    EXPECT_EQ(callbacks.back().value, 0u);
    EXPECT_EQ(callbacks.back().text, "*IDN?=OK");
}

TEST_F(engine_end_to_end, ReadBeforeTheAnswerWaitsForIt)
{
    std::string answer;
    std::uint32_t reason = 0;
    device.messageHook = [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); };
    ASSERT_TRUE(host->HostWrite("MEAS?", true));
    answer = Read(&reason);
    EXPECT_EQ(answer, "MEAS?=OK");
    EXPECT_NE(reason & FakeTransport::kReasonEnd, 0u);
}

TEST_F(engine_end_to_end, ReadWithNothingReportsUnterminatedOnce)
{
    std::uint32_t reason = 0;
    EXPECT_EQ(Read(&reason, 100), "");
    ASSERT_TRUE(device.WaitCount('M', 1));
    EXPECT_EQ(Read(&reason, 100), "");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto callbacks = device.Callbacks();
    ASSERT_EQ(device.Count('M'), 1u);
    EXPECT_EQ(callbacks.front().value, 2u);
    // After ReportUnterminated the exchange goes on normally.
    EXPECT_EQ(device.ReportUnterminated(), 0u);
    ASSERT_TRUE(host->HostWrite("A?", true));
    EXPECT_EQ(Read(&reason), "A?=OK");
}

TEST_F(engine_end_to_end, NewMessageBeforeReadingInterruptsTheResponse)
{
    ASSERT_TRUE(host->HostWrite("A?", true));
    ASSERT_TRUE(device.WaitCount('M', 1));
    ASSERT_TRUE(host->HostWrite("B?", true));
    ASSERT_TRUE(device.WaitCount('R', 1));
    ASSERT_TRUE(device.WaitCount('M', 2));
    const auto callbacks = device.Callbacks();
    bool interrupted = false;
    for (const auto& c : callbacks) {
        interrupted = interrupted || (c.kind == 'R' && c.value == 2u);
    }
    EXPECT_TRUE(interrupted);
    std::uint32_t reason = 0;
    EXPECT_EQ(Read(&reason), "B?=OK");
}

TEST_F(engine_end_to_end, ServiceRequestAndSerialPoll)
{
    device.statusByte = 0x10;
    ASSERT_EQ(device.EnableStatusByteRequestEvent(), 0u);
    ASSERT_EQ(device.RequestService(), 0u);
    EXPECT_TRUE(host->SrqLine());
    const int stb = host->HostSerialPoll();
    EXPECT_EQ(stb, 0x50);          // RQS with the device's byte
    EXPECT_FALSE(host->SrqLine()); // released at the start of the poll
    EXPECT_EQ(device.Count('S'), 1u);
    // RQS is reported once: the next poll carries the byte alone.
    EXPECT_EQ(host->HostSerialPoll(), 0x10);
    EXPECT_EQ(host->SrqAssertions(), 1u);
    EXPECT_EQ(host->SrqReleases(), 1u);
}

TEST_F(engine_end_to_end, RequestDuringAPollIsAssertedAtItsEnd)
{
    ASSERT_EQ(device.EnableStatusByteRequestEvent(), 0u);
    // The device raises its request while answering the poll.
    device.statusByte = 0x04;
    std::thread poller([this] { EXPECT_EQ(host->HostSerialPoll(), 0x04); });
    ASSERT_TRUE(device.WaitCount('S', 1));
    EXPECT_EQ(device.RequestService(), 0u);
    poller.join();
    EXPECT_TRUE(host->SrqLine());
    EXPECT_EQ(host->SrqAssertions(), 1u);
}

TEST_F(engine_end_to_end, PollWithoutStatusByteHandlerAnswersTheStoredByte)
{
    ASSERT_EQ(device.SetStatusByte(0xFF), 0u);
    EXPECT_EQ(host->HostSerialPoll(), 0xBF);
    EXPECT_EQ(device.Count('S'), 0u);
}

TEST_F(engine_end_to_end, RemoteLocalSkipsRepeatedValues)
{
    ASSERT_EQ(device.EnableRemoteLocalEvent(0), 0u);
    host->HostRemoteLocal(2);   // remote -> 1
    host->HostRemoteLocal(4);   // remote lockout -> 1 again: skipped
    host->HostRemoteLocal(3);   // local lockout -> 0
    host->HostRemoteLocal(1);   // local -> 0 again: skipped
    ASSERT_TRUE(device.WaitCount('L', 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::vector<std::uint32_t> values;
    for (const auto& c : device.Callbacks()) {
        if (c.kind == 'L') {
            values.push_back(c.value);
        }
    }
    EXPECT_EQ(values, (std::vector<std::uint32_t>{1, 0}));
}

TEST_F(engine_end_to_end, RemoteLocalWithLockoutReportsEveryState)
{
    ASSERT_EQ(device.EnableRemoteLocalEvent(1), 0u);
    for (std::uint32_t value : {2u, 4u, 3u, 1u}) {
        host->HostRemoteLocal(value);
    }
    ASSERT_TRUE(device.WaitCount('L', 4));
    std::vector<std::uint32_t> values;
    for (const auto& c : device.Callbacks()) {
        if (c.kind == 'L') {
            values.push_back(c.value);
        }
    }
    EXPECT_EQ(values, (std::vector<std::uint32_t>{1, 3, 2, 0}));
}

TEST_F(engine_end_to_end, ClearWithAResponseQueued)
{
    ASSERT_TRUE(host->HostWrite("A?", true));
    ASSERT_TRUE(device.WaitCount('M', 1));
    ASSERT_TRUE(host->HostDeviceClearAndWait());
    ASSERT_TRUE(device.WaitCount('C', 1));
    ASSERT_TRUE(device.WaitCount('R', 1));
    const auto callbacks = device.Callbacks();
    std::uint32_t cancelled = 0;
    for (const auto& c : callbacks) {
        cancelled += c.kind == 'R' && c.value == 3u ? 1 : 0;
    }
    EXPECT_EQ(cancelled, 1u);
    EXPECT_EQ(host->ClearsFinished(), 1u);
    // The host is heard after the clear.
    ASSERT_TRUE(host->HostWrite("B?", true));
    std::uint32_t reason = 0;
    EXPECT_EQ(Read(&reason), "B?=OK");
}

TEST_F(engine_end_to_end, TriggerWhileBusyRunsAfterInputProcessed)
{
    ASSERT_EQ(device.EnableTriggerEvent(), 0u);
    std::mutex gate;
    std::unique_lock<std::mutex> closed(gate);
    device.messageHook = [&gate] { std::lock_guard<std::mutex> wait(gate); };
    ASSERT_TRUE(host->HostWrite("SET", true));
    std::thread trigger([this] { host->HostTrigger(); });
    trigger.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(device.Count('T'), 0u);
    closed.unlock();
    ASSERT_TRUE(device.WaitCount('T', 1));
    const auto callbacks = device.Callbacks();
    EXPECT_EQ(callbacks.front().kind, 'M');
    EXPECT_EQ(callbacks.back().kind, 'T');
}

TEST_F(engine_end_to_end, UsbDeviceRunsTheSameExchange)
{
    TestDevice usb;
    ASSERT_EQ(usb.OpenUsb(), 0u);
    ASSERT_NE(usb.Transport(), nullptr);
    ASSERT_TRUE(usb.Transport()->HostWrite("*IDN?", true));
    std::uint32_t reason = 0;
    EXPECT_EQ(usb.Transport()->HostRead(256, &reason), "*IDN?=OK");
}

} // namespace
} // namespace Korvex
