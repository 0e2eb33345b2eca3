// The acquisition thread's waiting primitive over the real pipe devices and "/dev/dsp-int":
// priorities, time-outs, aborts and errors out of the abort pipe, the DSP interrupt
// acknowledged by the wait; the message formats, the sender handshake and the subscribers
// that turn parameter changes into acquisition events.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Host/acquisition/AcqExceptions.h"
#include "Host/acquisition/CEventRegister.h"
#include "Host/acquisition/CRegistrableObject.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/Logger.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/scpi/status/KorvexScpiStatus.h"
#include "board/dsp_devices.h"
#include "platform/devio/DevIo.h"
#include "platform/hpi/HpiWindow.h"

namespace KorvexTest {
namespace {

namespace hpi = platform::hpi;
using Korvex::AbortMsg;
using Korvex::CCompletionSemaphore;
using Korvex::CEventRegister;
using Korvex::CMailBox;
using Korvex::CParameterNode;
using Korvex::PipeMsg;
using Clock = std::chrono::steady_clock;

// The DSP side of the host interrupt: the controller's acknowledgement (HINT written in
// both halves of HPIC) lowers it.
class HintDsp : public hpi::HpiDevice {
public:
    void write(std::uint32_t offset, std::uint32_t value) override
    {
        const std::uint32_t low = value & 0xFFFF;
        if (offset == hpi::HPIC && (value >> 16) == low && (low & 0x4) != 0) {
            acknowledged.fetch_add(1);
            hpi::set_host_interrupt(false);
        }
    }
    std::uint32_t read(std::uint32_t) override { return 0; }
    void set_reset(bool) override {}

    std::atomic<unsigned> acknowledged{0};
};

PipeMsg Initiation(std::uint32_t token)
{
    PipeMsg message;
    message.command = PipeMsg::Initiate;
    message.completion = token;
    return message;
}

AbortMsg Abort(std::uint32_t reason, std::uint32_t token)
{
    AbortMsg message;
    message.reason = reason;
    message.completion = token;
    return message;
}

class AcqEventsFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(registered);
        hpi::attach(&dsp);
        hpi::set_host_interrupt(false);
        ASSERT_TRUE(abortBox.valid);
        ASSERT_TRUE(messageBox.valid);
        ASSERT_TRUE(dspInt.valid);
        Flush();
    }

    void TearDown() override
    {
        Flush();
        hpi::attach(nullptr);
    }

    // Empties both pipes and the interrupt counts earlier tests left.
    void Flush()
    {
        hpi::set_host_interrupt(false);
        abortBox.Drain();
        messageBox.Drain();
        while (Readable(dspInt.fd)) {
        }
    }

    static bool Readable(int fd)
    {
        devio::FdSet set;
        devio::devio_fd_zero(&set);
        devio::devio_fd_set(fd, &set);
        return devio::devio_select(fd + 1, &set, nullptr, 0) == 1;
    }

    std::uint32_t Wait(std::uint8_t flags, std::int16_t timeoutMs, std::uint8_t abortable)
    {
        return events.WaitForEvent(flags, timeoutMs, abortable);
    }

    // The device table is filled before anything opens its devices.
    const bool registered = board_register_dsp_devices();
    HintDsp dsp;
    CMailBox<AbortMsg> abortBox{Korvex::AcqAbortPipePath};
    CMailBox<PipeMsg> messageBox{Korvex::AcqMessagePipePath};
    Korvex::CDspIntr dspInt;
    CEventRegister events{abortBox, messageBox, dspInt};
};

using AcqEventsWait = AcqEventsFixture;
using AcqEventsMessages = AcqEventsFixture;

// ---- waiting -------------------------------------------------------------------------

TEST_F(AcqEventsWait, AbortTakesPriorityAndTheInterruptWaitsForTheNextCall)
{
    CCompletionSemaphore done;
    hpi::set_host_interrupt(true);
    ASSERT_TRUE(abortBox.Write(Abort(AbortMsg::AbortRequest, done.Token())));
    try {
        Wait(3, 500, 1);
        FAIL() << "no abort thrown";
    } catch (const Korvex::CAbortException& abort) {
        EXPECT_EQ(abort.Completion(), done.Get());
        EXPECT_STREQ(abort.what(), "HostAcq was asked to abort.\n");
    }
    EXPECT_EQ(dsp.acknowledged.load(), 0u);
    EXPECT_TRUE(hpi::host_interrupt_asserted());

    EXPECT_EQ(Wait(3, 500, 1), CEventRegister::ResultDsp);
    EXPECT_EQ(dsp.acknowledged.load(), 1u);
    EXPECT_FALSE(hpi::host_interrupt_asserted());
    EXPECT_EQ(Wait(2, 0, 0), CEventRegister::ResultTimeout);
}

