// The trigger and acquisition flows against the simulated DSP: each trigger source, single
// and continuous initiation, aborts, heartbeat supervision and acquisition errors.
#include <future>

#include "AcqFlowsTestSupport.h"
#include "Host/acquisition/AcqResultGetters.h"
#include "Host/acquisition/AcquisitionSeam.h"
#include "Host/parameters/Error.h"

namespace KorvexTest {
namespace {

namespace dsp = Korvex::CKorvexDSP;
using S = Korvex::CKorvexScpiStatus;
using namespace std::chrono_literals;

constexpr std::uint32_t RowTimeOut = 112;      // -365 "Time out error"
constexpr std::uint32_t RowTopology = 132;     // 205 "Topology Changed"

using AcqFlows = AcqFlowsFixture;

TEST_F(AcqFlows, ImmediateCountThreeGivesOneBufferOfThree)
{
    AddProbe();
    SetInt(Korvex::g_pTriggerInCount, 3);
    StartController();
    ASSERT_EQ(Initiate(Channels({1})), 0);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(acq->GetLastAcqError(), 0);
    EXPECT_EQ(acq->GetTriggerState(), 0u);
    EXPECT_EQ(S::ReadCondition(&Korvex::InstrumentBlock(), 2) & 0x38, 0);  // acquisition status 0
    EXPECT_EQ(sim->requests(dsp::TRIGGER), 3u);

    for (std::uint32_t i = 0; i < 3; ++i) {
        double flux = 0;
        ASSERT_EQ(Korvex::KorvexGetFluxResult(i, flux), 0) << i;
        EXPECT_NEAR(flux, 1.5, 1e-5);
        Korvex::CKorvexChannel channel;
        ASSERT_EQ(Korvex::KorvexGetChannelResult(i, channel), 0);
        EXPECT_EQ(probes::Path(channel), "1");
    }
    double flux = 0;
    EXPECT_EQ(Korvex::KorvexGetFluxResult(3, flux), Korvex::eNoData);
    EXPECT_TRUE(ClientErrors().empty());
    EXPECT_FALSE(AcqErrorRowSet());
    EXPECT_GT(owned[0]->storedValue, 60e6);
}

// The reader of a single measurement's result returns only once the flow is idle, so that
// the client's next command finds no measurement active; also when the measurement failed
// and left no result (channel 2: the resonance is outside the probe's range).
TEST_F(AcqFlows, ResultOfASingleMeasurementIsReadOnceItsFlowIsIdle)
{
    AddProbe({1});
    AddProbe({2}, 70e6, 84e6);
    StartController();
    const struct {
        std::uint8_t channel;
        int result;
    } rows[] = {{1, 0}, {2, Korvex::eNoData}, {1, 0}, {2, Korvex::eNoData}, {1, 0}};
    for (const auto& row : rows) {
        ASSERT_EQ(Initiate(Channels({row.channel})), 0) << int(row.channel);
        double flux = 0;
        EXPECT_EQ(Korvex::KorvexGetFluxResult(0, flux), row.result) << int(row.channel);
        EXPECT_FALSE(acq->IsTriggerActive()) << int(row.channel);
        Korvex::KorvexReleaseReadBuffer();
    }
}

TEST_F(AcqFlows, ContinuousRunsUntilResetAndAbortRestartsIt)
{
    AddProbe();
    SetBool(Korvex::g_pTriggerInContinuous, true);
    StartController();
    ASSERT_EQ(Initiate(Channels({1})), 0);
    ASSERT_TRUE(Eventually([&] { return sim->requests(dsp::TRIGGER) >= 3; }, EventDeadline));
    EXPECT_TRUE(acq->IsTriggerActive());

    // ABORt with continuous on: the running acquisition ends and a new one starts.
    EXPECT_EQ(acq->AbortTrigger(0), 0);
    const unsigned triggers = sim->requests(dsp::TRIGGER);
    ASSERT_TRUE(Eventually([&] { return sim->requests(dsp::TRIGGER) > triggers + 2; }, EventDeadline));
    EXPECT_TRUE(acq->IsTriggerActive());

    // *RST stops it for good.
    EXPECT_EQ(acq->Reset(), 0);
    ASSERT_TRUE(WaitIdle());
    EXPECT_FALSE(Korvex::CParameterNode::GetBooleanAttribute(Korvex::g_pTriggerInContinuous, 0));
    const unsigned after = sim->requests(dsp::TRIGGER);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(sim->requests(dsp::TRIGGER), after);
    EXPECT_TRUE(ClientErrors().empty());
}

TEST_F(AcqFlows, CountZeroStoresNothingAndSucceeds)
{
    AddProbe();
    SetInt(Korvex::g_pTriggerInCount, 0);
    StartController();
    ASSERT_EQ(Initiate(Channels({1})), 0);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(acq->GetLastAcqError(), 0);
    EXPECT_EQ(sim->requests(dsp::TRIGGER), 0u);
    double flux = 0;
    EXPECT_EQ(Korvex::KorvexGetFluxResult(0, flux), Korvex::eNoData);
    EXPECT_FALSE(AcqErrorRowSet());
}

TEST_F(AcqFlows, BusTriggerReleasesTheMeasurement)
{
    AddProbe();
    SetText(Korvex::g_pTriggerInSource, "BUS");
    StartController();
    EXPECT_EQ(acq->SendBusTrigger(), Korvex::eWrongTriggerState);  // nothing initiated
    ASSERT_EQ(Initiate(Channels({1})), 0);
    ASSERT_TRUE(Eventually([&] { return acq->GetTriggerWaitPhase() == 1 && acq->GetSequenceMode() == 2; }, EventDeadline));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(sim->requests(dsp::TRIGGER), 0u);
    EXPECT_EQ(Korvex::CAcquisitionSeam::Instance().SendBusTrigger(), 0);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(sim->requests(dsp::TRIGGER), 1u);
    double flux = 0;
    EXPECT_EQ(Korvex::KorvexGetFluxResult(0, flux), 0);
}

TEST_F(AcqFlows, BusTriggerWhileTimerIsRefused)
{
    AddProbe();
    SetText(Korvex::g_pTriggerInSource, "TIMer");
    SetDouble(Korvex::g_pTriggerInTimer, 60.0);
    StartController();
    ASSERT_EQ(Initiate(Channels({1})), 0);
    EXPECT_EQ(acq->SendBusTrigger(), Korvex::eWrongTriggerState);
    // An abort cuts the timer short.
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(acq->AbortTrigger(0), 0);
    ASSERT_TRUE(WaitIdle());
    EXPECT_LT(Clock::now() - start, EventDeadline);
    EXPECT_EQ(sim->requests(dsp::TRIGGER), 0u);
    EXPECT_TRUE(ClientErrors().empty());
}

TEST_F(AcqFlows, ExternalTriggerFromTheSimulatedInput)
{
    AddProbe();
    SetText(Korvex::g_pTriggerInSource, "EXTernal");
    StartController();
    ASSERT_EQ(Initiate(Channels({1})), 0);
    // The DSP took the trigger request: it waits for the external edge.
    ASSERT_TRUE(Eventually([&] { return sim->requests(dsp::TRIGGER) == 1; }, EventDeadline));
    EXPECT_TRUE(acq->IsTriggerActive());
    sim->ExternalTrigger();
    ASSERT_TRUE(WaitIdle());
    double flux = 0;
    EXPECT_EQ(Korvex::KorvexGetFluxResult(0, flux), 0);
    EXPECT_NEAR(flux, 1.5, 1e-5);
}

TEST_F(AcqFlows, FrozenHeartbeatIsFatalIdleAndMeasuring)
{
    AddProbe();
    StartController();
    ASSERT_EQ(sim->boots(), 1u);
    sim->freeze_heartbeat(true);
    // Two idle checks of 200 ms, then the reload (and more while the heartbeat stays frozen).
    ASSERT_TRUE(Eventually([&] { return sim->boots() >= 2; }, EventDeadline));
    sim->freeze_heartbeat(false);
    ASSERT_TRUE(Eventually([&] { return acq->GetSystemPhase() == 2; }, EventDeadline));

    // During a measurement (waiting for the external trigger) too.
    SetText(Korvex::g_pTriggerInSource, "EXTernal");
    ASSERT_EQ(Initiate(Channels({1})), 0);
    ASSERT_TRUE(Eventually([&] { return acq->GetTriggerWaitPhase() == 2; }, EventDeadline));
    const unsigned boots = sim->boots();
    sim->freeze_heartbeat(true);
    ASSERT_TRUE(Eventually([&] { return sim->boots() > boots; }, EventDeadline));
    sim->freeze_heartbeat(false);
    EXPECT_TRUE(WaitIdle());
}

TEST_F(AcqFlows, DroppedReplyPostsTimeOutToTheInitiator)
{
    AddProbe();
    StartController();
    sim->drop_next_reply();  // PW_MEASURE_PARMS_ACK
    ASSERT_EQ(Initiate(Channels({1})), 0);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(acq->GetLastAcqError(), Korvex::eDspExchangeFailed);
    EXPECT_EQ(ClientErrors(), std::vector<std::uint32_t>{RowTimeOut});
    EXPECT_TRUE(AcqErrorRowSet());
    double flux = 0;
    EXPECT_EQ(Korvex::KorvexGetFluxResult(0, flux), Korvex::eNoData);

    // The link was brought back by the abort: the next measurement works.
    ASSERT_EQ(Initiate(Channels({1})), 0);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(acq->GetLastAcqError(), 0);
    EXPECT_EQ(Korvex::KorvexGetFluxResult(0, flux), 0);
    EXPECT_FALSE(AcqErrorRowSet());
}

TEST_F(AcqFlows, BrokenNmrPathEndsTheMeasurementWith205)
{
    AddProbe();
    SetText(Korvex::g_pTriggerInSource, "BUS");
    StartController();
    ASSERT_EQ(Initiate(Channels({1})), 0);
    ASSERT_TRUE(Eventually([&] { return acq->GetTriggerWaitPhase() == 1; }, EventDeadline));
    SetBool(Korvex::g_pNmrPathBroken, true);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(acq->GetLastAcqError(), Korvex::eNmrPathBroken);
    EXPECT_EQ(ClientErrors(), std::vector<std::uint32_t>{RowTopology});
    auto channels = Channels({1});
    EXPECT_THROW(acq->InitiateTrigger(&client, channels, 0.0), Korvex::eError);
}

TEST_F(AcqFlows, NoProbeAnswersNoProbe)
{
    StartController();  // nothing registered: the channel cannot be selected
    SetText(Korvex::g_pSearchMode, "MANual");
    ASSERT_EQ(Initiate(Channels({1})), 0);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(acq->GetLastAcqError(), Korvex::eNoPeripheralConnected);
    EXPECT_EQ(ClientErrors(), std::vector<std::uint32_t>{128});  // 201 "No probe"
}

TEST_F(AcqFlows, DeadDspReleasesEverySender)
{
    AddProbe();
    SetText(Korvex::g_pTriggerInSource, "EXTernal");
    StartController();
    ASSERT_EQ(Initiate(Channels({1})), 0);
    ASSERT_TRUE(Eventually([&] { return acq->GetTriggerWaitPhase() == 2; }, EventDeadline));

    // A getter waits for the first buffer; then the DSP dies and never boots again.
    auto getter = std::async(std::launch::async, [] {
        double flux = 0;
        return Korvex::KorvexGetFluxResult(0, flux);
    });
    sim->refuse_boot(true);
    sim->freeze_heartbeat(true);
    ASSERT_EQ(getter.wait_for(EventDeadline), std::future_status::ready);
    EXPECT_EQ(getter.get(), Korvex::eNoData);

    const Clock::time_point start = Clock::now();
    EXPECT_EQ(acq->AbortTrigger(0), 0);
    auto channels = Channels({1});
    EXPECT_EQ(acq->InitiateTrigger(&client, channels, 0.0), 0);
    EXPECT_LT(Clock::now() - start, 3s);
    EXPECT_TRUE(WaitIdle());
}

}  // namespace
}  // namespace KorvexTest
