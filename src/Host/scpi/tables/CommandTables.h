// The SCPI command vocabulary as fixed data: the header patterns, the per-command
// attributes and parameter descriptors (three parallel tables indexed by the command
// number), and the descriptor tables they point to.
#pragma once

#include <cstdint>

namespace Korvex {

class CParameterNode;

// Number of commands; the pattern table holds this many patterns before its empty end.
constexpr unsigned ScpiCommandCount = 239;

// Unit kind of a number token (base unit of its value). ScpiUnitListEnd ends a list of
// further accepted kinds.
enum scpi_unit_kind : std::uint32_t {
    ScpiUnitNone = 0,
    ScpiUnitDecibel = 1,
    ScpiUnitHertz = 2,
    ScpiUnitHertzPerProton = 3,
    ScpiUnitPpm = 4,
    ScpiUnitSecond = 5,
    ScpiUnitTesla = 6,
    ScpiUnitVolt = 7,
    ScpiUnitListEnd = 8,
};

// Parameter kinds of a descriptor slot; 0 marks an unused slot.
enum ScpiParameterKind : std::uint32_t {
    ScpiKindNone = 0,
    ScpiKindNumeric = 1,
    ScpiKindBoolean = 2,
    ScpiKindChoice = 3,
    ScpiKindString = 4,       // quoted string
    ScpiKindText = 5,         // the parameter unchanged, no quotes required
    ScpiKindChannelList = 8,
    ScpiKindBlock = 9,
};

// A number parameter: the unit kind it takes without a suffix, the further kinds a suffix
// may give (ended by ScpiUnitListEnd, or null for none) and the exponent added when no
// suffix is given.
struct ScpiNumericDescriptor {
    std::uint32_t unitKind;
    const std::uint32_t* furtherKinds;
    std::int8_t defaultExponent;
};

// A boolean parameter: bit 0 = an empty parameter takes a default, bit 1 = that default.
struct ScpiBooleanDescriptor {
    std::uint8_t flags;
};

enum ScpiChoiceFallback : std::uint32_t {
    ScpiFallbackNone = 0,
    ScpiFallbackNumeric = 1,   // fallbackDescriptor is a ScpiNumericDescriptor
    ScpiFallbackBoolean = 2,   // fallbackDescriptor is a ScpiBooleanDescriptor
};

// A character-data parameter: alternatives separated by '|' (header-pattern syntax, index
// from 0), the index an empty parameter takes (ScpiNoDefaultIndex: none), and what decodes
// a parameter that matches no alternative.
struct ScpiChoiceRow {
    const char* alternatives;
    std::uint8_t defaultIndex;
    std::uint32_t fallbackKind;
    const void* fallbackDescriptor;
};
constexpr std::uint8_t ScpiNoDefaultIndex = 255;

// A channel-list parameter.
struct ScpiChannelListDescriptor {
    std::uint8_t flags;  // bit 0 fractions allowed, bit 1 negatives allowed, bit 2 range checked
    std::uint8_t minimumLevels;
    std::uint8_t maximumLevels;
    std::int32_t minimum;
    std::int32_t maximum;
};
constexpr std::uint8_t ScpiChannelFractionsAllowed = 0x01;
constexpr std::uint8_t ScpiChannelNegativesAllowed = 0x02;
constexpr std::uint8_t ScpiChannelRangeChecked = 0x04;

// One parameter slot of a command. optional bit 0: the parameter may be left out. The
// descriptor's type follows the kind (numeric, boolean, choice, channel list; null for
// strings, text and blocks).
struct ScpiParameterDescriptor {
    std::uint32_t optional;
    std::uint32_t kind;
    const void* descriptor;
};
constexpr unsigned ScpiParameterSlots = 4;

// Busy rules, applied while a triggered measurement runs.
enum ScpiBusyRule : std::uint32_t {
    ScpiBusyNone = 0,
    ScpiBusyUnlessManualSearch = 2,
    ScpiBusyAlways = 3,
};

struct ScpiCommandAttributeRow {
    std::uint8_t queryFlag;          // 1: a query form
    std::uint8_t lockFlag;           // 1: allowed while another session holds the lock
    std::uint32_t busyRule;          // ScpiBusyRule
    CParameterNode** binding1;       // numeric suffix 1 (or none)
    CParameterNode** binding2;       // numeric suffix 2
    const char* defaultUnit;         // may be empty, never null
    std::uint32_t fluxFlag;          // 1: a flux quantity in the selected unit
    std::int32_t statusBitRow;       // OPERation:BIT11 row set after a change; 0 none
    std::uint32_t genericFlag;       // 1: served entirely by the table-driven get/set
};

// A unit suffix of a number parameter: name (compared in full, any case), kind, exponent.
struct ScpiSuffixUnitRow {
    const char* name;
    std::uint32_t kind;
    std::int8_t exponent;
};
constexpr unsigned ScpiSuffixUnitCount = 24;

// ---- the tables ----

// ScpiCommandCount patterns, then "".
extern const char* const ScpiCommandPatternTable[ScpiCommandCount + 1];
extern const ScpiCommandAttributeRow ScpiCommandAttributeTable[ScpiCommandCount];
// ScpiCommandCount rows of four slots, then an all-zero row.
extern const ScpiParameterDescriptor ScpiParameterTable[ScpiCommandCount + 1][ScpiParameterSlots];

// Choice rows c1..c22 at indices 0..21.
constexpr unsigned ScpiChoiceRowCount = 22;
extern const ScpiChoiceRow ScpiChoiceRows[ScpiChoiceRowCount];

// The numeric descriptors, indexed by ScpiNumericDescriptorIndex.
enum ScpiNumericDescriptorIndex : unsigned {
    ScpiNumPlain = 0,      // no unit
    ScpiNumFlux = 1,       // no unit; tesla, ppm, hertz per proton, hertz suffixes
    ScpiNumVolt = 2,
    ScpiNumHertz = 3,
    ScpiNumSecond = 4,
    ScpiNumTesla = 5,      // tesla; tesla, ppm, hertz per proton, hertz suffixes
    ScpiNumReference = 6,  // no unit; tesla, hertz per proton, hertz suffixes
};
constexpr unsigned ScpiNumericDescriptorCount = 7;
extern const ScpiNumericDescriptor ScpiNumericDescriptors[ScpiNumericDescriptorCount];

// The boolean descriptor of boolean parameters and fallbacks: no default.
extern const ScpiBooleanDescriptor ScpiBooleanNoDefault;
// The descriptor of every channel-list parameter: integers 1..255, 1 to 6 levels.
extern const ScpiChannelListDescriptor ScpiChannelListParameter;

// ScpiSuffixUnitCount rows, then a row with an empty name.
extern const ScpiSuffixUnitRow ScpiSuffixUnitTable[ScpiSuffixUnitCount + 1];

// ---- lookups by command number (no range check beyond the table: callers pass 0..238) ----

inline std::uint8_t ScpiCommandQueryFlag(unsigned command)
{
    return ScpiCommandAttributeTable[command].queryFlag;
}
inline std::uint8_t ScpiCommandLockFlag(unsigned command)
{
    return ScpiCommandAttributeTable[command].lockFlag;
}
inline std::int32_t ScpiCommandStatusBitRow(unsigned command)
{
    return ScpiCommandAttributeTable[command].statusBitRow;
}

// Number of patterns before the empty end string.
unsigned ScpiCommandPatternCount();

}  // namespace Korvex