TEST_F(AcqEventsWait, WithoutLimitReturnsOnAMessageAndLeavesItInThePipe)
{
    std::thread sender([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        messageBox.Write(Initiation(0));
    });
    const std::uint32_t result = Wait(1, -1, 0);
    sender.join();
    EXPECT_EQ(result, CEventRegister::ResultMessage);
    // Still unread: the next wait sees it too, and the read gives it whole.
    EXPECT_EQ(Wait(1, 0, 0), CEventRegister::ResultMessage);
    PipeMsg message;
    ASSERT_TRUE(messageBox.Read(message));
    EXPECT_EQ(message.command, PipeMsg::Initiate);
    EXPECT_EQ(Wait(1, 0, 0), CEventRegister::ResultTimeout);
}

TEST_F(AcqEventsWait, ZeroTimeOutPollsAndPositiveTimeOutWaitsAtLeastThatLong)
{
    EXPECT_EQ(Wait(2, 0, 0), CEventRegister::ResultTimeout);
    EXPECT_EQ(Wait(3, 0, 1), CEventRegister::ResultTimeout);

    const Clock::time_point start = Clock::now();
    EXPECT_EQ(Wait(3, 150, 1), CEventRegister::ResultTimeout);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(140));

    // No source at all: a pure delay.
    const Clock::time_point delayStart = Clock::now();
    EXPECT_EQ(Wait(0, 100, 0), CEventRegister::ResultTimeout);
    EXPECT_GE(Clock::now() - delayStart, std::chrono::milliseconds(90));
}

TEST_F(AcqEventsWait, DspComesBeforeTheMessageAndIsAcknowledged)
{
    ASSERT_TRUE(messageBox.Write(Initiation(0)));
    hpi::set_host_interrupt(true);
    EXPECT_EQ(Wait(3, 0, 0), CEventRegister::ResultDsp);
    EXPECT_FALSE(hpi::host_interrupt_asserted());
    EXPECT_EQ(Wait(3, 0, 0), CEventRegister::ResultMessage);
    // A source that is not selected is not looked at.
    hpi::set_host_interrupt(true);
    EXPECT_EQ(Wait(1, 0, 0), CEventRegister::ResultMessage);
    EXPECT_TRUE(hpi::host_interrupt_asserted());
    EXPECT_EQ(Wait(2, 0, 0), CEventRegister::ResultDsp);
}

TEST_F(AcqEventsWait, AbortMessagesWaitForAnAbortableWait)
{
    ASSERT_TRUE(abortBox.Write(Abort(AbortMsg::AbortRequest, 0)));
    ASSERT_TRUE(messageBox.Write(Initiation(0)));
    EXPECT_EQ(Wait(1, 0, 0), CEventRegister::ResultMessage);
    EXPECT_EQ(Wait(0, 0, 0), CEventRegister::ResultTimeout);
    try {
        Wait(1, 0, 1);
        FAIL() << "no abort thrown";
    } catch (const Korvex::CAbortException& abort) {
        EXPECT_EQ(abort.Completion(), nullptr);
    }
    EXPECT_EQ(Wait(1, 0, 1), CEventRegister::ResultMessage);
}

TEST_F(AcqEventsWait, AnyOtherReasonBecomesThatAcquisitionError)
{
    for (const std::uint8_t flags : {0, 1, 2, 3}) {
        ASSERT_TRUE(abortBox.Write(Abort(50, 0)));
        try {
            Wait(flags, 200, 1);
            FAIL() << "no error thrown with flags " << int(flags);
        } catch (const Korvex::CAcqError& error) {
            EXPECT_EQ(error.Error(), 50);
        }
    }
}

TEST_F(AcqEventsWait, AnAbortEndsADelayWithoutLimitFromAnotherThread)
{
    CCompletionSemaphore done;
    done.Reset();
    std::thread parser([this, &done] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        abortBox.Write(Abort(AbortMsg::AbortRequest, done.Token()));
        done.Wait();  // the acquisition side posts it once the abort is done
    });
    try {
        Wait(0, -1, 1);
        ADD_FAILURE() << "no abort thrown";
    } catch (const Korvex::CAbortException& abort) {
        ASSERT_NE(abort.Completion(), nullptr);
        kernel::semaphore_post(abort.Completion());
    }
    parser.join();
}

