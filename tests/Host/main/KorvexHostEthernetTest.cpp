// The VXI-11 host object over the engine's fake transport: messages in chunks, empty
// messages, the response's padding, device clear (and the input it must offer again), and
// the USB host without and with its server.
#include <gtest/gtest.h>

#include "Host/main/KorvexHostUsb.h"
#include "HostMainFixture.h"
#include "support/SubscriberGate.h"

namespace Korvex::test {
namespace {

using HostEthernet = HostMainFixture;

// Exposes the stored response text and the engine hook for the padding tests.
class CProbeHost : public CKorvexHostEthernet {
public:
    using CKorvexHostEthernet::CKorvexHostEthernet;
    std::string Stored()
    {
        kernel::mutex_lock(&mutex);
        std::string text = responseText;
        kernel::mutex_unlock(&mutex);
        return text;
    }
};

// A host with no engine: holds the parser on a gate while the tests arrange the queue.
class CQuietHost : public CKorvexHost {
public:
    explicit CQuietHost(CKorvexHostParser* parser) : CKorvexHost(nullptr, parser) {}
    ~CQuietHost() override { ReleaseAtParser(); }
};

TEST_F(HostEthernet, OpensAndAnswersQueries)
{
    CKorvexHostEthernet* host = StartModule();
    ASSERT_NE(host, nullptr);
    EXPECT_TRUE(host->Opened());
    EXPECT_EQ(host->Kind(), CKorvexEngineHost::KindEthernet);
    EXPECT_EQ(Exchange("*ESE 32;*ESE?"), "32\n");
    EXPECT_EQ(Exchange("*ESE?;*SRE?"), "32;0\n");
    EXPECT_EQ(Exchange("*CLS", 200), "");  // no reply to settings
}

TEST_F(HostEthernet, LongMessageReachesTheParserWholeOnce)
{
    StartModule();
    std::string message = "*ESE 16";
    while (message.size() < 5000) message += ";*CLS";
    message += ";*ESE?";
    ASSERT_GT(message.size(), CKorvexEngineHost::InputBufferSize);
    EXPECT_EQ(Exchange(message), "16\n");
    // Cut in two, each half would fail to parse and leave an error.
    EXPECT_EQ(Exchange("SYST:ERR?"), "0,\"No error\"\n");
}

TEST_F(HostEthernet, EmptyMessageReachesNoParser)
{
    StartModule();
    ASSERT_TRUE(transport->HostWrite("", true));
    EXPECT_EQ(Exchange("*SRE?"), "0\n");
    EXPECT_EQ(Exchange("SYST:ERR?"), "0,\"No error\"\n");
}

TEST_F(HostEthernet, ResponseIsPaddedAndSentWithoutItsNuls)
{
    CParameterNode::SetValue(g_pEthernetActive, true);
    CParameterNode::SetValue(g_pVxi11Enabled, false);  // the module's host out of the way
    ASSERT_EQ(zo_device_start_tcpip_server(), 0);
    CProbeHost host(parser.get());
    ASSERT_TRUE(host.Opened());
    FakeTransport* own = FakeServers::Factory(kServerKindVxi11).Last();
    // An 8-character reply.
    ASSERT_TRUE(own->HostWrite("*ESE 255;*SRE 191;*ESE?;*SRE?", true));
    ASSERT_TRUE(Eventually([&] { return host.PendingResponse() != nullptr; }));
    EXPECT_EQ(host.Stored(), std::string("255;191\n\0\0\0\0", 12));
    std::uint32_t reason = 0;
    EXPECT_EQ(own->HostRead(100, &reason), "255;191\n");
    EXPECT_NE(reason & FakeTransport::kReasonEnd, 0u);
    EXPECT_TRUE(Eventually([&] { return host.PendingResponse() == nullptr && host.Stored().empty(); }));
    EXPECT_EQ(host.PrepareResponse(""), CKorvexHost::ResponseHandOverFailed);
}

TEST_F(HostEthernet, DeviceClearDropsTheQueuedMessageAndTheHostStillHears)
{
    CKorvexHostEthernet* host = StartModule();
    Gate gate;
    CParameterNode::Subscribe(g_pEthernetDomain, &Gate::Hold, &gate);
    CQuietHost other(parser.get());
    parser->PostMessage("SYST:COMM:ETH:DOM 'lab'", &other);
    ASSERT_TRUE(gate.WaitEntered());
    // Queued behind the held message; its input buffer is taken.
    ASSERT_TRUE(transport->HostWrite("*ESE 4;*ESE?", true));
    ASSERT_TRUE(transport->HostDeviceClearAndWait());
    gate.Open();
    std::uint32_t reason = 0;
    EXPECT_EQ(transport->HostRead(100, &reason, 300), "");
    EXPECT_EQ(CKorvexScpiStatus::GetEnable(host->StatusBlock(), eRegStandardEvent), 0);
    // The acquisition refused the clear: -200.
    EXPECT_EQ(NextError(host->StatusBlock()), "-200,Execution error");
    // The clear offered the input buffer again.
    EXPECT_EQ(Exchange("*SRE 8;*SRE?"), "8\n");
}

TEST_F(HostEthernet, StatusByteAndTriggerGoThroughTheHost)
{
    CKorvexHostEthernet* host = StartModule();
    transport->HostTrigger();
    // The acquisition system is not up: -210.
    std::string error;
    EXPECT_TRUE(Eventually([&] {
        error = NextError(host->StatusBlock());
        return error != "0,No error";
    }));
    EXPECT_EQ(error, "-210,Trigger error");
    EXPECT_EQ(Exchange("*ESE 1;*SRE 32;*OPC", 200), "");
    EXPECT_EQ(transport->HostSerialPoll() & 0x20, 0x20);
}

TEST_F(HostEthernet, SerialPollShowsMavOnlyWhileAReplyWaits)
{
    CKorvexHostEthernet* host = StartModule();
    EXPECT_EQ(Exchange("*CLS", 200), "");
    ASSERT_TRUE(transport->HostWrite("*OPC?", true));
    ASSERT_TRUE(Eventually([&] { return host->PendingResponse() != nullptr; }));
    EXPECT_EQ(transport->HostSerialPoll() & 0x10, 0x10);
    std::uint32_t reason = 0;
    EXPECT_EQ(transport->HostRead(100, &reason), "1\n");
    ASSERT_TRUE(Eventually([&] { return host->PendingResponse() == nullptr; }));
    EXPECT_EQ(transport->HostSerialPoll() & 0x10, 0);
}

TEST_F(HostEthernet, UsbHostStaysClosedWithoutItsServer)
{
    CKorvexHostUsb closed(parser.get(), 0x1d6b, 0x4b58, 0x0100, "Korvex", "KX2026", "0012345");
    EXPECT_FALSE(closed.Opened());
    EXPECT_EQ(closed.Kind(), CKorvexEngineHost::KindUsb);

    ASSERT_EQ(zo_device_start_usb_server(), 0);
    CKorvexHostUsb open(parser.get(), 0x1d6b, 0x4b58, 0x0100, "Korvex", "KX2026", "0012345");
    ASSERT_TRUE(open.Opened());
    FakeTransport* usb = FakeServers::Factory(kServerKindUsb).Last();
    ASSERT_TRUE(usb->HostWrite("*SRE 2;*SRE?", true));
    std::uint32_t reason = 0;
    EXPECT_EQ(usb->HostRead(100, &reason), "2\n");
}

}  // namespace
}  // namespace Korvex::test
