// SCPI parameter syntax: cutting the parameter text of a unit into its slots and decoding
// each slot by its descriptor kind (numbers, booleans, choices, strings, text, blocks,
// channel lists) into a ScpiToken. Plain functions, no heap, no exceptions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Host/scpi/engine/ScpiChannelList.h"
#include "Host/scpi/engine/ScpiNumber.h"
#include "Host/scpi/engine/ScpiToken.h"
#include "Host/scpi/tables/CommandTables.h"

namespace Korvex {

// Cuts text into the parameters of command and decodes them into tokens[0..3] by the
// command's row of ScpiParameterTable. suffixes/suffixCount are the header's numeric
// suffix (a choice alternative may take one). Returns the status of the first failing
// slot; tokens of earlier slots stay filled.
std::uint8_t scpi_parse_parameters(std::uint8_t command, const char* text, std::size_t length,
                                   ScpiToken tokens[ScpiParameterSlots], std::uint32_t suffixes[],
                                   std::uint8_t& suffixCount);

// "ON", "OFF" or a unitless number (rounded half away from zero, non-zero is true). Empty
// text takes the descriptor's default when it has one. Returns 0, 20 or 40.
std::uint8_t scpi_parse_boolean(const char* text, std::size_t length,
                                const ScpiBooleanDescriptor* descriptor, ScpiToken& token);

// One of the alternatives of the descriptor's ScpiChoiceRow, matched like a header node
// (short or complete long form), else its fallback (number or boolean).
std::uint8_t scpi_parse_choice(const char* text, std::size_t length,
                               const ScpiParameterDescriptor& descriptor, ScpiToken& token,
                               std::uint32_t suffixes[], std::uint8_t& suffixCount);

// Exactly one quoted string ('"' or '\''; a doubled quote stands inside it). The token
// holds the text between the outer quotes. Returns 0, 40 or 60 (not closed).
std::uint8_t scpi_parse_quoted_string(const char* text, std::size_t length, ScpiToken& token);

// Text that needs no quotes: the parameter unchanged; when it is exactly one quoted string,
// a quoted-string token of its inside instead. Returns 0.
std::uint8_t scpi_parse_text(const char* text, std::size_t length, ScpiToken& token);

// An arbitrary block: "#0" and data up to the end of the text (a final newline is the
// message terminator, not data), or '#', a digit n, n length digits and exactly that many
// data bytes, followed by nothing but white space. Returns 0, 16 (length digits or data
// past the end of the text) or 40.
std::uint8_t scpi_parse_block(const char* text, std::size_t length, ScpiToken& token);

// For text[0] == '#' and text[1] a digit 1..9: checks the n length digits and the declared
// data length against `available` bytes before reading them; on success end is the index
// just past the data. Returns 0 or 16.
std::uint8_t ScpiDefiniteBlockEnd(const char* text, std::size_t available, std::size_t& end);

}  // namespace Korvex
