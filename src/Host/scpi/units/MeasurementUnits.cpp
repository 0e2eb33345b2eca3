#include "Host/scpi/units/MeasurementUnits.h"

#include <utility>

#include "Host/parameters/Bindings.h"
#include "Host/parameters/Error.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/parameters/RecursiveMutex.h"

namespace Korvex {

const UnitRow UnitsTable[UnitCount] = {
    {"Invalid Units", 1.0},
    {"T", 1.0},
    {"MT", 1e-3},
    {"UT", 1e-6},
    {"NT", 1e-9},
    {"GAUSs", 1e-4},
    {"KGAUss", 0.1},
    {"MGAUss", 1e-7},
    {"UGAUss", 0x1.b7cdfd9d7bdbcp-34},  // one ulp above the double nearest to 1e-10
    {"PPM", 1e-6},
    {"HZP", 1.0},
    {"KHZP", 1e3},
    {"MAHZP", 1e6},
    {"GHZP", 1e9},
    {"HZ", 1.0},
    {"KHZ", 1e3},
    {"MAHZ", 1e6},
    {"GHZ", 1e9},
};

namespace {

bool IsFluxUnit(std::uint32_t unit) { return unit >= eUnitT && unit <= eUnitUGAUss; }
bool IsProtonUnit(std::uint32_t unit) { return unit >= eUnitHZP && unit <= eUnitGHZP; }
bool IsProbeUnit(std::uint32_t unit) { return unit >= eUnitHZ && unit <= eUnitGHZ; }

int NoProbe(double&) { return eNoProbeSelected; }

// Guarded by the tree lock, like the probe selection it reports on.
ProbeGyroRatioSource& GyroRatioSource()
{
    static ProbeGyroRatioSource* source = new ProbeGyroRatioSource(NoProbe);
    return *source;
}

int ReadProbeGyroRatio(double& ratio)
{
    CRecursiveLock lock(ParameterTreeLock());
    return GyroRatioSource()(ratio);
}

// The ratio for the units of the probe's nucleus: the caller's when given, else the
// current probe's.
int ProbeRatio(double given, double& ratio)
{
    if (given != 0.0) {
        ratio = given;
        return eOk;
    }
    return ReadProbeGyroRatio(ratio);
}

}  // namespace

void KorvexSetProbeGyroRatioSource(ProbeGyroRatioSource source)
{
    CRecursiveLock lock(ParameterTreeLock());
    GyroRatioSource() = source ? std::move(source) : ProbeGyroRatioSource(NoProbe);
}

int KorvexParseUnits(const std::string& name)
{
    for (unsigned unit = eUnitT; unit < UnitCount; ++unit) {
        if (name == UnitsTable[unit].name) return static_cast<int>(unit);
    }
    return eUnitInvalid;
}

int KorvexConvertUnits(double& value, std::uint32_t from, std::uint32_t to, double ratio)
{
    if (from == to) return eOk;

    // Into tesla.
    double tesla = value;
    if (IsFluxUnit(from)) {
        tesla = value * UnitsTable[from].factor;
    } else if (from == eUnitPPM) {
        const double reference = CParameterNode::GetFloat64Attribute(g_pUnitsPpmRef, eAttrValue);
        tesla = reference * (1.0 + 1e-6 * value);
    } else if (IsProtonUnit(from)) {
        const double proton =
            CParameterNode::GetFloat64Attribute(g_pNominalPGyroRatio, eAttrValue);
        if (proton == 0.0) return eZeroRatioOrReference;
        tesla = value * UnitsTable[from].factor / proton;
    } else if (IsProbeUnit(from)) {
        double probe = 0.0;
        const int status = ProbeRatio(ratio, probe);
        if (status != eOk) return status;
        if (probe == 0.0) return eZeroRatioOrReference;
        tesla = value * UnitsTable[from].factor / probe;
    }

    // Out of tesla.
    double result = tesla;
    if (IsFluxUnit(to)) {
        result = tesla / UnitsTable[to].factor;
    } else if (to == eUnitPPM) {
        const double reference = CParameterNode::GetFloat64Attribute(g_pUnitsPpmRef, eAttrValue);
        if (reference == 0.0) return eZeroRatioOrReference;
        result = (tesla - reference) / (1e-6 * reference);
    } else if (IsProtonUnit(to)) {
        const double proton =
            CParameterNode::GetFloat64Attribute(g_pNominalPGyroRatio, eAttrValue);
        result = tesla * proton / UnitsTable[to].factor;
    } else if (IsProbeUnit(to)) {
        double probe = 0.0;
        const int status = ProbeRatio(ratio, probe);
        if (status != eOk) return status;
        result = tesla * probe / UnitsTable[to].factor;
    }
    value = result;
    return eOk;
}

int KorvexConvertUnitsForProbe(std::uint32_t unit, double& scale, double& offset)
{
    double probe = 0.0;
    double proton = 0.0;
    double reference = 0.0;
    {
        CRecursiveLock lock(ParameterTreeLock());
        const int status = GyroRatioSource()(probe);
        if (status != eOk) return status;
        proton = CParameterNode::GetFloat64Attribute(g_pNominalPGyroRatio, eAttrValue);
        reference = CParameterNode::GetFloat64Attribute(g_pUnitsPpmRef, eAttrValue);
    }

    if (IsFluxUnit(unit)) {
        if (probe == 0.0) return eZeroRatioOrReference;
        scale = 1.0 / (UnitsTable[unit].factor * probe);
        offset = 0.0;
    } else if (unit == eUnitPPM) {
        if (probe == 0.0 || reference == 0.0) return eZeroRatioOrReference;
        scale = 1.0 / (1e-6 * probe * reference);
        offset = -1e6;
    } else if (IsProtonUnit(unit)) {
        if (probe == 0.0) return eZeroRatioOrReference;
        scale = proton / (UnitsTable[unit].factor * probe);
        offset = 0.0;
    } else if (IsProbeUnit(unit)) {
        scale = 1.0 / UnitsTable[unit].factor;
        offset = 0.0;
    } else {
        return eUnitIndexOutOfRange;
    }
    return eOk;
}

}  // namespace Korvex
