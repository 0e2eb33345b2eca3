// The parameter syntax: numbers and suffixes, booleans, choices, strings, text, blocks,
// channel lists, the cutting of a parameter text and the typed getters.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "EngineTestSupport.h"

using namespace Korvex;
using KorvexTest::ParseMessage;
using KorvexTest::TokenDouble;
using KorvexTest::TokenExponent;
using KorvexTest::TokenText;

namespace {

constexpr std::uint8_t CmdEse = 1;
constexpr std::uint8_t CmdFetchArray = 85;
constexpr std::uint8_t CmdMeasure = 102;
constexpr std::uint8_t CmdMmemData = 106;
constexpr std::uint8_t CmdMmemDelete = 107;
constexpr std::uint8_t CmdMmemStore = 109;
constexpr std::uint8_t CmdEthAddress = 190;

struct Scanned {
    std::uint8_t status;
    ScpiNumberBody body;
    std::size_t consumed;
};

Scanned Scan(const char* text)
{
    Scanned result{};
    result.status = scpi_scan_number(text, std::strlen(text), result.body, result.consumed);
    return result;
}

int Exponent(const ScpiNumberBody& body)
{
    const int magnitude = body.exponent;
    return (body.flags & ScpiNumberExponentNegative) ? -magnitude : magnitude;
}

std::uint8_t Numeric(const char* text, ScpiNumericDescriptorIndex descriptor, ScpiToken& token)
{
    return scpi_parse_numeric(text, std::strlen(text), &ScpiNumericDescriptors[descriptor], token);
}

std::uint8_t Boolean(const char* text, const ScpiBooleanDescriptor* descriptor, std::uint8_t& value)
{
    ScpiToken token{};
    const std::uint8_t status = scpi_parse_boolean(text, std::strlen(text), descriptor, token);
    value = token.boolean.value;
    if (status == 0) {
        EXPECT_EQ(ScpiTokenBoolean, token.type) << text;
    }
    return status;
}

std::uint8_t Choice(const char* text, const ScpiChoiceRow& row, ScpiToken& token,
                    std::uint8_t suffixCount = 0)
{
    const ScpiParameterDescriptor descriptor{0, ScpiKindChoice, &row};
    std::uint32_t suffixes[1] = {0};
    return scpi_parse_choice(text, std::strlen(text), descriptor, token, suffixes, suffixCount);
}

std::uint8_t ChannelList(const char* text, ScpiToken& token)
{
    return scpi_parse_channel_list(text, std::strlen(text), &ScpiChannelListParameter, token);
}

std::uint8_t Parameters(std::uint8_t command, const char* text, ScpiToken tokens[4])
{
    for (unsigned slot = 0; slot < 4; ++slot)
        tokens[slot] = ScpiToken{};
    std::uint32_t suffixes[1] = {1};
    std::uint8_t suffixCount = 0;
    return scpi_parse_parameters(command, text, std::strlen(text), tokens, suffixes, suffixCount);
}

ScpiToken NumberToken(std::uint64_t mantissa, int exponent, bool negative = false)
{
    ScpiToken token{};
    token.type = ScpiTokenNumber;
    token.number.mantissa = mantissa;
    token.number.exponent = static_cast<std::uint8_t>(exponent < 0 ? -exponent : exponent);
    token.number.flags = static_cast<std::uint8_t>((negative ? ScpiNumberNegative : 0) |
                                                   (exponent < 0 ? ScpiNumberExponentNegative : 0));
    return token;
}

}  // namespace

