// One decoded SCPI parameter and the typed getters through which the parser reads it.
// Text pointers point into the program message, which must outlive the token.
#pragma once

#include <cstdint>

#include "Host/scpi/engine/ScpiEngineStatus.h"

namespace Korvex {

enum eScpiTokenType : std::uint8_t {
    ScpiTokenEmpty = 0,
    ScpiTokenNumber = 1,
    ScpiTokenBoolean = 2,
    ScpiTokenChoice = 3,
    ScpiTokenString = 4,        // quoted string, quotes removed
    ScpiTokenText = 5,          // the parameter unchanged
    ScpiTokenChannelList = 8,   // the text between "(@" and ")"
    ScpiTokenBlock = 9,         // the data bytes of an arbitrary block
};

// Number flags.
constexpr std::uint8_t ScpiNumberNegative = 0x01;
constexpr std::uint8_t ScpiNumberExponentNegative = 0x02;

// Largest exponent magnitude a number token carries.
constexpr int ScpiMaxExponent = 43;

// Value = mantissa x 10^(+-exponent), negated when ScpiNumberNegative is set, in the base
// unit of unitKind (scpi_unit_kind).
struct ScpiNumberBody {
    std::uint64_t mantissa;
    std::uint8_t exponent;
    std::uint8_t flags;
    std::uint32_t unitKind;
};

struct ScpiBooleanBody {
    std::uint8_t value;
};

struct ScpiChoiceBody {
    std::uint8_t index;          // index of the matched alternative, from 0
    const char* alternatives;    // the alternatives text of the choice row
};

// Strings, text, channel lists and blocks.
struct ScpiTextBody {
    const char* text;
    std::uint32_t length;
    std::uint8_t quote;          // '"' or '\'' for a quoted string, else 0
};

// One parameter slot. A value-initialised token is empty (type 0); only the body of its
// type is meaningful.
struct ScpiToken {
    std::uint8_t type;
    ScpiNumberBody number;
    ScpiBooleanBody boolean;
    ScpiChoiceBody choice;
    ScpiTextBody text;
};

// Each getter returns 0, or 40 when the token has another type.

// Any type; for a number, sign gets its two flags, else 0.
std::uint8_t scpi_param_get_type_and_sign(const ScpiToken& token, std::uint8_t& type,
                                          std::uint8_t& sign);
// Number: its unit kind.
std::uint8_t scpi_param_get_numeric_word4(const ScpiToken& token, std::uint32_t& unitKind);
// Choice: the index of the alternative.
std::uint8_t scpi_param_get_char(const ScpiToken& token, std::uint8_t& index);
// Boolean: 0 or 1.
std::uint8_t scpi_param_get_bool(const ScpiToken& token, std::uint8_t& value);
// Number as a signed 32-bit integer (fractions truncated); 20 when it does not fit.
std::uint8_t scpi_param_get_int32(const ScpiToken& token, std::int32_t& value);
// Number as a double.
std::uint8_t scpi_param_get_double(const ScpiToken& token, double& value);
// Quoted string, text or channel list.
std::uint8_t scpi_param_get_string(const ScpiToken& token, const char*& text,
                                   std::uint32_t& length, std::uint8_t& quote);
// Block: its data bytes [begin, end).
std::uint8_t scpi_param_get_block(const ScpiToken& token, const char*& begin, const char*& end);

}  // namespace Korvex
