// The DSP message link against a scripted host-port device: frames, length tables, the link
// state machine, the write and read sequences and the DSP lock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "DspLinkTestSupport.h"

namespace KorvexTest {
namespace {

using Access = CFakeHpiDevice::Access;

const char* const NotBootedLine =
    "CKorvexDSP::FSMDspIf: The DSP Interface has been asked to perform an operation while not "
    "booted.\n\n";
const char* const UnforeseenLine =
    "CKorvexDSP::FSMDspIf: The DSP Interface has received an unforeseen event.\n\n";

// The data accesses only (control writes left out).
std::vector<Access> DataOnly(const std::vector<Access>& accesses)
{
    std::vector<Access> data;
    for (const Access& a : accesses) {
        if (a.kind != CFakeHpiDevice::Control) data.push_back(a);
    }
    return data;
}

bool RaisedDspInterrupt(const std::vector<Access>& accesses)
{
    for (const Access& a : accesses) {
        if (a.kind == CFakeHpiDevice::Control && a.value == 0x00030003) return true;
    }
    return false;
}

TEST(DspLinkFrame, CheckWordIsXorOfAllButTheLastWord)
{
    const std::uint32_t trigger[3] = {dsp::TRIGGER, 0x1234, 0};
    EXPECT_EQ(dsp::ComputeCheckWord(trigger, 3), 0x80u ^ 0x1234u);
    const std::uint32_t one[1] = {0xDEADBEEF};
    EXPECT_EQ(dsp::ComputeCheckWord(one, 1), 0u);
    std::uint32_t frame[5] = {0x10010, 7, 0x80000001, 0xFFFF0000, 0};
    frame[4] = dsp::ComputeCheckWord(frame, 5);
    EXPECT_EQ(frame[4], 0x10010u ^ 7u ^ 0x80000001u ^ 0xFFFF0000u);
    EXPECT_TRUE(dsp::IsFrameValid(frame, 5));
    frame[3] ^= 0x100;
    EXPECT_FALSE(dsp::IsFrameValid(frame, 5));
}

TEST(DspLinkFrame, LengthTablesAndNames)
{
    struct Row {
        std::uint32_t request;
        const char* requestName;
        std::uint32_t requestBytes;
        const char* replyName;
        std::uint32_t replyBytes;
    };
    const Row rows[] = {
        {0x10, "PW_DEFAULT_CONFIGURATION", 44, "PW_DEFAULT_CONFIGURATION_ACK", 20},
        {0x20, "PW_PROBE_CONNECT", 2632, "PW_PROBE_CONNECT_ACK", 20},
        {0x30, "PW_MEASURE_PARMS", 120, "PW_MEASURE_PARMS_ACK", 20},
        {0x40, "INITIATE_SEARCH", 40, "INITIATE_SEARCH_ACK", 20},
        {0x50, "GET_SEARCH_RESULT", 12, "RETURN_SEARCH_RESULT", 32},
        {0x60, "INITIATE_TRACKING", 24, "INITIATE_TRACKING_ACK", 20},
        {0x70, "INITIATE_FIXED_MEASUREMENT", 48, "INITIATE_FIXED_MEASUREMENT_ACK", 20},
        {0x80, "TRIGGER", 12, "TRIGGER_ACK", 20},
        {0x90, "GET_PW_MEASUREMENT", 32, "RETURN_PW_MEASUREMENT", 64},
        {0xA0, "ABORT", 12, "ABORT_ACK", 20},
        {0xB0, "REQUEST_SIGNAL", 12, "RETURN_SIGNAL", 104},
        {0xC0, "RELEASE_SIGNAL", 12, "RELEASE_SIGNAL_ACK", 20},
        {0xD0, "EXTERNAL_REFERENCE", 16, "EXTERNAL_REFERENCE_ACK", 20},
        {0xE0, "TRIGGER_OUT", 48, "RETURN_TRIGGER_OUT", 24},
        {0xF0, "QUIT", 12, "QUIT_ACK", 20},
        {0x8010, "LL_SET_FREQUENCY", 20, "LL_SET_FREQUENCY_ACK", 20},
        {0x8020, "LL_SET_VOLTAGES", 20, "LL_SET_VOLTAGES_ACK", 20},
        {0x8030, "LL_SET_FIELD_MODULATION", 28, "RETURN_LL_SET_FIELD_MODULATION", 28},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.requestName);
        const std::uint32_t reply = dsp::ReplyIdOf(row.request);
        EXPECT_EQ(dsp::GetRequestLength(row.request), row.requestBytes);
        EXPECT_EQ(dsp::GetReplyLength(reply), row.replyBytes);
        EXPECT_STREQ(dsp::GetRequestName(row.request), row.requestName);
        EXPECT_STREQ(dsp::GetReplyName(reply), row.replyName);
        // A request id is no reply id and the other way round.
        EXPECT_EQ(dsp::GetReplyLength(row.request), 0u);
        EXPECT_EQ(dsp::GetRequestLength(reply), 0u);
    }
    EXPECT_EQ(dsp::GetReplyLength(0x10001), 36u);
    EXPECT_STREQ(dsp::GetReplyName(0x10001), "SYSTEM_READY");
    for (std::uint32_t id : {0x0u, 0x1u, 0x11u, 0x100u, 0x8000u, 0x8040u, 0x10000u, 0x10002u,
                             0x10100u, 0x18040u, 0xFFFFFFFFu}) {
        EXPECT_EQ(dsp::GetRequestLength(id), 0u) << id;
        EXPECT_EQ(dsp::GetReplyLength(id), 0u) << id;
        EXPECT_EQ(dsp::GetRequestName(id), nullptr) << id;
        EXPECT_EQ(dsp::GetReplyName(id), nullptr) << id;
    }
    EXPECT_STREQ(dsp::GetInterruptDeviceName(), "/dev/dsp-int");
}

using DspLinkStateMachine = DspLinkFixture;

TEST_F(DspLinkStateMachine, NotBootedRefusesSendAndOtherReceives)
{
    MarkLog();
    EXPECT_EQ(dsp::SendMessage(dsp::TRIGGER), 43u);
    EXPECT_TRUE(LogEndsWith(NotBootedLine));
    EXPECT_EQ(dsp::GetLinkState(), dsp::LinkNotBooted);
    EXPECT_FALSE(RaisedDspInterrupt(device.TakeAccesses()));

    std::uint32_t word = 99;
    device.PutReply(dsp::TRIGGER_ACK);
    EXPECT_EQ(dsp::ReceiveMessage(dsp::TRIGGER_ACK, word), 43u);
    EXPECT_EQ(word, 0u);
    EXPECT_EQ(dsp::GetLinkState(), dsp::LinkNotBooted);

    // An event the machine does not know leaves it not booted as well.
    EXPECT_EQ(dsp::FSMDspIf(7, 0, 0), 43u);
    EXPECT_EQ(dsp::GetLinkState(), dsp::LinkNotBooted);
}

TEST_F(DspLinkStateMachine, SystemReadyBootsOnlyWhenValid)
{
    std::uint32_t word = 99;
    device.PutReply(dsp::SYSTEM_READY, {}, true);
    EXPECT_EQ(dsp::ReceiveMessage(dsp::SYSTEM_READY, word), 40u);
    EXPECT_EQ(word, 0u);
    EXPECT_EQ(dsp::GetLinkState(), dsp::LinkNotBooted);

    device.PutReply(dsp::TRIGGER_ACK);  // wrong id in the mailbox
    EXPECT_EQ(dsp::ReceiveMessage(dsp::SYSTEM_READY, word), 39u);
    EXPECT_EQ(dsp::GetLinkState(), dsp::LinkNotBooted);

    MarkLog();
    device.PutReply(dsp::SYSTEM_READY, {0x1234, 0, 2, 5, 1, 8});
    EXPECT_EQ(dsp::ReceiveMessage(dsp::SYSTEM_READY, word), 0u);
    EXPECT_EQ(word, 0x1234u);
    EXPECT_TRUE(LogEndsWith("Received SYSTEM_READY message from DSP\n"));
    EXPECT_EQ(dsp::GetLinkState(), dsp::LinkReady);
    std::uint16_t a = 0, b = 0, c = 0, d = 0;
    dsp::GetReplyShorts(a, b, c, d);
    EXPECT_EQ(a, 2);
    EXPECT_EQ(b, 5);
    EXPECT_EQ(c, 1);
    EXPECT_EQ(d, 8);
}

TEST_F(DspLinkStateMachine, ReadyRow)
{
    Boot();
    std::uint32_t word = 0;
    MarkLog();
    EXPECT_EQ(dsp::ReceiveMessage(dsp::TRIGGER_ACK, word), 47u);
    EXPECT_TRUE(LogEndsWith(UnforeseenLine));
    EXPECT_EQ(dsp::GetLinkState(), dsp::LinkReady);
    EXPECT_EQ(dsp::FSMDspIf(5, 0, 0), 47u);
    EXPECT_EQ(dsp::GetLinkState(), dsp::LinkReady);

    // An id outside the table: 47, no build line, nothing written, and awaiting a reply.
    MarkLog();
    const std::string mark = LogTail(24);
    EXPECT_EQ(dsp::SendMessage(0x11), 47u);
    EXPECT_EQ(LogTail(24), mark);
    EXPECT_TRUE(device.TakeAccesses().empty());
    EXPECT_EQ(dsp::GetLinkState(), dsp::LinkAwaitingReply);
}

TEST_F(DspLinkStateMachine, AwaitingReplyRows)
{
    Boot();
    EXPECT_EQ(dsp::SendMessage(dsp::TRIGGER), 0u);
    EXPECT_TRUE(LogEndsWith("CKorvexDSP::BuildAndWriteMessage:Message TRIGGER\n"));
    EXPECT_EQ(dsp::GetLinkState(), dsp::LinkAwaitingReply);

    // ABORT is accepted while a request is outstanding and keeps the state.
    EXPECT_EQ(dsp::SendMessage(dsp::ABORT), 0u);
    EXPECT_TRUE(LogEndsWith("CKorvexDSP::BuildAndWriteMessage:Message ABORT\n"));
    EXPECT_EQ(dsp::GetLinkState(), dsp::LinkAwaitingReply);

    // Anything else is refused and returns the link to ready.
    device.TakeAccesses();
    EXPECT_EQ(dsp::SendMessage(dsp::QUIT), 47u);
    EXPECT_TRUE(LogEndsWith(UnforeseenLine));
    EXPECT_FALSE(RaisedDspInterrupt(device.TakeAccesses()));
    EXPECT_EQ(dsp::GetLinkState(), dsp::LinkReady);

    EXPECT_EQ(dsp::SendMessage(dsp::TRIGGER), 0u);
    EXPECT_EQ(dsp::FSMDspIf(3, 0, 0), 47u);
    EXPECT_EQ(dsp::GetLinkState(), dsp::LinkReady);

    EXPECT_EQ(dsp::SendMessage(dsp::QUIT), 0u);
    std::uint32_t word = 0;
    device.PutReply(dsp::QUIT_ACK, {0x42});
    EXPECT_EQ(dsp::ReceiveMessage(dsp::QUIT_ACK, word), 0u);
    EXPECT_TRUE(LogEndsWith("Received QUIT_ACK message from DSP\n"));
    EXPECT_EQ(word, 0x42u);
    EXPECT_EQ(dsp::GetLinkState(), dsp::LinkReady);
}

TEST_F(DspLinkStateMachine, FailedReadsStillReturnToReady)
{
    Boot();
    std::uint32_t word = 0;

    EXPECT_EQ(dsp::SendMessage(dsp::TRIGGER), 0u);
    device.PutReply(dsp::ABORT_ACK);
    EXPECT_EQ(dsp::ReceiveMessage(dsp::TRIGGER_ACK, word), 39u);
    EXPECT_TRUE(LogEndsWith(
        "CKorvexDSP::DSPRead:Invalid Message ID, Expected 0x10080 Read 0x100A0\n"));
    EXPECT_EQ(dsp::GetLinkState(), dsp::LinkReady);

    // Error flag and a wrong check word: the flag is reported.
    EXPECT_EQ(dsp::SendMessage(dsp::TRIGGER), 0u);
    device.PutReply(dsp::TRIGGER_ACK, {0x1}, true, true);
    EXPECT_EQ(dsp::ReceiveMessage(dsp::TRIGGER_ACK, word), 41u);
    EXPECT_TRUE(LogEndsWith("CKorvexDSP::DSPRead:Message error flag set\n"));
    EXPECT_EQ(word, 0u);
    EXPECT_EQ(dsp::GetLinkState(), dsp::LinkReady);

    EXPECT_EQ(dsp::SendMessage(dsp::TRIGGER), 0u);
    device.PutReply(dsp::TRIGGER_ACK, {0x1}, true);
    EXPECT_EQ(dsp::ReceiveMessage(dsp::TRIGGER_ACK, word), 40u);
    EXPECT_TRUE(LogEndsWith("CKorvexDSP::DSPRead:Invalid CRC\n"));
    EXPECT_EQ(dsp::GetLinkState(), dsp::LinkReady);

    // An expected id that has no reply length: 39 without a log line and without a read.
    EXPECT_EQ(dsp::SendMessage(dsp::TRIGGER), 0u);
    device.Put(dsp::ReplyIdAddress, {0x12345});
    device.TakeAccesses();
    MarkLog();
    const std::string mark = LogTail(24);
    EXPECT_EQ(dsp::ReceiveMessage(0x12345, word), 39u);
    EXPECT_EQ(LogTail(24), mark);
    EXPECT_EQ(DataOnly(device.TakeAccesses()).size(), 1u);
    EXPECT_EQ(dsp::GetLinkState(), dsp::LinkReady);
}

using DspLinkSequence = DspLinkFixture;

TEST_F(DspLinkSequence, WriteOrderAndSequenceNumbers)
{
    Boot();
    const std::uint32_t sequence = dsp::GetSequenceCounter();
    ASSERT_EQ(dsp::SendMessage(dsp::TRIGGER), 0u);
    const std::vector<Access> accesses = device.TakeAccesses();

    // Clear the host interrupt, the id into its mailbox, the frame, then DSPINT last.
    ASSERT_GE(accesses.size(), 4u);
    EXPECT_EQ(accesses.front().kind, CFakeHpiDevice::Control);
    EXPECT_EQ(accesses.front().value, 0x00050005u);
    std::size_t idAt = 0, frameAt = 0, intAt = 0;
    for (std::size_t i = 0; i < accesses.size(); ++i) {
        const Access& a = accesses[i];
        if (a.kind == CFakeHpiDevice::DataWrite && a.address == dsp::RequestIdAddress && idAt == 0)
            idAt = i;
        if (a.kind == CFakeHpiDevice::DataWrite && a.address == dsp::RequestFrameAddress &&
            frameAt == 0)
            frameAt = i;
        if (a.kind == CFakeHpiDevice::Control && a.value == 0x00030003) intAt = i;
    }
    EXPECT_GT(idAt, 0u);
    EXPECT_GT(frameAt, idAt);
    EXPECT_EQ(intAt, accesses.size() - 1);
    EXPECT_EQ(device.Get(dsp::RequestIdAddress, 1)[0], 0x80u);

    // The 12-byte request: id, sequence, id XOR sequence.
    const std::vector<std::uint32_t> frame = SentFrame();
    ASSERT_EQ(frame.size(), 3u);
    EXPECT_EQ(frame[1], sequence);
    EXPECT_EQ(frame[2], 0x80u ^ sequence);
    EXPECT_EQ(dsp::GetSequenceCounter(), sequence + 1);

    // An accepted reply advances the counter once more, a refused one does not.
    std::uint32_t word = 0;
    device.PutReply(dsp::TRIGGER_ACK);
    ASSERT_EQ(dsp::ReceiveMessage(dsp::TRIGGER_ACK, word), 0u);
    EXPECT_EQ(dsp::GetSequenceCounter(), sequence + 2);
    ASSERT_EQ(dsp::SendMessage(dsp::TRIGGER), 0u);
    device.PutReply(dsp::TRIGGER_ACK, {}, true);
    ASSERT_EQ(dsp::ReceiveMessage(dsp::TRIGGER_ACK, word), 40u);
    EXPECT_EQ(dsp::GetSequenceCounter(), sequence + 3);
    EXPECT_EQ(SentFrame()[1], sequence + 2);
}

TEST_F(DspLinkSequence, ReadOrderIdFirstThenFrame)
{
    Boot();
    std::uint32_t word = 0;
    ASSERT_EQ(dsp::SendMessage(dsp::GET_SEARCH_RESULT), 0u);
    device.PutReply(dsp::RETURN_SEARCH_RESULT);
    device.TakeAccesses();
    ASSERT_EQ(dsp::ReceiveMessage(dsp::RETURN_SEARCH_RESULT, word), 0u);
    const std::vector<Access> accesses = DataOnly(device.TakeAccesses());
    ASSERT_EQ(accesses.size(), 1u + 8u);
    EXPECT_EQ(accesses[0].kind, CFakeHpiDevice::DataRead);
    EXPECT_EQ(accesses[0].address, dsp::ReplyIdAddress);
    for (std::uint32_t i = 0; i < 8; ++i) {
        EXPECT_EQ(accesses[1 + i].kind, CFakeHpiDevice::DataRead);
        EXPECT_EQ(accesses[1 + i].address, dsp::ReplyFrameAddress + 4 * i);
    }

    // A wrong id stops after the mailbox read.
    ASSERT_EQ(dsp::SendMessage(dsp::GET_SEARCH_RESULT), 0u);
    device.PutReply(dsp::ABORT_ACK);
    device.TakeAccesses();
    ASSERT_EQ(dsp::ReceiveMessage(dsp::RETURN_SEARCH_RESULT, word), 39u);
    EXPECT_EQ(DataOnly(device.TakeAccesses()).size(), 1u);
}

TEST_F(DspLinkSequence, StatusBlockIsReadWithoutTheLink)
{
    device.Put(dsp::StatusBlockAddress, {11, 22, 33, 44});
    const dsp::DSPStatusBlock block = dsp::ReadStatusBlock();
    EXPECT_EQ(block.word[0], 11u);
    EXPECT_EQ(block.word[3], 44u);
    EXPECT_EQ(dsp::GetLastStatusBlock().word[2], 33u);
    EXPECT_EQ(dsp::GetLinkState(), dsp::LinkNotBooted);
    EXPECT_FALSE(dsp::OwnsDSP());

    dsp::AckHostInterrupt();
    const std::vector<Access> accesses = device.TakeAccesses();
    ASSERT_FALSE(accesses.empty());
    EXPECT_EQ(accesses.back().value, 0x00050005u);
}

using DspLinkLock = DspLinkFixture;

TEST_F(DspLinkLock, TwoSendsAndOneReleaseFreeTheLock)
{
    Boot();
    ASSERT_EQ(dsp::SendMessage(dsp::TRIGGER), 0u);
    ASSERT_EQ(dsp::SendMessage(dsp::ABORT), 0u);
    EXPECT_TRUE(dsp::OwnsDSP());
    dsp::ReleaseDSP();
    EXPECT_FALSE(dsp::OwnsDSP());

    // Free: another thread takes it at once.
    bool taken = false;
    std::thread other([&] {
        taken = dsp::AcquireDSP();
        dsp::ReleaseDSP();
    });
    other.join();
    EXPECT_TRUE(taken);
}

TEST_F(DspLinkLock, AnotherThreadWaitsForTheRelease)
{
    Boot();
    ASSERT_EQ(dsp::SendMessage(dsp::TRIGGER), 0u);

    std::atomic<bool> sent{false};
    std::atomic<std::uint32_t> result{99};
    std::thread other([&] {
        // Blocks until the owner has finished its exchange and released.
        result = dsp::SendMessage(dsp::QUIT);
        sent = true;
        dsp::ReleaseDSP();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(sent.load());
    std::uint32_t word = 0;
    device.PutReply(dsp::TRIGGER_ACK);
    ASSERT_EQ(dsp::ReceiveMessage(dsp::TRIGGER_ACK, word), 0u);
    dsp::ReleaseDSP();
    other.join();
    EXPECT_TRUE(sent.load());
    EXPECT_EQ(result.load(), 0u);  // the link was ready again when it got the lock
    EXPECT_FALSE(dsp::OwnsDSP());
}

TEST_F(DspLinkLock, ReleaseByANonOwnerDoesNothing)
{
    ASSERT_TRUE(dsp::AcquireDSP());
    std::thread other([] { dsp::ReleaseDSP(); });
    other.join();
    EXPECT_TRUE(dsp::OwnsDSP());
    std::atomic<bool> taken{false};
    std::thread waiter([&] {
        taken = dsp::AcquireDSP();
        dsp::ReleaseDSP();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(taken.load());
    dsp::ReleaseDSP();
    waiter.join();
    EXPECT_TRUE(taken.load());
}

}  // namespace
}  // namespace KorvexTest
