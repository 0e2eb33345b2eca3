// MEASure, READ, INITiate, ABORt and CONFigure? against a fake acquisition and the probe
// doubles, run through the dispatcher.
#include <string>
#include <vector>

#include "Host/scpi/handlers/MeasureFixture.h"

namespace Korvex::test {
namespace {

class ScpiMeasurementCommandsTest : public MeasureFixture {
protected:
    void SetUp() override
    {
        MeasureFixture::SetUp();
        Probes().refreshResult = 0;
        Probes().topology = {Address({1, 1})};
    }

    static bool Continuous() { return CParameterNode::GetBooleanAttribute(g_pTriggerInContinuous, eAttrValue); }
    static std::string Source() { return CParameterNode::GetStringAttribute(g_pTriggerInSource, eAttrValue); }
    static std::int32_t Count() { return CParameterNode::GetInt32Attribute(g_pTriggerInCount, eAttrValue); }
};

TEST_F(ScpiMeasurementCommandsTest, MeasureForcesASingleImmediateTriggerAndResetsModes)
{
    SetFlag(g_pTriggerInContinuous, true);
    SetText(g_pTriggerInSource, "BUS");
    CParameterNode::SetInt32Attribute(g_pTriggerInCount, eAttrValue, 3);

    EXPECT_EQ(Dispatch("MEAS?").status, 0);
    EXPECT_EQ(response, "1.500000 T");
    EXPECT_FALSE(Continuous());
    EXPECT_EQ(Source(), "IMMediate");
    EXPECT_EQ(Count(), 1);
    EXPECT_EQ(acquisition.aborts, std::vector<int>{1});
    EXPECT_EQ(acquisition.modeResets, 1);
    ASSERT_EQ(acquisition.initiated.size(), 1u);
    EXPECT_EQ(acquisition.lastInitiator, block);
    EXPECT_EQ(acquisition.expectedValues[0], 0.0);
    // The trigger settings changed.
    EXPECT_EQ(CKorvexScpiStatus::ReadAndClearEvent(block, eRegOperationBit11) & 0x400, 0x400);
    EXPECT_EQ(NextError(), "0,No error");
}

TEST_F(ScpiMeasurementCommandsTest, ReadKeepsTheModes)
{
    std::vector<CKorvexChannel> current = {Address({1, 2})};
    CParameterNode::SetPointerAttribute(g_pCurrentChannelList, eAttrValue, &current);
    EXPECT_EQ((Dispatch("READ?"), response), "1.500000 T");
    EXPECT_EQ(acquisition.modeResets, 0);
    // Without a list READ measures on the current selection, without a refresh.
    EXPECT_EQ(Probes().refreshes, 0);
    ASSERT_EQ(acquisition.initiated.size(), 1u);
    ASSERT_EQ(acquisition.initiated[0].size(), 1u);
    EXPECT_EQ(acquisition.initiated[0][0][1], 2);

    // An empty selection: the topology is refreshed.
    current.clear();
    EXPECT_EQ((Dispatch("READ?"), response), "1.500000 T");
    EXPECT_EQ(Probes().refreshes, 1);
    EXPECT_EQ(acquisition.initiated[1][0][1], 1);
}

TEST_F(ScpiMeasurementCommandsTest, ChannelsFromTheListOrTheRefreshedTopology)
{
    EXPECT_EQ(Dispatch("MEAS? 0,3,(@1!4)").status, 0);
    EXPECT_EQ(response, "1.500 T");
    EXPECT_EQ(Probes().refreshes, 0);
    ASSERT_EQ(Probes().selections.size(), 1u);
    EXPECT_EQ(Probes().selections[0][0][1], 4);

    EXPECT_EQ(Dispatch("MEAS?").status, 0);
    EXPECT_EQ(Probes().refreshes, 1);
    EXPECT_EQ(acquisition.initiated.back()[0][1], 1);
    // The refresh flag of OPERation is set and cleared again.
    EXPECT_EQ(CKorvexScpiStatus::ReadCondition(block, eRegOperation) & 0x4, 0);
    EXPECT_EQ(CKorvexScpiStatus::ReadAndClearEvent(block, eRegOperation) & 0x4, 0x4);

    // Nothing connected.
    Probes().refreshResult = 30;
    Probes().topology.clear();
    const std::size_t initiations = acquisition.initiated.size();
    EXPECT_EQ((Dispatch("MEAS?"), response), "");
    EXPECT_EQ(NextError(), "201,No probe");
    EXPECT_EQ(acquisition.initiated.size(), initiations);

    // Selection refused.
    Probes().selectResult = 29;
    EXPECT_EQ((Dispatch("MEAS? 0,3,(@1!4)"), response), "");
    EXPECT_EQ(NextError(), "201,No probe");
}

TEST_F(ScpiMeasurementCommandsTest, ExpectedValueReachesTheAcquisitionInTheSelectedUnit)
{
    SetUnit("GAUSs");
    EXPECT_EQ(Dispatch("MEAS? 1.5 T").status, 0);
    EXPECT_DOUBLE_EQ(acquisition.expectedValues.back(), 15000.0);
    EXPECT_EQ(Dispatch("MEAS? 12000").status, 0);
    EXPECT_DOUBLE_EQ(acquisition.expectedValues.back(), 12000.0);
    EXPECT_EQ(Dispatch("READ:ARR? 1,0").status, 0);
    EXPECT_EQ(acquisition.expectedValues.back(), 0.0);

    // 0 is "none" also where 0 T would be a figure of the unit.
    SetUnit("PPM");
    CParameterNode::SetFloat64Attribute(g_pUnitsPpmRef, eAttrValue, 1.5);
    EXPECT_EQ(Dispatch("MEAS? 0").status, 0);
    EXPECT_EQ(acquisition.expectedValues.back(), 0.0);

    // A probe frequency needs the probe: the parameter error is reported, the measurement
    // runs without an expected value.
    SetUnit("T");
    const ParsedCommand record = Dispatch("MEAS? 63 MAHZ");
    EXPECT_EQ(record.status, ParsedNoProbe);
    EXPECT_EQ(acquisition.expectedValues.back(), 0.0);
    EXPECT_EQ(response, "1.500000 T");
}

TEST_F(ScpiMeasurementCommandsTest, ParameterErrorsDoNotStopTheSequence)
{
    // Above the expected value's range, and digits above their range.
    ParsedCommand record = Dispatch("MEAS? 20,3");
    EXPECT_EQ(record.status, ParsedOutOfRange);
    EXPECT_EQ(acquisition.initiated.size(), 1u);
    EXPECT_EQ(response, "1.500 T");
    record = Dispatch("READ? 1,12");
    EXPECT_EQ(record.status, ParsedOutOfRange);
    EXPECT_EQ(acquisition.initiated.size(), 2u);
}

TEST_F(ScpiMeasurementCommandsTest, ThrownCodesBecomeTheirErrors)
{
    SetFlag(g_pTriggerInContinuous, true);
    acquisition.abortResult = 43;
    EXPECT_EQ((Dispatch("MEAS?"), response), "");
    EXPECT_EQ(NextError(), "200,Firmware error");
    // Stopped at once: nothing after the abort ran.
    EXPECT_TRUE(Continuous());
    acquisition.abortResult = 0;

    const struct {
        int code;
        const char* error;
    } cases[] = {{46, "202,No selected channel"},
                 {50, "205,Topology Changed"},
                 {49, "-221,Settings conflict"},
                 {43, "-200,Execution error"},
                 {47, "200,Firmware error"}};
    for (const auto& c : cases) {
        acquisition.initiateResult = c.code;
        EXPECT_EQ((Dispatch("READ? 0,6,(@1!1)"), response), "") << c.code;
        EXPECT_EQ(NextError(), c.error);
        EXPECT_EQ((Dispatch("INIT"), response), "");
        EXPECT_EQ(NextError(), c.error);
    }
    // Steps before the failure stay done.
    EXPECT_FALSE(Continuous());
}

TEST_F(ScpiMeasurementCommandsTest, InitiateAbortAndContinuous)
{
    std::vector<CKorvexChannel> current = {Address({1, 3})};
    CParameterNode::SetPointerAttribute(g_pCurrentChannelList, eAttrValue, &current);
    acquisition.measureOnInitiate = false;

    EXPECT_EQ(Dispatch("INIT").status, 0);
    ASSERT_EQ(acquisition.initiated.size(), 1u);
    EXPECT_EQ(acquisition.initiated[0][0][1], 3);
    EXPECT_EQ(acquisition.expectedValues[0], 0.0);

    EXPECT_EQ(Dispatch("INIT:CONT OFF").status, 0);
    EXPECT_EQ(acquisition.initiated.size(), 1u);
    EXPECT_EQ(Dispatch("INIT:CONT ON").status, 0);
    EXPECT_EQ(acquisition.initiated.size(), 2u);
    EXPECT_TRUE(Continuous());

    EXPECT_EQ(Dispatch("ABOR").status, 0);
    EXPECT_EQ(acquisition.aborts, std::vector<int>{0});
    EXPECT_EQ(NextError(), "0,No error");
    acquisition.abortResult = 43;
    Dispatch("ABOR");
    EXPECT_EQ(NextError(), "-200,Execution error");
}

TEST_F(ScpiMeasurementCommandsTest, FetchArrayAsksForTheCount)
{
    std::vector<Measurement> five(5);
    for (unsigned i = 0; i < 5; ++i) five[i].flux = i;
    CFakeAcquisition::Store(five);
    EXPECT_EQ((Dispatch("FETC:ARR? 5,0"), response), "0 T,1 T,2 T,3 T,4 T");
    // A digits parameter out of range: no reply from a scalar form.
    EXPECT_EQ(Dispatch("FETC? 10").status, ParsedOutOfRange);
    EXPECT_EQ(response, "");

    // The count of the intermediate arrays is required.
    std::vector<ParsedCommand> records;
    CKorvexHostParser::ReportParseStatus(
        CKorvexHostParser::ParseMessage("FETC:ARR:NMRS?", records, &response), block);
    EXPECT_EQ(NextError().substr(0, 5), "-115,");
}

TEST_F(ScpiMeasurementCommandsTest, ConfigureQuery)
{
    EXPECT_EQ(Dispatch("CONF?").status, 0);
    ASSERT_FALSE(response.empty());
    EXPECT_EQ(response.back(), ';');
    EXPECT_EQ(response.rfind(":CONF:MEAS:REJ 0;", 0), 0u) << response;
    EXPECT_NE(response.find(";:CONF:MEAS:POIN 10;"), std::string::npos) << response;
    EXPECT_NE(response.find(";:CONF:PROB:MODE AUTO;"), std::string::npos) << response;
    const std::size_t fstep = response.find(":CONF:SEAR:FSTEP ");
    ASSERT_NE(fstep, std::string::npos);
    EXPECT_EQ(response.find(" Hz;", fstep), response.find(";", fstep) - 3);
    EXPECT_EQ(response.find(" Hz;"), response.rfind(" Hz;"));
    EXPECT_NE(response.find(":CONF:TRAC:HYST 3;"), std::string::npos) << response;
    std::uint8_t status = 0;
    const std::string low =
        CParameterNode::FormatFloat64Attribute(status, g_pSearchValue, eAttrMinimum);
    EXPECT_NE(response.find(":CONF:SEAR:LOW " + low + " T;"), std::string::npos) << response;
}

}  // namespace
}  // namespace Korvex::test
