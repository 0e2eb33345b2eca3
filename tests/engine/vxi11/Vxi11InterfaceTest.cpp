// The VXI-11 physical interface and its manager with a real engine session (TestDevice) on
// server kind 1, and the manager's name index on its own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/OpenCloseRace.h"
#include "engine/TestDevice.h"
#include "engine/api/ZoDeviceApi.h"
#include "engine/api/ZoDeviceInterface.h"
#include "engine/device/TcpIpDevice.h"
#include "engine/vxi11/InstrumentServer.h"
#include "engine/vxi11/Vxi11GateHarness.h"
#include "engine/vxi11/Vxi11PhysicalInterface.h"
#include "engine/vxi11/Vxi11PhysicalInterfaceManager.h"
#include "engine/vxi11/Vxi11Registry.h"
#include "engine/vxi11/Vxi11Status.h"

using namespace Korvex;

namespace {

const ZoOpenDescriptor kDescriptor{sizeof(ZoOpenDescriptor), 0x01040000, 1, 1, "VuREva11"};

Vxi11DeviceNameSettings Alias(const char* name)
{
    Vxi11DeviceNameSettings settings{};
    settings.size = sizeof(settings);
    settings.version = 1;
    settings.complete = 1;
    if (name != nullptr) {
        std::strncpy(settings.name, name, sizeof(settings.name) - 1);
        settings.nameSet = 1;
    }
    return settings;
}

class StbClient : public CVxi11Client {
public:
    void SendServiceRequest(std::uint32_t, const std::uint8_t*) override { ++requests; }
    void SendReadStbReply(std::uint32_t xid, std::uint8_t stb, std::uint32_t status) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        replies.push_back({xid, stb, status});
    }
    struct Reply {
        std::uint32_t xid;
        std::uint8_t stb;
        std::uint32_t status;
    };
    std::mutex mutex;
    std::vector<Reply> replies;
    std::atomic<int> requests{0};
};

// ---- the manager's index ----

TEST(Vxi11ManagerIndex, NamesAliasesAndPrefixes)
{
    std::uint32_t status = 1;
    CVxi11PhysicalInterfaceManager manager(&status);
    ASSERT_EQ(status, 0u);
    auto* inst0 = manager.CreateInterface(&kDescriptor, 0, &status);
    ASSERT_EQ(status, 0u);
    auto* inst1 = manager.CreateInterface(&kDescriptor, 1, &status);
    ASSERT_EQ(status, 0u);
    EXPECT_EQ(manager.FindInterface("inst0"), dynamic_cast<CVxi11LinkInterface*>(inst0));
    EXPECT_EQ(manager.FindInterface("inst1"), dynamic_cast<CVxi11LinkInterface*>(inst1));
    EXPECT_EQ(manager.CreateInterface(&kDescriptor, 0, &status), nullptr);
    EXPECT_EQ(status, 0x54311u);
    EXPECT_EQ(manager.Count(), 2u);

    ZoOpenDescriptor old = kDescriptor;
    old.apiVersion = 0x01030000;
    EXPECT_EQ(manager.CreateInterface(&old, 7, &status), nullptr);
    EXPECT_EQ(status, 0x54364u);
    old.apiVersion = 0x010400FF;  // a minor revision
    auto* inst7 = manager.CreateInterface(&old, 7, &status);
    EXPECT_EQ(status, 0u);

    // Alias equal to the own name, then a prefix of the other names.
    Vxi11DeviceNameSettings own = Alias("inst1");
    inst1->Open(&own, &status);
    EXPECT_EQ(status, 0x54312u);
    EXPECT_EQ(inst1->IsActive(), 0);
    Vxi11DeviceNameSettings prefix = Alias("inst");
    inst1->Open(&prefix, &status);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(inst1->IsActive(), 1);
    EXPECT_EQ(manager.Find("inst"), inst1);
    EXPECT_EQ(manager.Find("inst0"), inst0);
    EXPECT_EQ(manager.Find("ins"), nullptr);
    EXPECT_EQ(manager.Find("inst00"), nullptr);
    // The alias is taken.
    inst0->Open(&prefix, &status);
    EXPECT_EQ(status, 0x54312u);

    // Closed, the names stay; destroyed, both go.
    inst1->Close(&status);
    EXPECT_EQ(manager.Find("inst"), inst1);
    manager.DestroyInterface(inst1, &status);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(manager.Find("inst"), nullptr);
    EXPECT_EQ(manager.Find("inst1"), nullptr);
    EXPECT_EQ(manager.Find("inst0"), inst0);
    EXPECT_EQ(manager.Count(), 2u);

    // Not an interface of this manager.
    FakeTransport foreign;
    manager.DestroyInterface(&foreign, &status);
    EXPECT_EQ(status, 0x543FFu);
    (void)inst7;
    // The rest goes with the manager.
}

