// The STATus register commands, called as the dispatcher calls them.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "Host/scpi/handlers/HandlerFixture.h"
#include "Host/scpi/handlers/StatusCommands.h"

namespace Korvex::test {
namespace {

// Status-bit rows of this session only (no all-sessions flag).
constexpr std::uint32_t OperationBit1Row = 16;      // OPERation 0x2
constexpr std::uint32_t QuestionableBit6Row = 35;   // QUEStionable 0x40

struct RegisterHeader {
    const char* header;
    std::uint32_t reg;
};
constexpr RegisterHeader Registers[] = {
    {"STAT:OPER", eRegOperation},
    {"STAT:QUES", eRegQuestionable},
    {"STAT:QUES:BIT12", eRegQuestionableBit12},
    {"STAT:OPER:BIT11", eRegOperationBit11},
    {"STAT:OPER:BIT12", eRegOperationBit12},
};

using ScpiStatusCommandsTest = HandlerFixture;

TEST_F(ScpiStatusCommandsTest, EventIsReadOnceThenZero)
{
    CKorvexScpiStatus::SetStatusBit(block, OperationBit1Row, 1, 1);
    EXPECT_EQ(Query("STAT:OPER?"), "2");
    EXPECT_EQ(Query("STATus:OPERation:EVENt?"), "0");
    // Still set: no new edge, no new event; the condition shows it.
    EXPECT_EQ(Query("STAT:OPER:COND?"), "2");
    EXPECT_EQ(Query("STAT:OPER?"), "0");
}

TEST_F(ScpiStatusCommandsTest, ConditionFollowsTheBit)
{
    CKorvexScpiStatus::SetStatusBit(block, QuestionableBit6Row, 1, 1);
    EXPECT_EQ(Query("STAT:QUES:COND?"), "64");
    CKorvexScpiStatus::SetStatusBit(block, QuestionableBit6Row, 0, 1);
    EXPECT_EQ(Query("STAT:QUES:COND?"), "0");
    EXPECT_EQ(Query("STAT:QUES?"), "64");
}

TEST_F(ScpiStatusCommandsTest, EveryRegisterHasItsSetters)
{
    std::uint16_t value = 1;
    for (const RegisterHeader& r : Registers) {
        const std::string h = r.header;
        EXPECT_EQ(Run(h + ":ENAB " + std::to_string(value)).status, 0) << h;
        EXPECT_EQ(Run(h + ":NTR " + std::to_string(value + 1)).status, 0) << h;
        EXPECT_EQ(Run(h + ":PTR " + std::to_string(value + 2)).status, 0) << h;
        EXPECT_EQ(CKorvexScpiStatus::GetEnable(block, r.reg), value) << h;
        EXPECT_EQ(CKorvexScpiStatus::GetNTR(block, r.reg), value + 1) << h;
        EXPECT_EQ(CKorvexScpiStatus::GetPTR(block, r.reg), value + 2) << h;
        EXPECT_EQ(Query(h + ":ENAB?"), std::to_string(value)) << h;
        EXPECT_EQ(Query(h + ":NTR?"), std::to_string(value + 1)) << h;
        EXPECT_EQ(Query(h + ":PTR?"), std::to_string(value + 2)) << h;
        value = static_cast<std::uint16_t>(value * 10);
    }
}

TEST_F(ScpiStatusCommandsTest, EveryRegisterHasItsQueries)
{
    // A bit of each register, latched through its default PTR. The sub-registers pass
    // their summaries up (OPERation 0x800 and 0x1000, QUEStionable 0x1000).
    const std::uint32_t rows[] = {OperationBit1Row, QuestionableBit6Row, 44, 55, 63};
    const char* const expected[] = {"6146", "4160", "1", "256", "1"};
    for (std::uint32_t row : rows) CKorvexScpiStatus::SetStatusBit(block, row, 1, 1);
    for (unsigned i = 0; i < 5; ++i) {
        const std::string h = Registers[i].header;
        EXPECT_EQ(Query(h + "?"), expected[i]) << h;
        EXPECT_EQ(Query(h + ":EVEN?"), "0") << h;
    }
    for (std::uint32_t row : rows) CKorvexScpiStatus::SetStatusBit(block, row, 0, 0);
}

TEST_F(ScpiStatusCommandsTest, EnableNeverKeepsBit15TransitionFiltersKeepAll16)
{
    EXPECT_EQ(Run("STAT:OPER:ENAB 65535").status, 0);
    EXPECT_EQ(Query("STAT:OPER:ENAB?"), "32767");
    EXPECT_EQ(Run("STAT:QUES:PTR 65535").status, 0);
    EXPECT_EQ(Query("STAT:QUES:PTR?"), "65535");
    EXPECT_EQ(Run("STAT:OPER:BIT12:NTR 40000").status, 0);
    EXPECT_EQ(Query("STAT:OPER:BIT12:NTR?"), "40000");
}

TEST_F(ScpiStatusCommandsTest, WritingAFilterReportsASettingsChange)
{
    ASSERT_EQ(Query("STAT:OPER:BIT11?"), "0");
    for (const char* unit : {"STAT:QUES:ENAB 1", "STAT:OPER:BIT12:PTR 7", "STAT:QUES:BIT12:NTR 2"}) {
        EXPECT_EQ(Run(unit).status, 0) << unit;
        EXPECT_EQ(Query("STAT:OPER:BIT11?"), "2") << unit;
        EXPECT_EQ(Query("STAT:OPER:BIT11?"), "0") << unit;
    }
    // The queries do not.
    Query("STAT:QUES:ENAB?");
    Query("STAT:OPER:PTR?");
    EXPECT_EQ(Query("STAT:OPER:BIT11?"), "0");
}

TEST_F(ScpiStatusCommandsTest, RefusedValueChangesNothing)
{
    ASSERT_EQ(Run("STAT:OPER:ENAB 12").status, 0);
    ASSERT_EQ(Run("STAT:QUES:NTR 3").status, 0);
    Query("STAT:OPER:BIT11?");

    EXPECT_EQ(Run("STAT:OPER:ENAB 65536").status, ParsedOutOfRange);
    EXPECT_EQ(Run("STAT:QUES:NTR -1").status, ParsedOutOfRange);
    EXPECT_EQ(Run("STAT:QUES:PTR 1e10").status, ParsedOutOfRange);
    EXPECT_EQ(Query("STAT:OPER:ENAB?"), "12");
    EXPECT_EQ(Query("STAT:QUES:NTR?"), "3");
    EXPECT_EQ(Query("STAT:QUES:PTR?"), "65535");
    EXPECT_EQ(Query("STAT:OPER:BIT11?"), "0");
}

TEST_F(ScpiStatusCommandsTest, PresetRestoresFiltersAndEnables)
{
    Run("*ESE 4");
    Run("*SRE 8");
    for (const RegisterHeader& r : Registers) {
        const std::string h = r.header;
        Run(h + ":ENAB 5");
        Run(h + ":NTR 6");
        Run(h + ":PTR 7");
    }
    EXPECT_EQ(Run("STAT:PRES").status, 0);
    EXPECT_EQ(response, "");
    for (const RegisterHeader& r : Registers) {
        const std::string h = r.header;
        const bool summary = r.reg == eRegOperation || r.reg == eRegQuestionable;
        EXPECT_EQ(Query(h + ":ENAB?"), summary ? "0" : "65535") << h;
        EXPECT_EQ(Query(h + ":NTR?"), "0") << h;
        EXPECT_EQ(Query(h + ":PTR?"), "65535") << h;
    }
    EXPECT_EQ(Query("*ESE?"), "4");
    EXPECT_EQ(Query("*SRE?"), "8");
}

TEST_F(ScpiStatusCommandsTest, HandlerOutsideItsCommandsIsAnInternalFault)
{
    ParsedCommand record(&response);
    record.command = 4;  // *IDN?
    StatusEventQuery(*parser, record, *host);
    EXPECT_EQ(record.status, ParsedInconsistent);
    EXPECT_EQ(response, "");
}

// An event latched by another thread between the read and the clear must not get lost:
// each event the setter raises is seen by one of the reader's queries.
TEST_F(ScpiStatusCommandsTest, EventReadAndClearLosesNothingUnderRace)
{
    constexpr int Rounds = 2000;
    std::atomic<int> seen{0};
    std::atomic<bool> lost{false};
    std::thread setter([&] {
        for (int i = 0; i < Rounds && !lost; ++i) {
            CKorvexScpiStatus::SetStatusBit(block, OperationBit1Row, 1, 0);
            CKorvexScpiStatus::SetStatusBit(block, OperationBit1Row, 0, 0);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (seen.load() <= i) {
                if (std::chrono::steady_clock::now() > deadline) {
                    lost = true;
                    break;
                }
                std::this_thread::yield();
            }
        }
    });
    while (seen.load() < Rounds && !lost) {
        response.clear();
        ParsedCommand record(&response);
        record.command = 18;  // STATus:OPERation[:EVENt]?
        StatusEventQuery(*parser, record, *host);
        if (response == "2") ++seen;
    }
    setter.join();
    EXPECT_FALSE(lost);
    EXPECT_EQ(seen.load(), Rounds);
}

}  // namespace
}  // namespace Korvex::test
