// The table-driven settings get and set.
#include "Host/scpi/exec/GenericSettings.h"

#include <cstdio>
#include <optional>
#include <string>

#include "Host/parameters/Bindings.h"
#include "Host/parameters/Error.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/scpi/exec/ParsedCommand.h"
#include "Host/scpi/exec/ReplyAssembly.h"
#include "Host/scpi/status/KorvexScpiStatus.h"
#include "Host/scpi/tables/CommandTables.h"
#include "Host/scpi/units/MeasurementUnits.h"

namespace Korvex {

namespace {

// Rows of the SCPI error table and of the status-bit table used here.
constexpr std::uint32_t ErrorSettingsConflict = 52;     // -221 "Settings conflict"
constexpr std::uint32_t ErrorFirmware = 127;            // 200 "Firmware error"
constexpr std::uint32_t ErrorNoSelectedChannel = 129;   // 202 "No selected channel"
constexpr std::uint32_t RowSettingWithoutEffect = 39;   // QUEStionable bit 10

constexpr std::uint8_t Deferred = 1;
constexpr std::uint8_t Evaluated = 0;

// The longest formatted reply value, with its terminating zero.
constexpr std::size_t ValueBufferSize = 26;

bool Carries(eNodeType type, unsigned attribute)
{
    return type < NodeTypeCount && attribute < NodeAttributeCount &&
           AttributeApplicabilityTable[type][attribute] != 0;
}

bool IsNumber(const ParsedCommand& record, unsigned slot)
{
    return record.slotType[slot] == ParsedSlotInteger || record.slotType[slot] == ParsedSlotNumber;
}

std::uint32_t SelectedUnit()
{
    return static_cast<std::uint32_t>(
        KorvexParseUnits(CParameterNode::GetStringAttribute(g_pUnitsSelected, eAttrValue)));
}

// printf into at most ValueBufferSize - 1 characters; false when nothing or not all of
// it fits.
template <typename T>
bool FormatValue(std::string& out, const char* format, T value)
{
    char buffer[ValueBufferSize] = {};
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int n = std::snprintf(buffer, sizeof buffer, format, value);
#pragma GCC diagnostic pop
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return false;
    out = buffer;
    return true;
}

// The node attribute a query asks for: the value, or the MINimum, MAXimum or DEFault its
// parameter names. False for any other parameter.
bool QueriedAttribute(const ParsedCommand& record, unsigned& attribute)
{
    attribute = eAttrValue;
    if (record.slotType[0] == ParsedSlotNone) return true;
    if (record.slotType[0] != ParsedSlotChoice) return false;
    const std::string& keyword = record.strings[0];
    if (keyword == "MINimum") {
        attribute = eAttrMinimum;
    } else if (keyword == "MAXimum") {
        attribute = eAttrMaximum;
    } else if (keyword == "DEFault") {
        attribute = eAttrDefault;
    } else {
        return false;
    }
    return true;
}

// Converts a flux value from the command's unit into the selected unit and gives that
// unit's name. On failure the error is posted and nothing may be replied.
bool ConvertToSelectedUnit(double& value, const ScpiCommandAttributeRow& row,
                           CKorvexScpiStatus* block, std::string& unit)
{
    const auto from = static_cast<std::uint32_t>(KorvexParseUnits(row.defaultUnit));
    const std::uint32_t to = SelectedUnit();
    if (from == eUnitInvalid || to == eUnitInvalid) {
        CKorvexScpiStatus::PostError(block, ErrorFirmware, Deferred);
        return false;
    }
    const int result = KorvexConvertUnits(value, from, to, 0.0);
    if (result != eOk) {
        CKorvexScpiStatus::PostError(
            block, result == eNoProbeSelected ? ErrorNoSelectedChannel : ErrorFirmware, Deferred);
        return false;
    }
    unit = UnitsTable[to].name;
    return true;
}

bool Query(ParsedCommand& record, CKorvexScpiStatus* block, CParameterNode* node,
           const ScpiCommandAttributeRow& row)
{
    const bool generic = row.genericFlag != 0;
    unsigned attribute = eAttrValue;
    if (!QueriedAttribute(record, attribute)) {
        CKorvexScpiStatus::PostError(block, ErrorFirmware, Deferred);
        return generic;
    }
    const eNodeType type = node->GetType();
    if (type != eNodeBoolean && type != eNodeInt32 && type != eNodeString &&
        type != eNodeFloat64) {
        CKorvexScpiStatus::PostError(block, ErrorFirmware, Deferred);
        return false;
    }
    if (!Carries(type, attribute)) {
        record.Latch(ParsedInconsistent);
        return generic;
    }

    std::string value;
    std::string unit = row.defaultUnit != nullptr ? row.defaultUnit : "";
    bool formatted = true;
    switch (type) {
        case eNodeBoolean:
            formatted = FormatValue(value, "%d",
                                    CParameterNode::GetBooleanAttribute(node, attribute) ? 1 : 0);
            break;
        case eNodeInt32:
            formatted = FormatValue(value, "%d", CParameterNode::GetInt32Attribute(node, attribute));
            break;
        case eNodeString:
            value = CParameterNode::GetStringAttribute(node, attribute);
            break;
        default: {
            double number = CParameterNode::GetFloat64Attribute(node, attribute);
            // A value that cannot be told in the selected unit is not replied at all: a
            // tesla value under another unit's name would be a wrong measurement.
            if (row.fluxFlag != 0 && !ConvertToSelectedUnit(number, row, block, unit))
                return generic;
            formatted = FormatValue(value, "%.15g", number);
            break;
        }
    }
    if (!formatted) {
        record.Latch(ParsedInconsistent);
        return generic;
    }
    if (!unit.empty()) value += " " + unit;
    AppendResponse(record, value, true);
    return generic;
}

bool Set(ParsedCommand& record, CKorvexScpiStatus* block, CParameterNode* node,
         const ScpiCommandAttributeRow& row)
{
    const eNodeType type = node->GetType();
    bool flag = false;
    std::string text;
    std::int32_t integer = 0;
    double number = 0.0;
    std::uint8_t applies = SettingApplies;
    // The value and the modes it depends on are read under one hold of the tree; not a flux
    // value, whose conversion may ask the probe (and its locks come before the tree's).
    std::optional<CRecursiveLock> tree;
    if (type != eNodeFloat64 || row.fluxFlag == 0) tree.emplace(ParameterTreeLock());
    switch (type) {
        case eNodeBoolean:
            flag = record.GetBool(0, node) != 0;
            applies = ParsedCommand::CheckSettingApplies(node, flag);
            break;
        case eNodeString:
            text = record.GetString(0, node);
            applies = ParsedCommand::CheckSettingApplies(node, text);
            break;
        case eNodeInt32:
            integer = record.GetInt32(0, node);
            applies = ParsedCommand::CheckSettingApplies(node);
            break;
        case eNodeFloat64:
            if (row.fluxFlag == 0) {
                number = record.GetDouble(0, node, true);
            } else {
                const std::uint32_t selected = SelectedUnit();
                // A bare number in PPM would define the reference by itself.
                if (node == g_pUnitsPpmRef && selected == eUnitPPM && IsNumber(record, 0) &&
                    record.unitKinds[0] == ScpiUnitNone) {
                    CKorvexScpiStatus::PostError(block, ErrorSettingsConflict, Deferred);
                    return true;
                }
                number = record.GetFluxDouble(
                    0, node, selected, static_cast<std::uint32_t>(KorvexParseUnits(row.defaultUnit)));
            }
            applies = ParsedCommand::CheckSettingApplies(node);
            break;
        default:
            tree.reset();
            CKorvexScpiStatus::PostError(block, ErrorFirmware, Deferred);
            return false;
    }
    tree.reset();
    // A value that failed stores nothing, and the command's side effects must not run.
    if (record.status != 0) return true;
    if (applies == SettingConflicts) {
        CKorvexScpiStatus::PostError(block, ErrorSettingsConflict, Deferred);
        return true;
    }
    if (applies == SettingHasNoEffect)
        CKorvexScpiStatus::SetStatusBit(block, RowSettingWithoutEffect, 1, Evaluated);

    switch (type) {
        case eNodeBoolean: record.SetNodeBool(node, eAttrValue, flag); break;
        case eNodeString: record.SetNodeString(node, eAttrValue, text); break;
        case eNodeInt32: record.SetNodeInt32(node, eAttrValue, integer); break;
        default: record.SetNodeDouble(node, eAttrValue, number); break;
    }
    if (record.status != 0) return true;
    if (row.statusBitRow > 0)
        CKorvexScpiStatus::SetStatusBit(block, static_cast<std::uint32_t>(row.statusBitRow), 1,
                                        Evaluated);
    return row.genericFlag != 0;
}

}  // namespace

bool BusyRuleRefuses(const ParsedCommand& record, CKorvexScpiStatus* block, bool triggerActive)
{
    if (!triggerActive || record.command >= ScpiCommandCount) return false;
    const std::uint32_t rule = ScpiCommandAttributeTable[record.command].busyRule;
    if (rule == ScpiBusyAlways ||
        (rule == ScpiBusyUnlessManualSearch &&
         CParameterNode::GetStringAttribute(g_pSearchMode, eAttrValue) != "MANual")) {
        CKorvexScpiStatus::PostError(block, ErrorSettingsConflict, Deferred);
        return true;
    }
    return false;
}

CParameterNode* BoundSettingsNode(const ParsedCommand& record)
{
    if (record.command >= ScpiCommandCount) return nullptr;
    const ScpiCommandAttributeRow& row = ScpiCommandAttributeTable[record.command];
    CParameterNode** binding =
        !record.suffixes.empty() && record.suffixes[0] == 2 ? row.binding2 : row.binding1;
    return binding != nullptr ? *binding : nullptr;
}

bool GetSetSetting(ParsedCommand& record, CKorvexScpiStatus* block, bool triggerActive)
{
    if (record.command >= ScpiCommandCount) {
        record.Latch(ParsedInconsistent);
        return true;
    }
    if (BusyRuleRefuses(record, block, triggerActive)) return true;
    CParameterNode* node = BoundSettingsNode(record);
    if (node == nullptr) return false;
    const ScpiCommandAttributeRow& row = ScpiCommandAttributeTable[record.command];
    return ScpiCommandQueryFlag(record.command) != 0 ? Query(record, block, node, row)
                                                      : Set(record, block, node, row);
}

}  // namespace Korvex
