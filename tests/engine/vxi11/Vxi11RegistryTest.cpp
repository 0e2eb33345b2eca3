// The link registry against fake interfaces and recording connections: lids, the link check
// (error 4), lock marks (errors 11 and 12), destroying links (its lock released, running
// procedures waited for), service requests held while SRQ is disabled, and failures.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Vxi11GateHarness.h"
#include "engine/os/Allocator.h"
#include "engine/vxi11/InstrumentServer.h"
#include "engine/vxi11/Vxi11Registry.h"
#include "engine/vxi11/Vxi11Status.h"

namespace {

constexpr std::uint32_t kForever = 0xFFFFFFFFu;

class RecordingClient : public CVxi11Client {
public:
    void SendServiceRequest(std::uint32_t handleLength, const std::uint8_t* handle) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        requests.emplace_back(reinterpret_cast<const char*>(handle), handleLength);
    }
    void SendReadStbReply(std::uint32_t xid, std::uint8_t statusByte, std::uint32_t status) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        replies.push_back({xid, statusByte, status});
    }
    std::vector<std::string> Requests()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return requests;
    }
    struct Reply {
        std::uint32_t xid;
        std::uint8_t statusByte;
        std::uint32_t status;
    };
    std::mutex mutex;
    std::vector<std::string> requests;
    std::vector<Reply> replies;
};

// An interface with a real device lock; Write can be made to block until released.
class FakeInterface : public GateHarness {
public:
    std::uint32_t Write(std::uint32_t, bool, std::uint32_t, bool, std::uint32_t,
                        std::uint32_t count, const std::uint8_t*, std::uint32_t* status) override
    {
        std::unique_lock<std::mutex> lock(mutex);
        ++writes;
        writing = true;
        changed.notify_all();
        changed.wait(lock, [this] { return !blockWrites; });
        writing = false;
        *status = 0;
        return count;
    }
    std::uint32_t Read(std::uint32_t, bool, std::uint32_t, bool, std::uint8_t, std::uint32_t,
                       std::uint32_t count, std::uint8_t* destination, std::uint32_t* reason,
                       std::uint32_t* status) override
    {
        std::memset(destination, 'r', count);
        *reason = 4;
        *status = 0;
        return count;
    }
    void ReadStatusByte(CVxi11Client* connection, std::uint32_t xid, std::uint32_t, bool,
                        std::uint32_t, std::uint32_t, std::uint32_t* status) override
    {
        connection->SendReadStbReply(xid, 0x42, 0);
        *status = 0;
    }
    void Trigger(std::uint32_t lid, bool, std::uint32_t, std::uint32_t, std::uint32_t* status) override
    {
        lastTrigger = lid;
        *status = 0;
    }
    void Abort(std::uint32_t lid, std::uint32_t* status) override
    {
        lastAbort = lid;
        *status = 0;
    }
    void Release()
    {
        std::lock_guard<std::mutex> lock(mutex);
        blockWrites = false;
        changed.notify_all();
    }
    bool WaitWriting()
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(30), [this] { return writing; });
    }

    std::mutex mutex;
    std::condition_variable changed;
    bool blockWrites = false;
    bool writing = false;
    int writes = 0;
    std::atomic<std::uint32_t> lastTrigger{0};
    std::atomic<std::uint32_t> lastAbort{0};
};

class Directory : public CVxi11InterfaceDirectory {
public:
    CVxi11LinkInterface* FindInterface(const char* name) override
    {
        auto found = interfaces.find(name);
        return found == interfaces.end() ? nullptr : found->second;
    }
    std::map<std::string, CVxi11LinkInterface*> interfaces;
};

