// The simulated USB host's socket with the loopback device behind it, as clients see it:
// a client that hangs up or waits long holds no other client's deadline or data, the host
// keeps the device's address, a reset cut short is made up for, a soak of such frames
// leaves the device answering, and a device switched off and on is shown again only once
// the host has enumerated it anew.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "UsbBench.h"
#include "sim/UsbHostSocket.h"
#include "sim/usb_host/UsbHostServer.h"

namespace usbtest {
namespace {

using Server = sim::UsbHostServer;
using Clock = std::chrono::steady_clock;
using usbsocket::Bytes;
using usbsocket::Client;
using usbsocket::Frame;

Bytes BulkIn(std::uint32_t length, std::uint32_t timeoutMs)
{
    return Frame(Server::OpBulkIn, 0x81, length, {}, {}, -1, timeoutMs);
}
Bytes BulkOut(const Bytes& data) { return Frame(Server::OpBulkOut, 0x02, 0, {}, data, -1, 2000); }
Bytes DeviceDescriptor(std::uint32_t timeoutMs)
{
    return Frame(Server::OpControl, 0, 18, {0x80, 6, 0, 1, 0, 0, 18, 0}, {}, -1, timeoutMs);
}
Bytes Reset(std::uint32_t timeoutMs) { return Frame(Server::OpReset, 0, 0, {}, {}, -1, timeoutMs); }
Bytes Info() { return Frame(Server::OpInfo, 0, 0, {}, {}); }

long MsSince(Clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class UsbHostSocket : public UsbBench {
protected:
    void Configure() override { loopback.SetReceiveSize(4); }
    void SetUp() override
    {
        UsbBench::SetUp();
        if (HasFatalFailure()) return;
        char folder[] = "/tmp/korvex-usbhost-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        dir = folder;
        ASSERT_TRUE(server.Listen(dir + "/usb.sock"));
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!server.Attached() && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_TRUE(server.Attached());
        ASSERT_TRUE(loopback.WaitFor(LoopbackEvent::Activate, 1));
        ASSERT_TRUE(a.Connect(server.SocketPath()));
        ASSERT_TRUE(b.Connect(server.SocketPath()));
        ASSERT_EQ(b.Ask(DeviceDescriptor(2000), &descriptor), Server::kOk);
    }
    void TearDown() override
    {
        a.Close();
        b.Close();
        server.Close();
        if (!dir.empty()) ::rmdir(dir.c_str());
        UsbBench::TearDown();
    }

    // The device echoes 4 bytes through b's connection.
    void Echoes(const Bytes& data)
    {
        ASSERT_EQ(b.Ask(BulkOut(data)), Server::kOk);
        Bytes back;
        ASSERT_EQ(b.Ask(BulkIn(64, 2000), &back), Server::kOk);
        EXPECT_EQ(back, data);
    }

    Server server;
    std::string dir;
    Client a;
    Client b;
    Bytes descriptor;
};

// a's read without a deadline ends when a hangs up: the echo b asks for goes to b.
TEST_F(UsbHostSocket, AReadWhoseClientHungUpTakesNothing)
{
    ASSERT_TRUE(a.Send(BulkIn(64, 0)));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    a.Close();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // a's transfer notices in 1 ms
    Echoes({'e', 'c', 'h', 'o'});
}

// b's read waits for a's on the same endpoint only until b's own deadline.
TEST_F(UsbHostSocket, AReadWaitingForTheEndpointKeepsItsDeadline)
{
    ASSERT_TRUE(a.Send(BulkIn(64, 4000)));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto start = Clock::now();
    EXPECT_EQ(b.Ask(BulkIn(64, 300)), Server::kTimeout);
    EXPECT_GE(MsSince(start), 300);
    EXPECT_LT(MsSince(start), 2000);
}

TEST_F(UsbHostSocket, SetAddressFromAClientIsRefused)
{
    EXPECT_EQ(b.Ask(Frame(Server::OpControl, 0, 0, {0x00, 5, 9, 0, 0, 0, 0, 0}, {})), Server::kBadRequest);
    Bytes again;
    EXPECT_EQ(b.Ask(DeviceDescriptor(2000), &again), Server::kOk);
    EXPECT_EQ(again, descriptor);
    Echoes({1, 2, 3, 0});
}

// The device does not see the bus reset before the deadline: the next request resets,
// addresses and configures it again first.
TEST_F(UsbHostSocket, AResetCutByItsDeadlineIsMadeUpByTheNextRequest)
{
    std::uint32_t status = 0;
    manager->DisableAsynchronousEventDispatching(&status);
    EXPECT_EQ(b.Ask(Reset(2)), Server::kTimeout);
    manager->EnableAsynchronousEventDispatching(&status);
    Echoes({4, 5, 6, 0});
    ASSERT_TRUE(loopback.WaitFor(LoopbackEvent::Activate, 2));
}

// Resets with 1-2 ms deadlines among descriptor reads without one and 2-MiB reads, from three
// clients, each with a seeded sequence: every reply is one its request can have (a transfer
// that a reset ends: no device, nothing read), and afterwards the device answers.
TEST_F(UsbHostSocket, ResetsCutShortAmongOtherRequestsLeaveTheDeviceAnswering)
{
    const unsigned seed = 33;
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::atomic<int> resets{0};
    std::vector<std::thread> clients;
    for (unsigned i = 0; i < 3; ++i) {
        clients.emplace_back([&, i] {
            std::mt19937 random(seed + i);
            Client c;
            if (!c.Connect(server.SocketPath(), 30)) {
                ++wrong;
                return;
            }
            while (!stop.load()) {
                Bytes data;
                switch (random() % 3) {
                    case 0: {
                        const std::int32_t s = c.Ask(Reset(1 + random() % 2));
                        if (s != Server::kOk && s != Server::kTimeout) ++wrong;
                        ++resets;
                        break;
                    }
                    case 1: {
                        const std::int32_t s = c.Ask(DeviceDescriptor(0), &data);
                        if (s == Server::kOk ? data != descriptor : s != Server::kNoDevice || !data.empty())
                            ++wrong;
                        break;
                    }
                    default: {
                        const std::int32_t s = c.Ask(BulkIn(Server::kMaxData, 1 + random() % 20), &data);
                        if ((s != Server::kTimeout && s != Server::kNoDevice) || !data.empty()) ++wrong;
                    }
                }
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::seconds(3));
    stop.store(true);
    for (std::thread& t : clients) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(resets.load(), 0);
    Bytes again;
    EXPECT_EQ(b.Ask(DeviceDescriptor(2000), &again), Server::kOk);
    EXPECT_EQ(again, descriptor);
    Echoes({7, 8, 9, 0});
    EXPECT_EQ(server.AttachCount(), 1u);
}

// The device switched off and on (its pull-up falls, then rises) while the host's watcher is
// held before it takes up the change: the attachment has ended all the same, so no client is
// shown the device or reaches it before the enumeration that resets it. Once the watcher
// runs, the device answers under a new attachment.
TEST_F(UsbHostSocket, OffAndOnEndsTheAttachmentBeforeTheWatcherRuns)
{
    struct Hold {
        std::mutex lock;
        std::condition_variable changed;
        bool held = true;
        void Release()
        {
            {
                std::lock_guard<std::mutex> g(lock);
                held = false;
            }
            changed.notify_all();
        }
        ~Hold() { Release(); }  // whatever fails, the watcher goes on (Close joins it)
    } hold;
    server.SetWatchHook([&hold] {
        std::unique_lock<std::mutex> g(hold.lock);
        hold.changed.wait(g, [&hold] { return !hold.held; });
    });
    const auto expectDetached = [&](const char* when) {
        Bytes info;
        EXPECT_EQ(b.Ask(Info(), &info), Server::kOk) << when;
        EXPECT_EQ(info.size(), 12u) << when;
        EXPECT_EQ(info.empty() ? -1 : info[0], 0) << when << ": INFO says attached";
        EXPECT_EQ(b.Ask(DeviceDescriptor(2000)), Server::kNoDevice) << when;
        EXPECT_EQ(b.Ask(BulkOut({1, 2, 3, 4})), Server::kNoDevice) << when;
    };
    std::uint32_t status = 0;
    manager->Stop(&status);
    ASSERT_EQ(status, 0u);
    expectDetached("off");
    manager->Start(settings, &status);
    ASSERT_EQ(status, 0u);
    expectDetached("on again");
    hold.Release();
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (server.AttachCount() < 2 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(server.AttachCount(), 2u);
    Bytes info;
    ASSERT_EQ(b.Ask(Info(), &info), Server::kOk);
    EXPECT_EQ(info, (Bytes{1, 1, 1, 2, 1, 1, 0, 0, 2, 0, 0, 0}));
    Bytes again;
    EXPECT_EQ(b.Ask(DeviceDescriptor(2000), &again), Server::kOk);
    EXPECT_EQ(again, descriptor);
    Echoes({5, 4, 3, 2});
    server.SetWatchHook(nullptr);
}

}  // namespace
}  // namespace usbtest
