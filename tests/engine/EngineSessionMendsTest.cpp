// Device sessions through the fake transport: response chunks cut at the termination
// character, failed arming and bad transfer counts, allocation failures, the repairs of
// binding, Open, input sizes, the transport hold, lost posts and waiting UNTERMINATED, and
// host round trips racing session operations.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "FakeTransport.h"
#include "engine/os/Allocator.h"
#include "engine/session/DeviceSession.h"
#include "engine/session/DeviceSessionTable.h"
#include "engine/session/MessageDescriptor.h"
#include "engine/status/EngineStatus.h"

using namespace Korvex;

namespace {

std::uint32_t NoHandler(std::uint32_t, std::uint32_t, void*, void*)
{
    return 0;
}

bool TakeEvent(CDeviceSession& session, EventRecord* record)
{
    std::uint32_t status = 0;
    session.GetQueue()->Wait(false, &status);
    if (status != 0) {
        return false;
    }
    session.GetQueue()->Take(record, &status);
    return status == 0;
}

// Codes of every record in the queue, oldest first; the queue is left empty.
std::vector<std::uint32_t> Drain(CDeviceSession& session)
{
    std::vector<std::uint32_t> codes;
    EventRecord record{};
    while (TakeEvent(session, &record)) {
        codes.push_back(record.code);
    }
    return codes;
}

// Fills the queue with records no report made.
void FillQueue(CDeviceSession& session)
{
    std::uint32_t status = 0;
    while (session.GetQueue()->Count() < CDeviceSession::kQueueCapacity) {
        session.GetQueue()->Post(99, 0, NoHandler, nullptr, nullptr, 0, &status);
        ASSERT_EQ(status, 0u);
    }
}

// A session on a fake transport with the given event slots installed, opened.
struct OpenSession {
    explicit OpenSession(std::initializer_list<std::uint32_t> slots)
    {
        std::uint32_t status = 1;
        session = new CDeviceSession(&transport, &status);
        EXPECT_EQ(status, 0u);
        for (std::uint32_t index : slots) {
            session->SetEventHandler(index, NoHandler, nullptr, &status);
            EXPECT_EQ(status, 0u);
        }
        session->Open(nullptr, &status);
        EXPECT_EQ(status, 0u);
    }
    ~OpenSession() { delete session; }
    OpenSession(const OpenSession&) = delete;
    OpenSession& operator=(const OpenSession&) = delete;