TEST_F(AcqEventsWait, UnopenedDevicesAreInvalidAndASelectFailureIsFatal)
{
    Korvex::CRegistrableObject missing("/dev/no-such-pipe");
    EXPECT_EQ(missing.fd, -1);
    EXPECT_EQ(missing.valid, 0);

    CMailBox<PipeMsg> broken{Korvex::AcqMessagePipePath};
    ASSERT_TRUE(broken.valid);
    CEventRegister brokenEvents{abortBox, broken, dspInt};
    ASSERT_EQ(devio::devio_close(broken.fd), 0);  // the descriptor goes behind its back

    testing::internal::CaptureStderr();
    try {
        brokenEvents.WaitForEvent(1, 0, 0);
        ADD_FAILURE() << "no fatal exception";
    } catch (const Korvex::CFatalAcqException& fatal) {
        EXPECT_STREQ(fatal.what(),
                     "HostAcq fatal exception at: src/Host/CKorvexHostAcquisition.cpp:345.\n");
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, std::string("CEventRegister::WaitForEvent: ") + std::strerror(9) + "\n");
}

// ---- messages and the sender handshake -------------------------------------------------

TEST_F(AcqEventsMessages, PipeMessagesAreSixteenLittleEndianBytes)
{
    PipeMsg message;
    message.command = PipeMsg::BusTrigger;
    message.completion = 0x11223344;
    ASSERT_TRUE(messageBox.Write(message));
    std::uint8_t bytes[32] = {};
    ASSERT_EQ(devio::devio_read(messageBox.fd, bytes, sizeof bytes), 16);
    const std::uint8_t expected[16] = {2, 0, 0, 0, 0x44, 0x33, 0x22, 0x11, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(bytes, expected, 16), 0);

    // And back: a message written as raw bytes is read field by field.
    const std::uint8_t raw[16] = {1, 0, 0, 0, 7, 0, 0, 0, 0xAA, 0, 0, 0, 0, 0, 0, 0xBB};
    ASSERT_EQ(devio::devio_write(messageBox.fd, raw, sizeof raw), 16);
    ASSERT_TRUE(messageBox.Read(message));
    EXPECT_EQ(message.command, 1u);
    EXPECT_EQ(message.completion, 7u);
    EXPECT_EQ(message.reserved[0], 0xAAu);
    EXPECT_EQ(message.reserved[1], 0xBB000000u);
}

TEST_F(AcqEventsMessages, AbortMessagesAreEightLittleEndianBytes)
{
    ASSERT_TRUE(abortBox.Write(Abort(50, 0x01020304)));
    ASSERT_TRUE(abortBox.Write(Abort(0, 0)));
    std::uint8_t bytes[32] = {};
    ASSERT_EQ(devio::devio_read(abortBox.fd, bytes, sizeof bytes), 16);
    const std::uint8_t expected[16] = {50, 0, 0, 0, 4, 3, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(bytes, expected, 16), 0);
}

TEST_F(AcqEventsMessages, CompletionTokensNameLiveSemaphoresOnly)
{
    std::uint32_t gone = 0;
    {
        CCompletionSemaphore a;
        CCompletionSemaphore b;
        EXPECT_NE(a.Token(), 0u);
        EXPECT_NE(a.Token(), b.Token());
        EXPECT_EQ(CCompletionSemaphore::Find(a.Token()), a.Get());
        EXPECT_EQ(CCompletionSemaphore::Find(b.Token()), b.Get());
        CCompletionSemaphore::Post(a.Token());
        CCompletionSemaphore::Post(a.Token());
        EXPECT_EQ(kernel::semaphore_peek(a.Get()), 2u);
        a.Reset();
        EXPECT_EQ(kernel::semaphore_peek(a.Get()), 0u);
        gone = b.Token();
    }
    EXPECT_EQ(CCompletionSemaphore::Find(0), nullptr);
    EXPECT_EQ(CCompletionSemaphore::Find(gone), nullptr);
    CCompletionSemaphore::Post(gone);  // nothing to post: no effect
}