class Vxi11RegistryFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        inst0.Open();
        inst1.Open();
        directory.interfaces["inst0"] = &inst0;
        directory.interfaces["inst1"] = &inst1;
        std::uint32_t status = 1;
        registry = new CVxi11Registry(&directory, 7, &status);
        ASSERT_EQ(status, 0u);
    }
    void TearDown() override
    {
        delete registry;
        EXPECT_EQ(CVxi11Registry::Instance(), nullptr);
    }

    std::uint32_t Create(CVxi11Client* client, const char* name = "inst0", bool lock = false,
                         std::uint32_t lockTimeout = 0)
    {
        std::uint32_t status = 1;
        const std::uint32_t lid = registry->CreateLink(client, lock, lockTimeout, name, &status);
        EXPECT_EQ(status, 0u);
        EXPECT_NE(lid, 0u);
        return lid;
    }

    FakeInterface inst0;
    FakeInterface inst1;
    Directory directory;
    CVxi11Registry* registry = nullptr;
    RecordingClient alice;
    RecordingClient bob;
};

TEST_F(Vxi11RegistryFixture, LinksGetDistinctLidsAndOnlyTheirConnectionMayUseThem)
{
    EXPECT_EQ(CVxi11Registry::Instance(), registry);
    std::set<std::uint32_t> lids;
    for (int i = 0; i < 50; ++i) {
        lids.insert(Create(&alice));
    }
    EXPECT_EQ(lids.size(), 50u);
    EXPECT_EQ(registry->LinkCount(), 50u);
    const std::uint32_t lid = *lids.begin();

    std::uint32_t status = 0;
    registry->DeviceTrigger(&bob, lid, false, 0, 1000, &status);
    EXPECT_EQ(status, VXI11_STATUS_INVALID_LINK);
    registry->DeviceTrigger(&alice, 0, false, 0, 1000, &status);
    EXPECT_EQ(status, VXI11_STATUS_INVALID_LINK);
    registry->DeviceTrigger(&alice, lid, false, 0, 1000, &status);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(inst0.lastTrigger.load(), lid);

    std::uint8_t buffer[8] = {};
    std::uint32_t reason = 0;
    EXPECT_EQ(registry->DeviceWrite(&alice, lid, false, 0, true, 1000, 5,
                                    reinterpret_cast<const std::uint8_t*>("*IDN?"), &status), 5u);
    EXPECT_EQ(registry->DeviceRead(&alice, lid, false, 0, false, 10, 1000, 8, buffer, &reason,
                                   &status), 8u);
    EXPECT_EQ(reason, 4u);
    registry->DeviceReadStb(&alice, 0x1234, lid, false, 0, 1000, &status);
    ASSERT_EQ(alice.replies.size(), 1u);
    EXPECT_EQ(alice.replies[0].xid, 0x1234u);
    EXPECT_EQ(alice.replies[0].statusByte, 0x42);
    registry->AbortLink(&bob, lid, &status);
    EXPECT_EQ(status, VXI11_STATUS_INVALID_LINK);
    registry->AbortLink(&alice, lid, &status);
    EXPECT_EQ(inst0.lastAbort.load(), lid);

    registry->DestroyLink(&bob, lid, &status);
    EXPECT_EQ(status, VXI11_STATUS_INVALID_LINK);
    registry->DestroyLink(&alice, lid, &status);
    EXPECT_EQ(status, 0u);
    registry->DestroyLink(&alice, lid, &status);
    EXPECT_EQ(status, VXI11_STATUS_INVALID_LINK);
    EXPECT_EQ(registry->LinkCount(), 49u);
}

TEST_F(Vxi11RegistryFixture, TheSeedFixesTheLids)
{
    const std::uint32_t first = Create(&alice);
    delete registry;
    std::uint32_t status = 1;
    registry = new CVxi11Registry(&directory, 7, &status);
    EXPECT_EQ(Create(&alice), first);
}