TEST(ScpiParametersNumber, DecimalForms)
{
    Scanned a = Scan("32");
    Scanned b = Scan("3.2e1");
    ASSERT_EQ(0, a.status);
    ASSERT_EQ(0, b.status);
    EXPECT_EQ(32u, a.body.mantissa);
    EXPECT_EQ(a.body.mantissa, b.body.mantissa);
    EXPECT_EQ(Exponent(a.body), Exponent(b.body)) << "32 and 3.2e1 give the same number";

    Scanned c = Scan("3.25e1");
    EXPECT_EQ(325u, c.body.mantissa);
    EXPECT_EQ(-1, Exponent(c.body));

    Scanned d = Scan("1 e3");
    EXPECT_EQ(0, d.status);
    EXPECT_EQ(1u, d.body.mantissa);
    EXPECT_EQ(3, Exponent(d.body));
    EXPECT_EQ(4u, d.consumed);
    EXPECT_EQ(3, Exponent(Scan("1e 3").body));
    EXPECT_EQ(-2, Exponent(Scan("1E-2").body));

    Scanned e = Scan("5. V");
    EXPECT_EQ(0, e.status);
    EXPECT_EQ(5u, e.body.mantissa);
    EXPECT_EQ(3u, e.consumed) << "trailing white space is consumed, the suffix is not";
    EXPECT_EQ(5u, Scan("5.e2").body.mantissa);
    EXPECT_EQ(2, Exponent(Scan("5.e2").body));
    Scanned f = Scan("-.5");
    EXPECT_EQ(0, f.status);
    EXPECT_EQ(ScpiNumberNegative | ScpiNumberExponentNegative, f.body.flags);
    EXPECT_EQ(6u, Scan("  +7  ").consumed);

    for (const char* bad : {"1e", "+", "-", ".", "", " ", "e5", "1e+", "1e+ 3", "+#H1", "abc", "+x"})
        EXPECT_EQ(40, Scan(bad).status) << '"' << bad << '"';

    EXPECT_EQ(20, Scan("0e50").status) << "a zero mantissa is not normalised";
    Scanned tiny = Scan("5e-50");
    EXPECT_EQ(0, tiny.status);
    EXPECT_EQ(0u, tiny.body.mantissa);
    EXPECT_EQ(0, Exponent(tiny.body));
    EXPECT_EQ(20, Scan("1e44").status);
    EXPECT_EQ(0, Scan("1e43").status);
    EXPECT_EQ(0, Scan("1000e40").status) << "normalised to 1e43";
}

TEST(ScpiParametersNumber, NonDecimalForms)
{
    EXPECT_EQ(31u, Scan("#H1F").body.mantissa);
    EXPECT_EQ(255u, Scan("#hff").body.mantissa);
    EXPECT_EQ(15u, Scan("#Q17").body.mantissa);
    EXPECT_EQ(5u, Scan("#b101").body.mantissa);
    EXPECT_EQ(40, Scan("#H").status);
    EXPECT_EQ(40, Scan("#X1").status);
    EXPECT_EQ(~std::uint64_t{0}, Scan("#HFFFFFFFFFFFFFFFF").body.mantissa);
    EXPECT_EQ(20, Scan("#H10000000000000000").status);
    EXPECT_EQ(~std::uint64_t{0}, Scan("#Q1777777777777777777777").body.mantissa);
    EXPECT_EQ(20, Scan("#Q17777777777777777777770").status);
    const std::string ones(64, '1');
    EXPECT_EQ(~std::uint64_t{0}, Scan(("#B" + ones).c_str()).body.mantissa);
    EXPECT_EQ(20, Scan(("#B" + ones + "0").c_str()).status);
    Scanned stop = Scan("#B1012");
    EXPECT_EQ(5u, stop.body.mantissa);
    EXPECT_EQ(5u, stop.consumed) << "the first non-digit of the radix ends the number";
}

