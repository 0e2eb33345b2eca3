// SCPI numbers: the numeric scanner (IEEE 488.2 decimal and #B/#Q/#H forms) and the
// number parameter with its optional unit suffix.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Host/scpi/engine/ScpiToken.h"
#include "Host/scpi/tables/CommandTables.h"

namespace Korvex {

// Scans one number at the start of text: fills mantissa, exponent and flags of body (not
// the unit kind) and the number of characters consumed, trailing white space included.
// Returns 0, 20 (too large) or 40 (not a number).
std::uint8_t scpi_scan_number(const char* text, std::size_t length, ScpiNumberBody& body,
                              std::size_t& consumed);

// A number parameter: the number, then an optional unit suffix of ScpiSuffixUnitTable.
// A null descriptor takes no unit and no further kinds. Returns 0, 20, 30 or 40.
std::uint8_t scpi_parse_numeric(const char* text, std::size_t length,
                                const ScpiNumericDescriptor* descriptor, ScpiToken& token);

}  // namespace Korvex
