// Helpers of the SCPI engine tests: run a whole program message through the unit loop the
// way the parser thread does, and build tokens and texts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Host/scpi/engine/ScpiLexer.h"
#include "Host/scpi/engine/ScpiParameterSyntax.h"

namespace KorvexTest {

struct ParsedUnit {
    std::uint8_t status = 0;
    std::uint8_t command = 0;
    std::uint8_t suffixCount = 0;
    std::uint32_t suffix = 0;
    Korvex::ScpiToken tokens[Korvex::ScpiParameterSlots] = {};
    std::size_t cursorAfter = 0;   // offset of the cursor after the call
    // Copies of the texts of string, text, channel-list and block tokens (the token
    // pointers are only valid while the message lives).
    std::string text[Korvex::ScpiParameterSlots];
};

// Parses every unit of message (its terminating NUL counted in the length) until status
// 10 or, with stopOnError, the first error. The tokens point into message.
inline std::vector<ParsedUnit> ParseMessage(const std::string& message, bool stopOnError = true)
{
    std::vector<ParsedUnit> units;
    const char* base = message.c_str();
    const std::size_t total = message.size() + 1;
    const char* cursor = base;
    for (int first = 1;; first = 0) {
        ParsedUnit unit;
        std::uint32_t suffixes[1] = {0};
        unit.status = Korvex::scpi_parse_message_unit(
            cursor, total - static_cast<std::size_t>(cursor - base), first, unit.command,
            unit.tokens, unit.suffixCount, suffixes);
        unit.suffix = suffixes[0];
        unit.cursorAfter = static_cast<std::size_t>(cursor - base);
        for (unsigned slot = 0; slot < Korvex::ScpiParameterSlots; ++slot) {
            const Korvex::ScpiToken& token = unit.tokens[slot];
            if (token.type >= Korvex::ScpiTokenString)
                unit.text[slot].assign(token.text.text, token.text.length);
        }
        if (unit.status == Korvex::ScpiEngineEmptyUnit)
            break;
        units.push_back(unit);
        if (unit.status != 0 && stopOnError)
            break;
    }
    return units;
}

// The status of the first unit of message.
inline std::uint8_t FirstStatus(const std::string& message)
{
    const auto units = ParseMessage(message);
    return units.empty() ? std::uint8_t{Korvex::ScpiEngineEmptyUnit} : units.front().status;
}

inline std::string TokenText(const Korvex::ScpiToken& token)
{
    return std::string(token.text.text, token.text.length);
}

inline double TokenDouble(const Korvex::ScpiToken& token)
{
    double value = 0.0;
    Korvex::scpi_param_get_double(token, value);
    return value;
}

// Exponent with its sign.
inline int TokenExponent(const Korvex::ScpiToken& token)
{
    const int magnitude = token.number.exponent;
    return (token.number.flags & Korvex::ScpiNumberExponentNegative) ? -magnitude : magnitude;
}

}  // namespace KorvexTest
