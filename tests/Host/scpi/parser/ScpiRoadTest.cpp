// A host's program message through the parser thread and the dispatcher: one reply per
// message, parse errors drop the message, the lock rule, query announcement, the stubbed
// commands, caught exceptions and the command-table count rule.
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Host/parameters/Error.h"
#include "Host/scpi/parser/ParserFixture.h"
#include "Host/scpi/status/StatusTables.h"

namespace Korvex::test {
namespace {

using ScpiRoadTest = ParserFixture;

std::int32_t IntValue(CParameterNode* node, unsigned attribute = eAttrValue)
{
    return CParameterNode::GetInt32Attribute(node, attribute);
}

// A value of the signal-averaging count other than the current one.
std::string OtherSignalCount()
{
    const std::int32_t v = IntValue(g_pSignalAveragingCount);
    return std::to_string(v == 7 ? 8 : 7);
}

TEST_F(ScpiRoadTest, OnlyQueriesAnswerJoinedBySemicolon)
{
    EXPECT_EQ(host->Exchange("*CLS;*ESE 32;*ESE?"), "32\n");
    EXPECT_EQ(host->Exchange("*ESE?;*SRE?"), "32;0\n");
    EXPECT_EQ(host->Exchange("*SRE 16;*ESE 0"), "");
    EXPECT_EQ(host->Exchange("*SRE?"), "16\n");
    EXPECT_EQ(host->NextError(), "0,No error");
    // One announcement per message that holds queries.
    EXPECT_EQ(host->QueryAnnouncements(), 3);
}

TEST_F(ScpiRoadTest, ParseErrorDropsTheWholeMessage)
{
    ASSERT_EQ(host->Exchange("*ESE 8"), "");
    EXPECT_EQ(host->Exchange("*ESE?;FOO;*SRE?"), "");
    EXPECT_EQ(host->Exchange("*ESE 4;FOO"), "");
    EXPECT_EQ(host->NextError(), "-102,Syntax error");
    EXPECT_EQ(host->NextError(), "-102,Syntax error");
    EXPECT_EQ(host->NextError(), "0,No error");
    EXPECT_EQ(host->Exchange("*ESE?"), "8\n");
    EXPECT_EQ(host->QueryAnnouncements(), 1);
}

TEST_F(ScpiRoadTest, NoQueryAnswersAfterAnIndefiniteResponse)
{
    ASSERT_EQ(host->Exchange("*ESE 2"), "");
    const std::string identity = host->Exchange("*IDN?;*ESE?");
    ASSERT_GT(identity.size(), 1u);
    EXPECT_EQ(identity.back(), '\n');
    EXPECT_EQ(identity.find(';'), std::string::npos);
    EXPECT_EQ(host->Exchange("*IDN?"), identity);
    EXPECT_EQ(host->NextError(), "-440,Query UNTERMINATED after indefinite response");
    EXPECT_EQ(host->NextError(), "0,No error");
}

TEST_F(ScpiRoadTest, SettingsOnlyGiveNoReplyButHandTheInputBack)
{
    const int before = host->InputDoneCount();
    EXPECT_EQ(host->Exchange("AVER:COUN " + OtherSignalCount() + ";*ESE 0"), "");
    EXPECT_EQ(host->InputDoneCount(), before + 1);
    EXPECT_EQ(host->QueryAnnouncements(), 0);
    EXPECT_TRUE(host->Responses().empty());
    // An empty message and one of blanks are handed back too.
    EXPECT_EQ(host->Exchange(" ; "), "");
    EXPECT_EQ(host->InputDoneCount(), before + 2);
}

TEST_F(ScpiRoadTest, LargeSuffixAndIntegerOverflow)
{
    EXPECT_EQ(host->Exchange("AVER258:COUN 7;:AVER2:COUN 9"), "");
    EXPECT_EQ(IntValue(g_pSignalAveragingCount), 7);
    EXPECT_EQ(IntValue(g_pMeasurementAveragingCount), 9);
    // Past 32 bits: a double, which the integer node refuses as out of range.
    EXPECT_EQ(host->Exchange("AVER:COUN 3e9"), "");
    EXPECT_EQ(host->NextError(), "-222,Data out of range");
    EXPECT_EQ(IntValue(g_pSignalAveragingCount), 7);
    std::vector<ParsedCommand> records;
    ASSERT_EQ(CKorvexHostParser::ParseMessage("SENS:SWE:TIME 3e9", records, nullptr), 0);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].slotType[0], ParsedSlotNumber);
    EXPECT_DOUBLE_EQ(records[0].doubles[0], 3e9);
}

std::string Addresses(const std::vector<CKorvexChannel>& list)
{
    std::string out;
    for (const CKorvexChannel& c : list) {
        if (!out.empty()) out += ' ';
        for (unsigned i = 0; i < c.count; ++i) out += (i ? "!" : "") + std::to_string(c[i]);
    }
    return out;
}