TEST(ScpiParametersNumber, ExponentArithmeticDoesNotOverflow)
{
    EXPECT_EQ(20, Scan("1e2147483647").status);
    EXPECT_EQ(20, Scan("1e2147483648").status) << "explicit exponent beyond 32 bits";
    // Explicit exponent minus fraction digits below -2^31: a vanishing value, not a wrap.
    Scanned small = Scan("0.05e-2147483647");
    EXPECT_EQ(0, small.status);
    EXPECT_EQ(0u, small.body.mantissa);
    // Dropped integer digits on top of the largest explicit exponent.
    EXPECT_EQ(20, Scan("12345678901234567890123e2147483647").status);
    // Many fraction digits.
    const std::string manyZeros = "0." + std::string(5000, '0') + "1e4990";
    Scanned zeros = Scan(manyZeros.c_str());
    EXPECT_EQ(0, zeros.status);
    EXPECT_EQ(1u, zeros.body.mantissa);
    EXPECT_EQ(-11, Exponent(zeros.body));
    // The suffix exponent is added in 64 bits too.
    ScpiToken token{};
    EXPECT_EQ(20, Numeric("1e43 KHZ", ScpiNumHertz, token));
    EXPECT_EQ(0, Numeric("1e-43 NS", ScpiNumSecond, token));
    EXPECT_EQ(0u, token.number.mantissa);
}

TEST(ScpiParametersNumber, DroppedDigitsKeepTheLeadingOnes)
{
    Scanned max = Scan("18446744073709551615");
    EXPECT_EQ(~std::uint64_t{0}, max.body.mantissa);
    EXPECT_EQ(0, Exponent(max.body));

    // The 9 does not fit; the 1 after it would, but must not take its place.
    Scanned dropped = Scan("184467440737095516191");
    ASSERT_EQ(0, dropped.status);
    EXPECT_EQ(1844674407370955161u, dropped.body.mantissa);
    EXPECT_EQ(2, Exponent(dropped.body));

    Scanned fraction = Scan("1844674407370955161.91");
    EXPECT_EQ(1844674407370955161u, fraction.body.mantissa);
    EXPECT_EQ(0, Exponent(fraction.body));

    Scanned mixed = Scan("18446744073709551619123.5e-3");
    EXPECT_EQ(1844674407370955161u, mixed.body.mantissa);
    EXPECT_EQ(1, Exponent(mixed.body));
}

TEST(ScpiParametersNumber, UnitSuffixes)
{
    ScpiToken token{};
    EXPECT_EQ(30, Numeric("5 MHZ", ScpiNumHertz, token)) << "M is milli, MHZ is no suffix";
    ASSERT_EQ(0, Numeric("5 mahz", ScpiNumHertz, token));
    EXPECT_EQ(ScpiUnitHertz, token.number.unitKind);
    EXPECT_EQ(5u, token.number.mantissa);
    EXPECT_EQ(6, TokenExponent(token));

    ASSERT_EQ(0, Numeric("10 GAUSS", ScpiNumTesla, token));
    EXPECT_EQ(ScpiUnitTesla, token.number.unitKind);
    EXPECT_DOUBLE_EQ(1e-3, TokenDouble(token));
    EXPECT_EQ(30, Numeric("10 GAUS", ScpiNumTesla, token)) << "names are compared in full";

    ASSERT_EQ(0, Numeric("5 MT", ScpiNumFlux, token));
    EXPECT_EQ(ScpiUnitTesla, token.number.unitKind);
    EXPECT_DOUBLE_EQ(5e-3, TokenDouble(token));

    ASSERT_EQ(0, Numeric("1.5 K hz", ScpiNumHertz, token));
    EXPECT_EQ(15u, token.number.mantissa);
    EXPECT_EQ(2, TokenExponent(token));

    ASSERT_EQ(0, Numeric("-2.5", ScpiNumVolt, token));
    EXPECT_EQ(ScpiUnitVolt, token.number.unitKind) << "no suffix: the descriptor's kind";
    EXPECT_DOUBLE_EQ(-2.5, TokenDouble(token));

    token = ScpiToken{};
    EXPECT_EQ(30, Numeric("5 V", ScpiNumFlux, token)) << "a kind the parameter does not take";
    EXPECT_EQ(ScpiTokenNumber, token.type);
    EXPECT_EQ(ScpiUnitVolt, token.number.unitKind);
    EXPECT_EQ(30, Numeric("5 PPM", ScpiNumReference, token));
    EXPECT_EQ(0, Numeric("5 PPM", ScpiNumFlux, token));
    EXPECT_EQ(30, Numeric("5 XYZ", ScpiNumFlux, token));
    EXPECT_EQ(30, Numeric("5 5", ScpiNumPlain, token));
    EXPECT_EQ(0, scpi_parse_numeric("7", 1, nullptr, token));
}

