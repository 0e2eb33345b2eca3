// A bus trigger from one interface while a FETC? of the other waits for it, with a message of
// the triggering interface queued behind that FETC?: it counts at once (or, sent before the
// FETC? waits, once it waits), then the queued query is answered; behind its own session's
// running message a trigger keeps its place.
#include <gtest/gtest.h>

#include <future>

#include "Host/acquisition/AcqResultGetters.h"
#include "Host/main/KorvexHostUsb.h"
#include "HostMainFixture.h"
#include "support/SubscriberGate.h"

namespace Korvex::test {
namespace {

// A measurement armed for `needed` bus triggers.
class CArmedSeam : public CCountingSeam {
public:
    bool SystemUp() override { return true; }
    bool TriggerActive() override { return triggers.load() < needed.load(); }
    int SendBusTrigger() override { return triggers.fetch_add(1) < needed.load() ? 0 : 51; }
    std::atomic<int> triggers{0};
    std::atomic<int> needed{1};
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
        usb = FakeServers::Factory(kServerKindUsb).Last();
    }
    void TearDown() override
    {
        usbHost.reset();
        HostMainFixture::TearDown();
    }

    // gate: holds the waiter's message before its FETC? until the trigger has been reported.
    void Cross(FakeTransport* waiter, FakeTransport* sender, CKorvexHost* senderHost,
               Gate* gate = nullptr)
    {
        ASSERT_TRUE(waiter->HostWrite(gate ? "SYST:COMM:ETH:DOM 'lab';:FETC?" : "FETC?", true));
        ASSERT_TRUE(gate ? gate->WaitEntered() : Eventually([] { return KorvexResultWaitActive(); }));
        auto fetched = std::async(std::launch::async, [waiter] {
            std::uint32_t reason = 0;
            return waiter->HostRead(8192, &reason, 10000);
        });
        ASSERT_TRUE(sender->HostWrite("*ESE 4;*ESE?", true));
        for (int n = 0; n < armed.needed.load(); ++n) sender->HostTrigger();
        if (gate) {
            sender->HostSerialPoll();  // behind the triggers' reports in the session's events
            gate->Open();
        }
        EXPECT_TRUE(Eventually([this] { return armed.triggers.load() == armed.needed.load(); }, 10000));
        EXPECT_NE(fetched.get(), "");
        std::uint32_t reason = 0;
        EXPECT_EQ(sender->HostRead(8192, &reason, 10000), "4\n");
        EXPECT_EQ(NextError(senderHost->StatusBlock()), "0,No error");  // nor -410 nor -210
    }

    CArmedSeam armed;
    std::unique_ptr<CKorvexHostUsb> usbHost;
    FakeTransport* usb = nullptr;
};

TEST_F(CrossTrigger, UsbTriggerReachesVxi11Fetch) { Cross(transport, usb, usbHost.get()); }

TEST_F(CrossTrigger, Vxi11TriggerReachesUsbFetch) { Cross(usb, transport, Vxi11Host()); }

TEST_F(CrossTrigger, TriggerReportedBeforeTheFetchWaitsCountsOnceItWaits)
{
    Gate gate;
    CParameterNode::Subscribe(g_pEthernetDomain, &Gate::Hold, &gate);
    Cross(usb, transport, Vxi11Host(), &gate);
}

TEST_F(CrossTrigger, EveryTriggerReportedBeforeTheFetchWaitsCountsOnceItWaits)
{
    armed.needed = 2;
    Gate gate;
    CParameterNode::Subscribe(g_pEthernetDomain, &Gate::Hold, &gate);
    Cross(usb, transport, Vxi11Host(), &gate);
}

TEST_F(CrossTrigger, TriggerBehindItsOwnRunningMessageWaitsForIt)
{
    Gate gate;
    CParameterNode::Subscribe(g_pEthernetDomain, &Gate::Hold, &gate);
    ASSERT_TRUE(usb->HostWrite("SYST:COMM:ETH:DOM 'lab'", true));
    ASSERT_TRUE(gate.WaitEntered());
    usb->HostTrigger();
    usb->HostSerialPoll();
    EXPECT_EQ(armed.triggers.load(), 0);
    gate.Open();
    EXPECT_TRUE(Eventually([this] { return armed.triggers.load() == 1; }));
}

}  // namespace
}  // namespace Korvex::test