std::uint8_t ParseList(const std::string& list, std::vector<CKorvexChannel>* out = nullptr)
{
    std::vector<ParsedCommand> records;
    const std::uint8_t status =
        CKorvexHostParser::ParseMessage("ROUT:CLOS " + list, records, nullptr);
    if (out != nullptr && status == 0 && !records.empty()) *out = records[0].channels[0];
    return status;
}

TEST_F(ScpiRoadTest, ChannelListsExpandInRangeOrder)
{
    std::vector<CKorvexChannel> list;
    ASSERT_EQ(ParseList("(@1!3:1!1)", &list), 0);
    EXPECT_EQ(Addresses(list), "1!3 1!2 1!1");
    ASSERT_EQ(ParseList("(@1!1!3:1!2!4,1!7)", &list), 0);
    EXPECT_EQ(Addresses(list), "1!1!3 1!1!4 1!2!3 1!2!4 1!7");
    ASSERT_EQ(ParseList("(@1!2:1!1)", &list), 0);
    EXPECT_EQ(Addresses(list), "1!2 1!1");

    EXPECT_EQ(ParseList("(@2!1)"), 16);
    EXPECT_EQ(ParseList("(@1!0)"), 16);
    EXPECT_EQ(ParseList("(@1!256)"), 16);
    EXPECT_EQ(ParseList("(@1!1!1!1!1!1)"), 210);
    // 255^3 addresses: stopped past 1024, not expanded.
    EXPECT_EQ(ParseList("(@1!1!1!1:1!255!255!255)"), 248);
    EXPECT_EQ(ParseList("(@1!1!1:1!255!4,1!1:1!1)"), 0);
    EXPECT_EQ(ParseList("(@1!1!1:1!255!5)"), 248);

    EXPECT_EQ(host->Exchange("ROUT:CLOS (@1!1!1!1:1!255!255!255)"), "");
    EXPECT_EQ(host->NextError(), "104,Error in channel list");
    EXPECT_EQ(host->Exchange("ROUT:CLOS (@2!1)"), "");
    EXPECT_EQ(host->NextError(), "101,Invalid value in list");
    EXPECT_EQ(host->Exchange("ROUT:CLOS (@1!1!1!1!1!1)"), "");
    EXPECT_EQ(host->NextError(), "103,Invalid number of dimensions in channel");
}

TEST_F(ScpiRoadTest, ExpandChannelRangeStopsAtTheLimit)
{
    const std::uint8_t from[3] = {1, 1, 3};
    const std::uint8_t to[3] = {1, 2, 4};
    const bool ascending[3] = {true, true, true};
    std::vector<CKorvexChannel> list;
    EXPECT_EQ(CKorvexHostParser::ExpandChannelRange(list, from, to, 3, ascending, 4), 0);
    EXPECT_EQ(Addresses(list), "1!1!3 1!1!4 1!2!3 1!2!4");
    list.clear();
    EXPECT_EQ(CKorvexHostParser::ExpandChannelRange(list, from, to, 3, ascending, 3), 248);
}

TEST_F(ScpiRoadTest, QuotedStringsTakeDoubledQuotesAsOne)
{
    std::vector<ParsedCommand> records;
    ASSERT_EQ(CKorvexHostParser::ParseMessage("SYST:COMM:ETH:IDEN 'It''s'", records, nullptr), 0);
    EXPECT_EQ(records[0].strings[0], "It's");
    ASSERT_EQ(CKorvexHostParser::ParseMessage("SYST:COMM:ETH:IDEN \"a\"\"\"\"b\"", records,
                                              nullptr),
              0);
    EXPECT_EQ(records[0].strings[0], "a\"\"b");
}

TEST_F(ScpiRoadTest, RemovedMessageIsNeverParsed)
{
    Gate gate;
    CParameterNode::Subscribe(g_pSignalAveragingCount, &Gate::Hold, &gate);
    ASSERT_EQ(host->Exchange("*ESE 1"), "");
    parser->PostMessage("AVER:COUN " + OtherSignalCount(), host.get());
    ASSERT_TRUE(gate.WaitEntered());
    parser->PostMessage("*ESE 64", host.get());
    parser->RemovePendingMessages(host.get());
    const int before = host->InputDoneCount();
    gate.Open();
    ASSERT_TRUE(host->WaitInputDone(before + 1, 2000));
    EXPECT_EQ(host->Exchange("*ESE?"), "1\n");
    EXPECT_EQ(host->InputDoneCount(), before + 2);
}

TEST_F(ScpiRoadTest, ParserRunsOnlyWith239Patterns)
{
    std::vector<const char*> patterns(ScpiCommandPatternTable,
                                      ScpiCommandPatternTable + ScpiCommandCount + 1);
    patterns.erase(patterns.begin() + 5);  // 238 patterns, then ""
    CKorvexHostParser shortTable(patterns.data());
    EXPECT_EQ(shortTable.Running(), 0);
    CTestHost other(&shortTable);
    shortTable.PostMessage("*ESE?", &other);
    EXPECT_FALSE(other.WaitInputDone(1, 300));
    EXPECT_TRUE(other.Responses().empty());

    std::vector<const char*> full(ScpiCommandPatternTable,
                                  ScpiCommandPatternTable + ScpiCommandCount + 1);
    CKorvexHostParser fullTable(full.data());
    EXPECT_EQ(fullTable.Running(), 1);
}