TEST(ScpiParametersBoolean, Forms)
{
    std::uint8_t value = 9;
    for (const char* truth : {"ON", "on", "1", "0.6", "0.5", "-0.5", "#B1", "2e3"}) {
        EXPECT_EQ(0, Boolean(truth, &ScpiBooleanNoDefault, value)) << truth;
        EXPECT_EQ(1, value) << truth;
    }
    for (const char* falsity : {"OFF", "off", "0", "0.4", "-0.4"}) {
        EXPECT_EQ(0, Boolean(falsity, &ScpiBooleanNoDefault, value)) << falsity;
        EXPECT_EQ(0, value) << falsity;
    }
    for (const char* bad : {"YES", "ONN", "1 V", ""})
        EXPECT_EQ(40, Boolean(bad, &ScpiBooleanNoDefault, value)) << bad;

    const ScpiBooleanDescriptor defaultTrue{0x03};
    const ScpiBooleanDescriptor defaultFalse{0x01};
    EXPECT_EQ(0, Boolean("", &defaultTrue, value));
    EXPECT_EQ(1, value);
    EXPECT_EQ(0, Boolean("", &defaultFalse, value));
    EXPECT_EQ(0, value);
}

TEST(ScpiParametersChoice, AlternativesAndFallbacks)
{
    const ScpiChoiceRow& minMaxDefVolt = ScpiChoiceRows[6];   // c7
    const ScpiChoiceRow& minMaxDef = ScpiChoiceRows[0];       // c1
    const ScpiChoiceRow& defBool = ScpiChoiceRows[3];         // c4
    ScpiToken token{};
    std::uint8_t index = 99;

    ASSERT_EQ(0, Choice("MAX", minMaxDefVolt, token));
    EXPECT_EQ(0, scpi_param_get_char(token, index));
    EXPECT_EQ(1, index);
    EXPECT_EQ(minMaxDefVolt.alternatives, token.choice.alternatives);
    ASSERT_EQ(0, Choice("maximum", minMaxDefVolt, token));
    EXPECT_EQ(1, token.choice.index);
    ASSERT_EQ(0, Choice("Def", minMaxDefVolt, token));
    EXPECT_EQ(2, token.choice.index);
    ASSERT_EQ(0, Choice("5 V", minMaxDefVolt, token));
    EXPECT_EQ(ScpiTokenNumber, token.type);
    EXPECT_EQ(ScpiUnitVolt, token.number.unitKind);
    EXPECT_EQ(40, Choice("MAXI", minMaxDefVolt, token)) << "not a choice and not a number";
    EXPECT_EQ(30, Choice("5 HZ", minMaxDefVolt, token));

    EXPECT_EQ(40, Choice("5", minMaxDef, token)) << "no fallback";
    EXPECT_EQ(40, Choice("", minMaxDef, token)) << "no default index";

    ASSERT_EQ(0, Choice("ON", defBool, token));
    EXPECT_EQ(ScpiTokenBoolean, token.type);
    EXPECT_EQ(1, token.boolean.value);
    ASSERT_EQ(0, Choice("DEFAULT", defBool, token));
    EXPECT_EQ(ScpiTokenChoice, token.type);
    EXPECT_EQ(40, Choice("YES", defBool, token));

    const ScpiChoiceRow withDefault{"AUTO|MANual", 1, ScpiFallbackNone, nullptr};
    ASSERT_EQ(0, Choice("", withDefault, token));
    EXPECT_EQ(1, token.choice.index);

    // A suffix in an alternative: its matching status outranks the fallback's 40.
    const ScpiChoiceRow suffixed{"CHANnel#", ScpiNoDefaultIndex, ScpiFallbackNone, nullptr};
    EXPECT_EQ(14, Choice("CHAN0", suffixed, token));
    EXPECT_EQ(5, Choice("CHAN2", suffixed, token, 1)) << "the header already took a suffix";
    EXPECT_EQ(0, Choice("CHAN2", suffixed, token));
}