// ---- with the engine ----

CVxi11PhysicalInterfaceManager* g_manager = nullptr;
CVxi11Registry* g_registry = nullptr;

void StartServer(std::uint32_t* status)
{
    g_manager = new CVxi11PhysicalInterfaceManager(status);
    g_registry = new CVxi11Registry(g_manager, 1, status);
    zo_device_register_server(kServerKindVxi11, kInternalVersion, g_manager, status);
}

void StopServer()
{
    zo_device_unregister_server(kServerKindVxi11);
    delete g_manager;
    delete g_registry;
    g_manager = nullptr;
    g_registry = nullptr;
}

// The engine with the VXI-11 server of this file (kind 1).
int StartEngine()
{
    FakeServers::Install();
    static const ZoServerBuilder builder{&StartServer, &StopServer};
    zo_device_set_server_builder(kServerKindVxi11, &builder);
    return zo_device_start_tcpip_server();
}

class Vxi11InterfaceFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(StartEngine(), 0);
        device = std::make_unique<TestDevice>(inputSize);
        ASSERT_EQ(device->OpenTcpIp(), 0u);
        inst0 = g_manager->Find("inst0");
        ASSERT_NE(inst0, nullptr);
        std::uint32_t status = 1;
        lid = g_registry->CreateLink(&client, false, 0, "inst0", &status);
        ASSERT_EQ(status, 0u);
    }
    void TearDown() override
    {
        device.reset();
        zo_device_stop_tcpip_server();
        FakeServers::Install();
    }

    std::uint32_t Write(const std::string& text, bool end, std::uint32_t* status,
                        std::uint32_t timeout = 2000)
    {
        return g_registry->DeviceWrite(&client, lid, false, 0, end, timeout,
                                       static_cast<std::uint32_t>(text.size()),
                                       reinterpret_cast<const std::uint8_t*>(text.data()),
                                       status);
    }
    std::string Read(std::uint32_t count, std::uint32_t* reason, std::uint32_t* status,
                     std::uint32_t timeout = 2000)
    {
        std::vector<std::uint8_t> data(count + 1);
        const std::uint32_t got = g_registry->DeviceRead(&client, lid, false, 0, false, 0,
                                                         timeout, count, data.data(), reason,
                                                         status);
        return std::string(reinterpret_cast<const char*>(data.data()), got);
    }

    std::uint32_t inputSize = 256;  // of the buffer the device posts
    std::unique_ptr<TestDevice> device;
    CVxi11PhysicalInterface* inst0 = nullptr;
    StbClient client;
    std::uint32_t lid = 0;
};

TEST_F(Vxi11InterfaceFixture, QueryRoundTripAndChunkedRead)
{
    std::uint32_t status = 1;
    EXPECT_EQ(Write("*IDN?", true, &status), 5u);
    EXPECT_EQ(status, 0u);
    std::uint32_t reason = 0;
    EXPECT_EQ(Read(100, &reason, &status), "*IDN?=OK");
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(reason, 4u);
    ASSERT_TRUE(device->WaitCount('M', 1));

    // A read shorter than the response: no reason, the rest on the next read with END.
    EXPECT_EQ(Write("AB?", true, &status), 3u);
    EXPECT_EQ(Read(3, &reason, &status), "AB?");
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(reason, 0u);
    EXPECT_EQ(Read(100, &reason, &status), "=OK");
    EXPECT_EQ(reason, 4u);

    // Count 0 reaches nothing.
    EXPECT_EQ(Write("", true, &status), 0u);
    EXPECT_EQ(status, 0u);
    // Nothing queued: the read times out.
    EXPECT_EQ(Read(10, &reason, &status, 50), "");
    EXPECT_EQ(status, VXI11_STATUS_IO_TIMEOUT);
}