    FakeTransport transport;
    CDeviceSession* session = nullptr;
};

// ---- the response side ----

TEST(engine_session, TermCharCutsAResponseChunk)
{
    OpenSession s({1});
    CDeviceSession& session = *s.session;
    s.transport.termCharEnabled = 1;
    s.transport.termChar = '\n';
    std::uint32_t status = 1;
    session.EnableRelaxedMode(&status);
    static const std::uint8_t response[] = {'a', 'b', '\n', 'c', 'd', '\n'};
    session.SendOutput(response, sizeof response, 1, &status);
    ASSERT_EQ(status, 0u);

    std::uint32_t reason = 0;
    EXPECT_EQ(s.transport.HostRead(100, &reason), "ab\n");
    EXPECT_EQ(reason, FakeTransport::kReasonChr);
    EXPECT_TRUE(session.ResponseQueued());
    EXPECT_EQ(s.transport.HostRead(100, &reason), "cd\n");
    EXPECT_EQ(reason, FakeTransport::kReasonChr | FakeTransport::kReasonEnd);
    EXPECT_FALSE(session.ResponseQueued());
    EventRecord record{};
    ASSERT_TRUE(TakeEvent(session, &record));
    EXPECT_EQ(record.code, CDeviceSession::kCodeResponseSent);
    EXPECT_EQ(record.argument, 6u);

    // Without the termination character the whole response goes in one chunk.
    s.transport.termCharEnabled = 0;
    session.SendOutput(response, sizeof response, 1, &status);
    ASSERT_EQ(status, 0u);
    EXPECT_EQ(s.transport.HostRead(100, &reason), "ab\ncd\n");
    EXPECT_EQ(reason, FakeTransport::kReasonEnd);
}

// ---- failed transfers: device event 49 ----

// The response goes out as one chunk armed at once, so a test can report its count.
class WholeResponseTransport : public FakeTransport {
public:
    void LimitChunk(CMessageDescriptor* descriptor) override
    {
        if (descriptor->GetKind() == CMessageDescriptor::Input) {
            FakeTransport::LimitChunk(descriptor);
        }
    }
};

void ExpectTransferFailed(CDeviceSession& session, FakeTransport& transport)
{
    EXPECT_FALSE(transport.IsActive());
    EXPECT_EQ(transport.Closes(), 1u);
    EXPECT_FALSE(session.InputPosted());
    EXPECT_FALSE(session.ResponseQueued());
    EXPECT_EQ(transport.GetCurrentInput(), nullptr);
    EXPECT_EQ(transport.GetCurrentResponse(), nullptr);
    const std::vector<std::uint32_t> codes = Drain(session);
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(codes.back(), CPhysicalInterface::kTransferFailed);
    std::uint32_t status = 1;
    session.InputProcessed(&status);
    EXPECT_EQ(status, 0x54303u);
}

TEST(engine_session, FailingStartReceiveIsATransferFailure)
{
    // Arming the posted buffer fails at once.
    {
        OpenSession s({0, 6});
        s.transport.failStartReceive = true;
        alignas(4) std::uint8_t buffer[8] = {};
        std::uint32_t status = 1;
        s.session->SetInputBuffer(buffer, sizeof buffer, &status);
        ExpectTransferFailed(*s.session, s.transport);
    }
    // Re-arming for the second chunk fails: the host's write stalls, the interface closes.
    {
        OpenSession s({0, 6});
        s.transport.chunkLimit = 4;
        alignas(4) std::uint8_t buffer[16] = {};
        std::uint32_t status = 1;
        s.session->SetInputBuffer(buffer, sizeof buffer, &status);
        ASSERT_EQ(status, 0u);
        s.transport.failStartReceive = true;
        EXPECT_FALSE(s.transport.HostWrite("0123456789", true, 50));
        ExpectTransferFailed(*s.session, s.transport);
    }
}

TEST(engine_session, CountBeyondTheArmedChunkIsATransferFailure)
{
    // More bytes than the armed input chunk.
    {
        OpenSession s({0, 6});
        alignas(4) std::uint8_t buffer[4] = {};
        std::uint32_t status = 1;
        s.session->SetInputBuffer(buffer, sizeof buffer, &status);
        ASSERT_EQ(status, 0u);
        s.transport.HostReportInput(5, true);
        ExpectTransferFailed(*s.session, s.transport);
    }
    // Bytes reported while nothing is armed.
    {
        OpenSession s({0, 6});
        s.transport.HostReportInput(1, false);
        ExpectTransferFailed(*s.session, s.transport);
    }
    // An empty report while nothing is armed is harmless.
    {
        OpenSession s({0, 6});
        s.transport.HostReportInput(0, false);
        EXPECT_TRUE(s.transport.IsActive());
        EXPECT_TRUE(Drain(*s.session).empty());
    }
    // More bytes than the response chunk sent.
    {
        WholeResponseTransport transport;
        std::uint32_t status = 1;
        CDeviceSession session(&transport, &status);
        session.SetEventHandler(6, NoHandler, nullptr, &status);
        session.Open(nullptr, &status);
        session.EnableRelaxedMode(&status);
        static const std::uint8_t response[] = {'x', 'y', 'z'};
        session.SendOutput(response, sizeof response, 1, &status);
        ASSERT_EQ(status, 0u);
        ASSERT_TRUE(transport.OutputActive());
        transport.OnOutputSent(4);
        ExpectTransferFailed(session, transport);
    }
}

// ---- allocation failures ----

TEST(engine_session, AllocationFailureAtEachConstructionStep)
{
    FakeTransport transport;
    const std::int64_t live = EngineLiveBlocks();
    std::uint32_t steps = 0;
    for (std::uint32_t n = 1;; ++n) {
        EngineFailAllocation(n);
        std::uint32_t status = 1;
        {
            CDeviceSession session(&transport, &status);
            EngineResetAllocatorHooks();
            if (status == 0) {
                EXPECT_TRUE(session.IsValid());
                EXPECT_EQ(transport.GetSession(), &session);
                break;
            }
            ++steps;
            EXPECT_EQ(status, ZODEVICE_STATUS_INSUFFICIENT_MEMORY) << n;
            EXPECT_EQ(session.GetConstructionStatus(), status);
            EXPECT_FALSE(session.IsValid());
            EXPECT_EQ(transport.GetSession(), nullptr) << n;
        }
        EXPECT_EQ(EngineLiveBlocks(), live) << n;
        ASSERT_LT(n, 100u);
    }
    EXPECT_GE(steps, 5u);  // queue, its records, two descriptors and their views
    EXPECT_EQ(transport.GetSession(), nullptr);
    EXPECT_EQ(EngineLiveBlocks(), live);

    // Through the table: the session object itself too; the slot stays free.
    CDeviceSessionTable table;
    const std::int64_t withTable = EngineLiveBlocks();
    std::uint32_t handle = CDeviceSessionTable::kNoHandle;
    for (std::uint32_t n = 1; handle == CDeviceSessionTable::kNoHandle; ++n) {
        EngineFailAllocation(n);
        std::uint32_t status = 1;
        handle = table.Open(&transport, &status);
        EngineResetAllocatorHooks();
        if (handle == CDeviceSessionTable::kNoHandle) {
            EXPECT_EQ(status, ZODEVICE_STATUS_INSUFFICIENT_MEMORY) << n;
            EXPECT_EQ(EngineLiveBlocks(), withTable) << n;
            EXPECT_EQ(transport.GetSession(), nullptr);
        }
        ASSERT_LT(n, 100u);
    }
    EXPECT_EQ(handle, CDeviceSessionTable::kHandleBase);
    std::uint32_t status = 1;
    table.Remove(handle, &status);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(EngineLiveBlocks(), withTable);
}

TEST(engine_session, AllocationFailureAtEachOpenStep)
{
    FakeTransport transport;
    transport.inputSize = 64;
    transport.outputSize = 32;
    const std::int64_t live = EngineLiveBlocks();
    std::uint32_t failures = 0;
    for (std::uint32_t n = 1;; ++n) {
        std::uint32_t status = 1;
        CDeviceSession session(&transport, &status);
        ASSERT_EQ(status, 0u);
        EngineFailAllocation(n);
        session.Open(nullptr, &status);
        EngineResetAllocatorHooks();
        EXPECT_FALSE(transport.Held()) << n;
        if (status == 0) {
            EXPECT_TRUE(transport.IsActive());
            // The session works with what it got.
            alignas(4) std::uint8_t buffer[16] = {};
            session.SetEventHandler(0, NoHandler, nullptr, &status);
            session.SetInputBuffer(buffer, sizeof buffer, &status);
            ASSERT_EQ(status, 0u);
            EXPECT_TRUE(transport.HostWrite("abc", true));
            EventRecord record{};
            ASSERT_TRUE(TakeEvent(session, &record));
            EXPECT_EQ(record.code, CDeviceSession::kCodeMessageEnd);
            EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), record.argument), "abc");
            break;
        }
        ++failures;
        // A failed Open leaves the interface closed.
        EXPECT_EQ(status, ZODEVICE_STATUS_INSUFFICIENT_MEMORY) << n;
        EXPECT_FALSE(transport.IsActive()) << n;
        EXPECT_EQ(transport.Closes(), failures);
        session.InputProcessed(&status);
        EXPECT_EQ(status, 0x54303u);
        ASSERT_LT(n, 100u);
    }
    // Two internal buffers, each an object, its storage and its block descriptor.
    EXPECT_EQ(failures, 6u);
    EXPECT_EQ(EngineLiveBlocks(), live);
}

