// Service-request machine and status-byte holder: every (state, event) pair from a table,
// the serial-poll exchanges, failed statuses, allocation failures and the unanswered poll.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "engine/os/Allocator.h"
#include "engine/srq/ServiceRequestObservers.h"
#include "engine/srq/ServiceRequestStateMachine.h"
#include "engine/srq/StatusByteHolder.h"
#include "engine/status/EngineStatus.h"

using namespace Korvex;
using M = CServiceRequestStateMachine;

namespace {

// The physical interface's side: records what the machine and the holder ask, as
// "assert", "release", "request" and "stb XX", blank-separated.
class RecordingInterface : public CServiceRequestStateMachineEventObserver,
                           public CStatusByteStateMachineEventObserver {
public:
    void OnSrqAsserted(std::uint32_t* status) override { Record("assert", failAssert, status); }
    void OnSrqReleased(std::uint32_t* status) override { Record("release", failRelease, status); }
    void OnStatusByte(std::uint8_t stb, std::uint32_t* status) override
    {
        char text[8];
        std::snprintf(text, sizeof text, "stb %02X", stb);
        Record(text, failStatusByte, status);
        if (onStatusByte) {
            auto call = onStatusByte;
            onStatusByte = nullptr;
            call();
        }
    }
    void OnStatusByteRequest(std::uint32_t* status) override
    {
        Record("request", failRequest, status);
    }

    std::string log;
    std::uint32_t failAssert = 0;
    std::uint32_t failRelease = 0;
    std::uint32_t failStatusByte = 0;
    std::uint32_t failRequest = 0;
    // Run once from inside the next OnStatusByte.
    std::function<void()> onStatusByte;

private:
    void Record(const std::string& what, std::uint32_t failure, std::uint32_t* status)
    {
        log += log.empty() ? what : " " + what;
        *status = failure;
    }
};

class SrqFixture {
public:
    SrqFixture() : holder(&transport), machine(&transport, &holder, &constructed) {}

    // Drives the machine from Idle to the given state; the log starts empty.
    void Reach(M::StateIndex state)
    {
        std::uint32_t status = 0;
        if (state == M::kActive) {
            machine.OnRequestSet(&status);
        } else if (state == M::kSerialPollActive) {
            machine.OnSerialPollBegins(&status);
        } else if (state == M::kWait) {
            machine.OnSerialPollBegins(&status);
            machine.OnRequestSet(&status);
        }
        ASSERT_EQ(status, 0u);
        ASSERT_EQ(machine.GetState(), state);
        transport.log.clear();
    }

