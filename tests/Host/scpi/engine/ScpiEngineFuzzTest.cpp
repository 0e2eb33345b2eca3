// Seeded fuzzing of the unit loop: well-formed units built from the command tables, then
// mutated, and random byte strings. Every call must return one of the engine's statuses,
// advance the cursor (unless it reports that no unit is left) and never leave the message;
// tokens must point into the message. Set KORVEX_FUZZ_SEED to replay a reported seed.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "EngineTestSupport.h"
#include "Host/scpi/engine/ScpiLexer.h"
#include "Host/scpi/engine/ScpiParameterSyntax.h"

using namespace Korvex;

namespace {

constexpr unsigned UnitsToRun = 200000;

class Generator {
public:
    explicit Generator(std::uint64_t seed) : m_rng(seed) {}

    unsigned Below(unsigned n) { return static_cast<unsigned>(m_rng() % n); }
    bool Chance(unsigned percent) { return Below(100) < percent; }

    template <std::size_t N>
    const char* Pick(const char* const (&items)[N])
    {
        return items[Below(N)];
    }

    // A header for pattern: optional parts in or out, each node short or long, letters in
    // any case, a numeric suffix typed or not.
    std::string Header(const char* pattern)
    {
        std::string header;
        bool longForm = Chance(50);
        for (const char* p = pattern; *p != '\0'; ++p) {
            const char c = *p;
            if (c == '[') {
                if (Chance(50)) {
                    while (*p != '\0' && *p != ']')
                        ++p;
                    if (*p == '\0')
                        break;
                }
                continue;
            }
            if (c == ']')
                continue;
            if (c == ':') {
                longForm = Chance(50);
                header += c;
                continue;
            }
            if (c == '#') {
                if (Chance(60))
                    header += Pick({"1", "2", "3", "0", "258", "4294967295", "4294967296", "02"});
                continue;
            }
            if (c >= 'a' && c <= 'z' && !longForm)
                continue;
            header += Chance(50) ? static_cast<char>(std::tolower(static_cast<unsigned char>(c)))
                                 : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        return header;
    }

    std::string Parameter(const ScpiParameterDescriptor& slot, bool last)
    {
        switch (slot.kind) {
        case ScpiKindNumeric:
            return Pick({"5", "-3.25e1", "1 e3", "#H1F", "0e50", "1.5 KHZ", "10 GAUSS", "5 MT",
                         "18446744073709551616", ".5", "1e-50", "7 V", "5 MHZ", "2 mahz", "#B101",
                         "1e2147483647", "0.05e-2147483647"});
        case ScpiKindBoolean:
            return Pick({"ON", "OFF", "1", "0.6", "0.4", "YES", ""});
        case ScpiKindChoice: {
            const auto* row = static_cast<const ScpiChoiceRow*>(slot.descriptor);
            if (Chance(25))
                return Pick({"5", "5 V", "10 HZ", "MAXI", "ON", "1 S"});
            return Alternative(row->alternatives);
        }
        case ScpiKindString:
            return Pick({"'abc'", "\"a;b\"", "'It''s'", "\"\"", "'f,1'"});
        case ScpiKindText:
            return Pick({"abc", "\"10.0.0.5\"", "10.0.0.5", "'x'y", "a b"});
        case ScpiKindChannelList:
            return Pick({"(@1!2,3:5)", "(@1)", "(@1!1!1!1!1!1)", "(@2!3:2!1)", "(@0)", "(@1!2:3)"});
        case ScpiKindBlock:
            if (last && Chance(30))
                return "#0xy;z\n";
            return Pick({"#15abcde", "#10", "#213a;b\"c,d(e)fgh", "#15ab"});
        default:
            return "";
        }
    }

    // Later units mostly start at the root: a relative header rarely fits the path.
    std::string Unit(bool first)
    {
        const unsigned command = Below(ScpiCommandCount);
        std::string unit = Chance(first ? 20 : 70) ? ":" : "";
        unit += Header(ScpiCommandPatternTable[command]);
        const ScpiParameterDescriptor* row = ScpiParameterTable[command];
        std::string parameters;
        unsigned slots = 0;
        while (slots < ScpiParameterSlots && row[slots].kind != ScpiKindNone)
            ++slots;
        for (unsigned slot = 0; slot < slots; ++slot) {
            if ((row[slot].optional & 1u) && Chance(30))
                break;
            if (slot != 0)
                parameters += Chance(80) ? "," : " , ";
            parameters += Parameter(row[slot], slot + 1 == slots);
        }
        if (!parameters.empty())
            unit += (Chance(80) ? " " : "\t ") + parameters;
        return unit;
    }

    std::string Message()
    {
        if (Chance(10))
            return RandomBytes();
        std::string message;
        const unsigned units = 1 + Below(4);
        for (unsigned i = 0; i < units; ++i) {
            if (i != 0)
                message += Chance(85) ? ";" : " ; ;";
            message += Unit(i == 0);
        }
        if (Chance(40))
            message += '\n';
        if (Chance(70))
            Mutate(message);
        return message;
    }

private:
    std::string Alternative(const char* alternatives)
    {
        unsigned count = 1;
        for (const char* p = alternatives; *p != '\0'; ++p)
            count += *p == '|';
        unsigned index = Below(count);
        const char* begin = alternatives;
        while (index-- != 0)
            begin = std::strchr(begin, '|') + 1;
        const char* end = std::strchr(begin, '|');
        return Header(std::string(begin, end ? end : begin + std::strlen(begin)).c_str());
    }

    char InterestingByte()
    {
        static const char bytes[] = "#\"'();,:!@0123456789\n\t eE.-+*?HBQhbq[]|";
        if (Chance(10))
            return static_cast<char>(Below(256));
        if (Chance(5))
            return '\0';
        return bytes[Below(sizeof(bytes) - 1)];
    }

    std::string RandomBytes()
    {
        std::string bytes(Below(48), ' ');
        for (char& c : bytes)
            c = InterestingByte();
        return bytes;
    }

    void Mutate(std::string& message)
    {
        const unsigned edits = 1 + Below(4);
        for (unsigned i = 0; i < edits; ++i) {
            const std::size_t at = message.empty() ? 0 : Below(static_cast<unsigned>(message.size()));
            switch (Below(4)) {
            case 0:
                if (!message.empty())
                    message[at] = InterestingByte();
                break;
            case 1:
                message.insert(message.begin() + static_cast<std::ptrdiff_t>(at), InterestingByte());
                break;
            case 2:
                if (!message.empty())
                    message.erase(at, 1 + Below(3));
                break;
            default:
                message = message.substr(0, at) + message.substr(at / 2);
                break;
            }
        }
    }

    std::mt19937_64 m_rng;
};

bool IsEngineStatus(std::uint8_t status)
{
    switch (status) {
    case 0: case 5: case 10: case 14: case 16: case 17: case 20: case 30: case 40: case 50:
    case 60: case 65: case 70:
        return true;
    default:
        return false;
    }
}

std::string Printable(const std::string& message)
{
    std::ostringstream out;
    for (unsigned char c : message) {
        if (c >= 32 && c < 127 && c != '\\')
            out << c;
        else
            out << "\\x" << std::hex << static_cast<unsigned>(c) << std::dec;
    }
    return out.str();
}

// Checks what a successful unit left in its tokens; returns an empty text when all is well.
std::string CheckTokens(const ScpiToken tokens[ScpiParameterSlots], const char* begin,
                        const char* end)
{
    for (unsigned slot = 0; slot < ScpiParameterSlots; ++slot) {
        const ScpiToken& token = tokens[slot];
        std::uint8_t type = 0;
        std::uint8_t sign = 0;
        scpi_param_get_type_and_sign(token, type, sign);
        switch (type) {
        case ScpiTokenEmpty:
        case ScpiTokenBoolean:
        case ScpiTokenChoice:
            break;
        case ScpiTokenNumber: {
            if (token.number.exponent > ScpiMaxExponent)
                return "exponent beyond 43";
            double real = 0;
            std::int32_t integer = 0;
            scpi_param_get_double(token, real);
            scpi_param_get_int32(token, integer);
            break;
        }
        case ScpiTokenString:
        case ScpiTokenText:
        case ScpiTokenChannelList:
        case ScpiTokenBlock:
            if (token.text.text < begin || token.text.text > end ||
                token.text.length > static_cast<std::size_t>(end - token.text.text))
                return "token text outside the message";
            break;
        default:
            return "unknown token type " + std::to_string(type);
        }
        if (type == ScpiTokenChannelList) {
            for (std::uint32_t entry = 0; entry < 8; ++entry) {
                ScpiToken first[ScpiChannelEntryLevels];
                ScpiToken last[ScpiChannelEntryLevels];
                std::uint8_t levels = ScpiChannelEntryLevels;
                std::uint8_t range = 0;
                const std::uint8_t status =
                    scpi_parse_numeric_param(token, entry, levels, range, first, last);
                if (status == ScpiEngineNoListEntry)
                    break;
                if (status != 0 && status != ScpiEngineTooManyLevels)
                    return "entry reader status " + std::to_string(status);
                if (status == 0 && (levels == 0 || levels > ScpiChannelEntryLevels))
                    return "entry reader level count " + std::to_string(levels);
            }
        }
    }
    return {};
}

// Everything the unit loop gives for message, from the root (a message whose first unit
// fails before its header is read would otherwise start behind the last message's path),
// as text.
std::string Outcome(const std::string& message)
{
    scpi_reset_header_path();
    std::ostringstream out;
    for (const KorvexTest::ParsedUnit& unit : KorvexTest::ParseMessage(message, false)) {
        out << int{unit.status} << ' ' << int{unit.command} << ' ' << int{unit.suffixCount} << ' '
            << (unit.suffixCount != 0 ? unit.suffix : 0) << ' ' << unit.cursorAfter;
        for (unsigned slot = 0; slot < ScpiParameterSlots; ++slot) {
            const ScpiToken& token = unit.tokens[slot];
            out << " [" << int{token.type};
            if (token.type == ScpiTokenNumber)
                out << ' ' << token.number.mantissa << 'e' << int{token.number.exponent} << ' '
                    << int{token.number.flags} << ' ' << token.number.unitKind;
            else if (token.type == ScpiTokenBoolean)
                out << ' ' << int{token.boolean.value};
            else if (token.type == ScpiTokenChoice)
                out << ' ' << int{token.choice.index};
            else if (token.type != ScpiTokenEmpty)
                out << ' ' << int{token.text.quote} << ' ' << Printable(unit.text[slot]);
            out << ']';
        }
        out << ";";
    }
    return out.str();
}

}  // namespace

TEST(ScpiEngineFuzz, UnitLoopAlwaysAdvancesAndStaysInTheMessage)
{
    std::uint64_t seed = 0x4b6f72766578ull;
    if (const char* configured = std::getenv("KORVEX_FUZZ_SEED"))
        seed = std::strtoull(configured, nullptr, 0);
    Generator generator(seed);

    unsigned units = 0;
    unsigned successes = 0;
    for (unsigned messageNumber = 0; units < UnitsToRun; ++messageNumber) {
        const std::string message = generator.Message();
        // Exactly sized, so that a read past the terminating NUL is caught by ASan.
        const std::size_t total = message.size() + 1;
        std::unique_ptr<char[]> buffer(new char[total]);
        std::memcpy(buffer.get(), message.data(), message.size());
        buffer[message.size()] = '\0';
        const char* base = buffer.get();
        const char* cursor = base;
        auto fail = [&](const std::string& what) {
            ADD_FAILURE() << what << "\n  seed " << seed << " (KORVEX_FUZZ_SEED), message #"
                          << messageNumber << ", offset " << (cursor - base) << ": \""
                          << Printable(message) << '"';
        };

        for (int first = 1;; first = 0) {
            const char* before = cursor;
            std::uint8_t command = 255;
            std::uint8_t suffixCount = 7;
            std::uint32_t suffixes[1] = {0};
            ScpiToken tokens[ScpiParameterSlots];
            const std::uint8_t status = scpi_parse_message_unit(
                cursor, total - static_cast<std::size_t>(cursor - base), first, command, tokens,
                suffixCount, suffixes);
            if (!IsEngineStatus(status))
                return fail("status " + std::to_string(status) + " is not an engine status");
            if (cursor < before || cursor > base + message.size())
                return fail("cursor left the message");
            if (ScpiGlobalHeaderPath.pathLength > ScpiHeaderPathCapacity)
                return fail("header path beyond its capacity");
            if (status == ScpiEngineEmptyUnit)
                break;
            ++units;
            if (cursor == before)
                return fail("cursor did not advance, status " + std::to_string(status));
            if (status != ScpiEngineOk)
                continue;   // the parser drops the message here; go on to stress the lexer
            ++successes;
            if (command >= ScpiCommandCount || suffixCount > 1)
                return fail("command " + std::to_string(command) + ", suffix count " +
                            std::to_string(suffixCount));
            const std::string problem = CheckTokens(tokens, base, base + message.size());
            if (!problem.empty())
                return fail(problem);
        }
    }
    // The generator must reach the decoders, not only the lexer's error paths.
    EXPECT_GT(successes, UnitsToRun / 10) << "seed " << seed;
}

// The patterns remembered per header change nothing: every message gives what it gave with
// nothing remembered, whether its headers are still remembered or were pushed out by the
// many others since.
TEST(ScpiEngineFuzz, RememberedHeadersGiveWhatTheWholeTableGives)
{
    std::uint64_t seed = 0x68656164657273ull;
    if (const char* configured = std::getenv("KORVEX_FUZZ_SEED"))
        seed = std::strtoull(configured, nullptr, 0);
    Generator generator(seed);

    constexpr unsigned Messages = 3000;
    std::vector<std::string> messages;
    std::vector<std::string> expected;
    for (unsigned i = 0; i < Messages; ++i) {
        messages.push_back(generator.Message());
        scpi_forget_header_matches();
        expected.push_back(Outcome(messages.back()));
    }
    for (unsigned i = 0; i < Messages; ++i) {
        for (int run = 0; run < 2; ++run) {
            const std::string outcome = Outcome(messages[i]);
            if (outcome != expected[i]) {
                ADD_FAILURE() << "seed " << seed << " (KORVEX_FUZZ_SEED), message #" << i << " \""
                              << Printable(messages[i]) << "\", run " << run << ":\n  " << outcome
                              << "\n  instead of\n  " << expected[i];
                return;
            }
        }
    }
}
