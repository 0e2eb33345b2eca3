// The measurement replies: ASCII items and binary blocks of every kind of item, missing
// data, the acquisition down, and flux values that cannot be given in the selected unit.
#include <cstring>
#include <string>
#include <vector>

#include "Host/acquisition/AcqResultGetters.h"
#include "Host/scpi/handlers/MeasureFixture.h"

namespace Korvex::test {
namespace {

using ScpiFetchReplyTest = MeasureFixture;

std::vector<Measurement> Fluxes(std::initializer_list<double> values)
{
    std::vector<Measurement> out;
    std::uint64_t stamp = 100;
    for (double v : values) {
        Measurement m;
        m.flux = v;
        m.timestamp = stamp++;
        out.push_back(m);
    }
    return out;
}

TEST_F(ScpiFetchReplyTest, FluxInAsciiAndBlocksInTheSelectedUnit)
{
    CFakeAcquisition::Store(Fluxes({1.2345674, 2.0, 3.5}));
    EXPECT_EQ(Dispatch("FETC:ARR? 3,6").status, 0);
    EXPECT_EQ(response, "1.234567 T,2.000000 T,3.500000 T");
    EXPECT_EQ(Dispatch("FETC? 2").status, 0);
    EXPECT_EQ(response, "1.23 T");

    // Converted by the host from the stored unit.
    SetUnit("GAUSs");
    EXPECT_EQ(Dispatch("FETC?").status, 0);
    EXPECT_EQ(response, "12345.674000 GAUSs");
    SetUnit("T");

    SetFormat("INTeger");
    EXPECT_EQ(Dispatch("FETC:ARR? 3").status, 0);
    ASSERT_EQ(response.size(), 8u + 24u);
    EXPECT_EQ(response.substr(0, 8), "#6000024");
    EXPECT_EQ(response.substr(8), Raw(1.2345674) + Raw(2.0) + Raw(3.5));
    EXPECT_EQ(NextError(), "0,No error");
}

TEST_F(ScpiFetchReplyTest, ScalarItemsOfEveryKind)
{
    std::vector<Measurement> m = Fluxes({1.0, 1.0});
    m[0].sigma = 0.125f;
    m[0].uniformity = 2.5f;
    m[0].status = 0;
    m[1].status = 7;
    m[0].channel = Address({1, 2});
    m[1].channel = Address({1, 3});
    m[0].timestamp = 18446744073709551615ull;
    CFakeAcquisition::Store(m);

    EXPECT_EQ((Dispatch("FETC:SIGM?"), response), "0.125");
    EXPECT_EQ((Dispatch("FETC:UNIF? 1"), response), "2.5");
    EXPECT_EQ((Dispatch("FETC:TIM?"), response), "18446744073709551615");
    EXPECT_EQ((Dispatch("FETC:ARR:STAT? 2"), response), "00,01");
    EXPECT_EQ((Dispatch("FETC:ARR:CHAN? 2"), response), "(@1!2,1!3)");

    SetFormat("INTeger");
    EXPECT_EQ((Dispatch("FETC:ARR:STAT? 2"), response), std::string("#6000002\0\1", 10));
    EXPECT_EQ((Dispatch("FETC:ARR:CHAN? 2"), response), std::string("#6000005\1\2\0\1\3", 13));
    EXPECT_EQ((Dispatch("FETC:ARR:TIM? 1"), response), "#6000008" + Raw(18446744073709551615ull));
    EXPECT_EQ((Dispatch("FETC:ARR:SIGM? 1"), response), "#6000004" + Raw(0.125f));
    EXPECT_EQ(NextError(), "0,No error");
}

TEST_F(ScpiFetchReplyTest, MissingDataKeepsWhatWasAppended)
{
    CFakeAcquisition::Store(Fluxes({1.0, 2.0}));
    EXPECT_EQ(Dispatch("FETC:ARR? 3,1").status, 0);
    EXPECT_EQ(response, "1.0 T,2.0 T");
    EXPECT_EQ(NextError(), "204,Data not all available");

    // A block goes out whole or not at all.
    SetFormat("INTeger");
    EXPECT_EQ((Dispatch("FETC:ARR? 3"), response), "");
    EXPECT_EQ(NextError(), "204,Data not all available");

    // Nothing measured at all.
    AcqBufferPool().Reset();
    SetFormat("ASCii");
    EXPECT_EQ((Dispatch("FETC?"), response), "");
    EXPECT_EQ(NextError(), "204,Data not all available");
}

TEST_F(ScpiFetchReplyTest, AcquisitionDownIsAHardwareError)
{
    CFakeAcquisition::Store(Fluxes({1.0}));
    acquisition.systemUp = false;
    EXPECT_EQ((Dispatch("FETC?"), response), "");
    EXPECT_EQ(NextError(), "-240,Hardware error");
    EXPECT_EQ((Dispatch("FETC:ARR:NMRS? 4"), response), "");
    EXPECT_EQ(NextError(), "-240,Hardware error");
}

TEST_F(ScpiFetchReplyTest, FluxNotConvertibleIsNeverLabelledWithTheSelectedUnit)
{
    // A probe frequency without a selected probe: no figure, 202.
    std::vector<Measurement> m = Fluxes({1.5, 63.86e6});
    m[1].unit = eUnitHZ;
    CFakeAcquisition::Store(m);
    EXPECT_EQ((Dispatch("FETC:ARR? 2,3"), response), "1.500 T");
    EXPECT_EQ(NextError(), "202,No selected channel");
    SetFormat("INTeger");
    EXPECT_EQ((Dispatch("FETC:ARR? 2"), response), "");
    EXPECT_EQ(NextError(), "202,No selected channel");

    // With the probe the same value converts.
    Probes().probeSelected = true;
    SetFormat("ASCii");
    SetUnit("MAHZ");
    EXPECT_EQ((Dispatch("FETC:ARR? 2,2"), response), "63.87 MAHZ,63.86 MAHZ");

    // PPM without a reference field: 200, nothing appended, ASCII or binary.
    SetUnit("PPM");
    CParameterNode::SetFloat64Attribute(g_pUnitsPpmRef, eAttrValue, 0.0);
    EXPECT_EQ((Dispatch("FETC?"), response), "");
    EXPECT_EQ(NextError(), "200,Firmware error");
    SetFormat("INTeger");
    EXPECT_EQ((Dispatch("FETC?"), response), "");
    EXPECT_EQ(NextError(), "200,Firmware error");
}

TEST_F(ScpiFetchReplyTest, SearchProgressInTheSelectedUnit)
{
    std::uint8_t progress = 0;
    float frequency = 0.0f;
    KorvexGetSearchProgress(progress, frequency);
    ASSERT_LT(frequency, 0.0f) << "no search has run in this process";
    // No frequency yet: the negative figure stays as it is, whatever the unit.
    SetUnit("GAUSs");
    EXPECT_EQ((Dispatch("FETC:SPR?"), response), std::to_string(progress) + " %,-1 GAUSs");
    SetFormat("INTeger");
    EXPECT_EQ((Dispatch("FETC:SPR?"), response),
              "#6000009" + Raw(progress) + Raw(static_cast<double>(frequency)));
}

TEST_F(ScpiFetchReplyTest, IntermediateResults)
{
    CIntermediateResults& store = IntermediateResults();
    store.Lock();
    ASSERT_GE(store.nmrSignalCapacity, 3u);
    ASSERT_GE(store.peakSpectrumCapacity, 2u);
    const float points[3] = {1.5f, -2.0f, 0.25f};
    std::memcpy(store.nmrSignal, points, sizeof points);
    store.nmrSignalLength = 3;
    store.samplePeriod = 1e-6f;
    std::memcpy(store.peakSpectrum, points, 2 * sizeof(float));
    store.peakSpectrumLength = 2;
    store.spectrumCenterFrequency = 63.5e6f;
    store.spectrumResolution = 10.0f;
    store.ifFrequency = 1234.5678;
    store.relaxationTime = 0.002f;
    store.Unlock();

    store.SetReady();
    EXPECT_EQ((Dispatch("FETC:ARR:NMRS? 3"), response), "1e-06,1.5,-2,0.25");
    store.SetReady();
    EXPECT_EQ((Dispatch("FETC:ARR:SPEC? 2"), response), "6.35e+07 HZ,10 HZ,1.5,-2");
    store.SetReady();
    EXPECT_EQ((Dispatch("FETC:IFR? 2"), response), "1234.57 HZ");
    store.SetReady();
    EXPECT_EQ((Dispatch("FETC:REL? 4"), response), "0.0020 S");
    EXPECT_EQ(NextError(), "0,No error");

    // One point more than stored.
    store.SetReady();
    EXPECT_EQ((Dispatch("FETC:ARR:NMRS? 4"), response), "");
    EXPECT_EQ(NextError(), "204,Data not all available");

    SetFormat("INTeger");
    store.SetReady();
    EXPECT_EQ((Dispatch("FETC:ARR:NMRS? 2"), response),
              "#6000012" + Raw(1e-6f) + Bytes(points, 2 * sizeof(float)));
    store.SetReady();
    EXPECT_EQ((Dispatch("FETC:IFR?"), response), "#6000008" + Raw(1234.5678));
    EXPECT_EQ(NextError(), "0,No error");
}

}  // namespace
}  // namespace Korvex::test
