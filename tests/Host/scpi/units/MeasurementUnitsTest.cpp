#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <thread>

#include "Host/parameters/RecursiveMutex.h"
#include "platform/kernel/Kernel.h"

#include "UnitsFixture.h"

namespace Korvex::test {
namespace {

std::uint64_t Bits(double value)
{
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

TEST(ScpiUnitsTable, RowsInOrderWithTheirFactors)
{
    const UnitRow expected[UnitCount] = {
        {"Invalid Units", 1.0}, {"T", 1.0},     {"MT", 1e-3},     {"UT", 1e-6},
        {"NT", 1e-9},           {"GAUSs", 1e-4}, {"KGAUss", 0.1}, {"MGAUss", 1e-7},
        {"UGAUss", 0.0},        {"PPM", 1e-6},  {"HZP", 1.0},     {"KHZP", 1e3},
        {"MAHZP", 1e6},         {"GHZP", 1e9},  {"HZ", 1.0},      {"KHZ", 1e3},
        {"MAHZ", 1e6},          {"GHZ", 1e9},
    };
    for (unsigned unit = 0; unit < UnitCount; ++unit) {
        SCOPED_TRACE(unit);
        EXPECT_STREQ(UnitsTable[unit].name, expected[unit].name);
        if (unit != eUnitUGAUss) {
            EXPECT_EQ(UnitsTable[unit].factor, expected[unit].factor);
        }
    }
}

TEST(ScpiUnitsTable, MicrogaussFactorIsOneUlpAboveTheNearestDoubleTo1e10)
{
    EXPECT_EQ(Bits(1e-10), 0x3DDB7CDFD9D7BDBBu);
    EXPECT_EQ(Bits(UnitsTable[eUnitUGAUss].factor), 0x3DDB7CDFD9D7BDBCu);
    EXPECT_NE(UnitsTable[eUnitUGAUss].factor, 1e-10);
}

TEST(ScpiUnitsTable, ParseMatchesWholeNamesCaseSensitively)
{
    for (unsigned unit = 1; unit < UnitCount; ++unit) {
        EXPECT_EQ(KorvexParseUnits(UnitsTable[unit].name), static_cast<int>(unit));
    }
    EXPECT_EQ(KorvexParseUnits("GAUSs"), 5);
    EXPECT_EQ(KorvexParseUnits("gauss"), 0);
    EXPECT_EQ(KorvexParseUnits("GAUSS"), 0);
    EXPECT_EQ(KorvexParseUnits("GAUS"), 0);
    EXPECT_EQ(KorvexParseUnits("T "), 0);
    EXPECT_EQ(KorvexParseUnits(""), 0);
    EXPECT_EQ(KorvexParseUnits("Invalid Units"), 0);
    EXPECT_EQ(KorvexParseUnits(std::string("T\0", 2)), 0);
}

class ScpiUnitsConvert : public UnitsFixture {
protected:
    // Converts and returns the status; value keeps the result.
    int Convert(double& value, std::uint32_t from, std::uint32_t to, double ratio = 0.0)
    {
        return KorvexConvertUnits(value, from, to, ratio);
    }
};

TEST_F(ScpiUnitsConvert, FluxUnits)
{
    double v = 1.0;
    EXPECT_EQ(Convert(v, eUnitT, eUnitGAUSs), 0);
    EXPECT_DOUBLE_EQ(v, 10000.0);
    v = 1.0;
    EXPECT_EQ(Convert(v, eUnitMT, eUnitUT), 0);
    EXPECT_DOUBLE_EQ(v, 1000.0);
    v = 3.0;
    EXPECT_EQ(Convert(v, eUnitKGAUss, eUnitT), 0);
    EXPECT_DOUBLE_EQ(v, 0.3);
    v = 1.0;
    EXPECT_EQ(Convert(v, eUnitT, eUnitUGAUss), 0);
    EXPECT_EQ(v, 1.0 / UnitsTable[eUnitUGAUss].factor);
}

TEST_F(ScpiUnitsConvert, SameUnitOrOutsideTheTable)
{
    // Nothing is read when the units are equal: not even the missing probe.
    double v = 7.0;
    EXPECT_EQ(Convert(v, eUnitHZ, eUnitHZ), 0);
    EXPECT_EQ(v, 7.0);
    // Unit 0 and indexes above 17 stand for tesla on either side.
    v = 2.0;
    EXPECT_EQ(Convert(v, eUnitInvalid, eUnitGAUSs), 0);
    EXPECT_DOUBLE_EQ(v, 20000.0);
    v = 2.0;
    EXPECT_EQ(Convert(v, 18, eUnitMT), 0);
    EXPECT_DOUBLE_EQ(v, 2000.0);
    v = 5000.0;
    EXPECT_EQ(Convert(v, eUnitGAUSs, 0xFFFFFFFFu), 0);
    EXPECT_DOUBLE_EQ(v, 0.5);
    v = 5000.0;
    EXPECT_EQ(Convert(v, eUnitGAUSs, eUnitInvalid), 0);
    EXPECT_DOUBLE_EQ(v, 0.5);
}

TEST_F(ScpiUnitsConvert, PartsPerMillionOfTheReference)
{
    SetValue(g_pUnitsPpmRef, 1.5);
    double v = 1.5;
    EXPECT_EQ(Convert(v, eUnitT, eUnitPPM), 0);
    EXPECT_EQ(v, 0.0);
    v = 1.5000015;
    EXPECT_EQ(Convert(v, eUnitT, eUnitPPM), 0);
    EXPECT_NEAR(v, 1.0, 1e-9);
    v = 0.0;
    EXPECT_EQ(Convert(v, eUnitPPM, eUnitT), 0);
    EXPECT_EQ(v, 1.5);
    v = 15000.0;
    EXPECT_EQ(Convert(v, eUnitGAUSs, eUnitPPM), 0);
    EXPECT_NEAR(v, 0.0, 1e-6);
}

TEST_F(ScpiUnitsConvert, ZeroReference)
{
    SetValue(g_pUnitsPpmRef, 0.0);
    double v = 1.5;
    EXPECT_EQ(Convert(v, eUnitGAUSs, eUnitPPM), eZeroRatioOrReference);
    EXPECT_EQ(v, 1.5);  // left as it was, not half converted
    v = 123.0;
    EXPECT_EQ(Convert(v, eUnitPPM, eUnitT), 0);
    EXPECT_EQ(v, 0.0);
}

TEST_F(ScpiUnitsConvert, ProtonFrequency)
{
    SetValue(g_pNominalPGyroRatio, 4.25e7);
    double v = 1.0;
    EXPECT_EQ(Convert(v, eUnitT, eUnitMAHZP), 0);
    EXPECT_DOUBLE_EQ(v, 42.5);
    v = 42.5;
    EXPECT_EQ(Convert(v, eUnitMAHZP, eUnitT), 0);
    EXPECT_DOUBLE_EQ(v, 1.0);
    // The proton units need no probe.
    v = 4.25;
    EXPECT_EQ(Convert(v, eUnitKHZP, eUnitGAUSs), 0);
    EXPECT_DOUBLE_EQ(v, 1.0);
}

TEST_F(ScpiUnitsConvert, ProbeFrequencyNeedsAProbeOrARatio)
{
    double v = 1.0;
    EXPECT_EQ(Convert(v, eUnitT, eUnitHZ), eNoProbeSelected);
    EXPECT_EQ(v, 1.0);
    EXPECT_EQ(Convert(v, eUnitMAHZ, eUnitT), eNoProbeSelected);
    EXPECT_EQ(v, 1.0);

    EXPECT_EQ(Convert(v, eUnitT, eUnitMAHZ, 2e7), 0);
    EXPECT_DOUBLE_EQ(v, 20.0);
    EXPECT_EQ(Convert(v, eUnitMAHZ, eUnitGAUSs, 4e7), 0);
    EXPECT_DOUBLE_EQ(v, 5000.0);

    InstallProbe(1e7);
    v = 2.0;
    EXPECT_EQ(Convert(v, eUnitT, eUnitKHZ), 0);
    EXPECT_DOUBLE_EQ(v, 2e4);
    // A given ratio wins over the probe's.
    v = 2.0;
    EXPECT_EQ(Convert(v, eUnitT, eUnitKHZ, 3e7), 0);
    EXPECT_DOUBLE_EQ(v, 6e4);

    // Another status of the source is passed on; an empty source is the default again.
    KorvexSetProbeGyroRatioSource([](double&) { return static_cast<int>(eGeneralFailure); });
    v = 1.0;
    EXPECT_EQ(Convert(v, eUnitHZ, eUnitT), eGeneralFailure);
    KorvexSetProbeGyroRatioSource(nullptr);
    EXPECT_EQ(Convert(v, eUnitHZ, eUnitT), eNoProbeSelected);
    EXPECT_EQ(v, 1.0);
}

TEST_F(ScpiUnitsConvert, ZeroRatioFromAFrequencyIsRefused)
{
    SetValue(g_pNominalPGyroRatio, 0.0);
    double v = 42.5;
    EXPECT_EQ(Convert(v, eUnitMAHZP, eUnitT), eZeroRatioOrReference);
    EXPECT_EQ(v, 42.5);
    EXPECT_EQ(Convert(v, eUnitHZP, eUnitHZ, 1e7), eZeroRatioOrReference);
    EXPECT_EQ(v, 42.5);

    InstallProbe(0.0);
    EXPECT_EQ(Convert(v, eUnitGHZ, eUnitGAUSs), eZeroRatioOrReference);
    EXPECT_EQ(v, 42.5);
    // An explicit ratio needs no probe ratio.
    EXPECT_EQ(Convert(v, eUnitMAHZ, eUnitT, 42.5e6), 0);
    EXPECT_DOUBLE_EQ(v, 1.0);
    // Into a frequency a zero ratio multiplies: no division, no failure.
    v = 1.0;
    EXPECT_EQ(Convert(v, eUnitT, eUnitHZ), 0);
    EXPECT_EQ(v, 0.0);
    v = 1.0;
    EXPECT_EQ(Convert(v, eUnitT, eUnitHZP), 0);
    EXPECT_EQ(v, 0.0);
}

TEST_F(ScpiUnitsConvert, RoundTripAcrossAllUnits)
{
    SetValue(g_pUnitsPpmRef, 1.2);
    SetValue(g_pNominalPGyroRatio, 42.57747892e6);
    InstallProbe(10.7084e6);  // a 13C probe
    const double fields[] = {1.2000036, 0.05, 9.4};
    for (double tesla : fields) {
        for (std::uint32_t from = 1; from < UnitCount; ++from) {
            double start = tesla;
            ASSERT_EQ(KorvexConvertUnits(start, eUnitT, from, 0.0), 0);
            for (std::uint32_t to = 1; to < UnitCount; ++to) {
                SCOPED_TRACE(std::string(UnitsTable[from].name) + " -> " + UnitsTable[to].name);
                double v = start;
                ASSERT_EQ(KorvexConvertUnits(v, from, to, 0.0), 0);
                double expected = tesla;
                ASSERT_EQ(KorvexConvertUnits(expected, eUnitT, to, 0.0), 0);
                // ppm values are small differences: compare them in absolute terms.
                const double tolerance = (to == eUnitPPM) ? 1e-6 : 1e-12 * std::fabs(expected);
                EXPECT_NEAR(v, expected, tolerance);
                ASSERT_EQ(KorvexConvertUnits(v, to, from, 0.0), 0);
                EXPECT_NEAR(v, start, from == eUnitPPM ? 1e-6 : 1e-12 * std::fabs(start));
            }
        }
    }
}

class ScpiUnitsForProbe : public UnitsFixture {};

TEST_F(ScpiUnitsForProbe, NoProbeComesFirst)
{
    double scale = -7.0, offset = -7.0;
    EXPECT_EQ(KorvexConvertUnitsForProbe(eUnitT, scale, offset), eNoProbeSelected);
    EXPECT_EQ(KorvexConvertUnitsForProbe(eUnitHZ, scale, offset), eNoProbeSelected);
    EXPECT_EQ(KorvexConvertUnitsForProbe(0, scale, offset), eNoProbeSelected);
    EXPECT_EQ(scale, -7.0);
    EXPECT_EQ(offset, -7.0);

    InstallProbe(1e7);
    EXPECT_EQ(KorvexConvertUnitsForProbe(0, scale, offset), eUnitIndexOutOfRange);
    EXPECT_EQ(KorvexConvertUnitsForProbe(18, scale, offset), eUnitIndexOutOfRange);
    EXPECT_EQ(scale, -7.0);
}

TEST_F(ScpiUnitsForProbe, ZeroRatioOrReference)
{
    double scale = -7.0, offset = -7.0;
    InstallProbe(0.0);
    SetValue(g_pUnitsPpmRef, 1.0);
    SetValue(g_pNominalPGyroRatio, 4e7);
    EXPECT_EQ(KorvexConvertUnitsForProbe(eUnitGAUSs, scale, offset), eZeroRatioOrReference);
    EXPECT_EQ(KorvexConvertUnitsForProbe(eUnitPPM, scale, offset), eZeroRatioOrReference);
    EXPECT_EQ(KorvexConvertUnitsForProbe(eUnitKHZP, scale, offset), eZeroRatioOrReference);
    EXPECT_EQ(scale, -7.0);
    EXPECT_EQ(KorvexConvertUnitsForProbe(eUnitKHZ, scale, offset), 0);
    EXPECT_EQ(scale, 1e-3);
    EXPECT_EQ(offset, 0.0);

    InstallProbe(1e7);
    SetValue(g_pUnitsPpmRef, 0.0);
    EXPECT_EQ(KorvexConvertUnitsForProbe(eUnitPPM, scale, offset), eZeroRatioOrReference);
}

TEST_F(ScpiUnitsForProbe, AgreesWithTheConversionFromHz)
{
    InstallProbe(10.7084e6);
    SetValue(g_pUnitsPpmRef, 0.9);
    SetValue(g_pNominalPGyroRatio, 42.57747892e6);
    const double frequency = 9.7e6;
    for (std::uint32_t unit = 1; unit < UnitCount; ++unit) {
        SCOPED_TRACE(UnitsTable[unit].name);
        double scale = 0.0, offset = 0.0;
        ASSERT_EQ(KorvexConvertUnitsForProbe(unit, scale, offset), 0);
        EXPECT_EQ(offset, unit == eUnitPPM ? -1e6 : 0.0);
        double expected = frequency;
        ASSERT_EQ(KorvexConvertUnits(expected, eUnitHZ, unit, 0.0), 0);
        EXPECT_NEAR(frequency * scale + offset, expected, 1e-9 * std::fabs(expected) + 1e-6);
    }
}

// The probe ratio, the proton ratio and the reference are read as one snapshot.
TEST_F(ScpiUnitsForProbe, ReadsTheRatiosAsOneSnapshot)
{
    InstallProbe(1e7);
    SetValue(g_pNominalPGyroRatio, 2e7);
    std::atomic<bool> stop{false};
    std::atomic<int> mismatches{0};

    std::thread selector([&] {
        for (int i = 0; i < 3000; ++i) {
            CRecursiveLock lock(ParameterTreeLock());
            const double ratio = 1e6 * (1 + i % 13);
            SetValue(g_pNominalPGyroRatio, 2.0 * ratio);
            kernel::thread_yield();
            probeRatio = ratio;
        }
        stop = true;
    });
    std::thread reader([&] {
        while (!stop) {
            double scale = 0.0, offset = 0.0;
            if (KorvexConvertUnitsForProbe(eUnitHZP, scale, offset) != 0 || scale != 2.0) {
                ++mismatches;
            }
        }
    });
    selector.join();
    reader.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace Korvex::test