TEST_F(Vxi11InterfaceFixture, StatusByteTriggerClearRemoteLocal)
{
    device->statusByte = 0x11;
    ASSERT_EQ(device->EnableStatusByteRequestEvent(), 0u);
    std::uint32_t status = 1;
    g_registry->DeviceReadStb(&client, 77, lid, false, 0, 2000, &status);
    EXPECT_EQ(status, 0u);
    {
        std::lock_guard<std::mutex> lock(client.mutex);
        ASSERT_EQ(client.replies.size(), 1u);
        EXPECT_EQ(client.replies[0].xid, 77u);
        EXPECT_EQ(client.replies[0].stb & 0xBF, 0x11);
        EXPECT_EQ(client.replies[0].status, 0u);
    }

    g_registry->DeviceClear(&client, lid, false, 0, 2000, &status);
    EXPECT_EQ(status, 0u);
    EXPECT_GE(device->Count('C'), 1u);

    // Trigger, remote and local need the device's consent.
    g_registry->DeviceTrigger(&client, lid, false, 0, 2000, &status);
    EXPECT_EQ(status, 0x54395u);
    g_registry->DeviceRemote(&client, lid, false, 0, 2000, &status);
    EXPECT_EQ(status, 0x54395u);
    ASSERT_EQ(device->EnableTriggerEvent(), 0u);
    ASSERT_EQ(device->EnableRemoteLocalEvent(0), 0u);
    g_registry->DeviceTrigger(&client, lid, false, 0, 2000, &status);
    EXPECT_EQ(status, 0u);
    EXPECT_TRUE(device->WaitCount('T', 1));
    // device_remote is plain remote, not remote with lockout.
    g_registry->DeviceRemote(&client, lid, false, 0, 2000, &status);
    EXPECT_EQ(status, 0u);
    ASSERT_TRUE(device->WaitCount('L', 1));
    g_registry->DeviceLocal(&client, lid, false, 0, 2000, &status);
    EXPECT_EQ(status, 0u);
    ASSERT_TRUE(device->WaitCount('L', 2));
    std::vector<std::uint32_t> values;
    for (const auto& callback : device->Callbacks()) {
        if (callback.kind == 'L') {
            values.push_back(callback.value);
        }
    }
    // The device hears remote (1) and local (0); remote with lockout would read otherwise.
    EXPECT_EQ(values, (std::vector<std::uint32_t>{1u, 0u}));
}

TEST_F(Vxi11InterfaceFixture, ClosingTheDeviceDestroysTheLinks)
{
    EXPECT_EQ(g_registry->LinkCount(), 1u);
    ASSERT_EQ(device->Close(), 0u);
    EXPECT_EQ(g_registry->LinkCount(), 0u);
    std::uint32_t status = 0;
    Write("X", true, &status);
    EXPECT_EQ(status, VXI11_STATUS_INVALID_LINK);
    // A new link needs an open device.
    g_registry->CreateLink(&client, false, 0, "inst0", &status);
    EXPECT_EQ(status, VXI11_STATUS_NO_DEVICE);
}

TEST_F(Vxi11InterfaceFixture, LockOfAnotherLinkAndAbort)
{
    StbClient other;
    std::uint32_t status = 1;
    const std::uint32_t locker = g_registry->CreateLink(&other, true, 0, "inst0", &status);
    ASSERT_EQ(status, 0u);
    Write("A", true, &status);
    EXPECT_EQ(status, VXI11_STATUS_LOCKED);
    g_registry->DeviceUnlock(&other, locker, &status);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(Write("A", true, &status), 1u);
    EXPECT_EQ(status, 0u);
}

// Watchdog: a device-wide failure (53) on an open interface with links must not deadlock
// the manager (the interface's close goes back into it) and takes the links away.
TEST_F(Vxi11InterfaceFixture, NotifyAllClosesWithoutDeadlock)
{
    std::uint32_t status = 1;
    StbClient other;
    g_registry->CreateLink(&other, false, 0, "inst0", &status);
    ASSERT_EQ(g_registry->LinkCount(), 2u);
    auto done = std::async(std::launch::async, [] { g_manager->NotifyAll(53); });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(inst0->IsActive(), 0);
    EXPECT_EQ(g_registry->LinkCount(), 0u);
    EXPECT_EQ(g_manager->Find("inst0"), inst0);
}

// Device-wide failures while sessions open and close: a session is freed only after the
// event has left it (ASan, TSan).
TEST_F(Vxi11InterfaceFixture, SessionsCloseWhileDeviceEventsArrive)
{
    const Vxi11DeviceNameSettings settings = Alias(nullptr);
    const std::uint32_t sent = racetest::OpenCloseWhileNotified(
        300, kDescriptor, 1, &settings, [] { g_manager->NotifyAll(53); });
    EXPECT_GT(sent, 0u);
    EXPECT_EQ(g_manager->Count(), 1u);
}

// Stopping the server (the manager goes, event 52) leaves no interface behind.
TEST_F(Vxi11InterfaceFixture, ManagerEndDestroysTheInterfaces)
{
    auto done = std::async(std::launch::async, [] { zo_device_stop_tcpip_server(); });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(g_manager, nullptr);
}

} // namespace