TEST_F(Vxi11RegistryFixture, CreateLinkNeedsAnOpenDeviceAndMemory)
{
    std::uint32_t status = 0;
    EXPECT_EQ(registry->CreateLink(&alice, false, 0, "inst9", &status), 0u);
    EXPECT_EQ(status, VXI11_STATUS_NO_DEVICE);
    inst1.Close();
    EXPECT_EQ(registry->CreateLink(&alice, false, 0, "inst1", &status), 0u);
    EXPECT_EQ(status, VXI11_STATUS_NO_DEVICE);
    for (std::uint32_t failing = 1; failing <= 2; ++failing) {  // link mutex, tree node
        EngineFailAllocation(failing);
        EXPECT_EQ(registry->CreateLink(&alice, false, 0, "inst0", &status), 0u);
        EngineResetAllocatorHooks();
        EXPECT_EQ(status, VXI11_STATUS_NO_MEMORY);
    }
    EXPECT_EQ(registry->LinkCount(), 0u);
}

TEST_F(Vxi11RegistryFixture, LockMarksGiveLockedAndNotLocked)
{
    const std::uint32_t a = Create(&alice);
    const std::uint32_t b = Create(&bob);
    std::uint32_t status = 1;
    registry->DeviceUnlock(&alice, a, &status);
    EXPECT_EQ(status, VXI11_STATUS_NOT_LOCKED);
    registry->DeviceLock(&alice, a, false, 0, &status);
    EXPECT_EQ(status, 0u);
    registry->DeviceLock(&alice, a, false, 0, &status);
    EXPECT_EQ(status, VXI11_STATUS_LOCKED);
    registry->DeviceLock(&bob, b, false, 0, &status);
    EXPECT_EQ(status, VXI11_STATUS_LOCKED);
    const std::int64_t start = NowMs();
    registry->DeviceLock(&bob, b, true, 200, &status);
    EXPECT_EQ(status, VXI11_STATUS_LOCKED);
    EXPECT_GE(NowMs() - start, 190);
    registry->DeviceUnlock(&alice, a, &status);
    EXPECT_EQ(status, 0u);
    registry->DeviceUnlock(&alice, a, &status);
    EXPECT_EQ(status, VXI11_STATUS_NOT_LOCKED);
    registry->DeviceLock(&bob, b, false, 0, &status);
    EXPECT_EQ(status, 0u);
}

TEST_F(Vxi11RegistryFixture, DestroyingALockingLinkReleasesTheLockForAWaiter)
{
    const std::uint32_t a = Create(&alice);
    const std::uint32_t b = Create(&bob);
    std::uint32_t status = 1;
    registry->DeviceLock(&alice, a, false, 0, &status);
    ASSERT_EQ(status, 0u);
    std::uint32_t waited = 1;
    std::thread waiter([&] { registry->DeviceLock(&bob, b, true, 5000, &waited); });
    SleepMs(50);
    registry->DestroyLink(&alice, a, &status);
    waiter.join();
    EXPECT_EQ(waited, 0u);
    EXPECT_EQ(inst0.deviceLock.Holder(), b);
}

TEST_F(Vxi11RegistryFixture, AConnectionThatEndsLeavesTheDeviceUnlocked)
{
    std::vector<std::uint32_t> lids;
    for (int i = 0; i < 70; ++i) {  // more than one batch
        lids.push_back(Create(&alice, i % 2 ? "inst1" : "inst0"));
    }
    const std::uint32_t other = Create(&bob);
    std::uint32_t status = 1;
    registry->DeviceLock(&alice, lids[0], false, 0, &status);
    ASSERT_EQ(status, 0u);
    registry->DestroyLinksOfClient(&alice);
    EXPECT_EQ(registry->LinkCount(), 1u);
    EXPECT_EQ(inst0.deviceLock.Holder(), 0u);
    registry->DeviceLock(&bob, other, false, 0, &status);
    EXPECT_EQ(status, 0u);
    registry->DeviceTrigger(&alice, lids[1], false, 0, 1000, &status);
    EXPECT_EQ(status, VXI11_STATUS_INVALID_LINK);
}