TEST(ScpiParametersStringBlock, QuotedStringsAndText)
{
    ScpiToken token{};
    const char* its = "'It''s'";
    ASSERT_EQ(0, scpi_parse_quoted_string(its, std::strlen(its), token));
    EXPECT_EQ(ScpiTokenString, token.type);
    EXPECT_EQ("It''s", TokenText(token)) << "doubled quotes stay two characters";
    EXPECT_EQ('\'', token.text.quote);
    ASSERT_EQ(0, scpi_parse_quoted_string("\"\"", 2, token));
    EXPECT_EQ(0u, token.text.length);
    EXPECT_EQ(60, scpi_parse_quoted_string("'abc", 4, token));
    EXPECT_EQ(40, scpi_parse_quoted_string("'a'b", 4, token));
    EXPECT_EQ(40, scpi_parse_quoted_string("abc", 3, token));
    EXPECT_EQ(40, scpi_parse_quoted_string("", 0, token));

    // Text that is exactly one quoted string loses its quotes; other text is unchanged.
    const char* address = "\"10.0.0.5\"";
    ASSERT_EQ(0, scpi_parse_text(address, std::strlen(address), token));
    EXPECT_EQ(ScpiTokenString, token.type);
    EXPECT_EQ("10.0.0.5", TokenText(token));
    for (const char* plain : {"10.0.0.5", "\"a\"b", "a'b'", "'a' 'b'"}) {
        ASSERT_EQ(0, scpi_parse_text(plain, std::strlen(plain), token)) << plain;
        EXPECT_EQ(ScpiTokenText, token.type) << plain;
        EXPECT_EQ(plain, TokenText(token));
        EXPECT_EQ(0, token.text.quote);
    }

    const std::string message = "SYST:COMM:ETH:ADDR \"10.0.0.5\"";
    const auto units = ParseMessage(message);
    ASSERT_EQ(1u, units.size());
    EXPECT_EQ(CmdEthAddress, units[0].command);
    EXPECT_EQ(ScpiTokenString, units[0].tokens[0].type);
    EXPECT_EQ("10.0.0.5", units[0].text[0]);
}

TEST(ScpiParametersStringBlock, Blocks)
{
    struct Case {
        std::string text;
        std::uint8_t status;
        std::string data;
    };
    const Case cases[] = {
        {"#10", 0, ""},
        {"#15abcde", 0, "abcde"},
        {"#15abcde \r\n", 0, "abcde"},
        {"#15abcdeX", 40, ""},
        {"#15abcde 1", 40, ""},
        {"#15ab", 16, ""},
        {"#9", 16, ""},
        {"#3", 16, ""},
        {"#31x", 16, ""},
        {"#9999999999", 16, ""},
        {"#0abc\n", 0, "abc"},
        {"#0abc", 0, "abc"},
        {"#0", 0, ""},
        {"#0\n", 0, ""},
        {"#A", 40, ""},
        {"#", 40, ""},
        {"X", 40, ""},
        {"", 40, ""},
    };
    for (const Case& c : cases) {
        ScpiToken token{};
        EXPECT_EQ(c.status, scpi_parse_block(c.text.data(), c.text.size(), token)) << c.text;
        if (c.status == 0) {
            const char* begin = nullptr;
            const char* end = nullptr;
            ASSERT_EQ(0, scpi_param_get_block(token, begin, end));
            EXPECT_EQ(c.data, std::string(begin, end)) << c.text;
        }
    }
}

