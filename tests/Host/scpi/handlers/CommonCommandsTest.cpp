// The common commands and system queries, called as the dispatcher calls them.
#include <string>
#include <vector>

#include "Host/parameters/Bindings.h"
#include "Host/scpi/handlers/HandlerFixture.h"

namespace Korvex::test {
namespace {

// Error rows used below.
constexpr std::uint32_t SyntaxErrorRow = 3;       // -102
constexpr std::uint32_t UndefinedHeaderRow = 12;  // -113

using ScpiCommonCommandsTest = HandlerFixture;

TEST_F(ScpiCommonCommandsTest, NewSessionReadsPowerOnOnceFromEsr)
{
    EXPECT_EQ(Query("*ESR?"), "128");
    EXPECT_EQ(Query("*ESR?"), "0");
}

TEST_F(ScpiCommonCommandsTest, EseStoresWithinLimitsAndLeavesSettingsBitAlone)
{
    EXPECT_EQ(Query("*ESE?"), "0");
    EXPECT_EQ(Run("*ESE 36").status, 0);
    EXPECT_EQ(Query("*ESE?"), "36");

    // Above the limits of host_if/status/ESE: refused, the enable kept.
    EXPECT_EQ(Run("*ESE 256").status, ParsedOutOfRange);
    EXPECT_EQ(Run("*ESE -1").status, ParsedOutOfRange);
    EXPECT_EQ(Query("*ESE?"), "36");

    // *ESE and *SRE do not report a settings change.
    EXPECT_EQ(Run("*SRE 16").status, 0);
    EXPECT_EQ(CKorvexScpiStatus::ReadAndClearEvent(block, eRegOperationBit11), 0);
}

TEST_F(ScpiCommonCommandsTest, SreDropsTheSummaryBit)
{
    EXPECT_EQ(Run("*SRE 64").status, 0);
    EXPECT_EQ(Query("*SRE?"), "0");
    EXPECT_EQ(Run("*SRE 255").status, 0);
    EXPECT_EQ(Query("*SRE?"), "191");
    EXPECT_EQ(Run("*SRE 256").status, ParsedOutOfRange);
    EXPECT_EQ(Query("*SRE?"), "191");
    // A number with decimals is rounded half away from zero before the range check.
    EXPECT_EQ(Run("*SRE 15.5").status, 0);
    EXPECT_EQ(Query("*SRE?"), "16");
}

TEST_F(ScpiCommonCommandsTest, SystemErrorGivesOldestFirstThenNoError)
{
    EXPECT_EQ(Query("SYST:ERR?"), "0,\"No error\"");
    CKorvexScpiStatus::PostError(block, SyntaxErrorRow, 1);
    CKorvexScpiStatus::PostError(block, UndefinedHeaderRow, 1);
    EXPECT_EQ(Query("SYSTem:ERRor:NEXT?"), "-102,\"Syntax error\"");
    EXPECT_EQ(Query("SYST:ERR?"), "-113,\"Undefined header\"");
    EXPECT_EQ(Query("SYST:ERR?"), "0,\"No error\"");
}

TEST_F(ScpiCommonCommandsTest, SystemErrorOfAnInstrumentError)
{
    CKorvexScpiStatus::PostError(block, 128, 1);  // 201 "No probe", every session
    EXPECT_EQ(Query("SYST:ERR?"), "201,\"No probe\"");
    while (CKorvexScpiStatus::PopError(&GlobalBlock()) != 0) {}
    while (CKorvexScpiStatus::PopError(&InstrumentBlock()) != 0) {}
}

TEST_F(ScpiCommonCommandsTest, StatusByteShowsWhatEarlierCommandsPosted)
{
    ASSERT_EQ(Query("*ESR?"), "128");
    EXPECT_EQ(Query("*STB?"), "0");

    // A deferred error of an earlier command of the same message: queue bit 0x04.
    CKorvexScpiStatus::PostError(block, UndefinedHeaderRow, 1);
    EXPECT_EQ(Query("*STB?"), "4");

    // Enabled through ESB: 0x20, and MSS in bit 6.
    Run("*ESE 32");
    Run("*SRE 32");
    CKorvexScpiStatus::PostError(block, UndefinedHeaderRow, 1);
    EXPECT_EQ(Query("*STB?"), std::to_string(0x40 | 0x20 | 0x04));

    // A queued response: MAV.
    const char pending = 0;
    host->SetPending(&pending);
    EXPECT_EQ(Query("*STB?"), std::to_string(0x40 | 0x20 | 0x10 | 0x04));
    host->SetPending(nullptr);
}

TEST_F(ScpiCommonCommandsTest, OpcLatchesOperationCompleteAndRequestsService)
{
    ASSERT_EQ(Query("*ESR?"), "128");
    Run("*ESE 1");
    Run("*SRE 32");
    CKorvexScpiStatus::UpdateAllSessions();
    const int before = device.calls.load();

    EXPECT_EQ(Run("*OPC").status, 0);
    EXPECT_EQ(response, "");
    // Deferred: the request is raised at the end of the message.
    EXPECT_EQ(device.calls.load(), before);
    CKorvexScpiStatus::UpdateAllSessions();
    EXPECT_EQ(device.calls.load(), before + 1);
    EXPECT_EQ(device.callsWithoutLock.load(), 0);

    EXPECT_EQ(Query("*STB?"), std::to_string(0x40 | 0x20));
    EXPECT_EQ(Query("*ESR?"), "1");
    EXPECT_EQ(Query("*ESR?"), "0");
    EXPECT_EQ(Query("*OPC?"), "1");
}

TEST_F(ScpiCommonCommandsTest, ClsEmptiesEventsAndQueueButKeepsEnables)
{
    Run("*ESE 60");
    Run("*SRE 16");
    Run("STAT:OPER:ENAB 8");
    CKorvexScpiStatus::SetStatusBit(block, 16, 1, 0);  // OPERation 0x2, this session
    for (int i = 0; i < 3; ++i) CKorvexScpiStatus::PostError(block, SyntaxErrorRow, 1);

    // A response is pending and SRE bit 4 is set: *CLS forgets the status byte seen so far,
    // so the end of the message raises a new request.
    const char pending = 0;
    host->SetPending(&pending);
    CKorvexScpiStatus::UpdateAllSessions();
    const int before = device.calls.load();

    EXPECT_EQ(Run("*CLS").status, 0);
    EXPECT_EQ(response, "");
    CKorvexScpiStatus::UpdateAllSessions();
    EXPECT_EQ(device.calls.load(), before + 1);

    EXPECT_EQ(Query("SYST:ERR?"), "0,\"No error\"");
    EXPECT_EQ(Query("*ESR?"), "0");
    EXPECT_EQ(Query("STAT:OPER?"), "0");
    EXPECT_EQ(Query("STAT:OPER:COND?"), "2");
    EXPECT_EQ(Query("*ESE?"), "60");
    EXPECT_EQ(Query("*SRE?"), "16");
    EXPECT_EQ(Query("STAT:OPER:ENAB?"), "8");
    host->SetPending(nullptr);
}

TEST_F(ScpiCommonCommandsTest, IdnFieldsAndIndefiniteResponse)
{
    SetText(g_pSystemManufacturer, "Meridian Instruments");
    SetText(g_pSystemModel, "PT2026");
    CParameterNode::SetInt32Attribute(g_pSystemSerialNo, eAttrValue, 4711);
    SetText(g_pVersionsHardware, "2.1");
    SetText(g_pVersionsArmFirmware, "1.4");
    SetText(g_pVersionsDspFirmware, "0.9");
    SetText(g_pVersionsCpld, "3");
    const ParsedCommand record = Run("*IDN?");
    EXPECT_EQ(record.status, 0);
    EXPECT_EQ(response, "Meridian Instruments,PT2026,4711,el2.1-arm1.4-dsp0.9-cpld3-pa3.5");
    EXPECT_EQ(record.indefiniteResponse, 1);
}

TEST_F(ScpiCommonCommandsTest, IdnKeepsFourFieldsWhenEmpty)
{
    // No identity loaded: still four fields; the version field starts with "el-arm".
    Run("*IDN?");
    EXPECT_EQ(response, ",,0,el-arm-dsp-cpld-pa3.5");
}

TEST_F(ScpiCommonCommandsTest, RepliesStartAtTheMarkWithoutSeparator)
{
    // A second query of a message: the parser has already put ";" after the first reply.
    SetText(g_pSystemManufacturer, "M");
    for (const char* unit : {"*IDN?", "SYST:ERR?", "*ESE?", "*STB?", "*OPC?", "*TST?",
                             "SYST:VERS?", "STAT:QUES?"}) {
        response = "1;";
        ParsedCommand record = Parse(unit);
        record.mark = 2;
        ScpiCommandHandlerTable[record.command](*parser, record, *host);
        EXPECT_EQ(response.substr(0, 2), "1;") << unit;
        EXPECT_NE(response[2], ',') << unit;
    }
}

TEST_F(ScpiCommonCommandsTest, FixedRepliesAndSilentCommands)
{
    EXPECT_EQ(Query("*TST?"), "0");
    EXPECT_EQ(Query("*OPC?"), "1");
    EXPECT_EQ(Query("SYST:VERS?"), "1999.0");
    EXPECT_EQ(Query("*WAI"), "");
    EXPECT_EQ(CKorvexScpiStatus::ReadAndClearEvent(block, eRegOperationBit11), 0);
}

TEST_F(ScpiCommonCommandsTest, HandlerTableHoldsHandlersOnlyWhereNeeded)
{
    // Plain settings served by the table-driven get/set.
    for (unsigned n : {28u, 35u, 61u, 95u, 96u, 183u, 222u, 223u, 235u, 237u})
        EXPECT_EQ(ScpiCommandHandlerTable[n], nullptr) << n;
    // Every common command and system query.
    for (unsigned n = 0; n <= 17; ++n) EXPECT_NE(ScpiCommandHandlerTable[n], nullptr) << n;
    EXPECT_NE(ScpiCommandHandlerTable[73], nullptr);
    EXPECT_NE(ScpiCommandHandlerTable[74], nullptr);
}

TEST_F(ScpiCommonCommandsTest, QueryHandlersSitAtQueryPatterns)
{
    // A handler that replies must sit at a query, one that does not at a command. The
    // status-block handlers need nothing else (*RST, the help file and the DIAGnostic
    // commands are tested on their own).
    std::vector<unsigned> numbers;
    for (unsigned n = 0; n < 27; ++n) numbers.push_back(n);
    for (unsigned n = 151; n <= 182; ++n) numbers.push_back(n);
    for (unsigned n : numbers) {
        if (n == 7 || n == 16 || n == 17) continue;
        ASSERT_NE(ScpiCommandHandlerTable[n], nullptr) << n;
        const std::string pattern = ScpiCommandPatternTable[n];
        const bool isQuery = pattern.back() == '?';
        EXPECT_EQ(ScpiCommandQueryFlag(n), isQuery ? 1 : 0) << pattern;
        response.clear();
        ParsedCommand record(&response);
        record.command = static_cast<std::uint8_t>(n);
        if (!isQuery) record.SetInteger(0, 0, 0);
        ScpiCommandHandlerTable[n](*parser, record, *host);
        EXPECT_EQ(record.status, 0) << pattern;
        EXPECT_EQ(!response.empty(), isQuery) << pattern;
    }
}

}  // namespace
}  // namespace Korvex::test