namespace {

// A read whose chunk completes the transfer succeeds even with no time left (io_timeout 0,
// as clients send near their deadline); one that needs a further chunk times out.
TEST_F(Vxi11InterfaceFixture, CompletingChunkNeedsNoTimeLeft)
{
    std::uint32_t status = 1;
    ASSERT_EQ(Write("*IDN?", true, &status), 5u);
    ASSERT_TRUE(device->WaitCount('M', 1));
    std::uint32_t reason = 0;
    std::string got;
    for (int i = 0; i < 6000 && got.empty(); ++i) {
        got = Read(100, &reason, &status, 0);
        if (got.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    EXPECT_EQ(got, "*IDN?=OK");
    EXPECT_EQ(reason, 4u);
    EXPECT_EQ(status, 0u);

    // A write completed by its only chunk, with no time left.
    status = 1;
    for (int i = 0; i < 6000 && status != 0; ++i) {
        if (Write("X", true, &status, 0) != 1u) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    EXPECT_EQ(status, 0u);
}

// A status byte that arrives after the poll timed out is dropped; the next poll is fresh.
TEST_F(Vxi11InterfaceFixture, LateStatusByteIsDropped)
{
    ASSERT_EQ(device->EnableStatusByteRequestEvent(), 0u);
    std::mutex gate;
    gate.lock();
    std::atomic<bool> blocked{false};
    device->messageHook = [&] {
        blocked = true;
        std::lock_guard<std::mutex> wait(gate);
    };
    std::uint32_t status = 1;
    ASSERT_EQ(Write("HOLD", true, &status), 4u);
    while (!blocked) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    device->statusByte = 0x21;
    g_registry->DeviceReadStb(&client, 1, lid, false, 0, 50, &status);
    EXPECT_EQ(status, 0u);  // the reply carries the error
    gate.unlock();
    ASSERT_TRUE(device->WaitCount('S', 1));
    device->statusByte = 0x22;
    g_registry->DeviceReadStb(&client, 2, lid, false, 0, 2000, &status);
    std::lock_guard<std::mutex> lock(client.mutex);
    ASSERT_EQ(client.replies.size(), 2u);
    EXPECT_EQ(client.replies[0].status, VXI11_STATUS_IO_TIMEOUT);
    EXPECT_EQ(client.replies[1].xid, 2u);
    EXPECT_EQ(client.replies[1].status, 0u);
    EXPECT_EQ(client.replies[1].stb & 0xBF, 0x22);
}

} // namespace

namespace {

class Vxi11InterfaceSmallInput : public Vxi11InterfaceFixture {
protected:
    Vxi11InterfaceSmallInput() { inputSize = 4; }
};

// A write larger than the posted input buffer goes in buffer-sized chunks; END only on the
// last one.
TEST_F(Vxi11InterfaceSmallInput, WriteArrivesInBufferSizedChunks)
{
    std::uint32_t status = 1;
    EXPECT_EQ(Write("ABCDEFGHIJ", true, &status), 10u);
    EXPECT_EQ(status, 0u);
    ASSERT_TRUE(device->WaitCount('M', 3));
    std::vector<std::pair<std::uint32_t, std::string>> messages;
    for (const auto& callback : device->Callbacks()) {
        if (callback.kind == 'M') {
            messages.emplace_back(callback.value, callback.text);
        }
    }
    // Reasons: 1 buffer full, 0 END.
    const std::vector<std::pair<std::uint32_t, std::string>> expected{
        {1u, "ABCD"}, {1u, "EFGH"}, {0u, "IJ"}};
    EXPECT_EQ(messages, expected);
}

// device_abort ends a procedure's wait with error 23, whichever wait it is in, and the link
// works afterwards.
TEST_F(Vxi11InterfaceFixture, AbortEndsEachWait)
{
    using Clock = std::chrono::steady_clock;
    // Aborts until the procedure returns: an abort before the procedure started is a no-op.
    auto abortUntilDone = [&](std::future<std::uint32_t>& done) {
        const auto start = Clock::now();
        while (done.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready &&
               Clock::now() - start < std::chrono::seconds(10)) {
            std::uint32_t abortStatus = 1;
            g_registry->AbortLink(&client, lid, &abortStatus);
            EXPECT_EQ(abortStatus, 0u);
        }
        EXPECT_EQ(done.wait_for(std::chrono::seconds(0)), std::future_status::ready);
        return Clock::now() - start;
    };

    // Waiting for a response that never comes.
    {
        auto done = std::async(std::launch::async, [&] {
            std::uint32_t status = 0;
            std::uint32_t reason = 0;
            EXPECT_EQ(Read(10, &reason, &status, 30000), "");
            return status;
        });
        EXPECT_LT(abortUntilDone(done), std::chrono::seconds(2));
        EXPECT_EQ(done.get(), VXI11_STATUS_ABORTED);
    }

    // Waiting for a lock another link holds.
    {
        StbClient other;
        std::uint32_t status = 1;
        const std::uint32_t locker = g_registry->CreateLink(&other, true, 0, "inst0", &status);
        ASSERT_EQ(status, 0u);
        auto done = std::async(std::launch::async, [&] {
            std::uint32_t writeStatus = 0;
            g_registry->DeviceWrite(&client, lid, true, 30000, true, 2000, 1,
                                    reinterpret_cast<const std::uint8_t*>("X"), &writeStatus);
            return writeStatus;
        });
        EXPECT_LT(abortUntilDone(done), std::chrono::seconds(2));
        EXPECT_EQ(done.get(), VXI11_STATUS_ABORTED);
        g_registry->DeviceUnlock(&other, locker, &status);
        EXPECT_EQ(status, 0u);
    }

    // Waiting for the engine to leave the interface: seen waiting, one abort suffices.
    {
        std::uint32_t status = 1;
        inst0->HoldTransport(&status);
        ASSERT_EQ(status, 0u);
        auto done = std::async(std::launch::async, [&] {
            std::uint32_t writeStatus = 0;
            Write("Y", true, &writeStatus, 30000);
            return writeStatus;
        });
        const auto start = Clock::now();
        while (inst0->GetDispatcherGate().WaitingLid() != lid &&
               Clock::now() - start < std::chrono::seconds(10)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_EQ(inst0->GetDispatcherGate().WaitingLid(), lid);
        const auto aborted = Clock::now();
        g_registry->AbortLink(&client, lid, &status);
        EXPECT_EQ(status, 0u);
        ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_LT(Clock::now() - aborted, std::chrono::seconds(10));  // not after the write's 30 s
        EXPECT_EQ(done.get(), VXI11_STATUS_ABORTED);
        inst0->ReleaseTransport(&status);
        EXPECT_EQ(status, 0u);
    }

    // The link still works.
    std::uint32_t status = 1;
    std::uint32_t reason = 0;
    EXPECT_EQ(Write("Z?", true, &status), 2u);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(Read(100, &reason, &status), "Z?=OK");
    EXPECT_EQ(status, 0u);
}

// Several connections' round trips (each under the device lock, as clients do) against the
// engine holding the interface for its own calls and deliveries.
TEST_F(Vxi11InterfaceFixture, RoundTripsAgainstEngineHolds)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 20;
    std::atomic<bool> finished{false};
    std::thread engine([&] {
        for (int i = 0; i < 100000 && !finished.load(); ++i) {
            device->SetStatusByte(static_cast<std::uint8_t>(i & 0x0F));
        }
    });
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            StbClient own;
            std::uint32_t status = 1;
            const std::uint32_t link = g_registry->CreateLink(&own, false, 0, "inst0", &status);
            if (status != 0) {
                ADD_FAILURE() << "link " << t << ": " << status;
                return;
            }
            for (int i = 0; i < kRounds; ++i) {
                g_registry->DeviceLock(&own, link, true, 10000, &status);
                if (status != 0) {
                    ADD_FAILURE() << "lock " << t << ":" << i << ": " << status;
                    return;
                }
                const std::string query = "Q" + std::to_string(t) + "-" + std::to_string(i) + "?";
                const std::uint32_t taken = g_registry->DeviceWrite(
                    &own, link, false, 0, true, 5000, static_cast<std::uint32_t>(query.size()),
                    reinterpret_cast<const std::uint8_t*>(query.data()), &status);
                std::uint8_t data[64] = {};
                std::uint32_t reason = 0;
                std::uint32_t readStatus = 1;
                const std::uint32_t got = g_registry->DeviceRead(
                    &own, link, false, 0, false, 0, 5000, sizeof(data), data, &reason,
                    &readStatus);
                const std::string answer(reinterpret_cast<const char*>(data), got);
                if (taken == query.size() && status == 0 && readStatus == 0 &&
                    answer == query + "=OK" && reason == 4u) {
                    ++good;
                } else {
                    ADD_FAILURE() << "round " << t << ":" << i << ": write " << taken << "/"
                                  << status << ", read '" << answer << "'/" << readStatus;
                }
                g_registry->DeviceUnlock(&own, link, &status);
            }
            g_registry->DestroyLink(&own, link, &status);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    finished = true;
    engine.join();
    EXPECT_EQ(good.load(), kThreads * kRounds);
}

// ---- links behind a device that holds: the end of a departing link, a queued GET ----

// A device that holds what it is given, as the instrument does: "HOLD" (no query) runs until
// Release(), "MEAS?" is answered "meas" on Release(), "WAIT?" waits for a device clear (a
// FETC? waiting for triggers), "LATER?" is not begun before Release() (queued behind another
// interface's message), then announced and answered "later" unless its reply is owed to
// nobody; while it holds it takes no input. Any other query ending in '?' is answered
// "<query>=mine" at once. A trigger reported waiting is counted out of turn when the session
// hands it over, as the instrument does for another interface's FETC?.
class HoldingDevice : public CTcpIpDevice {
public:
    ~HoldingDevice() override { Close(); }
    ZODEVICE_STATUS OpenVxi11()
    {
        ZODEVICE_STATUS status = Open(0, nullptr, true);
        if (status == 0) {
            status = EnableTriggerEvent();
        }
        return status == 0 ? EnableInputQueue(&m_input) : status;
    }
    void Release()
    {
        std::string held;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_held != "WAIT?") {
                held.swap(m_held);
            }
        }
        if (held == "MEAS?") {
            Respond("meas");
        }
        if (held == "LATER?" && QueryDetected() == 0) {
            Respond("later");
        }
        if (!held.empty()) {
            InputProcessed();
            EnableInputQueue(&m_input);
        }
    }
    void OnMessageReceived(std::uint32_t reason, CZoDeviceBuffer* buffer) override
    {
        if (buffer != nullptr) {
            m_message.append(reinterpret_cast<const char*>(buffer->data), buffer->count);
        }
        if (reason != 0) {
            EnableInputQueue(&m_input);
            return;
        }
        std::string text;
        text.swap(m_message);
        if (text == "HOLD" || text == "MEAS?" || text == "WAIT?" || text == "LATER?") {
            if (text != "HOLD" && text != "LATER?") {
                QueryDetected();
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            m_held = text;
            return;
        }
        if (!text.empty() && text.back() == '?') {
            QueryDetected();
            Respond(text + "=mine");
        }
        InputProcessed();
        EnableInputQueue(&m_input);
    }
    void OnDeviceClear() override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_held.clear();
        }
        m_message.clear();
        ++clears;
        EnableInputQueue(&m_input);
    }

    void OnTrigger() override
    {
        ++triggers;
        InputProcessed();
    }
    void OnResponseDone(std::uint32_t reason, CZoDeviceBuffer*) override
    {
        if (reason == 2) {
            ++interrupted;
        }
    }
    void OnTriggerWaiting() override
    {
        while (TakePendingTrigger() == 0) {
            ++outOfTurn;
        }
    }

    std::atomic<int> clears{0};
    std::atomic<int> triggers{0};
    std::atomic<int> outOfTurn{0};
    std::atomic<int> interrupted{0};
    std::atomic<int> responses{0};

private:
    void Respond(const std::string& text)
    {
        std::memcpy(m_response.data, text.data(), text.size());
        m_response.count = static_cast<std::uint32_t>(text.size());
        QueueResponse(&m_response, true);
        ++responses;
    }

    CZoDeviceBuffer m_input{256, nullptr};
    CZoDeviceBuffer m_response{64, nullptr};
    std::string m_message;  // event thread only
    std::mutex m_mutex;
    std::string m_held;
};

class Vxi11HeldDeviceFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(StartEngine(), 0);
        ASSERT_EQ(device.OpenVxi11(), 0u);
        inst0 = g_manager->Find("inst0");
        ASSERT_NE(inst0, nullptr);
        for (Link* link : {&x, &y, &z}) {
            std::uint32_t status = 1;
            link->lid = g_registry->CreateLink(&link->client, false, 0, "inst0", &status);
            ASSERT_EQ(status, 0u);
        }
    }
    void TearDown() override
    {
        device.Close();
        zo_device_stop_tcpip_server();
        FakeServers::Install();
    }

    struct Link {
        StbClient client;
        std::uint32_t lid = 0;
    };

    static std::string Write(Link& link, const std::string& text)
    {
        std::uint32_t status = 1;
        const std::uint32_t taken = g_registry->DeviceWrite(
            &link.client, link.lid, true, 10000, true, 10000,
            static_cast<std::uint32_t>(text.size()),
            reinterpret_cast<const std::uint8_t*>(text.data()), &status);
        return status != 0 || taken != text.size() ? "write error " + std::to_string(status) : "";
    }
    static std::string Read(Link& link)
    {
        std::uint8_t data[64] = {};
        std::uint32_t reason = 0;
        std::uint32_t status = 1;
        const std::uint32_t got = g_registry->DeviceRead(&link.client, link.lid, true, 10000,
                                                         false, 0, 10000, sizeof(data), data,
                                                         &reason, &status);
        return status != 0 ? "read error " + std::to_string(status)
                           : std::string(reinterpret_cast<const char*>(data), got);
    }
    // link's query in the background inside its own device_lock (two live links share one
    // message exchange): its reply or the failure.
    static std::future<std::string> Query(Link& link, const std::string& text)
    {
        return std::async(std::launch::async, [&link, text] {
            std::uint32_t status = 0;
            g_registry->DeviceLock(&link.client, link.lid, true, 30000, &status);
            std::string reply = status != 0 ? "lock error" : Write(link, text);
            if (reply.empty()) {
                reply = Read(link);
            }
            g_registry->DeviceUnlock(&link.client, link.lid, &status);
            return reply;
        });
    }
    bool WaitsForABuffer(const Link& link)
    {
        return Eventually([&] { return inst0->GetEventGate().WaitingLid() == link.lid; });
    }
    // Z goes: destroy_link, or its client gone (its operations aborted, then its links ended).
    std::future<void> Depart(bool destroyLink)
    {
        return std::async(std::launch::async, [this, destroyLink] {
            if (destroyLink) {
                std::uint32_t status = 1;
                g_registry->DestroyLink(&z.client, z.lid, &status);
                EXPECT_EQ(status, 0u);
            } else {
                g_registry->AbortLinksOfClient(&z.client);
                g_registry->DestroyLinksOfClient(&z.client);
            }
        });
    }

    HoldingDevice device;
    CVxi11PhysicalInterface* inst0 = nullptr;
    Link x, y, z;
};