TEST(ScpiParametersChannelList, WholeLists)
{
    ScpiToken token{};
    ASSERT_EQ(0, ChannelList("(@1!2,3:5)", token));
    EXPECT_EQ(ScpiTokenChannelList, token.type);
    EXPECT_EQ("1!2,3:5", TokenText(token));
    EXPECT_EQ(0, ChannelList("(@ 1 ! 2 , 3 : 5 )", token));

    struct Case {
        const char* text;
        std::uint8_t status;
    };
    const Case cases[] = {
        {"(@1,)", 40}, {"(@)", 40}, {"(@ )", 40}, {"(@1", 40}, {"1,2", 40}, {"(1)", 40},
        {"(@1;2)", 40}, {"(@1:2:3)", 40}, {"(@1!)", 40}, {"(@x)", 40},
        {"(@1!2:3)", 17}, {"(@1!1!1!1!1!1!1)", 17},
        {"(@0)", 16}, {"(@256)", 16}, {"(@1.5)", 16}, {"(@-1)", 16}, {"(@4294967296)", 16},
        {"(@0,1!2:3)", 17}, {"(@1!2:3,0)", 16},   // 16 and 17 go on; the last one counts
        {"(@0,x)", 40},                            // 40 stops
        {"(@1!1!1!1!1!1)", 0}, {"(@255:1)", 0},
    };
    for (const Case& c : cases) {
        token = ScpiToken{};
        EXPECT_EQ(c.status, ChannelList(c.text, token)) << c.text;
        if (c.status != 0) {
            EXPECT_EQ(ScpiTokenEmpty, token.type) << c.text;
        }
    }
    // Without a descriptor only the syntax is checked.
    EXPECT_EQ(0, scpi_parse_channel_list("(@-1.5)", 7, nullptr, token));
}

TEST(ScpiParametersChannelList, EntryReader)
{
    ScpiToken list{};
    ASSERT_EQ(0, ChannelList("(@1!2,3:5,7!8:7!9)", list));
    // Guard tokens around the five-token arrays catch writes past them.
    struct Guarded {
        ScpiToken before;
        ScpiToken levels[ScpiChannelEntryLevels];
        ScpiToken after;
    };
    Guarded first{};
    Guarded last{};
    std::uint8_t levels = ScpiChannelEntryLevels;
    std::uint8_t range = 9;

    ASSERT_EQ(0, scpi_parse_numeric_param(list, 0, levels, range, first.levels, last.levels));
    EXPECT_EQ(2, levels);
    EXPECT_EQ(0, range);
    EXPECT_EQ(1u, first.levels[0].number.mantissa);
    EXPECT_EQ(2u, first.levels[1].number.mantissa);
    EXPECT_EQ(2u, last.levels[1].number.mantissa) << "no range: last equals first";

    levels = 5;
    ASSERT_EQ(0, scpi_parse_numeric_param(list, 1, levels, range, first.levels, last.levels));
    EXPECT_EQ(1, levels);
    EXPECT_EQ(1, range);
    EXPECT_EQ(3u, first.levels[0].number.mantissa);
    EXPECT_EQ(5u, last.levels[0].number.mantissa);
    std::int32_t value = 0;
    EXPECT_EQ(0, scpi_param_get_int32(last.levels[0], value));
    EXPECT_EQ(5, value);

    levels = 5;
    ASSERT_EQ(0, scpi_parse_numeric_param(list, 2, levels, range, first.levels, last.levels));
    EXPECT_EQ(2, levels);
    EXPECT_EQ(9u, last.levels[1].number.mantissa);

    levels = 5;
    EXPECT_EQ(200, scpi_parse_numeric_param(list, 3, levels, range, first.levels, last.levels));
    EXPECT_EQ(40, scpi_parse_numeric_param(ScpiToken{}, 0, levels, range, first.levels,
                                           last.levels));

    // Six levels are valid in a list, but never more than five are written.
    ScpiToken six{};
    ASSERT_EQ(0, ChannelList("(@1!2!3!4!5!6)", six));
    for (std::uint8_t allowed : {std::uint8_t{5}, std::uint8_t{6}, std::uint8_t{255}}) {
        levels = allowed;
        EXPECT_EQ(210, scpi_parse_numeric_param(six, 0, levels, range, first.levels, last.levels));
    }
    // A range whose last address is too deep (the list check would give 17; the reader
    // must hold on its own).
    ScpiToken sixInRange{};
    sixInRange.type = ScpiTokenChannelList;
    sixInRange.text.text = "1:1!2!3!4!5!6";
    sixInRange.text.length = 13;
    levels = 5;
    EXPECT_EQ(210,
              scpi_parse_numeric_param(sixInRange, 0, levels, range, first.levels, last.levels));
    EXPECT_EQ(ScpiTokenEmpty, first.before.type);
    EXPECT_EQ(ScpiTokenEmpty, first.after.type);
    EXPECT_EQ(ScpiTokenEmpty, last.before.type);
    EXPECT_EQ(ScpiTokenEmpty, last.after.type);

    levels = 2;
    EXPECT_EQ(210, scpi_parse_numeric_param(six, 0, levels, range, first.levels, last.levels));

    // The empty list has no entry 0.
    ScpiToken empty{};
    empty.type = ScpiTokenChannelList;
    empty.text.text = "";
    levels = 5;
    EXPECT_EQ(200, scpi_parse_numeric_param(empty, 0, levels, range, first.levels, last.levels));
}

