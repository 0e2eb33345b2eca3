// Cutting program messages into units, the header matcher and the remembered header path.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "EngineTestSupport.h"

using namespace Korvex;
using KorvexTest::FirstStatus;
using KorvexTest::ParseMessage;

namespace {

// Command numbers of the table used below.
constexpr std::uint8_t CmdCls = 0;
constexpr std::uint8_t CmdEse = 1;
constexpr std::uint8_t CmdEseQuery = 2;
constexpr std::uint8_t CmdIdn = 4;
constexpr std::uint8_t CmdSystErr = 14;
constexpr std::uint8_t CmdAverCount = 29;
constexpr std::uint8_t CmdAverState = 31;
constexpr std::uint8_t CmdAverTcon = 33;
constexpr std::uint8_t CmdConfMode = 36;
constexpr std::uint8_t CmdConfLevel = 40;
constexpr std::uint8_t CmdConfSearchMode = 58;
constexpr std::uint8_t CmdFetch = 75;
constexpr std::uint8_t CmdMeasure = 102;
constexpr std::uint8_t CmdMmemData = 106;
constexpr std::uint8_t CmdMmemDelete = 107;
constexpr std::uint8_t CmdTrigCount = 223;

std::uint8_t Match(const char* pattern, const char* text, int mode, std::uint32_t& suffix,
                   std::uint8_t& count)
{
    return scpi_match_header(pattern, std::strlen(pattern), text, std::strlen(text), mode, &suffix,
                             count);
}

}  // namespace

TEST(ScpiLexerMatch, ShortAndCompleteLongFormsOnly)
{
    scpi_reset_header_path();
    std::uint32_t suffix = 0;
    std::uint8_t count = 0;
    const char* pattern = "SYSTem:ERRor[:NEXT]?";
    EXPECT_EQ(0, Match(pattern, "syst:err?", 0, suffix, count));
    EXPECT_EQ(0, Match(pattern, "SYSTEM:ERROR:NEXT?", 0, suffix, count));
    EXPECT_EQ(0, Match(pattern, "SYST:ERR:NEXT?", 0, suffix, count));
    EXPECT_EQ(70, Match(pattern, "SYSTE:ERR?", 0, suffix, count));
    EXPECT_EQ(70, Match(pattern, "SYST:ERR", 0, suffix, count));
    EXPECT_EQ(70, Match(pattern, "SYST:ERR?X", 0, suffix, count));
    EXPECT_EQ(70, Match("MEASure[:SCALar][:FLUX]?", "MEASU?", 0, suffix, count));
    EXPECT_EQ(0u, count) << "no suffix pattern leaves the count";

    // Mode 1: one choice alternative against a whole parameter.
    EXPECT_EQ(0, Match("MAXimum", "max", 1, suffix, count));
    EXPECT_EQ(0, Match("MAXimum", "MAXIMUM", 1, suffix, count));
    EXPECT_EQ(70, Match("MAXimum", "MAXI", 1, suffix, count));
    EXPECT_EQ(70, Match("MAXimum", "", 1, suffix, count));
}

TEST(ScpiLexerMatch, NumericSuffix)
{
    scpi_reset_header_path();
    const char* pattern = "[CALCulate:]AVERage#:COUNt";
    std::uint32_t suffix = 99;
    std::uint8_t count = 0;
    EXPECT_EQ(0, Match(pattern, "AVER:COUN", 0, suffix, count));
    EXPECT_EQ(1u, count);
    EXPECT_EQ(1u, suffix) << "a missing suffix is 1";

    count = 0;
    EXPECT_EQ(0, Match(pattern, "CALC:AVER258:COUN", 0, suffix, count));
    EXPECT_EQ(258u, suffix) << "the suffix is 32 bits wide";
    count = 0;
    EXPECT_EQ(0, Match(pattern, "AVER4294967295:COUN", 0, suffix, count));
    EXPECT_EQ(4294967295u, suffix);

    count = 0;
    EXPECT_EQ(14, Match(pattern, "AVER0:COUN", 0, suffix, count));
    EXPECT_EQ(0u, count) << "the count is written on success only";
    EXPECT_EQ(14, Match(pattern, "AVER4294967296:COUN", 0, suffix, count));
    EXPECT_EQ(14, Match(pattern, "AVER99999999999999999999:COUN", 0, suffix, count));

    // A second suffix: in the same pattern, or one already taken by the header.
    count = 0;
    EXPECT_EQ(5, Match("A#:B#", "A1:B2", 1, suffix, count));
    count = 1;
    EXPECT_EQ(5, Match("X#", "X", 1, suffix, count));
}