// Z's message without a query still runs when Z goes, X's query waiting for the device and
// Y's behind it: nothing is owed to Z, so nobody is aborted and nothing is cleared.
TEST_F(Vxi11HeldDeviceFixture, AMessageThatOwesTheDepartedLinkNothingIsLeftToFinish)
{
    for (const bool destroyLink : {true, false}) {
        SCOPED_TRACE(destroyLink ? "destroy_link" : "client gone");
        ASSERT_EQ(Write(z, "HOLD"), "");
        auto xReply = Query(x, "X?");
        ASSERT_TRUE(WaitsForABuffer(x));
        auto yReply = Query(y, "Y?");
        Depart(destroyLink).get();
        device.Release();
        EXPECT_EQ(xReply.get(), "X?=mine");
        EXPECT_EQ(yReply.get(), "Y?=mine");
        EXPECT_EQ(device.clears.load(), 0);
        std::uint32_t status = 1;
        z.lid = g_registry->CreateLink(&z.client, false, 0, "inst0", &status);
        ASSERT_EQ(status, 0u);
    }
}

// Z's query is answered (MEAS?) or waits for what never comes by itself (WAIT?) when Z goes,
// with its read in progress or not, X's query behind it: the device is cleared for Z without
// failing X, and X and Y each get their own reply, never Z's.
TEST_F(Vxi11HeldDeviceFixture, AQueryOwedToTheDepartedLinkIsClearedWithoutFailingAnother)
{
    struct Row {
        const char* message;
        bool zReads;  // Z's read in progress when it goes (its client gone); else destroy_link
    };
    const Row rows[] = {{"MEAS?", true}, {"MEAS?", false}, {"WAIT?", true}, {"WAIT?", false}};
    int clears = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.message) + (row.zReads ? ", Z reading" : ", destroy_link"));
        ASSERT_EQ(Write(z, row.message), "");
        std::future<std::string> zRead;
        if (row.zReads) {
            zRead = std::async(std::launch::async, [this] { return Read(z); });
            ASSERT_TRUE(WaitsForABuffer(z));
        }
        auto xReply = Query(x, "X?");
        if (!row.zReads) {
            ASSERT_TRUE(WaitsForABuffer(x));
        }
        auto yReply = Query(y, "Y?");
        Depart(!row.zReads).get();
        device.Release();  // an answer now would be Z's
        EXPECT_EQ(xReply.get(), "X?=mine");
        EXPECT_EQ(yReply.get(), "Y?=mine");
        EXPECT_EQ(device.clears.load(), ++clears);
        if (row.zReads) {
            EXPECT_NE(zRead.get(), "meas");
        }
        std::uint32_t status = 1;
        z.lid = g_registry->CreateLink(&z.client, false, 0, "inst0", &status);
        ASSERT_EQ(status, 0u);
    }
}