TEST(ScpiParametersGetters, IntegersAtTheLimits)
{
    std::int32_t value = 0;
    EXPECT_EQ(0, scpi_param_get_int32(NumberToken(2147483647u, 0), value));
    EXPECT_EQ(2147483647, value);
    EXPECT_EQ(0, scpi_param_get_int32(NumberToken(2147483647u, 0, true), value));
    EXPECT_EQ(-2147483647, value);
    EXPECT_EQ(20, scpi_param_get_int32(NumberToken(2147483648u, 0), value));
    EXPECT_EQ(20, scpi_param_get_int32(NumberToken(2147483648u, 0, true), value));
    EXPECT_EQ(0, scpi_param_get_int32(NumberToken(214748364u, 1), value));
    EXPECT_EQ(2147483640, value);
    EXPECT_EQ(20, scpi_param_get_int32(NumberToken(214748365u, 1), value));
    EXPECT_EQ(20, scpi_param_get_int32(NumberToken(4294967296u, -1), value))
        << "a mantissa of 2^32 or more";
    EXPECT_EQ(20, scpi_param_get_int32(NumberToken(std::uint64_t{1} << 63, 0), value));
    EXPECT_EQ(20, scpi_param_get_int32(NumberToken(std::uint64_t{1} << 63, -43), value));
    EXPECT_EQ(20, scpi_param_get_int32(NumberToken(1, 43), value));
    EXPECT_EQ(0, scpi_param_get_int32(NumberToken(0, 43), value));
    EXPECT_EQ(0, value);
    EXPECT_EQ(0, scpi_param_get_int32(NumberToken(15, -1, true), value));
    EXPECT_EQ(-1, value) << "truncated toward zero";
    EXPECT_EQ(0, scpi_param_get_int32(NumberToken(4294967295u, -9), value));
    EXPECT_EQ(4, value);
}

