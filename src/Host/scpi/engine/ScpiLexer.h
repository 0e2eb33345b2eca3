// SCPI lexer and header matcher: cuts the next program message unit out of a message,
// resolves its header against the remembered compound-header path, matches it against
// ScpiCommandPatternTable and hands the parameter text to the parameter syntax.
// Plain functions, no heap, no exceptions; only the parser thread uses them (the path and
// the patterns remembered per header are the parser's).
#pragma once

#include <cstddef>
#include <cstdint>

#include "Host/scpi/engine/ScpiToken.h"
#include "Host/scpi/tables/CommandTables.h"

namespace Korvex {

constexpr unsigned ScpiHeaderPathCapacity = 96;

// The remembered compound-header path: the prefix, up to and including its last ':', of
// the pattern of the last successful unit whose header did not begin with '*'. A relative
// header is matched behind text[0..pathLength).
struct ScpiHeaderPath {
    const char* pattern;          // the remembered pattern (an entry of the pattern table)
    std::uint32_t prefixLength;   // characters of the pattern's prefix, brackets counted
    std::uint32_t pathLength;     // characters of text
    // The prefix as matched: the pattern's characters in its own mixed case, '[' and ']'
    // dropped, a '#' replaced by the digits of the suffix typed for it (left out when the
    // suffix was defaulted), so that "AVER2:COUN 8;TCON MOV" stays on suffix 2.
    char text[ScpiHeaderPathCapacity];
};

// The one header path of the instrument (parser thread only).
extern ScpiHeaderPath ScpiGlobalHeaderPath;

// Cuts the next unit at cursor (length: bytes from cursor to the end of the message,
// terminating NUL included), matches its header and decodes its parameters. On return the
// cursor is at the end of the unit (its ';', which the next call skips), whatever the
// status; it never moves past the end of the message. firstUnit non-zero resets the path.
// suffixes has room for one value. The tokens are cleared first. Returns 0, 10 (no further
// unit) or an error status.
std::uint8_t scpi_parse_message_unit(const char*& cursor, std::size_t length, int firstUnit,
                                     std::uint8_t& command, ScpiToken tokens[ScpiParameterSlots],
                                     std::uint8_t& suffixCount, std::uint32_t suffixes[]);

// Matches the header of one unit (as cut by scpi_parse_message_unit) against the pattern
// table and decodes its parameters.
std::uint8_t scpi_parse_header(const char* unit, std::size_t length, int firstUnit,
                               std::uint8_t& command, ScpiToken tokens[ScpiParameterSlots],
                               std::uint8_t& suffixCount, std::uint32_t suffixes[]);

// The parameters of a unit whose virtual header ends at virtualEnd: their count (commas
// outside quotes, parentheses and blocks, plus one; 0 for empty or white text) and text.
void scpi_count_parameters(const char* unit, std::size_t length, std::size_t virtualEnd,
                           std::uint8_t& count, const char*& parameters,
                           std::size_t& parametersLength);

// Matches a pattern against a text. Mode 0: a header, behind the remembered path (length
// is then the virtual length: path length plus received characters). Mode 1: one
// alternative of a choice against a parameter, no path. suffixCount: in, suffixes already
// taken (0 or 1); out, the new count on success only. Returns 0, 5, 14 or 70.
std::uint8_t scpi_match_header(const char* pattern, std::size_t patternLength, const char* text,
                               std::size_t length, int mode, std::uint32_t suffixes[],
                               std::uint8_t& suffixCount);

// Forgets the remembered path: the next relative header starts at the root.
void scpi_reset_header_path();

// Forgets which patterns each header was found to fit: the next unit of every header is
// matched against the whole pattern table again.
void scpi_forget_header_matches();

}  // namespace Korvex