// ---- repairs ----

TEST(engine_session_mends, FailedBindLeavesTheOtherSessionsBinding)
{
    FakeTransport transport;
    std::uint32_t status = 1;
    CDeviceSession first(&transport, &status);
    ASSERT_EQ(status, 0u);
    {
        CDeviceSession second(&transport, &status);
        EXPECT_EQ(status, ZODEVICE_STATUS_DEVICE_ALREADY_EXISTS);
        EXPECT_FALSE(second.IsValid());
        EXPECT_EQ(second.GetInterface(), nullptr);
        // Unbinding by another session changes nothing either.
        transport.Unbind(&second);
    }
    EXPECT_EQ(transport.GetSession(), &first);
    first.SetEventHandler(0, NoHandler, nullptr, &status);
    first.Open(nullptr, &status);
    ASSERT_EQ(status, 0u);
    alignas(4) std::uint8_t buffer[8] = {};
    first.SetInputBuffer(buffer, sizeof buffer, &status);
    ASSERT_EQ(status, 0u);
    EXPECT_TRUE(transport.HostWrite("hi", true));
    EventRecord record{};
    ASSERT_TRUE(TakeEvent(first, &record));
    EXPECT_EQ(record.code, CDeviceSession::kCodeMessageEnd);
    EXPECT_EQ(record.argument, 2u);
}