TEST(ScpiParametersGetters, DoublesAndTypes)
{
    double value = 0.0;
    EXPECT_EQ(0, scpi_param_get_double(NumberToken(std::uint64_t{1} << 63, 0), value));
    EXPECT_EQ(9223372036854775808.0, value);
    EXPECT_EQ(0, scpi_param_get_double(NumberToken(std::uint64_t{1} << 31, 0, true), value));
    EXPECT_EQ(-2147483648.0, value);
    EXPECT_EQ(0, scpi_param_get_double(NumberToken(~std::uint64_t{0}, 0), value));
    EXPECT_EQ(18446744073709551615.0, value);
    EXPECT_EQ(0, scpi_param_get_double(NumberToken(325, -1), value));
    EXPECT_DOUBLE_EQ(32.5, value);
    EXPECT_EQ(0, scpi_param_get_double(NumberToken(1, 43), value));
    EXPECT_DOUBLE_EQ(1e43, value);

    std::uint8_t type = 0;
    std::uint8_t sign = 0;
    EXPECT_EQ(0, scpi_param_get_type_and_sign(NumberToken(5, -2, true), type, sign));
    EXPECT_EQ(ScpiTokenNumber, type);
    EXPECT_EQ(ScpiNumberNegative | ScpiNumberExponentNegative, sign);

    ScpiToken text{};
    text.type = ScpiTokenText;
    text.text.text = "abc";
    text.text.length = 3;
    EXPECT_EQ(0, scpi_param_get_type_and_sign(text, type, sign));
    EXPECT_EQ(ScpiTokenText, type);
    EXPECT_EQ(0, sign);

    // Every typed getter refuses another type with 40.
    const ScpiToken number = NumberToken(1, 0);
    std::uint32_t kind = 0;
    std::uint8_t byte = 0;
    std::int32_t integer = 0;
    const char* pointer = nullptr;
    const char* end = nullptr;
    std::uint32_t length = 0;
    EXPECT_EQ(40, scpi_param_get_numeric_word4(text, kind));
    EXPECT_EQ(40, scpi_param_get_char(number, byte));
    EXPECT_EQ(40, scpi_param_get_bool(number, byte));
    EXPECT_EQ(40, scpi_param_get_int32(text, integer));
    EXPECT_EQ(40, scpi_param_get_double(text, value));
    EXPECT_EQ(40, scpi_param_get_string(number, pointer, length, byte));
    EXPECT_EQ(40, scpi_param_get_block(text, pointer, end));
    EXPECT_EQ(0, scpi_param_get_string(text, pointer, length, byte));
    EXPECT_EQ(3u, length);
}

TEST(ScpiParametersCutting, SlotsCommasAndEmptyOptionals)
{
    ScpiToken tokens[4];
    ASSERT_EQ(0, Parameters(CmdMeasure, " , MAX , (@1!2) ", tokens));
    EXPECT_EQ(ScpiTokenEmpty, tokens[0].type) << "an optional parameter left empty";
    EXPECT_EQ(ScpiTokenChoice, tokens[1].type);
    EXPECT_EQ(ScpiTokenChannelList, tokens[2].type);
    EXPECT_EQ("1!2", TokenText(tokens[2]));

    ASSERT_EQ(0, Parameters(CmdFetchArray, "5,", tokens));
    EXPECT_EQ(ScpiTokenNumber, tokens[0].type);
    EXPECT_EQ(ScpiTokenEmpty, tokens[1].type);

    ASSERT_EQ(0, Parameters(CmdEse, "3.25e1", tokens));
    EXPECT_EQ(-1, TokenExponent(tokens[0]));

    EXPECT_EQ(65, Parameters(CmdMeasure, ",,(@1))", tokens));
    EXPECT_EQ(65, Parameters(CmdMeasure, ",,(@1", tokens));
    EXPECT_EQ(65, Parameters(CmdMeasure, ")", tokens));
    EXPECT_EQ(60, Parameters(CmdMmemDelete, "'abc", tokens));
    ASSERT_EQ(0, Parameters(CmdMmemDelete, "'a,b'", tokens));
    EXPECT_EQ("a,b", TokenText(tokens[0]));

    ASSERT_EQ(0, Parameters(CmdMmemData, "'f' , #13a,b", tokens));
    EXPECT_EQ("a,b", TokenText(tokens[1]));
    EXPECT_EQ(16, Parameters(CmdMmemData, "'f',#13ab", tokens));
    ASSERT_EQ(0, Parameters(CmdMmemData, "'f',#0a,b\n", tokens));
    EXPECT_EQ("a,b", TokenText(tokens[1]));

    // The first failing slot stops the walk; earlier slots stay filled.
    EXPECT_EQ(40, Parameters(CmdMmemStore, "1,'x',BOGUS", tokens));
    EXPECT_EQ(ScpiTokenNumber, tokens[0].type);
    EXPECT_EQ(ScpiTokenString, tokens[1].type);
    ASSERT_EQ(0, Parameters(CmdMmemStore, "1,'x',trig", tokens));
    EXPECT_EQ(3, tokens[2].choice.index);
}