TEST(ScpiLexerUnit, EdgeCasesOfTheMatcher)
{
    // The relative header is looked up under CONFigure:SEARch:.
    auto units = ParseMessage("CONF:SEAR:MODE AUTO;MEAS?");
    ASSERT_EQ(2u, units.size());
    EXPECT_EQ(0, units[0].status);
    EXPECT_EQ(CmdConfSearchMode, units[0].command);
    EXPECT_EQ(70, units[1].status);

    units = ParseMessage("CONF:SEAR:MODE AUTO;:MEAS?");
    ASSERT_EQ(2u, units.size());
    EXPECT_EQ(0, units[1].status);
    EXPECT_EQ(CmdMeasure, units[1].command);

    // A common command neither uses nor changes the path.
    units = ParseMessage("CONF:MODE AUTO;*IDN?;LEV 5;*ESE?");
    ASSERT_EQ(4u, units.size());
    EXPECT_EQ(CmdConfMode, units[0].command);
    EXPECT_EQ(CmdIdn, units[1].command);
    EXPECT_EQ(0, units[2].status);
    EXPECT_EQ(CmdConfLevel, units[2].command) << "CONFigure[:MEASure]: still remembered";
    EXPECT_EQ(CmdEseQuery, units[3].command);

    EXPECT_EQ(CmdSystErr, ParseMessage("syst:err?")[0].command);
    EXPECT_EQ(CmdSystErr, ParseMessage("SYSTEM:ERROR:NEXT?")[0].command);
    EXPECT_EQ(70, FirstStatus("SYSTE:ERR?"));

    units = ParseMessage("AVER:COUN 5");
    EXPECT_EQ(0, units[0].status);
    EXPECT_EQ(1u, units[0].suffixCount);
    EXPECT_EQ(1u, units[0].suffix);
    units = ParseMessage("AVER2:COUN 5");
    EXPECT_EQ(2u, units[0].suffix);
    EXPECT_EQ(14, FirstStatus("AVER0:COUN 5")) << "the smallest status over all patterns";
    units = ParseMessage("AVER258:COUN 5");
    EXPECT_EQ(0, units[0].status);
    EXPECT_EQ(258u, units[0].suffix) << "not cut to AVER2";

    EXPECT_EQ(CmdFetch, ParseMessage("FETC?")[0].command);
    EXPECT_EQ(CmdTrigCount, ParseMessage("TRIG:COUN 5")[0].command);
    EXPECT_EQ(CmdTrigCount, ParseMessage("TRIG:SEQ1:COUN 5")[0].command);
    EXPECT_EQ(70, FirstStatus("TRIG:SEQ:COUN 5"));

    // A header that matches with wrong parameters reports the parameter error.
    EXPECT_EQ(40, FirstStatus("*ESE abc"));
    EXPECT_EQ(50, FirstStatus("*ESE 1,2"));
    EXPECT_EQ(50, FirstStatus("*CLS 1"));
    EXPECT_EQ(50, FirstStatus("*ESE " + std::string(257, ',')))
        << "a huge comma count does not wrap to an allowed one";
}

TEST(ScpiLexerUnit, PathIsResetByFirstUnitAndLeadingColon)
{
    ASSERT_EQ(0, ParseMessage("CONF:SEAR:MODE AUTO")[0].status);
    EXPECT_EQ(70, FirstStatus("LEV 5")) << "every message starts at the root";
    auto units = ParseMessage("CONF:SEAR:LEV 5;LEV 6;:CONF:MODE AUTO");
    ASSERT_EQ(3u, units.size());
    EXPECT_EQ(0, units[1].status);
    EXPECT_EQ(0, units[2].status);
    // A failed unit leaves the path as it was.
    units = ParseMessage("CONF:SEAR:LEV 5;NOPE;LEV 6", false);
    ASSERT_EQ(3u, units.size());
    EXPECT_EQ(70, units[1].status);
    EXPECT_EQ(0, units[2].status);
}