TEST(engine_session_mends, FailedOpenClosesAndReopenReusesBuffers)
{
    FakeTransport transport;
    transport.inputSize = 4096;
    transport.outputSize = 4096;
    const std::int64_t live = EngineLiveBlocks();
    std::uint32_t status = 1;
    {
        CDeviceSession session(&transport, &status);
        ASSERT_EQ(status, 0u);
        const std::int64_t constructed = EngineLiveBlocks();

        // The response buffer's storage cannot be had (input: 3 blocks, then the
        // response's buffer object, then its storage).
        EngineFailAllocation(5);
        session.Open(nullptr, &status);
        EngineResetAllocatorHooks();
        EXPECT_EQ(status, ZODEVICE_STATUS_INSUFFICIENT_MEMORY);
        EXPECT_FALSE(transport.IsActive());
        EXPECT_EQ(transport.Closes(), 1u);
        session.InputProcessed(&status);
        EXPECT_EQ(status, 0x54303u);

        session.Open(nullptr, &status);
        ASSERT_EQ(status, 0u);
        const std::int64_t opened = EngineLiveBlocks();
        EXPECT_EQ(opened, constructed + 6);
        for (int round = 0; round < 3; ++round) {
            session.Close(&status);
            EXPECT_EQ(status, 0u);
            session.Open(nullptr, &status);
            EXPECT_EQ(status, 0u);
            EXPECT_EQ(EngineLiveBlocks(), opened);
        }
        // Another size replaces the buffer.
        session.Close(&status);
        transport.inputSize = 0;
        session.Open(nullptr, &status);
        EXPECT_EQ(status, 0u);
        EXPECT_EQ(EngineLiveBlocks(), opened - 3);
    }
    EXPECT_EQ(EngineLiveBlocks(), live);
}

