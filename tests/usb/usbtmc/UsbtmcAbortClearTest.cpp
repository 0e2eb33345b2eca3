// Split transactions: INITIATE/CHECK of abort Bulk-OUT, abort Bulk-IN and clear.
#include "UsbtmcFixture.h"

namespace usbtmctest {
namespace {

bool EndsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST_F(UsbtmcTest, AbortBulkOutAnswersByTagAndReportsBytesReceived)
{
    EXPECT_EQ(host.InitiateAbortBulkOut(1), (Bytes{0x80, 0}));  // no transfer
    SendPartialMessage();
    const std::uint8_t tag = host.LastTag();
    EXPECT_EQ(host.InitiateAbortBulkOut(static_cast<std::uint8_t>(tag + 1)),
              (Bytes{0x81, tag}));
    EXPECT_EQ(host.InitiateAbortBulkOut(tag), (Bytes{0x01, tag}));
    EXPECT_EQ(host.CheckAbortBulkOut(), (Bytes{0x01, 0, 0, 0, kPartialBytes, 0, 0, 0}));
    EXPECT_EQ(host.CheckAbortBulkOut(), (Bytes{0x82, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(usb.clear_halt(UsbtmcHost::kBulkOut), Result::Ok);
    // The bytes taken before the abort stay with the device's message.
    EXPECT_TRUE(EndsWith(host.Query("NEXT?"), "NEXT?=OK"));
}

// Mend: an abort of a Bulk-IN transfer in flight ends it at once with the bytes the host
// took; the header receive is armed again and the engine learns what was sent.
TEST_F(UsbtmcTest, AbortBulkInInFlightEndsTheReadWithExactCount)
{
    AnswerNextWith(std::string(20000, 'b'));
    ASSERT_EQ(host.Write("BIG"), Result::Ok);
    ASSERT_TRUE(device->WaitCount('M', 1));
    ASSERT_EQ(host.RequestIn(20000), Result::Ok);
    const std::uint8_t tag = host.LastTag();
    const auto first = host.ReadIn(64);
    ASSERT_EQ(first.result, Result::Ok);
    ASSERT_EQ(first.length, 64u);
    ASSERT_EQ(first.bTag, tag);
    ASSERT_EQ(first.transferSize, 20000u);
    EXPECT_EQ(host.InitiateAbortBulkIn(static_cast<std::uint8_t>(tag + 1)), (Bytes{0x81, tag}));
    EXPECT_EQ(host.InitiateAbortBulkIn(tag), (Bytes{0x01, tag}));
    Bytes rest;
    EXPECT_EQ(usb.bulk_in(UsbtmcHost::kBulkIn, 20000, &rest), Result::Ok);
    EXPECT_LT(rest.size(), 64u);
    const std::uint32_t sent = 64 - 12 + static_cast<std::uint32_t>(rest.size());
    EXPECT_EQ(host.CheckAbortBulkIn(),
              (Bytes{0x01, 0, 0, 0, static_cast<std::uint8_t>(sent), static_cast<std::uint8_t>(sent >> 8), 0, 0}));
    EXPECT_EQ(host.Query("NEXT?"), Answer("NEXT?"));
}

TEST_F(UsbtmcTest, AbortBulkInWithoutRequestFailsAndTagZeroStalls)
{
    EXPECT_EQ(host.InitiateAbortBulkIn(3), (Bytes{0x80, 0}));
    EXPECT_EQ(Refused(UsbtmcHost::kEndpointRequest, 3, 0, UsbtmcHost::kBulkIn, 2), Result::Stall);
    EXPECT_EQ(host.CheckAbortBulkIn(), (Bytes{0x82, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(host.Query("NEXT?"), Answer("NEXT?"));
}

TEST_F(UsbtmcTest, ClearIsPendingUntilTheDeviceFinishedIt)
{
    Latch latch;
    device->messageHook = [&] { latch.Wait(); };
    ASSERT_EQ(host.Write("BUSY"), Result::Ok);
    ASSERT_TRUE(latch.WaitEntered());
    EXPECT_EQ(host.InitiateClear(), (Bytes{0x01}));
    EXPECT_EQ(host.CheckClear(), (Bytes{0x02, 0}));
    EXPECT_EQ(host.InitiateClear(), (Bytes{0x83}));
    EXPECT_EQ(usb.clear_halt(UsbtmcHost::kBulkOut), Result::Stall);
    latch.Open();
    ASSERT_TRUE(device->WaitCount('C', 1));
    Bytes status;
    ASSERT_TRUE(Eventually([&] {
        status = host.CheckClear();
        return status != Bytes{0x02, 0};
    }));
    EXPECT_EQ(status, (Bytes{0x01, 0}));
    EXPECT_EQ(usb.clear_halt(UsbtmcHost::kBulkOut), Result::Ok);
    EXPECT_EQ(host.Query("NEXT?"), Answer("NEXT?"));
    device->Close();  // before the latch its hook waits on goes
}

TEST_F(UsbtmcTest, LoneCheckClearStatusAnswersSplitNotInProgressWithBmClear)
{
    EXPECT_EQ(host.CheckClear(), (Bytes{0x82, 0}));
    ASSERT_EQ(host.RequestIn(64), Result::Ok);
    const std::uint8_t tag = host.LastTag();
    ASSERT_TRUE(device->WaitCount('M', 1));  // the request reached the device: UNTERMINATED
    EXPECT_EQ(host.CheckClear(), (Bytes{0x82, 1}));
    EXPECT_EQ(host.InitiateAbortBulkIn(tag), (Bytes{0x01, tag}));
    EXPECT_EQ(host.ReadIn().transferSize, 0u);
    EXPECT_EQ(CheckAbortBulkInDone()[0], 0x01);
    EXPECT_EQ(host.Query("NEXT?"), Answer("NEXT?"));
}

TEST_F(UsbtmcTest, ClearInTheMiddleOfAMessageDropsIt)
{
    SendPartialMessage();
    EXPECT_EQ(host.InitiateClear(), (Bytes{0x01}));
    ASSERT_TRUE(Eventually([&] { return host.CheckClear() == Bytes{0x01, 0}; }));
    ASSERT_EQ(usb.clear_halt(UsbtmcHost::kBulkOut), Result::Ok);
    EXPECT_EQ(host.Query("NEXT?"), Answer("NEXT?"));
    EXPECT_EQ(device->Count('C'), 1u);
}

// Mend: a clear while a request waits with nothing queued drops the request and listens to
// Bulk-OUT again.
TEST_F(UsbtmcTest, ClearWithRequestAndNothingQueuedFinishes)
{
    ASSERT_EQ(host.RequestIn(64), Result::Ok);
    ASSERT_TRUE(device->WaitCount('M', 1));  // UNTERMINATED
    EXPECT_EQ(host.InitiateClear(), (Bytes{0x01}));
    ASSERT_TRUE(Eventually([&] { return host.CheckClear() == Bytes{0x01, 0}; }));
    ASSERT_EQ(usb.clear_halt(UsbtmcHost::kBulkOut), Result::Ok);
    EXPECT_EQ(host.Query("NEXT?"), Answer("NEXT?"));
}

// The clear empties Bulk-IN itself: whether the host left the reply unread (a reader that was
// killed) or read part of it, the cancelled reply and the short packet that ends a read leave
// the FIFO, CHECK_CLEAR_STATUS never asks the host to read (bmClear 0) and ends in SUCCESS
// without a read, and the next query's first read is its own reply.
TEST_F(UsbtmcTest, ClearEmptiesBulkInWithoutAHostRead)
{
    struct Case {
        const char* name;
        std::size_t reply;
        std::uint32_t readFirst;  // bytes the host read before the clear (0: none)
    };
    static const Case kCases[] = {
        {"a short reply left unread", 0, 0},
        {"a long reply read in part", 20000, 64},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        if (c.reply != 0) {
            AnswerNextWith(std::string(c.reply, 'c'));
        }
        const std::uint32_t messages = device->Count('M');
        ASSERT_EQ(host.Write("OLD?"), Result::Ok);
        ASSERT_TRUE(device->WaitCount('M', messages + 1));
        ASSERT_EQ(host.RequestIn(20000), Result::Ok);
        ASSERT_TRUE(Eventually([] { return platform::soc::usbd().in_packet_ready(1); }));
        if (c.readFirst != 0) {
            ASSERT_EQ(host.ReadIn(c.readFirst).length, c.readFirst);
        }
        EXPECT_EQ(host.InitiateClear(), (Bytes{0x01}));
        Bytes status;
        bool askedToRead = false;
        Eventually([&] {
            status = host.CheckClear();
            askedToRead = askedToRead || status == Bytes{0x02, 1};
            return status.empty() || status[0] != 0x02;
        }, 5000);
        EXPECT_FALSE(askedToRead) << "bmClear 1";
        EXPECT_EQ(status, (Bytes{0x01, 0}));
        EXPECT_FALSE(platform::soc::usbd().in_packet_ready(1));
        ASSERT_EQ(usb.clear_halt(UsbtmcHost::kBulkOut), Result::Ok);
        EXPECT_EQ(host.Query("NEXT?"), Answer("NEXT?"));
    }
}

// The abort of Bulk-IN leaves in the FIFO what it holds (the short packet ending the host's
// read): CHECK_ABORT_BULK_IN_STATUS answers PENDING with bmAbortBulkIn 1 until the host has read
// it. A host that takes the configuration again instead finds the FIFO empty, as after a reset.
TEST_F(UsbtmcTest, AbortOfBulkInIsPendingWhileItsShortPacketWaits)
{
    for (bool readIt : {true, false}) {
        SCOPED_TRACE(readIt ? "the host reads it" : "the host sets the configuration again");
        const std::uint32_t messages = device->Count('M');
        ASSERT_EQ(host.Write("OLD?"), Result::Ok);
        ASSERT_TRUE(device->WaitCount('M', messages + 1));
        ASSERT_EQ(host.RequestIn(4096), Result::Ok);
        const std::uint8_t tag = host.LastTag();
        ASSERT_TRUE(Eventually([] { return platform::soc::usbd().in_packet_ready(1); }));
        EXPECT_EQ(host.InitiateAbortBulkIn(tag), (Bytes{0x01, tag}));
        EXPECT_EQ(host.CheckAbortBulkIn(), (Bytes{0x02, 1, 0, 0, 0, 0, 0, 0}));
        if (readIt) {
            Bytes packet{1};
            EXPECT_EQ(usb.bulk_in(UsbtmcHost::kBulkIn, 4096 + 12, &packet), Result::Ok);
            EXPECT_TRUE(packet.empty());
            EXPECT_EQ(host.CheckAbortBulkIn(), (Bytes{0x01, 0, 0, 0, 0, 0, 0, 0}));
        } else {
            Bytes none;
            ASSERT_EQ(usb.control(sim::UsbHost::Setup{0x00, 9, 1, 0, 0}, &none), Result::Ok);
            EXPECT_FALSE(platform::soc::usbd().in_packet_ready(1));
        }
        EXPECT_EQ(host.Query("NEXT?"), Answer("NEXT?"));
    }
}

} // namespace
} // namespace usbtmctest
