// Statuses returned by the SCPI engine functions (lexer, header matcher, parameter
// syntax). 0 is success; the status model turns the others into SCPI error rows.
#pragma once

#include <cstdint>

namespace Korvex {

enum eScpiEngineStatus : std::uint8_t {
    ScpiEngineOk = 0,
    ScpiEngineSecondSuffix = 5,            // a second '#' in one pattern
    ScpiEngineEmptyUnit = 10,              // nothing but ';' and white space: no further unit
    ScpiEngineBadSuffix = 14,              // numeric suffix 0, or one that does not fit 32 bits
    ScpiEngineInvalidListValue = 16,       // also: malformed block introducer, block past the end
    ScpiEngineListDimensions = 17,         // channel address with a level count out of range
    ScpiEngineNumberTooLarge = 20,
    ScpiEngineWrongUnits = 30,
    ScpiEngineDataType = 40,               // parameter of the wrong form
    ScpiEngineParameterCount = 50,
    ScpiEngineOpenString = 60,             // string not closed by its quote
    ScpiEngineUnbalancedParentheses = 65,
    ScpiEngineSyntax = 70,                 // no pattern matches; '#0' without a final newline
    ScpiEngineNoListEntry = 200,           // channel-list entry reader: no such entry
    ScpiEngineTooManyLevels = 210,         // channel-list entry reader: more levels than allowed
};

}  // namespace Korvex