// A GET from Y queued behind X's write, which waits for the device held by Z's message:
// it reaches the session at once, which counts it once that message is done (the device
// may be waiting for it), and X's write goes on.
TEST_F(Vxi11HeldDeviceFixture, AGetQueuedBehindAWriteWaitingForTheDeviceReachesIt)
{
    ASSERT_EQ(Write(z, "HOLD"), "");
    auto xWrite = std::async(std::launch::async, [this] { return Write(x, "X?"); });
    ASSERT_TRUE(WaitsForABuffer(x));
    std::uint32_t status = 1;
    g_registry->DeviceTrigger(&y.client, y.lid, false, 0, 10000, &status);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(device.triggers.load(), 0);
    device.Release();
    EXPECT_TRUE(Eventually([&] { return device.triggers.load() == 1; }));
    EXPECT_EQ(xWrite.get(), "");
    EXPECT_EQ(Read(x), "X?=mine");
}

// A GET from Y behind X's read of a query being answered waits for that read: delivered from
// X's wait, it would interrupt X's query.
TEST_F(Vxi11HeldDeviceFixture, AGetBehindAReadOfAQueryWaitsForThatRead)
{
    ASSERT_EQ(Write(x, "MEAS?"), "");
    auto xRead = std::async(std::launch::async, [this] { return Read(x); });
    ASSERT_TRUE(WaitsForABuffer(x));
    auto yTrigger = std::async(std::launch::async, [this] {
        std::uint32_t status = 1;
        g_registry->DeviceTrigger(&y.client, y.lid, false, 0, 10000, &status);
        return status;
    });
    ASSERT_TRUE(Eventually([this] { return inst0->GetLedger().Handed(y.lid); }));
    device.Release();
    EXPECT_EQ(xRead.get(), "meas");
    EXPECT_EQ(yTrigger.get(), 0u);
    EXPECT_TRUE(Eventually([&] { return device.triggers.load() == 1; }));
}