TEST_F(AcqEventsMessages, TheReaderReleasesTheSenderRightAfterTheRead)
{
    CCompletionSemaphore done;
    std::atomic<bool> released{false};
    std::thread parser([this, &done, &released] {
        done.Reset();
        messageBox.Write(Initiation(done.Token()));
        done.Wait();
        released = true;
    });
    EXPECT_EQ(Wait(1, -1, 1), CEventRegister::ResultMessage);
    PipeMsg message;
    ASSERT_TRUE(Korvex::TakePipeMsg(messageBox, message));
    parser.join();
    EXPECT_TRUE(released.load());
    EXPECT_EQ(message.command, PipeMsg::Initiate);
    EXPECT_EQ(message.completion, done.Token());
}

TEST_F(AcqEventsMessages, SeveralWritersNeverMixTheirMessages)
{
    constexpr int Writers = 3;
    constexpr int PerWriter = 200;
    std::vector<std::thread> writers;
    for (int w = 0; w < Writers; ++w) {
        writers.emplace_back([this, w] {
            for (int i = 0; i < PerWriter; ++i) {
                PipeMsg message;
                message.command = PipeMsg::BusTrigger;
                message.completion = 0;
                message.reserved[0] = static_cast<std::uint32_t>(w);
                message.reserved[1] = static_cast<std::uint32_t>(i);
                messageBox.Write(message);
            }
        });
    }
    int next[Writers] = {};
    for (int n = 0; n < Writers * PerWriter; ++n) {
        ASSERT_EQ(Wait(1, -1, 1), CEventRegister::ResultMessage);
        PipeMsg message;
        ASSERT_TRUE(Korvex::TakePipeMsg(messageBox, message));
        ASSERT_EQ(message.command, PipeMsg::BusTrigger);
        ASSERT_LT(message.reserved[0], static_cast<std::uint32_t>(Writers));
        EXPECT_EQ(message.reserved[1], static_cast<std::uint32_t>(next[message.reserved[0]]++));
    }
    for (std::thread& writer : writers) writer.join();
    EXPECT_EQ(Wait(1, 0, 1), CEventRegister::ResultTimeout);
}

TEST_F(AcqEventsMessages, DrainEmptiesThePipeAndPostsEverySemaphore)
{
    CCompletionSemaphore first;
    CCompletionSemaphore second;
    ASSERT_TRUE(messageBox.Write(Initiation(first.Token())));
    PipeMsg trigger;
    trigger.command = PipeMsg::BusTrigger;
    ASSERT_TRUE(messageBox.Write(trigger));
    ASSERT_TRUE(messageBox.Write(Initiation(second.Token())));
    ASSERT_TRUE(abortBox.Write(Abort(AbortMsg::AbortRequest, second.Token())));

    const std::vector<PipeMsg> dropped = messageBox.Drain();
    ASSERT_EQ(dropped.size(), 3u);
    EXPECT_EQ(dropped[0].completion, first.Token());
    EXPECT_EQ(dropped[1].command, PipeMsg::BusTrigger);
    EXPECT_EQ(dropped[2].completion, second.Token());
    EXPECT_EQ(kernel::semaphore_peek(first.Get()), 1u);
    EXPECT_EQ(kernel::semaphore_peek(second.Get()), 1u);

    EXPECT_EQ(abortBox.Drain().size(), 1u);
    EXPECT_EQ(kernel::semaphore_peek(second.Get()), 2u);
    EXPECT_EQ(Wait(1, 0, 1), CEventRegister::ResultTimeout);
    EXPECT_TRUE(messageBox.Drain().empty());
}

