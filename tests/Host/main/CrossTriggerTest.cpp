// A bus trigger from one interface while a FETC? of the other waits for it, with a message of
// the triggering interface queued behind that FETC?: the trigger counts at once, the FETC?
// ends, then the queued message is answered, in both directions. A trigger behind its own
// session's running message keeps its place.
#include <gtest/gtest.h>

#include <future>

#include "Host/acquisition/AcqResultGetters.h"
#include "Host/main/KorvexHostUsb.h"
#include "HostMainFixture.h"
#include "support/SubscriberGate.h"

namespace Korvex::test {
namespace {

// A measurement armed for one bus trigger: active until the trigger comes.
class CArmedSeam : public CCountingSeam {
public:
    bool SystemUp() override { return true; }
    bool TriggerActive() override { return armed.load(); }
    int SendBusTrigger() override
    {
        if (!armed.exchange(false)) return 51;
        triggers.fetch_add(1);
        return 0;
    }
    std::atomic<bool> armed{true};
    std::atomic<int> triggers{0};
};

class CrossTrigger : public HostMainFixture {
protected:
    void SetUp() override
    {
        HostMainFixture::SetUp();
        CAcquisitionSeam::Install(&armed);
        CParameterNode::SetStringAttribute(g_pTriggerInSource, eAttrValue, "BUS");
        StartModule();
        ASSERT_EQ(zo_device_start_usb_server(), 0);
        usbHost = std::make_unique<CKorvexHostUsb>(parser.get(), 0x1d6b, 0x4b58, 0x0100, "Korvex",
                                                   "KX2026", "0012345");
        ASSERT_TRUE(usbHost->Opened());
        usb = FakeServers::Factory(kServerKindUsb).Last();
    }

    void TearDown() override
    {
        usbHost.reset();
        HostMainFixture::TearDown();
    }

    // FETC? waits on waiter; the other side queues "*ESE 4;*ESE?" and then triggers. gate:
    // holds the waiter's message before its FETC? until the trigger has been reported.
    void Cross(FakeTransport* waiter, FakeTransport* sender, CKorvexHost* senderHost,
               Gate* gate = nullptr)
    {
        ASSERT_TRUE(waiter->HostWrite(gate ? "SYST:COMM:ETH:DOM 'lab';:FETC?" : "FETC?", true));
        if (gate) {
            ASSERT_TRUE(gate->WaitEntered());
        } else {
            ASSERT_TRUE(Eventually([] { return KorvexResultWaitActive(); }));
        }
        auto fetched = std::async(std::launch::async, [waiter] {
            std::uint32_t reason = 0;
            return waiter->HostRead(8192, &reason, 30000);
        });
        ASSERT_TRUE(sender->HostWrite("*ESE 4;*ESE?", true));
        sender->HostTrigger();
        if (gate) {
            sender->HostSerialPoll();  // behind the trigger's report in the session's events
            EXPECT_EQ(armed.triggers.load(), 0);
            gate->Open();
        }
        const bool counted = Eventually([this] { return armed.triggers.load() == 1; }, 10000);
        if (!counted) waiter->HostDeviceClearAndWait();  // ends the wait the trigger missed
        EXPECT_TRUE(counted);
        EXPECT_NE(fetched.get(), "");  // the FETC? has ended
        std::uint32_t reason = 0;
        EXPECT_EQ(sender->HostRead(8192, &reason), "4\n");
        // Neither refused nor interrupting the queued query.
        EXPECT_EQ(NextError(senderHost->StatusBlock()), "0,No error");
    }

    CArmedSeam armed;
    std::unique_ptr<CKorvexHostUsb> usbHost;
    FakeTransport* usb = nullptr;
};

TEST_F(CrossTrigger, UsbTriggerBehindQueuedUsbMessageReachesVxi11Fetch)
{
    Cross(transport, usb, usbHost.get());
}

TEST_F(CrossTrigger, Vxi11TriggerBehindQueuedVxi11MessageReachesUsbFetch)
{
    Cross(usb, transport, Vxi11Host());
}

TEST_F(CrossTrigger, TriggerQueuedBeforeTheFetchWaitsCountsOnceItWaits)
{
    Gate gate;
    CParameterNode::Subscribe(g_pEthernetDomain, &Gate::Hold, &gate);
    Cross(usb, transport, Vxi11Host(), &gate);
}

TEST_F(CrossTrigger, TriggerBehindItsOwnRunningMessageWaitsForIt)
{
    // The message of the triggering session runs (held on the domain setting): its trigger
    // starts only once that message has been processed.
    Gate gate;
    CParameterNode::Subscribe(g_pEthernetDomain, &Gate::Hold, &gate);
    ASSERT_TRUE(usb->HostWrite("SYST:COMM:ETH:DOM 'lab'", true));
    ASSERT_TRUE(gate.WaitEntered());
    usb->HostTrigger();
    usb->HostSerialPoll();  // behind the trigger's report in the session's events
    EXPECT_EQ(armed.triggers.load(), 0);
    gate.Open();
    EXPECT_TRUE(Eventually([this] { return armed.triggers.load() == 1; }));
}

}  // namespace
}  // namespace Korvex::test