TEST_F(Vxi11RegistryFixture, CreateLinkWithALockThatIsNotGrantedLeavesNoLink)
{
    const std::uint32_t a = Create(&alice, "inst0", true, 0);
    EXPECT_EQ(inst0.deviceLock.Holder(), a);
    std::uint32_t status = 0;
    const std::int64_t start = NowMs();
    EXPECT_EQ(registry->CreateLink(&bob, true, 150, "inst0", &status), 0u);
    EXPECT_EQ(status, VXI11_STATUS_LOCKED);
    EXPECT_GE(NowMs() - start, 140);
    EXPECT_EQ(registry->LinkCount(), 1u);
    // The lock mark of the first link is kept: a second device_lock is refused.
    registry->DeviceLock(&alice, a, false, 0, &status);
    EXPECT_EQ(status, VXI11_STATUS_LOCKED);
}

TEST_F(Vxi11RegistryFixture, AServiceRequestWhileDisabledIsSentOnceWhenEnabled)
{
    const std::uint32_t a = Create(&alice);
    const std::uint32_t b = Create(&bob);
    const std::uint32_t c = Create(&bob, "inst1");
    std::uint32_t status = 1;
    const std::uint8_t handleA[] = {'h', 'A'};
    const std::uint8_t handleB[] = {'h', 'B', '!'};
    registry->EnableSrq(&bob, b, true, 3, handleB, &status);
    ASSERT_EQ(status, 0u);
    registry->EnableSrq(&bob, c, true, 3, handleB, &status);
    registry->EnableSrq(&alice, a, false, 2, handleA, &status);  // stored while disabled

    registry->NotifyServiceRequest(&inst0);
    EXPECT_EQ(bob.Requests(), (std::vector<std::string>{"hB!"}));  // not for inst1's link
    EXPECT_TRUE(alice.Requests().empty());
    registry->EnableSrq(&alice, a, true, 2, handleA, &status);
    registry->EnableSrq(&alice, a, true, 2, handleA, &status);
    EXPECT_EQ(alice.Requests(), (std::vector<std::string>{"hA"}));

    // A request released before the enable is not sent.
    registry->EnableSrq(&alice, a, false, 2, handleA, &status);
    registry->NotifyServiceRequest(&inst0);
    registry->ClearServiceRequest(&inst0);
    registry->EnableSrq(&alice, a, true, 2, handleA, &status);
    EXPECT_EQ(alice.Requests().size(), 1u);

    std::uint8_t longHandle[41] = {};
    registry->EnableSrq(&alice, a, true, 41, longHandle, &status);
    EXPECT_EQ(status, VXI11_STATUS_PARAMETER);
    registry->EnableSrq(&alice, a, true, 40, longHandle, &status);
    EXPECT_EQ(status, 0u);
}

TEST_F(Vxi11RegistryFixture, ClosingAnInterfaceWaitsForItsRunningProcedureAndEndsItsLinks)
{
    const std::uint32_t a = Create(&alice);
    const std::uint32_t other = Create(&alice, "inst1");
    inst0.blockWrites = true;
    std::uint32_t writeStatus = 1;
    std::thread writer([&] {
        registry->DeviceWrite(&alice, a, false, 0, true, kForever, 3,
                              reinterpret_cast<const std::uint8_t*>("abc"), &writeStatus);
    });
    ASSERT_TRUE(inst0.WaitWriting());
    std::atomic<bool> destroyed{false};
    std::thread closer([&] {
        registry->DestroyLinksOfInterface(&inst0);
        destroyed = true;
    });
    SleepMs(80);
    EXPECT_FALSE(destroyed.load());
    // Other links and the registry stay usable meanwhile.
    std::uint32_t status = 1;
    registry->DeviceTrigger(&alice, other, false, 0, 1000, &status);
    EXPECT_EQ(status, 0u);
    registry->DeviceTrigger(&alice, a, false, 0, 1000, &status);
    EXPECT_EQ(status, VXI11_STATUS_INVALID_LINK);
    inst0.Release();
    writer.join();
    closer.join();
    EXPECT_TRUE(destroyed.load());
    EXPECT_EQ(writeStatus, 0u);
    EXPECT_EQ(registry->LinkCount(), 1u);
}

} // namespace
