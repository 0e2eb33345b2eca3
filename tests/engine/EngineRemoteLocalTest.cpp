// Remote/local machine: every (state, event) pair from a table, with the notify switch on
// and off, the edge cases and allocation failures.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/os/Allocator.h"
#include "engine/remotelocal/RemoteLocalStateMachine.h"
#include "engine/status/EngineStatus.h"

using namespace Korvex;
using M = CRemoteLocalStateMachine;

namespace {

class RecordingObserver : public CRemoteLocalStateMachineObserver {
public:
    void OnRemoteLocalStateChanged(std::uint32_t stateCode) override
    {
        codes.push_back(static_cast<int>(stateCode));
    }
    std::vector<int> codes;
};

enum class Event { RenAsserted, RenReleased, Remote, ReturnToLocal, LocalLockout, GoToLocal };

void Apply(M& machine, Event event)
{
    switch (event) {
    case Event::RenAsserted: machine.OnRenAsserted(1); break;
    case Event::RenReleased: machine.OnRenReleased(); break;
    case Event::Remote: machine.OnRemote(1); break;
    case Event::ReturnToLocal: machine.OnReturnToLocal(); break;
    case Event::LocalLockout: machine.OnLocalLockout(1); break;
    case Event::GoToLocal: machine.OnGoToLocal(); break;
    }
}

struct Row {
    std::uint32_t from;
    Event event;
    std::uint32_t to;
    int notified;   // the code the observer hears, -1 for none
};

constexpr std::uint32_t L = M::kLocal, LR = M::kLocalWithRen, LL = M::kLocalWithLockout,
                        R = M::kRemote, RL = M::kRemoteWithLockout;
using E = Event;

const Row kRows[] = {
    {L, E::RenAsserted, LR, -1},   {L, E::RenReleased, L, -1},   {L, E::Remote, L, -1},
    {L, E::ReturnToLocal, L, -1},  {L, E::LocalLockout, L, -1},  {L, E::GoToLocal, L, -1},

    {LR, E::RenAsserted, LR, -1},  {LR, E::RenReleased, L, -1},  {LR, E::Remote, R, 1},
    {LR, E::ReturnToLocal, LR, -1}, {LR, E::LocalLockout, LL, 2}, {LR, E::GoToLocal, LR, -1},

    {LL, E::RenAsserted, LL, -1},  {LL, E::RenReleased, L, 0},   {LL, E::Remote, RL, 3},
    {LL, E::ReturnToLocal, LL, -1}, {LL, E::LocalLockout, LL, -1}, {LL, E::GoToLocal, LL, -1},

    {R, E::RenAsserted, R, -1},    {R, E::RenReleased, L, 0},    {R, E::Remote, R, -1},
    {R, E::ReturnToLocal, LR, 0},  {R, E::LocalLockout, RL, 3},  {R, E::GoToLocal, LR, 0},

    {RL, E::RenAsserted, RL, -1},  {RL, E::RenReleased, L, 0},   {RL, E::Remote, RL, -1},
    {RL, E::ReturnToLocal, RL, -1}, {RL, E::LocalLockout, RL, -1}, {RL, E::GoToLocal, LL, 2},
};

TEST(engine_remotelocal, EveryStateAndEvent)
{
    for (bool notify : {true, false}) {
        for (const Row& row : kRows) {
            SCOPED_TRACE(std::to_string(row.from) + " event " +
                         std::to_string(static_cast<int>(row.event)) +
                         (notify ? " notify" : " quiet"));
            RecordingObserver observer;
            std::uint32_t status = 0;
            M machine(&observer, &status);
            ASSERT_EQ(status, 0u);
            if (notify) {
                machine.EnableNotify();
            }
            machine.SetState(row.from);
            Apply(machine, row.event);
            EXPECT_EQ(machine.GetStateIndex(), row.to);
            const std::vector<int> expected =
                notify && row.notified >= 0 ? std::vector<int>{row.notified} : std::vector<int>{};
            EXPECT_EQ(observer.codes, expected);
        }
    }
}

TEST(engine_remotelocal, StartsLocalQuietWithItsStateCodes)
{
    RecordingObserver observer;
    std::uint32_t status = 0;
    M machine(&observer, &status);
    EXPECT_EQ(machine.GetStateIndex(), M::kLocal);
    machine.SetState(M::kRemote);
    machine.OnGoToLocal();   // the switch is off after construction
    EXPECT_TRUE(observer.codes.empty());

    const std::uint32_t codes[] = {0, 0, 2, 1, 3};
    for (std::uint32_t index = 0; index < M::kStateCount; ++index) {
        machine.SetState(index);
        EXPECT_EQ(machine.GetStateCode(), codes[index]) << index;
    }
    machine.SetState(M::kStateCount);   // no such state: unchanged
    EXPECT_EQ(machine.GetStateIndex(), M::kRemoteWithLockout);

    machine.EnableNotify();
    machine.NotifyObserver();
    machine.DisableNotify();
    machine.NotifyObserver();
    EXPECT_EQ(observer.codes, std::vector<int>{3});
}

TEST(engine_remotelocal, EdgeCases)
{
    RecordingObserver observer;
    std::uint32_t status = 0;
    M machine(&observer, &status);
    machine.EnableNotify();

    // REN asserted then released from Local: nothing heard.
    machine.OnRenAsserted(1);
    machine.OnRenReleased();
    EXPECT_EQ(machine.GetStateIndex(), M::kLocal);
    EXPECT_TRUE(observer.codes.empty());

    // LocalWithRen, addressed to remote, then go to local: 1 then 0.
    machine.OnRenAsserted(1);
    machine.OnRemote(1);
    machine.OnGoToLocal();
    EXPECT_EQ(observer.codes, (std::vector<int>{1, 0}));
    EXPECT_EQ(machine.GetStateIndex(), M::kLocalWithRen);

    // RemoteWithLockout ignores return to local; go to local reports 2.
    observer.codes.clear();
    machine.OnLocalLockout(1);
    machine.OnRemote(1);
    EXPECT_EQ(observer.codes, (std::vector<int>{2, 3}));
    machine.OnReturnToLocal();
    EXPECT_EQ(machine.GetStateIndex(), M::kRemoteWithLockout);
    machine.OnGoToLocal();
    EXPECT_EQ(observer.codes, (std::vector<int>{2, 3, 2}));
    EXPECT_EQ(machine.GetStateIndex(), M::kLocalWithLockout);
}

TEST(engine_remotelocal, AllocationFailureOfEachState)
{
    const std::int64_t live = EngineLiveBlocks();
    for (std::uint32_t n = 1; n <= M::kStateCount; ++n) {
        SCOPED_TRACE(n);
        RecordingObserver observer;
        std::uint32_t status = 0;
        EngineFailAllocation(n + 1);   // the machine itself is the first
        auto* machine = EngineNew<M>(&observer, &status);
        EngineResetAllocatorHooks();
        ASSERT_NE(machine, nullptr);
        EXPECT_EQ(status, ZODEVICE_STATUS_INSUFFICIENT_MEMORY);
        // The creator destroys it; until then every call is harmless.
        EXPECT_EQ(machine->GetStateIndex(), M::kStateCount);
        machine->EnableNotify();
        machine->SetState(n - 1);   // the state that failed does not exist
        machine->OnRenAsserted(1);
        machine->OnRemote(1);
        machine->NotifyObserver();
        EXPECT_TRUE(observer.codes.empty());
        EngineDelete(machine);
        EXPECT_EQ(EngineLiveBlocks(), live);
    }
    RecordingObserver observer;
    const std::uint64_t before = EngineAllocationCount();
    std::uint32_t status = ZODEVICE_STATUS_DEVICE_ERROR;
    M machine(&observer, &status);
    EXPECT_EQ(status, ZODEVICE_STATUS_DEVICE_ERROR);
    EXPECT_EQ(EngineAllocationCount(), before);
    EXPECT_EQ(machine.GetStateIndex(), M::kStateCount);
}

} // namespace
