// The measurement units of a field value: flux density (tesla, gauss and their multiples),
// parts per million of a reference field, and the NMR frequency of the proton or of the
// probe's nucleus. The unit number (index into UnitsTable) is stored with every result.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace Korvex {

struct UnitRow {
    const char* name;  // SCPI mnemonic: upper case required, lower case optional
    double factor;     // flux units: value in tesla; frequency units: value in Hz
};

enum eUnit : std::uint32_t {
    eUnitInvalid = 0,
    eUnitT = 1,
    eUnitMT = 2,
    eUnitUT = 3,
    eUnitNT = 4,
    eUnitGAUSs = 5,
    eUnitKGAUss = 6,
    eUnitMGAUss = 7,
    eUnitUGAUss = 8,
    eUnitPPM = 9,
    eUnitHZP = 10,
    eUnitKHZP = 11,
    eUnitMAHZP = 12,
    eUnitGHZP = 13,
    eUnitHZ = 14,
    eUnitKHZ = 15,
    eUnitMAHZ = 16,
    eUnitGHZ = 17,
};

constexpr unsigned UnitCount = 18;
extern const UnitRow UnitsTable[UnitCount];

// The unit index 1..17 whose name equals the text exactly (case-sensitive), else 0.
int KorvexParseUnits(const std::string& name);

// Converts value from one unit to another through tesla. A ratio of 0.0 takes the current
// probe's gyromagnetic ratio for the units of the probe's nucleus. Unit 0 or an index
// above 17 passes the value through unchanged (as tesla). Returns 0; 46 when the probe's
// ratio is needed and no probe is selected; 37 when the reference field (into PPM), the
// proton ratio (from a proton frequency) or the probe's ratio (from a probe frequency)
// is zero. On failure the value is left unchanged.
int KorvexConvertUnits(double& value, std::uint32_t from, std::uint32_t to, double ratio);

// The linear map that turns a frequency f (Hz) of the probe's nucleus into the unit:
// f*scale + offset. Returns 0, 46 (no probe), 37 (a needed ratio or reference is zero) or
// 36 (unit outside 1..17); scale and offset are written only on success.
int KorvexConvertUnitsForProbe(std::uint32_t unit, double& scale, double& offset);

// Source of the current probe's gyromagnetic ratio (Hz per tesla): returns 0 and the
// ratio, 46 when no probe is selected, or another nonzero status. It is called with the
// parameter tree lock held (it may take that lock again, but no lock that is ordered
// before it, such as the topology lock). Until one is installed the source answers 46.
using ProbeGyroRatioSource = std::function<int(double& ratio)>;

// Installs the source; an empty function restores the default.
void KorvexSetProbeGyroRatioSource(ProbeGyroRatioSource source);

}  // namespace Korvex