    RecordingInterface transport;
    CStatusByteHolder holder;
    std::uint32_t constructed = 0;
    CServiceRequestStateMachine machine;
};

enum class Event { Cleared, Set, Withdrawn, PollBegins, PollEnds };

void Apply(M& machine, Event event, std::uint32_t* status)
{
    switch (event) {
    case Event::Cleared: machine.OnRequestCleared(status); break;
    case Event::Set: machine.OnRequestSet(status); break;
    case Event::Withdrawn: machine.OnRequestWithdrawn(status); break;
    case Event::PollBegins: machine.OnSerialPollBegins(status); break;
    case Event::PollEnds: machine.OnSerialPollEnds(status); break;
    }
}

const char* Name(Event event)
{
    static const char* const names[] = {"cleared", "set", "withdrawn", "begins", "ends"};
    return names[static_cast<int>(event)];
}

struct Row {
    M::StateIndex from;
    Event event;
    M::StateIndex to;
    const char* log;          // with the device answering status-byte requests
    std::uint32_t srqAsserted;
    bool pollWaiting;         // the holder keeps a requester afterwards
};

// Every state with every event; rows that leave the state and log nothing are the
// ignored events.
const Row kRows[] = {
    {M::kIdle, Event::Cleared, M::kIdle, "", 0, false},
    {M::kIdle, Event::Set, M::kActive, "assert", 1, false},
    {M::kIdle, Event::Withdrawn, M::kIdle, "", 0, false},
    {M::kIdle, Event::PollBegins, M::kSerialPollActive, "request", 0, true},
    {M::kIdle, Event::PollEnds, M::kIdle, "", 0, false},

    {M::kActive, Event::Cleared, M::kIdle, "release", 0, false},
    {M::kActive, Event::Set, M::kActive, "", 1, false},
    {M::kActive, Event::Withdrawn, M::kIdle, "release", 0, false},
    {M::kActive, Event::PollBegins, M::kSerialPollActive, "release request", 1, true},
    {M::kActive, Event::PollEnds, M::kActive, "", 1, false},

    {M::kSerialPollActive, Event::Cleared, M::kIdle, "", 0, false},
    {M::kSerialPollActive, Event::Set, M::kWait, "", 0, true},
    {M::kSerialPollActive, Event::Withdrawn, M::kSerialPollActive, "", 0, true},
    {M::kSerialPollActive, Event::PollBegins, M::kSerialPollActive, "", 0, true},
    {M::kSerialPollActive, Event::PollEnds, M::kIdle, "", 0, false},

    {M::kWait, Event::Cleared, M::kIdle, "", 0, false},
    {M::kWait, Event::Set, M::kWait, "", 0, true},
    {M::kWait, Event::Withdrawn, M::kSerialPollActive, "", 0, true},
    {M::kWait, Event::PollBegins, M::kWait, "", 0, true},
    {M::kWait, Event::PollEnds, M::kActive, "assert", 1, false},
};

TEST(engine_srq, EveryStateAndEvent)
{
    for (const Row& row : kRows) {
        SCOPED_TRACE(std::to_string(row.from) + " " + Name(row.event));
        SrqFixture f;
        ASSERT_EQ(f.constructed, 0u);
        f.holder.EnableStatusByteRequests();
        f.Reach(row.from);
        std::uint32_t status = 0;
        Apply(f.machine, row.event, &status);
        EXPECT_EQ(status, 0u);
        EXPECT_EQ(f.machine.GetState(), row.to);
        EXPECT_EQ(f.transport.log, row.log);
        EXPECT_EQ(f.machine.GetSrqAsserted(), row.srqAsserted);
        EXPECT_EQ(f.holder.GetRequester() != nullptr, row.pollWaiting);
    }
}

TEST(engine_srq, FailedStatusChangesNothing)
{
    for (const Row& row : kRows) {
        SCOPED_TRACE(std::to_string(row.from) + " " + Name(row.event));
        SrqFixture f;
        f.holder.EnableStatusByteRequests();
        f.Reach(row.from);
        const std::uint32_t srq = f.machine.GetSrqAsserted();
        const bool waiting = f.holder.GetRequester() != nullptr;
        std::uint32_t status = ZODEVICE_STATUS_DEVICE_ERROR;
        Apply(f.machine, row.event, &status);
        EXPECT_EQ(status, ZODEVICE_STATUS_DEVICE_ERROR);
        EXPECT_EQ(f.machine.GetState(), row.from);
        EXPECT_EQ(f.transport.log, "");
        EXPECT_EQ(f.machine.GetSrqAsserted(), srq);
        EXPECT_EQ(f.holder.GetRequester() != nullptr, waiting);
    }
    SrqFixture f;
    std::uint32_t status = ZODEVICE_STATUS_DEVICE_ERROR;
    f.machine.StatusByteChanged(0x12, &status);
    f.holder.PollStart(&f.machine, &status);
    EXPECT_EQ(f.holder.GetRequester(), nullptr);
    EXPECT_EQ(f.transport.log, "");
    EXPECT_EQ(status, ZODEVICE_STATUS_DEVICE_ERROR);
}

TEST(engine_srq, FirstFailingActionEndsTheChain)
{
    // The state changes come first and stay; the actions after the failure do not run.
    SrqFixture f;
    f.holder.EnableStatusByteRequests();
    f.Reach(M::kActive);
    f.transport.failRelease = 7;
    std::uint32_t status = 0;
    f.machine.OnSerialPollBegins(&status);
    EXPECT_EQ(status, 7u);
    EXPECT_EQ(f.transport.log, "release");
    EXPECT_EQ(f.machine.GetState(), M::kSerialPollActive);
    EXPECT_EQ(f.holder.GetRequester(), nullptr);

    SrqFixture g;
    g.transport.failAssert = ZODEVICE_STATUS_HARDWARE_ERROR;
    status = 0;
    g.machine.OnRequestSet(&status);
    EXPECT_EQ(status, ZODEVICE_STATUS_HARDWARE_ERROR);
    EXPECT_EQ(g.machine.GetState(), M::kActive);
    EXPECT_EQ(g.machine.GetSrqAsserted(), 1u);
}

TEST(engine_srq, PollAfterARequestCarriesRqsOnce)
{
    // SRQ is asserted, released at the poll's start; the polled byte has RQS; Idle after.
    SrqFixture f;
    f.holder.EnableStatusByteRequests();
    std::uint32_t status = 0;
    f.machine.OnRequestSet(&status);
    f.machine.OnSerialPollBegins(&status);
    f.holder.SetStatusByte(0x10, &status);
    f.machine.OnSerialPollEnds(&status);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(f.transport.log, "assert release request stb 50");
    EXPECT_EQ(f.machine.GetState(), M::kIdle);

    // The next poll reports the byte without RQS.
    f.transport.log.clear();
    f.machine.OnSerialPollBegins(&status);
    f.holder.SetStatusByte(0x10, &status);
    f.machine.OnSerialPollEnds(&status);
    EXPECT_EQ(f.transport.log, "request stb 10");
}

TEST(engine_srq, RequestDuringAPollIsAssertedAtItsEnd)
{
    SrqFixture f;
    std::uint32_t status = 0;
    f.holder.SetStatusByte(0x04, &status);
    f.machine.OnSerialPollBegins(&status);
    f.machine.OnRequestSet(&status);
    EXPECT_EQ(f.transport.log, "stb 04");
    EXPECT_EQ(f.machine.GetState(), M::kWait);
    f.machine.OnSerialPollEnds(&status);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(f.transport.log, "stb 04 assert");
    EXPECT_EQ(f.machine.GetState(), M::kActive);
}

TEST(engine_srq, StoredByteWithoutAStatusByteHandler)
{
    SrqFixture f;
    std::uint32_t status = 1;
    f.holder.SetStatusByte(0xFF, &status);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(f.holder.GetStatusByte(), 0xBF);
    EXPECT_EQ(f.transport.log, "");   // no poll waits: nobody is called
    f.machine.OnSerialPollBegins(&status);
    EXPECT_EQ(f.transport.log, "stb BF");
    EXPECT_EQ(f.holder.GetRequester(), nullptr);
    f.holder.SetStatusByte(0x01, &status);
    EXPECT_EQ(f.transport.log, "stb BF");
}

TEST(engine_srq, HolderAnswersOnlyAWaitingPoll)
{
    SrqFixture f;
    f.holder.EnableStatusByteRequests();
    std::uint32_t status = 0;
    f.holder.SetStatusByte(0x22, &status);
    EXPECT_EQ(f.transport.log, "");
    f.machine.OnSerialPollBegins(&status);
    f.holder.SetStatusByte(0x62, &status);   // RQS from the device is dropped
    f.holder.SetStatusByte(0x23, &status);   // answered already
    EXPECT_EQ(f.transport.log, "request stb 22");
    EXPECT_EQ(f.holder.GetStatusByte(), 0x23);

    // The transport's failure to report the byte is the status of SetStatusByte.
    f.machine.OnSerialPollEnds(&status);
    f.machine.OnSerialPollBegins(&status);
    f.transport.failStatusByte = ZODEVICE_STATUS_SOCKET_ERROR;
    f.holder.SetStatusByte(0x01, &status);
    EXPECT_EQ(status, ZODEVICE_STATUS_SOCKET_ERROR);
    EXPECT_EQ(f.holder.GetRequester(), nullptr);
}

TEST(engine_srq, RemovingTheHandlerAnswersAWaitingPoll)
{
    SrqFixture f;
    f.holder.EnableStatusByteRequests();
    std::uint32_t status = 0;
    f.holder.SetStatusByte(0x08, &status);
    f.machine.OnRequestSet(&status);
    f.machine.OnSerialPollBegins(&status);
    f.holder.DisableStatusByteRequests(&status);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(f.transport.log, "assert release request stb 48");
    EXPECT_FALSE(f.holder.AnswersRequests());
    EXPECT_EQ(f.holder.GetRequester(), nullptr);
    f.holder.DisableStatusByteRequests(&status);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(f.transport.log, "assert release request stb 48");
}

TEST(engine_srq, UnpostedStatusByteRequestAnswersAtOnce)
{
    // The session's queue is full: the poll gets the stored byte now and can end.
    for (bool fromActive : {false, true}) {
        SCOPED_TRACE(fromActive ? "Active" : "Idle");
        SrqFixture f;
        f.holder.EnableStatusByteRequests();
        std::uint32_t status = 0;
        f.holder.SetStatusByte(0x11, &status);
        if (fromActive) {
            f.Reach(M::kActive);
        }
        f.transport.failRequest = ENGINE_STATUS_EVENT_QUEUE_FULL;
        f.machine.OnSerialPollBegins(&status);
        EXPECT_EQ(status, 0u);
        EXPECT_EQ(f.transport.log, fromActive ? "release request stb 51" : "request stb 11");
        EXPECT_EQ(f.holder.GetRequester(), nullptr);
        EXPECT_EQ(f.machine.GetState(), M::kSerialPollActive);
        f.holder.SetStatusByte(0x11, &status);   // a late reply answers nothing
        f.machine.OnSerialPollEnds(&status);
        EXPECT_EQ(f.machine.GetState(), M::kIdle);
        EXPECT_EQ(f.transport.log, fromActive ? "release request stb 51" : "request stb 11");
    }
}

TEST(engine_srq, PollBegunInsideTheAnswerKeepsItsWait)
{
    // The transport ends the poll and starts the next one from inside the answer.
    SrqFixture f;
    f.holder.EnableStatusByteRequests();
    std::uint32_t status = 0;
    f.machine.OnSerialPollBegins(&status);
    f.transport.onStatusByte = [&f] {
        std::uint32_t inner = 0;
        f.machine.OnSerialPollEnds(&inner);
        f.machine.OnSerialPollBegins(&inner);
        EXPECT_EQ(inner, 0u);
    };
    f.holder.SetStatusByte(0x01, &status);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(f.machine.GetState(), M::kSerialPollActive);
    ASSERT_EQ(f.holder.GetRequester(), &f.machine);
    f.holder.SetStatusByte(0x02, &status);
    EXPECT_EQ(f.transport.log, "request stb 01 request stb 02");

    // The same from the answer to a removed handler and to an unposted request.
    f.transport.log.clear();
    f.machine.OnSerialPollEnds(&status);
    f.machine.OnSerialPollBegins(&status);
    f.transport.onStatusByte = [&f] {
        std::uint32_t inner = 0;
        f.machine.OnSerialPollEnds(&inner);
        f.holder.EnableStatusByteRequests();
        f.machine.OnSerialPollBegins(&inner);
    };
    f.holder.DisableStatusByteRequests(&status);
    EXPECT_EQ(f.holder.GetRequester(), &f.machine);
    EXPECT_EQ(f.transport.log, "request stb 02 request");
}

TEST(engine_srq, AllocationFailureOfEachState)
{
    const std::int64_t live = EngineLiveBlocks();
    for (std::uint32_t n = 1; n <= 4; ++n) {
        SCOPED_TRACE(n);
        RecordingInterface transport;
        CStatusByteHolder holder(&transport);
        EngineFailAllocation(n + 1);   // the machine itself is the first
        std::uint32_t status = 0;
        auto* machine = EngineNew<CServiceRequestStateMachine>(&transport, &holder, &status);
        EngineResetAllocatorHooks();
        ASSERT_NE(machine, nullptr);
        EXPECT_EQ(status, ZODEVICE_STATUS_INSUFFICIENT_MEMORY);
        EXPECT_EQ(machine->GetState(), M::kNoState);
        status = 0;
        machine->OnRequestSet(&status);
        EXPECT_EQ(status, ZODEVICE_STATUS_DRIVER_FAULT);
        EXPECT_EQ(transport.log, "");
        EngineDelete(machine);
        EXPECT_EQ(EngineLiveBlocks(), live);
    }
    // A failed status creates nothing.
    RecordingInterface transport;
    CStatusByteHolder holder(&transport);
    const std::uint64_t before = EngineAllocationCount();
    std::uint32_t status = ZODEVICE_STATUS_DEVICE_ERROR;
    CServiceRequestStateMachine machine(&transport, &holder, &status);
    EXPECT_EQ(status, ZODEVICE_STATUS_DEVICE_ERROR);
    EXPECT_EQ(EngineAllocationCount(), before);
    EXPECT_EQ(machine.GetState(), M::kNoState);
}

} // namespace
