// Side effects of setting commands, run through the dispatcher (the table-driven get/set
// stores the value first where the command names a node).
#include <string>
#include <vector>

#include "Host/scpi/handlers/MeasureFixture.h"

namespace Korvex::test {
namespace {

class ScpiSettingSideEffectsTest : public MeasureFixture {
protected:
    static std::string Text(CParameterNode* node)
    {
        return CParameterNode::GetStringAttribute(node, eAttrValue);
    }
};

TEST_F(ScpiSettingSideEffectsTest, SearchLimitsPullAndPushEachOther)
{
    CParameterNode::SetFloat64Attribute(g_pSearchLow, eAttrValue, 1.0);
    CParameterNode::SetFloat64Attribute(g_pSearchHigh, eAttrValue, 3.0);
    CParameterNode::SetFloat64Attribute(g_pSearchValue, eAttrValue, 2.0);

    // A high limit below the low one pulls the low one down; the value follows.
    EXPECT_EQ(Dispatch("CONF:SEAR:HIGH 0.5").status, 0);
    EXPECT_DOUBLE_EQ(Float(g_pSearchHigh), 0.5);
    EXPECT_DOUBLE_EQ(Float(g_pSearchLow), 0.5);
    EXPECT_DOUBLE_EQ(Float(g_pSearchValue), 0.5);
    EXPECT_DOUBLE_EQ(Float(g_pSearchValue, eAttrMinimum), 0.5);
    EXPECT_DOUBLE_EQ(Float(g_pSearchValue, eAttrMaximum), 0.5);

    // A low limit above the high one pushes the high one up.
    EXPECT_EQ(Dispatch("CONF:SEAR:LOW 4").status, 0);
    EXPECT_DOUBLE_EQ(Float(g_pSearchLow), 4.0);
    EXPECT_DOUBLE_EQ(Float(g_pSearchHigh), 4.0);
    EXPECT_DOUBLE_EQ(Float(g_pSearchValue), 4.0);

    // Within the range nothing else moves but the clamp of the value.
    EXPECT_EQ(Dispatch("CONF:SEAR:HIGH 6").status, 0);
    EXPECT_DOUBLE_EQ(Float(g_pSearchLow), 4.0);
    EXPECT_DOUBLE_EQ(Float(g_pSearchValue, eAttrMaximum), 6.0);
    EXPECT_DOUBLE_EQ(Float(g_pSearchValue), 4.0);
    EXPECT_EQ(NextError(), "0,No error");
}

TEST_F(ScpiSettingSideEffectsTest, TrackingLimitsPullAndPushEachOther)
{
    EXPECT_EQ(Dispatch("CONF:TRAC:HIGH 500000").status, 0);
    EXPECT_DOUBLE_EQ(Float(g_pTrackingMaxFreq), 500000.0);
    EXPECT_DOUBLE_EQ(Float(g_pTrackingMinFreq), 500000.0);
    EXPECT_EQ(Dispatch("CONF:TRAC:LOW 2000000").status, 0);
    EXPECT_DOUBLE_EQ(Float(g_pTrackingMinFreq), 2000000.0);
    EXPECT_DOUBLE_EQ(Float(g_pTrackingMaxFreq), 2000000.0);
    EXPECT_EQ(Dispatch("CONF:TRAC:LOW 1000").status, 0);
    EXPECT_DOUBLE_EQ(Float(g_pTrackingMaxFreq), 2000000.0);
}

TEST_F(ScpiSettingSideEffectsTest, SearchModeIsGuardedWhileAMeasurementRuns)
{
    EXPECT_EQ(Dispatch("CONF:SEAR:MODE MAN").status, 0);
    EXPECT_EQ(Text(g_pSearchMode), "MANual");

    acquisition.triggerActive = true;
    EXPECT_EQ(Dispatch("CONF:SEAR:MODE MAN").status, 0);
    EXPECT_EQ(NextError(), "0,No error");
    Dispatch("CONF:SEAR:MODE AUTO");
    EXPECT_EQ(Text(g_pSearchMode), "MANual");
    EXPECT_EQ(NextError(), "-221,Settings conflict");

    acquisition.triggerActive = false;
    EXPECT_EQ(Dispatch("CONF:SEAR:MODE CUST").status, 0);
    EXPECT_EQ(Text(g_pSearchMode), "CUSTom");
    acquisition.triggerActive = true;
    Dispatch("CONF:SEAR:MODE MAN");
    EXPECT_EQ(Text(g_pSearchMode), "CUSTom");
    EXPECT_EQ(NextError(), "-221,Settings conflict");
}

TEST_F(ScpiSettingSideEffectsTest, ClockSourceRefusedKeepsTheMode)
{
    EXPECT_EQ(Dispatch("INP:CLOC EXT").status, 0);
    EXPECT_EQ(Text(g_pRefClockMode), "EXTernal");
    EXPECT_EQ(acquisition.extRefModes, std::vector<std::string>{"EXTernal"});
    EXPECT_EQ(CKorvexScpiStatus::ReadAndClearEvent(block, eRegOperationBit11) & 0x40, 0x40);

    const struct {
        int code;
        const char* error;
    } cases[] = {{43, "-200,Execution error"}, {38, "-200,Execution error"},
                 {51, "200,Firmware error"}, {49, "-221,Settings conflict"}};
    for (const auto& c : cases) {
        acquisition.extRefResult = c.code;
        Dispatch("INP:CLOC INT");
        EXPECT_EQ(Text(g_pRefClockMode), "EXTernal") << c.code;
        EXPECT_EQ(NextError(), c.error);
        EXPECT_EQ(CKorvexScpiStatus::ReadAndClearEvent(block, eRegOperationBit11) & 0x40, 0);
    }
}

TEST_F(ScpiSettingSideEffectsTest, TriggerOutputIsAppliedAndItsRefusalMapped)
{
    EXPECT_EQ(Dispatch("OUTP:SHAP PULS").status, 0);
    EXPECT_EQ(Dispatch("OUTP:IMM").status, 0);
    EXPECT_EQ(Dispatch("TRIG:SEQ2:SLOP NEG").status, 0);
    EXPECT_EQ(acquisition.triggerOuts, (std::vector<int>{0, 1, 0}));
    EXPECT_EQ(Text(g_pTriggerOutShape), "PULSe");
    EXPECT_EQ(NextError(), "0,No error");

    const struct {
        int code;
        const char* error;
    } cases[] = {{43, "-200,Execution error"}, {38, "-200,Execution error"},
                 {51, "-221,Settings conflict"}, {47, "200,Firmware error"},
                 {30, "200,Firmware error"}};
    for (const auto& c : cases) {
        acquisition.triggerOutResult = c.code;
        Dispatch("OUTP:POL INV");
        EXPECT_EQ(NextError(), c.error) << c.code;
    }
    // Refused, the stored setting keeps the new value.
    EXPECT_EQ(Text(g_pTriggerOutPolarity), "INVerted");

    // The acquisition down.
    CAcquisitionSeam::Install(nullptr);
    Dispatch("OUTP:IMM");
    EXPECT_EQ(NextError(), "-200,Execution error");
}

TEST_F(ScpiSettingSideEffectsTest, UnitListGivesOneTeslaInEveryUnit)
{
    EXPECT_EQ(Dispatch("UNIT:ALL?").status, 0);
    // Without a probe its frequency units cannot be given.
    EXPECT_EQ(response.rfind("T,1.000000000000000e+00,MT,1.000000000000000e+03,", 0), 0u)
        << response;
    EXPECT_NE(response.find(",GAUSs,1.000000000000000e+04,"), std::string::npos);
    EXPECT_NE(response.find(",MAHZ,-1.000000000000000e+00,"), std::string::npos);
    EXPECT_NE(response.find(",MAHZP,4.257747850000000e+01,"), std::string::npos);
    std::size_t commas = 0;
    for (char c : response) commas += c == ',';
    EXPECT_EQ(commas, 2u * 17u - 1u);

    Probes().probeSelected = true;
    EXPECT_EQ(Dispatch("UNIT:ALL?").status, 0);
    EXPECT_NE(response.find(",HZ,4.257747892000000e+07,"), std::string::npos) << response;
}

TEST_F(ScpiSettingSideEffectsTest, NewPpmReferenceDiscardsResultsOnlyUnderPpm)
{
    CFakeAcquisition::Store(std::vector<Measurement>(1));
    EXPECT_EQ(Dispatch("UNIT:PPMR 1.5 T").status, 0);
    EXPECT_DOUBLE_EQ(Float(g_pUnitsPpmRef), 1.5);
    EXPECT_EQ((Dispatch("FETC?"), response), "1.500000 T");

    EXPECT_EQ(Dispatch("UNIT PPM").status, 0);
    EXPECT_EQ((Dispatch("FETC? 1"), response), "0.0 PPM");
    EXPECT_EQ(Dispatch("UNIT:PPMR 1.4 T").status, 0);
    EXPECT_EQ((Dispatch("FETC?"), response), "");
    EXPECT_EQ(NextError(), "204,Data not all available");
}

}  // namespace
}  // namespace Korvex::test