TEST_F(AcqEventsMessages, AStrayBusTriggerIsDroppedWithOneLogLine)
{
    CCompletionSemaphore sender;
    PipeMsg trigger;
    trigger.command = PipeMsg::BusTrigger;
    trigger.completion = sender.Token();
    ASSERT_TRUE(messageBox.Write(trigger));
    ASSERT_EQ(Wait(1, 200, 1), CEventRegister::ResultMessage);
    PipeMsg message;
    ASSERT_TRUE(Korvex::TakePipeMsg(messageBox, message));
    EXPECT_EQ(kernel::semaphore_peek(sender.Get()), 1u);

    const char* line = "CKorvexHostAcquisition::TriggerFlow, Bus trigger dropped while idle\n";
    auto occurrences = [line] {
        char* log = Korvex::Logger().GetContents();
        const std::string text(log);
        delete[] log;
        std::size_t n = 0;
        for (std::size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
        return n;
    };
    const std::size_t before = occurrences();
    EXPECT_TRUE(Korvex::DropStrayBusTrigger(message));
    EXPECT_EQ(occurrences(), before + 1);
    EXPECT_FALSE(Korvex::DropStrayBusTrigger(Initiation(0)));
    EXPECT_EQ(occurrences(), before + 1);
}

// ---- subscribers ---------------------------------------------------------------------

class AcqEventsNodes : public AcqEventsFixture {
protected:
    void SetUp() override
    {
        AcqEventsFixture::SetUp();
        Korvex::g_pNmrPathBroken = broken = new CParameterNode(Korvex::eNodeBoolean, "nmr_path_broken");
        Korvex::g_pSearchMode = mode = new CParameterNode(Korvex::eNodeString, "mode");
        Korvex::g_pExternalClockDetected = detected =
            new CParameterNode(Korvex::eNodeBoolean, "external_detected");
        Korvex::g_pExternalClockLocked = locked =
            new CParameterNode(Korvex::eNodeBoolean, "external_locked");
        CParameterNode::SetStringAttribute(mode, Korvex::eAttrValue, "AUTO");
        ASSERT_EQ(CParameterNode::Subscribe(broken, &Korvex::NMRPathIsBroken, nullptr), 0);
        for (CParameterNode* node : {mode, detected, locked}) {
            ASSERT_EQ(CParameterNode::Subscribe(node, &Korvex::KorvexUpdateRefClockStatus, nullptr), 0);
        }
    }

    void TearDown() override
    {
        Korvex::g_pNmrPathBroken = nullptr;
        Korvex::g_pSearchMode = nullptr;
        Korvex::g_pExternalClockDetected = nullptr;
        Korvex::g_pExternalClockLocked = nullptr;
        for (CParameterNode* node : {broken, mode, detected, locked}) CParameterNode::Delete(node);
        Korvex::CKorvexScpiStatus::SetInstrumentStatusBit(40, 0, 0);
        AcqEventsFixture::TearDown();
    }

    static bool Row40()
    {
        return (Korvex::CKorvexScpiStatus::ReadCondition(&Korvex::InstrumentBlock(),
                                                         Korvex::eRegQuestionable) &
                0x800) != 0;
    }

    CParameterNode* broken = nullptr;
    CParameterNode* mode = nullptr;
    CParameterNode* detected = nullptr;
    CParameterNode* locked = nullptr;
};

TEST_F(AcqEventsNodes, ABrokenNmrPathFailsTheNextAbortableWaitWithFifty)
{
    CParameterNode::SetValue(broken, true);
    // Not abortable: nothing to see.
    EXPECT_EQ(Wait(1, 0, 0), CEventRegister::ResultTimeout);
    try {
        Wait(2, 500, 1);
        FAIL() << "no error thrown";
    } catch (const Korvex::CAcqError& error) {
        EXPECT_EQ(error.Error(), 50);
    }
    // The value is still true: only a value change sends, and only a change to true.
    Korvex::NMRPathIsBroken(broken, Korvex::eEventMaximumChanged, nullptr);
    EXPECT_EQ(Wait(0, 0, 1), CEventRegister::ResultTimeout);
    CParameterNode::SetValue(broken, false);
    EXPECT_EQ(Wait(0, 0, 1), CEventRegister::ResultTimeout);
}

TEST_F(AcqEventsNodes, ReferenceClockStateDrivesRowForty)
{
    CParameterNode::SetValue(detected, true);  // detected, not locked
    EXPECT_TRUE(Row40());
    CParameterNode::SetValue(locked, true);  // detected and locked
    EXPECT_FALSE(Row40());
    CParameterNode::SetValue(mode, "MANual");
    EXPECT_TRUE(Row40());
    CParameterNode::SetValue(mode, "AUTO");
    EXPECT_FALSE(Row40());
    CParameterNode::SetValue(locked, false);
    EXPECT_TRUE(Row40());
    CParameterNode::SetValue(detected, false);  // not detected
    EXPECT_FALSE(Row40());
    // Events other than a value change leave the row alone.
    CParameterNode::SetValue(detected, true);
    EXPECT_TRUE(Row40());
    Korvex::CKorvexScpiStatus::SetInstrumentStatusBit(40, 0, 0);
    Korvex::KorvexUpdateRefClockStatus(detected, Korvex::eEventChoicesChanged, nullptr);
    EXPECT_FALSE(Row40());
}

}  // namespace
}  // namespace KorvexTest