class OnlyTriggerActive : public CAcquisitionSeam {
public:
    bool TriggerActive() override { return true; }
};

TEST_F(ScpiRoadTest, BusyRefusalEndsTheCommand)
{
    // A refusal by the busy rule ends the command: one -221, no -200.
    OnlyTriggerActive seam;
    CAcquisitionSeam::Install(&seam);
    EXPECT_EQ(host->Exchange("INIT"), "");
    EXPECT_EQ(host->NextError(), "-221,Settings conflict");
    EXPECT_EQ(host->NextError(), "0,No error");
    CAcquisitionSeam::Install(nullptr);
}

TEST_F(ScpiRoadTest, LockRefusesOtherSessionsOnly)
{
    CTestHost holder(parser.get());
    ClearQueue(holder);
    CParameterNode::SetPointerAttribute(g_pParametersLock, eAttrValue, &holder);
    const std::int32_t count = IntValue(g_pSignalAveragingCount);
    EXPECT_EQ(host->Exchange("AVER:COUN " + OtherSignalCount()), "");
    EXPECT_EQ(IntValue(g_pSignalAveragingCount), count);
    EXPECT_EQ(host->NextError(), "-221,Settings conflict");
    ClearQueue(holder);
    // Allowed under the lock.
    EXPECT_GT(host->Exchange("*IDN?").size(), 1u);
    EXPECT_EQ(host->Exchange("*ESE 4;*CLS;*ESE?"), "4\n");
    EXPECT_EQ(host->NextError(), "0,No error");
    // The holder itself is never refused.
    EXPECT_EQ(holder.Exchange("AVER:COUN " + OtherSignalCount()), "");
    EXPECT_NE(IntValue(g_pSignalAveragingCount), count);
    EXPECT_EQ(holder.NextError(), "0,No error");
    CParameterNode::SetPointerAttribute(g_pParametersLock, eAttrValue, nullptr);
}

TEST_F(ScpiRoadTest, RefusedQueryAnnouncementStopsTheMessage)
{
    host->failQueryDetected = true;
    EXPECT_EQ(host->Exchange("*ESE 8;*ESE?;*SRE 4"), "");
    EXPECT_EQ(host->NextError(), "-400,Query error");
    EXPECT_EQ(host->NextError(), "0,No error");
    host->failQueryDetected = false;
    EXPECT_EQ(host->Exchange("*ESE?;*SRE?"), "8;0\n");
}

TEST_F(ScpiRoadTest, HostFailuresDoNotStopTheParser)
{
    host->failQueueResponse = true;
    host->failInputProcessed = true;
    EXPECT_EQ(host->Exchange("*ESE?"), "");
    host->failQueueResponse = false;
    host->failInputProcessed = false;
    EXPECT_EQ(host->Exchange("*ESE?"), "0\n");
}

struct Thrower {
    int kind;
    static void Throw(CParameterNode*, int event, void* user)
    {
        if (event != 0) return;
        switch (static_cast<Thrower*>(user)->kind) {
            case 0: throw std::out_of_range("Access to a CKorvexChannel out of bounds");
            case 1: throw eInvalidChannelList;
            case 2: throw eAcquisitionNotUp;
            case 3: throw static_cast<eSCPIErrorEvent>(117);
            default: throw 5;
        }
    }
};

TEST_F(ScpiRoadTest, ExceptionsEndInAPostedErrorAndTheThreadGoesOn)
{
    Thrower thrower{0};
    CParameterNode::Subscribe(g_pSignalAveragingCount, &Thrower::Throw, &thrower);
    const char* expected[] = {"200,Firmware error", "203,Invalid Channel List",
                              "-200,Execution error",
                              "-440,Query UNTERMINATED after indefinite response",
                              "200,Firmware error"};
    for (int kind = 0; kind < 5; ++kind) {
        thrower.kind = kind;
        EXPECT_EQ(host->Exchange("AVER:COUN " + OtherSignalCount() + ";*ESE?"), "0\n") << kind;
        EXPECT_EQ(host->NextError(), expected[kind]) << kind;
        ClearQueue(*host);
    }
}

TEST_F(ScpiRoadTest, ServiceRequestAtTheEndOfTheMessage)
{
    const int before = host->ServiceRequests();
    EXPECT_EQ(host->Exchange("*SRE 32;*ESE 1;*OPC"), "");
    EXPECT_GT(host->ServiceRequests(), before);
    EXPECT_EQ(host->Exchange("*STB?"), "96\n");
}

}  // namespace
}  // namespace Korvex::test