TEST(engine_session_mends, InputIsArmedAtTheSmallerOfUserAndInternalBuffer)
{
    OpenSession s({0});
    s.transport.inputSize = 8;
    std::uint32_t status = 1;
    s.session->Close(&status);
    s.session->Open(nullptr, &status);
    ASSERT_EQ(status, 0u);
    CDeviceSession& session = *s.session;

    // A 4-byte user buffer behind an 8-byte internal one, with guard bytes around it.
    alignas(4) std::uint8_t memory[12];
    std::memset(memory, 0xEE, sizeof memory);
    std::uint8_t* buffer = memory + 4;
    session.SetInputBuffer(buffer, 4, &status);
    ASSERT_EQ(status, 0u);
    std::vector<std::pair<std::uint32_t, std::string>> received;
    std::thread host([&] { EXPECT_TRUE(s.transport.HostWrite("0123456789", true)); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (received.empty() || received.back().first != CDeviceSession::kCodeMessageEnd) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        EventRecord record{};
        if (!TakeEvent(session, &record)) {
            std::this_thread::yield();
            continue;
        }
        EXPECT_EQ(record.descriptor, buffer);
        EXPECT_LE(record.argument, 4u);
        received.emplace_back(record.code,
                              std::string(reinterpret_cast<char*>(buffer),
                                          record.argument < 4 ? record.argument : 4));
        session.SetInputBuffer(buffer, 4, &status);
        ASSERT_EQ(status, 0u);
    }
    host.join();
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0], std::make_pair(1u, std::string("0123")));
    EXPECT_EQ(received[1], std::make_pair(1u, std::string("4567")));
    EXPECT_EQ(received[2], std::make_pair(0u, std::string("89")));
    for (int i : {0, 1, 2, 3, 8, 9, 10, 11}) {
        EXPECT_EQ(memory[i], 0xEE) << i;
    }

    // A user buffer larger than the internal one takes the internal size per chunk.
    alignas(4) std::uint8_t large[16] = {};
    session.SetInputBuffer(large, sizeof large, &status);  // the small one is still posted
    EXPECT_EQ(status, ZODEVICE_STATUS_INPUT_QUEUE_ALREADY_ENABLED);
    session.DisableInputQueue(&status);
    session.SetInputBuffer(large, sizeof large, &status);
    ASSERT_EQ(status, 0u);
    EXPECT_TRUE(s.transport.HostWrite("abcdefgh", false));
    EventRecord record{};
    ASSERT_TRUE(TakeEvent(session, &record));
    EXPECT_EQ(record.code, CDeviceSession::kCodeMessageBufferFull);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(large), record.argument), "abcdefgh");
}

