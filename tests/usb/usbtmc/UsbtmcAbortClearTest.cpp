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

TEST_F(UsbtmcTest, ClearEndsAQueuedResponse)
{
    AnswerNextWith(std::string(20000, 'c'));
    ASSERT_EQ(host.Write("BIG"), Result::Ok);
    ASSERT_TRUE(device->WaitCount('M', 1));
    ASSERT_EQ(host.RequestIn(20000), Result::Ok);
    const auto first = host.ReadIn(64);
    ASSERT_EQ(first.length, 64u);
    ASSERT_EQ(first.transferSize, 20000u);
    EXPECT_EQ(host.InitiateClear(), (Bytes{0x01}));
    // As a host does while bmClear is set: read until a short packet.
    Bytes rest;
    EXPECT_EQ(usb.bulk_in(UsbtmcHost::kBulkIn, 20000, &rest), Result::Ok);
    EXPECT_LT(rest.size(), 20000u - 52u);
    ASSERT_TRUE(Eventually([&] { return host.CheckClear() == Bytes{0x01, 0}; }));
    ASSERT_EQ(usb.clear_halt(UsbtmcHost::kBulkOut), Result::Ok);
    EXPECT_EQ(host.Query("NEXT?"), Answer("NEXT?"));
}

// A host that went away with its read pending left the reply queued. The next host's clear
// cancels it; Bulk-IN is reported clear (SUCCESS, bmClear 0) only once the host has read what
// the cancel left there, as a USBTMC host does while bmClear is set: its next query's first
// read is its own reply.
TEST_F(UsbtmcTest, ClearSucceedsOnlyOnceBulkInHoldsNothing)
{
    ASSERT_EQ(host.Write("OLD?"), Result::Ok);
    ASSERT_TRUE(device->WaitCount('M', 1));
    ASSERT_EQ(host.RequestIn(4096), Result::Ok);
    ASSERT_TRUE(Eventually([] { return platform::soc::usbd().in_packet_ready(1); }, 10000));
    EXPECT_EQ(host.InitiateClear(), (Bytes{0x01}));
    Bytes status;
    int reads = 0;
    ASSERT_TRUE(Eventually(
        [&] {
            status = host.CheckClear();
            if (status == Bytes{0x02, 1}) {
                Bytes packet;
                EXPECT_EQ(usb.bulk_in(UsbtmcHost::kBulkIn, 4096 + 12, &packet), Result::Ok);
                ++reads;
            }
            return status.empty() || status[0] != 0x02;
        },
        10000));
    EXPECT_EQ(status, (Bytes{0x01, 0}));
    EXPECT_GE(reads, 1);
    ASSERT_EQ(usb.clear_halt(UsbtmcHost::kBulkOut), Result::Ok);
    EXPECT_EQ(host.Query("NEXT?"), Answer("NEXT?"));
}

} // namespace
} // namespace usbtmctest