// The patterns remembered for a header belong to the path it was received behind: the same
// characters behind another path (or none) find another command. Each message runs twice,
// the second time from what the first remembered.
TEST(ScpiLexerUnit, RememberedHeadersFollowThePath)
{
    const struct {
        const char* message;
        std::uint8_t last;   // status 0 and this command, or 255: status 70
    } cases[] = {
        {"STAT:OPER:ENAB 0;NTR 0", 152},
        {"STAT:QUES:ENAB 0;NTR 0", 172},
        {"STAT:OPER:BIT11:ENAB 0;NTR 0", 160},
        {"STAT:OPER:ENAB 0;*ESE 0;NTR 0", 152},
        {"NTR 0", 255},
        {"STAT:QUES:ENAB 0;:NTR 0", 255},
    };
    for (int round = 0; round < 2; ++round) {
        for (const auto& c : cases) {
            const auto units = ParseMessage(c.message, false);
            ASSERT_FALSE(units.empty()) << c.message;
            if (c.last == 255) {
                EXPECT_EQ(70, units.back().status) << c.message << ", round " << round;
                continue;
            }
            EXPECT_EQ(0, units.back().status) << c.message << ", round " << round;
            EXPECT_EQ(c.last, units.back().command) << c.message << ", round " << round;
        }
    }
}

TEST(ScpiLexerSuffixCarry, TypedSuffixStaysInThePath)
{
    auto units = ParseMessage("AVER2:COUN 8;TCON MOV");
    ASSERT_EQ(2u, units.size());
    EXPECT_EQ(CmdAverCount, units[0].command);
    EXPECT_EQ(2u, units[0].suffix);
    EXPECT_EQ(0, units[1].status);
    EXPECT_EQ(CmdAverTcon, units[1].command);
    EXPECT_EQ(1u, units[1].suffixCount);
    EXPECT_EQ(2u, units[1].suffix) << "averaging/measurement/type";

    units = ParseMessage("AVER:COUN 8;TCON MOV");
    ASSERT_EQ(2u, units.size());
    EXPECT_EQ(0, units[1].status);
    EXPECT_EQ(CmdAverTcon, units[1].command);
    EXPECT_EQ(1u, units[1].suffix) << "defaulted suffix: the signal type";

    units = ParseMessage("CALC:AVER2:STAT ON;*CLS;COUN 8;:AVER:TCON REP;STAT OFF");
    ASSERT_EQ(5u, units.size());
    EXPECT_EQ(CmdAverState, units[0].command);
    EXPECT_EQ(CmdCls, units[1].command);
    EXPECT_EQ(CmdAverCount, units[2].command);
    EXPECT_EQ(2u, units[2].suffix);
    EXPECT_EQ(1u, units[3].suffix);
    EXPECT_EQ(CmdAverState, units[4].command);
    EXPECT_EQ(1u, units[4].suffix);

    units = ParseMessage("AVER4000000000:COUN 8;TCON MOV");
    ASSERT_EQ(2u, units.size());
    EXPECT_EQ(4000000000u, units[1].suffix);
}

TEST(ScpiLexerUnit, CuttingUnits)
{
    EXPECT_TRUE(ParseMessage(" ;; ;\t;\n").empty()) << "only semicolons and blanks: status 10";
    EXPECT_TRUE(ParseMessage("").empty());

    // The cursor stops on the separating ';' of each unit.
    auto units = ParseMessage("*CLS;*ESE 5");
    ASSERT_EQ(2u, units.size());
    EXPECT_EQ(4u, units[0].cursorAfter);
    EXPECT_EQ(11u, units[1].cursorAfter);

    // Quotes keep ';' (and the other quote kind) inside one unit.
    units = ParseMessage("MMEM:DEL 'a;\"b';*CLS");
    ASSERT_EQ(2u, units.size());
    EXPECT_EQ(CmdMmemDelete, units[0].command);
    EXPECT_EQ("a;\"b", units[0].text[0]);
    EXPECT_EQ(CmdCls, units[1].command);
    units = ParseMessage("MMEM:DEL \"x;y\"\";z\"");
    ASSERT_EQ(1u, units.size());
    EXPECT_EQ("x;y\"\";z", units[0].text[0]);

    // NUL ends the message, whatever the length says.
    const std::string withNul("*CLS\0*ESE 5", 11);
    units = ParseMessage(withNul);
    ASSERT_EQ(1u, units.size());
    EXPECT_EQ(CmdCls, units[0].command);
    EXPECT_EQ(4u, units[0].cursorAfter);

    // #H, #Q and #B begin numbers, not blocks.
    units = ParseMessage("*ESE #H1F;*ESE #q17;*ESE #B101");
    ASSERT_EQ(3u, units.size());
    EXPECT_EQ(CmdEse, units[0].command);
    EXPECT_EQ(31u, units[0].tokens[0].number.mantissa);
    EXPECT_EQ(15u, units[1].tokens[0].number.mantissa);
    EXPECT_EQ(5u, units[2].tokens[0].number.mantissa);
    EXPECT_EQ(16, FirstStatus("*ESE #X1"));
    EXPECT_EQ(16, FirstStatus("*ESE #"));
    EXPECT_EQ(16, FirstStatus("*ESE 1#;*CLS"));
}