TEST(engine_session_mends, EveryReportHoldsAtHalfFullAndTheHoldIsALevel)
{
    OpenSession s({4});
    CDeviceSession& session = *s.session;
    FakeTransport& transport = s.transport;
    const std::uint32_t half = CDeviceSession::kQueueCapacity / 2;
    // Device-clear reports, not message reports, fill the queue.
    for (std::uint32_t i = 1; i <= half; ++i) {
        transport.HostDeviceClear();
        EXPECT_EQ(session.GetQueue()->Count(), i);
        EXPECT_EQ(transport.Held(), i == half) << i;
    }
    // Operations ending at half full hold again and do not release.
    std::uint32_t status = 1;
    for (int i = 0; i < 3; ++i) {
        session.CheckInterface(&status);
        EXPECT_EQ(status, 0u);
        EXPECT_TRUE(transport.Held());
    }
    // While held the host's next operation waits.
    std::atomic<bool> delivered{false};
    std::thread host([&] {
        transport.HostDeviceClear();
        delivered = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(delivered);
    EXPECT_EQ(session.GetQueue()->Count(), half);

    // One operation below half releases, however many holds came before.
    EventRecord record{};
    ASSERT_TRUE(TakeEvent(session, &record));
    session.CheckInterface(&status);
    EXPECT_EQ(status, 0u);
    host.join();
    EXPECT_TRUE(delivered);
    EXPECT_EQ(session.GetQueue()->Count(), half);
    EXPECT_TRUE(transport.Held());  // the late clear filled it to half again
    Drain(session);
    session.CheckInterface(&status);
    EXPECT_FALSE(transport.Held());
    EXPECT_EQ(transport.Violations(), 0u);
}

TEST(engine_session_mends, ReportsAndTakesRacingNeverLeaveTheTransportHeld)
{
    OpenSession s({4});
    CDeviceSession& session = *s.session;
    FakeTransport& transport = s.transport;
    constexpr std::uint32_t kClears = 2000;
    std::atomic<bool> hostDone{false};
    std::thread host([&] {
        for (std::uint32_t i = 0; i < kClears; ++i) {
            transport.HostDeviceClear();
        }
        hostDone = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::uint32_t taken = 0;
    std::uint32_t status = 0;
    while (taken < kClears && std::chrono::steady_clock::now() < deadline) {
        EventRecord record{};
        if (!TakeEvent(session, &record)) {
            if (hostDone && session.GetQueue()->Count() == 0) {
                break;  // clears were lost
            }
            std::this_thread::yield();
            continue;
        }
        EXPECT_EQ(record.code, CDeviceSession::kCodeDeviceClear);
        ++taken;
        session.CheckInterface(&status);
        EXPECT_EQ(status, 0u);
    }
    EXPECT_EQ(taken, kClears);
    EXPECT_FALSE(transport.Held());
    transport.ReleaseTransport(&status);  // lets a stuck host end
    host.join();
    EXPECT_EQ(session.GetQueue()->Count(), 0u);
    EXPECT_EQ(transport.Violations(), 0u);
}

TEST(engine_session_mends, LostMessagePostKeepsTheBufferPosted)
{
    OpenSession s({0});
    CDeviceSession& session = *s.session;
    FakeTransport& transport = s.transport;
    alignas(4) std::uint8_t buffer[8] = {};
    std::uint32_t status = 1;
    session.SetInputBuffer(buffer, sizeof buffer, &status);
    ASSERT_EQ(status, 0u);
    FillQueue(session);
    EXPECT_TRUE(transport.HostWrite("lost", true));
    EXPECT_TRUE(session.InputPosted());
    EXPECT_EQ(session.GetQueue()->Count(), CDeviceSession::kQueueCapacity);
    EXPECT_TRUE(transport.Held());
    session.SetInputBuffer(buffer, sizeof buffer, &status);
    EXPECT_EQ(status, ZODEVICE_STATUS_INPUT_QUEUE_ALREADY_ENABLED);

    const std::vector<std::uint32_t> codes = Drain(session);
    EXPECT_EQ(codes, std::vector<std::uint32_t>(CDeviceSession::kQueueCapacity, 99u));
    session.CheckInterface(&status);  // below half: released
    EXPECT_FALSE(transport.Held());
    EXPECT_TRUE(transport.HostWrite("next", true));
    EventRecord record{};
    ASSERT_TRUE(TakeEvent(session, &record));
    EXPECT_EQ(record.code, CDeviceSession::kCodeMessageEnd);
    EXPECT_EQ(record.descriptor, buffer);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), record.argument), "next");
}

TEST(engine_session_mends, LostClearPostFinishesTheClear)
{
    // Queue full.
    {
        OpenSession s({4});
        FillQueue(*s.session);
        s.transport.HostDeviceClear();
        EXPECT_EQ(s.session->GetExchange().GetRecord().deviceClearActive, 0u);
        EXPECT_EQ(s.transport.ClearsFinished(), 1u);
    }
    // Posted: the clear stays active until the device finishes it.
    {
        OpenSession s({4});
        s.transport.HostDeviceClear();
        EXPECT_EQ(s.session->GetExchange().GetRecord().deviceClearActive, 1u);
        EXPECT_EQ(s.transport.ClearsFinished(), 0u);
    }
    // Nobody listens: the clear is finished at once and responses are not refused.
    {
        OpenSession s({});
        s.transport.HostDeviceClear();
        EXPECT_EQ(s.session->GetExchange().GetRecord().deviceClearActive, 0u);
        EXPECT_EQ(s.transport.ClearsFinished(), 1u);
        std::uint32_t status = 1;
        s.session->EnableRelaxedMode(&status);
        static const std::uint8_t response[] = {'1'};
        s.session->SendOutput(response, 1, 1, &status);
        EXPECT_EQ(status, 0u);
    }
}

TEST(engine_session_mends, LostTriggerPostFinishesTheTrigger)
{
    // Queue full.
    {
        OpenSession s({3});
        FillQueue(*s.session);
        s.transport.HostTrigger();
        const CMessageExchange::Record& r = s.session->GetExchange().GetRecord();
        EXPECT_EQ(r.triggerActive, 0u);
        // The next trigger starts (it is not counted behind the lost one).
        Drain(*s.session);
        std::uint32_t status = 1;
        s.session->CheckInterface(&status);  // releases the hold of the full queue
        s.transport.HostTrigger();
        EXPECT_EQ(r.triggerActive, 1u);
        EXPECT_EQ(r.pendingTriggers, 0u);
        EventRecord record{};
        ASSERT_TRUE(TakeEvent(*s.session, &record));
        EXPECT_EQ(record.code, CDeviceSession::kCodeTrigger);
    }
    // Slot 3 empty.
    {
        OpenSession s({});
        s.transport.HostTrigger();
        s.transport.HostTrigger();
        const CMessageExchange::Record& r = s.session->GetExchange().GetRecord();
        EXPECT_EQ(r.triggerActive, 0u);
        EXPECT_EQ(r.pendingTriggers, 0u);
    }
}

TEST(engine_session_mends, UnterminatedWaitsForAnInputBuffer)
{
    OpenSession s({0});
    CDeviceSession& session = *s.session;
    FakeTransport& transport = s.transport;
    std::uint32_t reason = 0;
    EXPECT_EQ(transport.HostRead(16, &reason, 20), "");
    EXPECT_EQ(session.GetExchange().GetRecord().unterminated, 1u);
    EXPECT_EQ(session.GetQueue()->Count(), 0u);  // nothing to post it with

    alignas(4) std::uint8_t buffer[8] = {};
    std::uint32_t status = 1;
    session.SetInputBuffer(buffer, sizeof buffer, &status);
    ASSERT_EQ(status, 0u);
    EventRecord record{};
    ASSERT_TRUE(TakeEvent(session, &record));
    EXPECT_EQ(record.code, CDeviceSession::kCodeUnterminated);
    EXPECT_EQ(record.descriptor, buffer);
    EXPECT_FALSE(session.InputPosted());
    EXPECT_EQ(session.GetExchange().GetRecord().unterminatedReported, 1u);

    // The device answers it and the exchange goes on: a message, then again a read
    // with nothing to send, reported once a buffer is posted.
    session.ReportUnterminated(&status);
    EXPECT_EQ(status, 0u);
    session.SetInputBuffer(buffer, sizeof buffer, &status);
    ASSERT_EQ(status, 0u);
    EXPECT_TRUE(transport.HostWrite("x", true));
    ASSERT_TRUE(TakeEvent(session, &record));
    EXPECT_EQ(record.code, CDeviceSession::kCodeMessageEnd);
    session.InputProcessed(&status);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(transport.HostRead(16, &reason, 20), "");
    EXPECT_TRUE(Drain(session).empty());
    session.SetInputBuffer(buffer, sizeof buffer, &status);
    ASSERT_EQ(status, 0u);
    ASSERT_TRUE(TakeEvent(session, &record));
    EXPECT_EQ(record.code, CDeviceSession::kCodeUnterminated);
    EXPECT_EQ(record.descriptor, buffer);
    EXPECT_FALSE(transport.Held());
}

// ---- threads ----

TEST(engine_session_threads, HostRoundTripsWhileAnotherThreadRunsOperations)
{
    constexpr std::uint32_t kRounds = 10000;
    OpenSession s({0, 1});
    CDeviceSession& session = *s.session;
    FakeTransport& transport = s.transport;
    alignas(4) static std::uint8_t input[64];
    alignas(4) static std::uint8_t reply[72];
    std::uint32_t status = 1;
    session.SetInputBuffer(input, sizeof input, &status);
    ASSERT_EQ(status, 0u);

    // The device: answers each query with "R" and the query. A host that ran fewer rounds
    // ends its wait once every reply was sent.
    std::atomic<std::uint32_t> deviceFailures{0};
    std::atomic<std::uint32_t> sent{0};
    std::atomic<bool> hostDone{false};
    std::thread device([&] {
        while (sent < kRounds) {
            std::uint32_t st = 0;
            session.GetQueue()->Wait(true, &st);
            EventRecord record{};
            if (st == 0) {
                session.GetQueue()->Take(&record, &st);
            }
            if (st != 0) {
                if (!hostDone) ++deviceFailures;
                return;
            }
            if (record.code == CDeviceSession::kCodeResponseSent) {
                ++sent;
                continue;
            }
            if (record.code != CDeviceSession::kCodeMessageEnd || record.descriptor != input) {
                ++deviceFailures;
                continue;
            }
            reply[0] = 'R';
            std::memcpy(reply + 1, input, record.argument);
            // As the host interface does: the input buffer is posted again once the
            // message is processed.
            session.QueryDetected(&st);
            session.SendOutput(reply, record.argument + 1, 1, &st);
            session.InputProcessed(&st);
            session.SetInputBuffer(input, sizeof input, &st);
            if (st != 0) {
                ++deviceFailures;
            }
        }
    });
    // Another application thread.
    std::atomic<bool> stop{false};
    std::atomic<std::uint32_t> operations{0};
    std::atomic<std::uint32_t> operationFailures{0};
    std::thread other([&] {
        while (!stop) {
            std::uint32_t st = 0;
            session.CheckInterface(&st);
            session.SetEventHandler(9, NoHandler, nullptr, &st);
            session.ClearEventHandler(9, &st);
            if (st != 0) {
                ++operationFailures;
            }
            ++operations;
        }
    });

    // Up to kRounds round trips, for at most 20 s: a loaded machine runs fewer.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::uint32_t wrong = 0;
    std::uint32_t rounds = 0;
    for (; rounds < kRounds && deviceFailures == 0 && std::chrono::steady_clock::now() < end; ++rounds) {
        const std::string query = "Q" + std::to_string(rounds) + "?";
        if (!transport.HostWrite(query, true)) {
            ++wrong;
            break;
        }
        std::uint32_t reason = 0;
        if (transport.HostRead(sizeof reply, &reason) != "R" + query ||
            reason != FakeTransport::kReasonEnd) {
            ++wrong;
            break;
        }
    }
    if (wrong != 0 || deviceFailures != 0) {
        session.GetQueue()->Abort(&status);  // the device waits for a response that stays out
    } else if (rounds < kRounds) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (sent < rounds && std::chrono::steady_clock::now() < limit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_EQ(sent.load(), rounds);
        hostDone = true;
        session.GetQueue()->Abort(&status);  // the device waits for a query that stays out
    }
    device.join();
    stop = true;
    other.join();
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(deviceFailures, 0u);
    EXPECT_EQ(operationFailures, 0u);
    EXPECT_GT(operations, 0u);
    EXPECT_EQ(session.GetQueue()->Count(), 0u);
    // The last reply sent: Done, or Response with the reply already marked sent when the
    // host took it before the device reported the input processed (the query state goes to
    // Response then; the next report moves it on).
    const CMessageExchange::Record& last = session.GetExchange().GetRecord();
    EXPECT_TRUE(last.state == CMessageExchange::Done ||
                (last.state == CMessageExchange::Response && last.responseSent != 0))
        << last.state;
    EXPECT_FALSE(transport.Held());
    EXPECT_EQ(transport.Violations(), 0u);
}

} // namespace