// Z's query waits for the device, not begun, when Z goes: it is owed to nobody. It runs on
// later without a reply, so Y's query behind it gets its own, not interrupted by Z's.
TEST_F(Vxi11HeldDeviceFixture, ADepartedLinksQueryNotBegunIsAnsweredToNobody)
{
    for (const bool destroyLink : {true, false}) {
        SCOPED_TRACE(destroyLink ? "destroy_link" : "client gone");
        ASSERT_EQ(Write(z, "LATER?"), "");
        Depart(destroyLink).get();
        EXPECT_TRUE(inst0->GetLedger().ReplyOwedToNobody());
        auto yReply = Query(y, "Y?");
        ASSERT_TRUE(WaitsForABuffer(y));
        device.Release();
        EXPECT_EQ(yReply.get(), "Y?=mine");
        EXPECT_EQ(device.clears.load(), 0);
        EXPECT_EQ(device.interrupted.load(), 0);
        std::uint32_t status = 1;
        z.lid = g_registry->CreateLink(&z.client, false, 0, "inst0", &status);
        ASSERT_EQ(status, 0u);
    }
}

// Z's query is answered, its reply unread, when Z's client goes; Y writes before Z's drop has
// begun: Y's write ends Z's message first, so Z's reply neither reaches Y nor is interrupted.
TEST_F(Vxi11HeldDeviceFixture, AReplyOfALinkWhoseClientWentIsEndedBeforeItsDrop)
{
    ASSERT_EQ(Write(z, "Z?"), "");
    ASSERT_TRUE(Eventually([this] { return device.responses.load() == 1; }));
    g_registry->AbortLinksOfClient(&z.client);
    EXPECT_EQ(Query(y, "Y?").get(), "Y?=mine");
    EXPECT_EQ(device.interrupted.load(), 0);
    EXPECT_EQ(device.clears.load(), 1);
    g_registry->DestroyLinksOfClient(&z.client);
}

// X reads for its query, which waits for the device, not begun, while another interface's
// FETC? waits for bus triggers: Y's GET is delivered from X's wait and counts out of turn; X's
// query still runs and is answered. Without that FETC? the GET waits for X's read.
TEST_F(Vxi11HeldDeviceFixture, AGetBehindAReadOfAQueryNotBegunCountsForAFetchElsewhere)
{
    ASSERT_EQ(Write(x, "LATER?"), "");
    auto xRead = std::async(std::launch::async, [this] { return Read(x); });
    ASSERT_TRUE(WaitsForABuffer(x));
    ASSERT_EQ(device.SetFetchElsewhere(true), 0u);
    std::uint32_t status = 1;
    g_registry->DeviceTrigger(&y.client, y.lid, false, 0, 10000, &status);
    EXPECT_EQ(status, 0u);
    EXPECT_TRUE(Eventually([&] { return device.outOfTurn.load() == 1; }));
    device.SetFetchElsewhere(false);
    device.Release();
    EXPECT_EQ(xRead.get(), "later");
    EXPECT_EQ(device.triggers.load(), 0);
}

} // namespace
