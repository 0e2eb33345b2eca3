// Faults of the controller's hand-overs between threads and of its DSP link use, each
// checked where the naive order of steps loses a wake-up, a completion or the link.
#include <future>

#include "AcqFlowsTestSupport.h"
#include "Host/acquisition/AcqBufferPool.h"
#include "Host/acquisition/AcqExceptions.h"
#include "Host/acquisition/AcqResultGetters.h"
#include "Host/acquisition/AcquisitionSeam.h"
#include "Host/acquisition/IntermediateResults.h"
#include "Host/parameters/Error.h"
#include "DspLinkTestSupport.h"

namespace KorvexTest {
namespace {

namespace dsp = Korvex::CKorvexDSP;
using namespace std::chrono_literals;

constexpr std::uint32_t RowFirmwareError = 127;

using AcqMends = AcqFlowsFixture;

// An abort taken while the DSP no longer answers: stopping it fails twice (fatal), and the
// sender of the abort is still released.
TEST_F(AcqMends, AbortCompletesWhenStoppingTheDspFails)
{
    AddProbe();
    SetText(Korvex::g_pTriggerInSource, "BUS");
    StartController();
    ASSERT_EQ(Initiate(Channels({1})), 0);
    ASSERT_TRUE(Eventually([&] { return acq->GetTriggerWaitPhase() == 1; }, EventDeadline));
    platform::hpi::attach(nullptr);  // writes dropped, no replies
    auto abort = std::async(std::launch::async, [&] { return acq->AbortTrigger(0); });
    const bool released = abort.wait_for(EventDeadline) == std::future_status::ready;
    platform::hpi::attach(port.get());
    ASSERT_TRUE(released);
    EXPECT_EQ(abort.get(), 0);
    EXPECT_TRUE(Eventually([&] { return sim->boots() >= 2 && acq->GetSystemPhase() == 2; }, EventDeadline));
}

// ABOR returns once the flow is idle: an INIT right behind it is not refused as initiated.
// The flow went idle only after releasing the abort's sender, which then won most races.
TEST_F(AcqMends, AbortReturnsWithTheTriggerNoLongerActive)
{
    AddProbe();
    SetText(Korvex::g_pTriggerInSource, "BUS");
    StartController();
    for (int round = 0; round < 30 && !HasFailure(); ++round) {
        ASSERT_EQ(Initiate(Channels({1})), 0);
        ASSERT_TRUE(Eventually([&] { return acq->GetTriggerWaitPhase() == 1; }, EventDeadline));
        ASSERT_EQ(acq->AbortTrigger(0), 0);
        EXPECT_FALSE(acq->IsTriggerActive()) << "round " << round;
    }
}

// The flag is set before the message goes: while the message waits to be taken, a second
// initiation is refused and a reader waits for the measurement.
TEST_F(AcqMends, TriggerActiveIsSetBeforeTheInitiationGoes)
{
    AddProbe();
    StartController();
    // The acquisition thread stops taking messages: the DSP stalls and never boots again.
    sim->refuse_boot(true);
    sim->freeze_heartbeat(true);
    ASSERT_TRUE(Eventually([&] { return acq->GetSystemPhase() == 0; }, EventDeadline));
    auto initiate = std::async(std::launch::async, [&] { return Initiate(Channels({1})); });
    ASSERT_TRUE(Eventually([&] { return acq->IsTriggerActive(); }, EventDeadline));
    EXPECT_EQ(initiate.wait_for(EventDeadline), std::future_status::ready);
    EXPECT_EQ(initiate.get(), 0);
    // Dropped by the reload and reported to the initiator (the sender is released and the
    // flag cleared before the report is posted: the wait is for the report).
    std::vector<std::uint32_t> errors;
    EXPECT_TRUE(Eventually([&] {
        for (std::uint32_t row : ClientErrors()) errors.push_back(row);
        return !errors.empty();
    }, EventDeadline));
    EXPECT_TRUE(WaitIdle());
    for (std::uint32_t row : ClientErrors()) errors.push_back(row);
    EXPECT_EQ(errors, std::vector<std::uint32_t>{RowFirmwareError});

    // Immediate measurements end with the flag clear, whatever the thread order.
    sim->refuse_boot(false);
    sim->freeze_heartbeat(false);
    ASSERT_TRUE(Eventually([&] { return acq->GetSystemPhase() == 2; }, EventDeadline));
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(Initiate(Channels({1})), 0) << i;
        ASSERT_TRUE(WaitIdle()) << i;
    }
}

// A seam whose measurement ends right after the reader looked at it.
class CEndingSeam : public Korvex::CAcquisitionSeam {
public:
    bool TriggerActive() override { return looks++ == 0; }
    std::atomic<int> looks{0};
};

TEST_F(AcqMends, ReaderLooksAgainWhenTheMeasurementEndsWithoutResult)
{
    Korvex::AcqBufferPool().Reset();
    CEndingSeam seam;
    Korvex::CAcquisitionSeam::Install(&seam);
    auto getter = std::async(std::launch::async, [] {
        double flux = 0;
        return Korvex::KorvexGetFluxResult(0, flux);
    });
    const bool done = getter.wait_for(EventDeadline) == std::future_status::ready;
    Korvex::CAcquisitionSeam::Install(nullptr);
    if (!done) Korvex::AcqBufferPool().Reset();  // wakes the stuck reader
    ASSERT_TRUE(done);
    EXPECT_EQ(getter.get(), Korvex::eNoData);
    EXPECT_GE(seam.looks.load(), 2);
}

// A device clear while a measurement waits for its second bus trigger: the entry already
// measured stays, and the measurement completes with all three.
TEST_F(AcqMends, DeviceClearKeepsTheEntriesOfAMeasurementUnderWay)
{
    AddProbe();
    SetText(Korvex::g_pTriggerInSource, "BUS");
    SetInt(Korvex::g_pTriggerInCount, 3);
    StartController();
    ASSERT_EQ(Initiate(Channels({1})), 0);
    ASSERT_EQ(acq->SendBusTrigger(), 0);
    // Back to waiting for a trigger after the first: that entry is stored.
    ASSERT_TRUE(Eventually([&] { return sim->requests(dsp::TRIGGER) == 1 && acq->GetTriggerWaitPhase() == 1; },
                           EventDeadline));
    EXPECT_EQ(acq->Clear(), 0);
    ASSERT_EQ(acq->SendBusTrigger(), 0);
    ASSERT_EQ(acq->SendBusTrigger(), 0);
    ASSERT_TRUE(WaitIdle());
    double flux = 0;
    EXPECT_EQ(Korvex::KorvexGetFluxResult(2, flux), 0);
}

// The wait of a reader for an active measurement's buffer ends when its message no longer
// wants the results, and only for that message.
class CActiveSeam : public Korvex::CAcquisitionSeam {
public:
    bool TriggerActive() override { return true; }
};

TEST_F(AcqMends, EndedResultWaitAnswersNoDataAtOnce)
{
    Korvex::AcqBufferPool().Reset();
    CActiveSeam seam;
    Korvex::CAcquisitionSeam::Install(&seam);
    auto getter = std::async(std::launch::async, [] {
        double flux = 0;
        return Korvex::KorvexGetFluxResult(0, flux);
    });
    EXPECT_EQ(getter.wait_for(300ms), std::future_status::timeout);
    Korvex::KorvexEndResultWait();
    const bool done = getter.wait_for(EventDeadline) == std::future_status::ready;
    Korvex::KorvexAllowResultWait();
    Korvex::CAcquisitionSeam::Install(nullptr);
    ASSERT_TRUE(done);
    EXPECT_EQ(getter.get(), Korvex::eNoData);
}

TEST_F(AcqMends, ForgottenInitiatorGetsNoError)
{
    AddProbe();
    SetText(Korvex::g_pTriggerInSource, "BUS");
    StartController();
    auto session = std::make_unique<Korvex::CKorvexScpiStatus>(nullptr, nullptr, nullptr);
    auto channels = Channels({1});
    ASSERT_EQ(acq->InitiateTrigger(session.get(), channels, 0.0), 0);
    ASSERT_TRUE(Eventually([&] { return acq->GetTriggerWaitPhase() == 1; }, EventDeadline));
    Korvex::CAcquisitionSeam::Instance().ForgetInitiator(session.get());
    session.reset();  // the session closed
    SetBool(Korvex::g_pNmrPathBroken, true);  // the measurement fails with an error
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(acq->GetLastAcqError(), Korvex::eNmrPathBroken);
}

// The first channel whose search finds the resonance is measured, even when a later one
// finds nothing.
TEST_F(AcqMends, SearchKeepsTheFirstChannelThatFinds)
{
    CAcqProbe& first = AddProbe({1}, 40e6, 100e6);
    CAcqProbe& second = AddProbe({2}, 70e6, 84e6);  // the resonance (63.9 MHz) is outside
    StartController();
    ASSERT_EQ(Initiate(Channels({1, 2})), 0);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(acq->GetLastAcqError(), 0);
    EXPECT_FALSE(AcqErrorRowSet());
    double flux = 0;
    ASSERT_EQ(Korvex::KorvexGetFluxResult(0, flux), 0);
    Korvex::CKorvexChannel channel;
    ASSERT_EQ(Korvex::KorvexGetChannelResult(0, channel), 0);
    EXPECT_EQ(probes::Path(channel), "1");
    EXPECT_EQ(acq->GetCurrentChannelIndex(), 0u);
    EXPECT_NEAR(first.storedValue, 63.866e6, 0.01e6);
    EXPECT_EQ(second.storedValue, 0.0);
    EXPECT_EQ(port->Sent(dsp::INITIATE_SEARCH).size(), 1u);
}

// A bus trigger accepted during the last measurement is dropped once idle.
TEST_F(AcqMends, StrayBusTriggerIsDroppedWhenIdle)
{
    AddProbe();
    SetText(Korvex::g_pTriggerInSource, "BUS");
    StartController();
    ASSERT_EQ(Initiate(Channels({1})), 0);
    ASSERT_TRUE(Eventually([&] { return acq->GetTriggerWaitPhase() == 1; }, EventDeadline));
    EXPECT_EQ(acq->SendBusTrigger(), 0);
    EXPECT_EQ(acq->SendBusTrigger(), 0);  // accepted: the measurement still runs
    ASSERT_TRUE(WaitIdle());
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(acq->GetLastAcqError(), 0);
    EXPECT_TRUE(ClientErrors().empty());
    EXPECT_FALSE(AcqErrorRowSet());
    double flux = 0;
    EXPECT_EQ(Korvex::KorvexGetFluxResult(0, flux), 0);
}

// A retrieval whose reply does not come in time fails with 38 (nothing read), and the link
// is left ready for the acquisition thread's next exchange.
TEST_F(AcqMends, RetrievalTimeOutFailsAndLeavesTheLinkReady)
{
    AddProbe();
    StartController();
    sim->drop_next_reply();
    EXPECT_EQ(acq->RetrieveIntermediateResults(), Korvex::eDspExchangeFailed);
    sim->drop_next_reply();
    EXPECT_EQ(acq->ConfigureExtRef("INTernal"), Korvex::eDspExchangeFailed);
    sim->drop_next_reply();
    EXPECT_EQ(acq->TriggerOut(0), Korvex::eDspExchangeFailed);

    ASSERT_EQ(Initiate(Channels({1})), 0);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(acq->GetLastAcqError(), 0);
    EXPECT_TRUE(ClientErrors().empty());
}

// "None" stays none in every unit: the search runs instead of tracking a bogus value.
TEST_F(AcqMends, ZeroExpectedValueIsNotConverted)
{
    AddProbe();
    SetText(Korvex::g_pUnitsSelected, "PPM");
    StartController();
    ASSERT_EQ(Initiate(Channels({1}), 0.0), 0);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(acq->GetSetupMode(), 3u);
    EXPECT_EQ(acq->GetSequenceMode(), 2u);
    EXPECT_EQ(port->Sent(dsp::INITIATE_SEARCH).size(), 1u);
    EXPECT_EQ(acq->GetLastAcqError(), 0);
}

// A reloaded program counts its heartbeat anew: the first check after the reload only looks.
TEST_F(AcqMends, HeartbeatWatchIsReArmedByEachPass)
{
    CFakeHpiDevice fake;
    platform::hpi::attach(&fake);
    auto controller = std::make_unique<CTestController>();
    fake.Put(dsp::StatusBlockAddress, {7, 0, 0, 0});
    controller->HeartbeatCheck(Korvex::eFatalIdleHeartbeat);  // first look
    EXPECT_THROW(controller->HeartbeatCheck(Korvex::eFatalIdleHeartbeat), Korvex::CFatalAcqException);
    EXPECT_THROW(controller->SystemFlow(), Korvex::CFatalAcqException);  // nothing boots
    EXPECT_NO_THROW(controller->HeartbeatCheck(Korvex::eFatalIdleHeartbeat));
    controller.reset();
    dsp::ReleaseDSP();
    platform::hpi::attach(port.get());
}

}  // namespace
}  // namespace KorvexTest
