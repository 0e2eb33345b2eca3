// The frequency search (the ranges and modes sent to the DSP) and the control interface of
// the acquisition controller.
#include <future>

#include "AcqFlowsTestSupport.h"
#include "Host/acquisition/AcqResultGetters.h"
#include "Host/acquisition/AcquisitionSeam.h"
#include "Host/acquisition/IntermediateResults.h"
#include "Host/parameters/Error.h"
#include "Host/scpi/units/MeasurementUnits.h"

namespace KorvexTest {
namespace {

namespace dsp = Korvex::CKorvexDSP;
using namespace std::chrono_literals;

constexpr double Ratio = 42.57747892e6;
constexpr double ResonanceHz = 1.5 * Ratio;

struct SearchFrame {
    float low, high, third;
    std::uint32_t mode;
};

class AcqSearch : public AcqFlowsFixture {
protected:
    std::vector<SearchFrame> Searches()
    {
        std::vector<SearchFrame> frames;
        for (const auto& words : port->Sent(dsp::INITIATE_SEARCH)) {
            frames.push_back({F32(words[2]), F32(words[3]), F32(words[4]), words[5]});
        }
        return frames;
    }
};

TEST_F(AcqSearch, SearchesTheIntersectionOfTheRanges)
{
    AddProbe({1}, 60e6, 70e6);
    StartController();
    ASSERT_EQ(Initiate(Channels({1})), 0);
    ASSERT_TRUE(WaitIdle());
    const auto searches = Searches();
    ASSERT_EQ(searches.size(), 1u);
    EXPECT_FLOAT_EQ(searches[0].low, 60e6f);
    EXPECT_FLOAT_EQ(searches[0].high, 70e6f);
    EXPECT_FLOAT_EQ(searches[0].third, 60e6f);
    EXPECT_EQ(searches[0].mode, 0u);
    EXPECT_EQ(acq->GetLastAcqError(), 0);
    std::uint8_t progress = 0;
    float hall = 0;
    Korvex::KorvexGetSearchProgress(progress, hall);
    EXPECT_EQ(progress, 100);
    EXPECT_EQ(hall, -1.0f);
}

TEST_F(AcqSearch, ProbeOutsideTheRangeIsNotSearched)
{
    AddProbe({1}, 100e6, 120e6);
    StartController();
    ASSERT_EQ(Initiate(Channels({1})), 0);
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(Searches().empty());
    EXPECT_TRUE(AcqErrorRowSet());  // the sequence failed: nothing found
    double flux = 0;
    EXPECT_EQ(Korvex::KorvexGetFluxResult(0, flux), Korvex::eNoData);
}

TEST_F(AcqSearch, HallReadingNarrowsTheSearchAroundItsCentre)
{
    CAcqProbe& probe = AddProbe();
    probe.hall = true;
    probe.hallField = 1.49f;
    probe.hallTolerance = 0.05f;
    SetBool(Korvex::g_pSearchHallEnabled, true);
    StartController();
    ASSERT_EQ(Initiate(Channels({1})), 0);
    ASSERT_TRUE(WaitIdle());
    const auto searches = Searches();
    ASSERT_EQ(searches.size(), 1u);
    const float centre = static_cast<float>(1.49f * Ratio);
    EXPECT_EQ(searches[0].mode, 1u);
    EXPECT_FLOAT_EQ(searches[0].third, centre);
    EXPECT_FLOAT_EQ(searches[0].low, static_cast<float>(0.95 * centre));
    EXPECT_FLOAT_EQ(searches[0].high, static_cast<float>((0.05f + 1.0) * centre));
    std::uint8_t progress = 0;
    float hall = 0;
    Korvex::KorvexGetSearchProgress(progress, hall);
    EXPECT_FLOAT_EQ(hall, centre);
    EXPECT_EQ(acq->GetLastAcqError(), 0);
    double flux = 0;
    EXPECT_EQ(Korvex::KorvexGetFluxResult(0, flux), 0);
}

TEST_F(AcqSearch, HallFailureFallsBackToTheRangeSearch)
{
    CAcqProbe& probe = AddProbe();
    probe.hall = true;
    probe.hallResult = Korvex::eNoData;
    SetBool(Korvex::g_pSearchHallEnabled, true);
    StartController();
    ASSERT_EQ(Initiate(Channels({1})), 0);
    ASSERT_TRUE(WaitIdle());
    const auto searches = Searches();
    ASSERT_EQ(searches.size(), 1u);
    EXPECT_EQ(searches[0].mode, 0u);
    EXPECT_FLOAT_EQ(searches[0].low, static_cast<float>(1.0 * Ratio));
    std::uint8_t progress = 0;
    float hall = 0;
    Korvex::KorvexGetSearchProgress(progress, hall);
    EXPECT_EQ(hall, -1.0f);
}

TEST_F(AcqSearch, RememberedFrequencyAtTheHighEndIsConfirmed)
{
    CAcqProbe& probe = AddProbe();
    SetDouble(Korvex::g_pSearchHigh, 1.5);
    double high = 1.5;
    ASSERT_EQ(Korvex::KorvexConvertUnits(high, Korvex::eUnitT, Korvex::eUnitHZ, 0.0), 0);
    probe.storedValue = high;
    StartController();
    ASSERT_EQ(Initiate(Channels({1})), 0);
    ASSERT_TRUE(WaitIdle());
    const auto searches = Searches();
    ASSERT_EQ(searches.size(), 1u);
    EXPECT_EQ(searches[0].mode, 2u);
    EXPECT_FLOAT_EQ(searches[0].low, static_cast<float>(high));
    EXPECT_EQ(acq->GetSetupMode(), 3u);
    EXPECT_EQ(acq->GetLastAcqError(), 0);
    EXPECT_NEAR(probe.storedValue, ResonanceHz, 100.0);
}

TEST_F(AcqSearch, FailedConfirmationClearsTheRememberedFrequency)
{
    CAcqProbe& probe = AddProbe({1}, 40e6, 100e6);
    probe.storedValue = 80e6;  // within the range, far from the resonance
    SetInt(Korvex::g_pTriggerInCount, 0);
    StartController();
    ASSERT_EQ(Initiate(Channels({1})), 0);
    ASSERT_TRUE(WaitIdle());
    const auto searches = Searches();
    ASSERT_GE(searches.size(), 2u);
    EXPECT_EQ(searches[0].mode, 2u);
    EXPECT_EQ(searches[1].mode, 0u);  // then searched over the range
    EXPECT_EQ(probe.storedValue, 0.0);
}

using AcqControl = AcqFlowsFixture;

TEST_F(AcqControl, RefusalsOfInitiateTrigger)
{
    AddProbe();
    // Not up yet.
    acq = std::make_unique<CTestController>();
    auto channels = Channels({1});
    EXPECT_EQ(acq->InitiateTrigger(&client, channels, 0.0), Korvex::eAcquisitionNotUp);
    acq.reset();

    SetText(Korvex::g_pTriggerInSource, "BUS");
    StartController();
    std::vector<Korvex::CKorvexChannel> none;
    EXPECT_THROW(acq->InitiateTrigger(&client, none, 0.0), Korvex::eError);
    ASSERT_EQ(acq->InitiateTrigger(&client, channels, 0.0), 0);
    EXPECT_EQ(acq->InitiateTrigger(&client, channels, 0.0), Korvex::eAlreadyInitiated);
    EXPECT_EQ(acq->AbortTrigger(0), 0);
    ASSERT_TRUE(WaitIdle());

    SetBool(Korvex::g_pNmrPathBroken, true);
    try {
        acq->InitiateTrigger(&client, channels, 0.0);
        ADD_FAILURE() << "no exception";
    } catch (Korvex::eError error) {
        EXPECT_EQ(error, Korvex::eNmrPathBroken);
    }
    SetBool(Korvex::g_pNmrPathBroken, false);
    try {
        acq->InitiateTrigger(&client, none, 0.0);
        ADD_FAILURE() << "no exception";
    } catch (Korvex::eError error) {
        EXPECT_EQ(error, Korvex::eNoProbeSelected);
    }
}

TEST_F(AcqControl, EveryOperationAnswers43WhileTheDspNeverBoots)
{
    sim->refuse_boot(true);
    acq = std::make_unique<CTestController>();
    acq->Start();
    EXPECT_EQ(acq->WaitForAcqStarted(EventDeadlineMs), 1);
    Korvex::CAcquisitionSeam& seam = Korvex::CAcquisitionSeam::Instance();
    auto channels = Channels({1});
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(seam.InitiateTrigger(&client, channels, 0.0), Korvex::eAcquisitionNotUp);
    EXPECT_EQ(seam.Reset(), Korvex::eAcquisitionNotUp);
    EXPECT_EQ(seam.AbortTrigger(1), Korvex::eAcquisitionNotUp);
    EXPECT_EQ(seam.TriggerOut(1), Korvex::eAcquisitionNotUp);
    EXPECT_EQ(seam.ConfigureExtRef("EXTernal"), Korvex::eAcquisitionNotUp);
    EXPECT_EQ(seam.Clear(), Korvex::eAcquisitionNotUp);
    EXPECT_EQ(seam.SendBusTrigger(), Korvex::eAcquisitionNotUp);
    EXPECT_EQ(seam.RetrieveIntermediateResults(), Korvex::eAcquisitionNotUp);
    EXPECT_FALSE(seam.TriggerActive());
    double flux = 0;
    EXPECT_EQ(Korvex::KorvexGetFluxResult(0, flux), Korvex::eNoData);
    const std::uint32_t* array = nullptr;
    EXPECT_EQ(Korvex::KorvexGetNmrSignalArray(array, 1), Korvex::eNoData);
    EXPECT_LT(Clock::now() - start, 10s);
}

TEST_F(AcqControl, ConfigureExtRefDuringAMeasurementIsRefused)
{
    AddProbe();
    SetText(Korvex::g_pTriggerInSource, "BUS");
    SetText(Korvex::g_pRefClockMode, "INTernal");
    StartController();
    ASSERT_EQ(Initiate(Channels({1})), 0);
    EXPECT_EQ(acq->ConfigureExtRef("EXTernal"), Korvex::eWrongTriggerState);
    EXPECT_EQ(Text(Korvex::g_pRefClockMode), "INTernal");
    EXPECT_EQ(acq->TriggerOut(1), Korvex::eWrongTriggerState);
    EXPECT_EQ(acq->AbortTrigger(0), 0);
    ASSERT_TRUE(WaitIdle());
    const unsigned sent = sim->requests(dsp::EXTERNAL_REFERENCE);
    EXPECT_EQ(acq->ConfigureExtRef("EXTernal"), 0);
    EXPECT_EQ(Text(Korvex::g_pRefClockMode), "EXTernal");
    EXPECT_EQ(sim->requests(dsp::EXTERNAL_REFERENCE), sent + 1);
}

TEST_F(AcqControl, TriggerOutComparesTheDspStateWithTheSetting)
{
    StartController();
    SetBool(Korvex::g_pTriggerOutState, true);
    EXPECT_EQ(acq->TriggerOut(1), 0);
    SetBool(Korvex::g_pTriggerOutState, false);
    EXPECT_EQ(acq->TriggerOut(1), 0);
    sim->drop_next_reply();
    EXPECT_EQ(acq->TriggerOut(1), Korvex::eDspExchangeFailed);
}

TEST_F(AcqControl, IntermediateResultsAreFetchedOncePerCommand)
{
    AddProbe();
    StartController();
    ASSERT_EQ(Initiate(Channels({1})), 0);
    ASSERT_TRUE(WaitIdle());
    Korvex::CIntermediateResults& store = Korvex::IntermediateResults();
    store.ClearReady();

    const std::uint32_t* array = nullptr;
    ASSERT_EQ(Korvex::KorvexGetNmrSignalArray(array, 1), 0);
    ASSERT_NE(array, nullptr);
    ASSERT_EQ(Korvex::KorvexGetNmrSignalArray(array, 1), 0);
    EXPECT_EQ(sim->requests(dsp::REQUEST_SIGNAL), 1u);
    EXPECT_EQ(sim->requests(dsp::RELEASE_SIGNAL), 1u);
    const std::uint32_t length = store.nmrSignalLength;
    ASSERT_GT(length, 1u);
    EXPECT_EQ(Korvex::KorvexGetNmrSignalArray(array, static_cast<std::uint16_t>(length)), 0);
    EXPECT_EQ(Korvex::KorvexGetNmrSignalArray(array, static_cast<std::uint16_t>(length + 1)), Korvex::eNoData);
    EXPECT_EQ(Korvex::CParameterNode::GetInt32Attribute(Korvex::g_pNmrSignalLength, 0),
              static_cast<std::int32_t>(length));
    double rf = 0;
    EXPECT_EQ(Korvex::KorvexGetRfFrequencyResult(rf), 0);
    EXPECT_NEAR(rf, ResonanceHz, 100.0);
    EXPECT_EQ(sim->requests(dsp::REQUEST_SIGNAL), 1u);

    // The end of the command: the next one fetches again.
    store.ClearReady();
    store.Unlock();
    ASSERT_EQ(Korvex::KorvexGetNmrSignalArray(array, 1), 0);
    EXPECT_EQ(sim->requests(dsp::REQUEST_SIGNAL), 2u);
    store.ClearReady();
    store.Unlock();
}

TEST_F(AcqControl, ResetStopsRestoresModesAndClearsTheResults)
{
    AddProbe();
    StartController();
    ASSERT_EQ(Initiate(Channels({1})), 0);
    ASSERT_TRUE(WaitIdle());
    SetText(Korvex::g_pTriggerInSource, "BUS");
    SetText(Korvex::g_pSearchMode, "MANual");
    EXPECT_EQ(acq->Reset(), 0);
    EXPECT_EQ(Text(Korvex::g_pTriggerInSource),
              Korvex::CParameterNode::GetStringAttribute(Korvex::g_pTriggerInSource, 3));
    EXPECT_EQ(Text(Korvex::g_pSearchMode),
              Korvex::CParameterNode::GetStringAttribute(Korvex::g_pSearchMode, 3));
    double flux = 0;
    EXPECT_EQ(Korvex::KorvexGetFluxResult(0, flux), Korvex::eNoData);
    EXPECT_EQ(acq->GetLastAcqError(), 0);
}

}  // namespace
}  // namespace KorvexTest