TEST(ScpiLexerUnit, DefiniteBlocks)
{
    auto units = ParseMessage("MMEM:DATA 'f',#15a;\"c,;*CLS");
    ASSERT_EQ(2u, units.size());
    EXPECT_EQ(0, units[0].status);
    EXPECT_EQ(CmdMmemData, units[0].command);
    EXPECT_EQ(ScpiTokenBlock, units[0].tokens[1].type);
    EXPECT_EQ("a;\"c,", units[0].text[1]);
    EXPECT_EQ(CmdCls, units[1].command);

    units = ParseMessage("MMEM:DATA 'f',#10");
    ASSERT_EQ(1u, units.size());
    EXPECT_EQ(0, units[0].status);
    EXPECT_EQ(ScpiTokenBlock, units[0].tokens[1].type);
    EXPECT_EQ(0u, units[0].tokens[1].text.length) << "#10 is a valid empty block";

    units = ParseMessage("MMEM:DATA 'f',#15abcde");
    ASSERT_EQ(1u, units.size());
    EXPECT_EQ("abcde", units[0].text[1]);

    // Blocks may carry NUL bytes.
    const std::string binary("MMEM:DATA 'f',#13a\0b", 20);
    units = ParseMessage(binary);
    ASSERT_EQ(1u, units.size());
    EXPECT_EQ(0, units[0].status);
    EXPECT_EQ(std::string("a\0b", 3), units[0].text[1]);

    // Data exactly the declared length, then only white space.
    EXPECT_EQ(0, FirstStatus("MMEM:DATA 'f',#15abcde \t\n"));
    EXPECT_EQ(40, FirstStatus("MMEM:DATA 'f',#15abcdeX"));
    EXPECT_EQ(40, FirstStatus("MMEM:DATA 'f',#15abcde 7"));
}

TEST(ScpiLexerUnit, BlocksPastTheEnd)
{
    const std::string messages[] = {
        "MMEM:DATA 'f',#15ab", "MMEM:DATA 'f',#9", "MMEM:DATA 'f',#", "MMEM:DATA 'f',#3",
        "MMEM:DATA 'f',#21", "MMEM:DATA 'f',#2x5abcde", "MMEM:DATA 'f',#999999999",
        "MMEM:DATA 'f',#15abcd",   // the NUL is never data
    };
    for (const std::string& message : messages) {
        const auto units = ParseMessage(message);
        ASSERT_EQ(1u, units.size()) << message;
        EXPECT_EQ(16, units[0].status) << message;
        EXPECT_LE(units[0].cursorAfter, message.size()) << message;
        EXPECT_GT(units[0].cursorAfter, 0u) << message;
    }
}

TEST(ScpiLexerUnit, IndefiniteBlocks)
{
    auto units = ParseMessage("MMEM:DATA 'f',#0ab;c\n");
    ASSERT_EQ(1u, units.size());
    EXPECT_EQ(0, units[0].status);
    EXPECT_EQ("ab;c", units[0].text[1]) << "the final newline is the terminator";
    EXPECT_EQ(21u, units[0].cursorAfter);

    units = ParseMessage("MMEM:DATA 'f',#0\n");
    ASSERT_EQ(1u, units.size());
    EXPECT_EQ(0, units[0].status);
    EXPECT_EQ(0u, units[0].tokens[1].text.length);

    units = ParseMessage("MMEM:DATA 'f',#0x\n\n");
    ASSERT_EQ(1u, units.size());
    EXPECT_EQ("x\n", units[0].text[1]);

    EXPECT_EQ(70, FirstStatus("MMEM:DATA 'f',#0abc"));
    EXPECT_EQ(70, FirstStatus("MMEM:DATA 'f',#0abc\n "));
}
