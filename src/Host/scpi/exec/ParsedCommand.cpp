// The parsed-command record: slot setters, parameter getters, node setters and the
// mode-dependency rules.
#include "Host/scpi/exec/ParsedCommand.h"

#include <cmath>
#include <cstring>
#include <initializer_list>

#include "Host/parameters/Bindings.h"
#include "Host/parameters/Error.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/scpi/units/MeasurementUnits.h"

namespace Korvex {

namespace {

const char* const KeywordMinimum = "MINimum";
const char* const KeywordMaximum = "MAXimum";
const char* const KeywordDefault = "DEFault";
const char* const KeywordInfinity = "INFinity";

constexpr double RangeTolerance = 1e-14;

bool Carries(CParameterNode* node, unsigned attribute)
{
    const eNodeType type = node->GetType();
    return type < NodeTypeCount && attribute < NodeAttributeCount &&
           AttributeApplicabilityTable[type][attribute] != 0;
}

bool IsType(CParameterNode* node, eNodeType type, unsigned attribute)
{
    return node != nullptr && node->GetType() == type && Carries(node, attribute);
}

// A numeric attribute of an Int32 or Float64 node.
bool ReadNumber(CParameterNode* node, unsigned attribute, double& value)
{
    if (IsType(node, eNodeInt32, attribute)) {
        value = CParameterNode::GetInt32Attribute(node, attribute);
        return true;
    }
    if (IsType(node, eNodeFloat64, attribute)) {
        value = CParameterNode::GetFloat64Attribute(node, attribute);
        return true;
    }
    return false;
}

// Rounds half away from zero (IEEE 488.2); false when the result is no 32-bit integer.
bool RoundToInt32(double value, std::int32_t& out)
{
    const double r = std::round(value);
    if (!(r >= -2147483648.0 && r <= 2147483647.0)) return false;
    out = static_cast<std::int32_t>(r);
    return true;
}

// The tolerance unit of a range limit: 1 for 0, else 2^(e-1) for L = f x 2^e,
// 0.5 <= |f| < 1.
double LimitScale(double limit)
{
    if (limit == 0.0) return 1.0;
    int e = 0;
    std::frexp(limit, &e);
    return std::ldexp(1.0, e - 1);
}

bool ChoicesAccept(CParameterNode* node, const std::string& text)
{
    const std::string choices = CParameterNode::GetStringAttribute(node, eAttrChoices);
    return choices.empty() || choices.find(text) != std::string::npos;
}

// The base unit of a number's unit kind; 0 (invalid) for kinds without a flux unit.
std::uint32_t KindUnit(std::uint32_t kind)
{
    switch (kind) {
        case ScpiUnitTesla: return eUnitT;
        case ScpiUnitPpm: return eUnitPPM;
        case ScpiUnitHertzPerProton: return eUnitHZP;
        case ScpiUnitHertz: return eUnitHZ;
        default: return eUnitInvalid;
    }
}

bool TextIs(CParameterNode* node, const char* text)
{
    return CParameterNode::GetStringAttribute(node, eAttrValue) == text;
}

bool IsTrue(CParameterNode* node)
{
    return CParameterNode::GetBooleanAttribute(node, eAttrValue);
}

bool OneOf(CParameterNode* node, std::initializer_list<CParameterNode*> nodes)
{
    for (CParameterNode* n : nodes) {
        if (n == node) return true;
    }
    return false;
}

}  // namespace

ParsedCommand::ParsedCommand(std::string* responseText) : response(responseText) {}

void ParsedCommand::Reset()
{
    command = 0;
    suffixes.clear();
    for (unsigned slot = 0; slot < Slots; ++slot) {
        slotType[slot] = ParsedSlotNone;
        strings[slot].clear();
        channels[slot].clear();
    }
    status = 0;
    indefiniteResponse = 0;
    stop = 0;
}

bool ParsedCommand::SlotOk(unsigned slot)
{
    if (slot < Slots) return true;
    Latch(ParsedInconsistent);
    return false;
}

// ---- slot setters ----

void ParsedCommand::SetInteger(unsigned slot, std::int32_t value, std::uint32_t unitKind)
{
    if (!SlotOk(slot)) return;
    slotType[slot] = ParsedSlotInteger;
    integers[slot] = value;
    unitKinds[slot] = unitKind;
}

void ParsedCommand::SetNumber(unsigned slot, double value, std::uint32_t unitKind)
{
    if (!SlotOk(slot)) return;
    slotType[slot] = ParsedSlotNumber;
    doubles[slot] = value;
    unitKinds[slot] = unitKind;
}

void ParsedCommand::SetBool(unsigned slot, std::uint8_t value)
{
    if (!SlotOk(slot)) return;
    slotType[slot] = ParsedSlotBool;
    booleans[slot] = value;
}

void ParsedCommand::SetChoice(unsigned slot, std::uint8_t index)
{
    if (!SlotOk(slot)) return;
    slotType[slot] = ParsedSlotChoice;
    strings[slot].clear();
    const ScpiParameterDescriptor* d =
        command < ScpiCommandCount ? &ScpiParameterTable[command][slot] : nullptr;
    if (d == nullptr || d->kind != ScpiKindChoice || d->descriptor == nullptr) {
        Latch(ParsedInconsistent);
        return;
    }
    const char* text = static_cast<const ScpiChoiceRow*>(d->descriptor)->alternatives;
    for (unsigned i = 0; i < index; ++i) {
        text = std::strchr(text, '|');
        if (text == nullptr) {
            Latch(ParsedInconsistent);
            return;
        }
        ++text;
    }
    const char* end = std::strchr(text, '|');
    strings[slot].assign(text, end != nullptr ? static_cast<std::size_t>(end - text)
                                              : std::strlen(text));
}

void ParsedCommand::SetString(unsigned slot, const std::string& text)
{
    if (!SlotOk(slot)) return;
    slotType[slot] = ParsedSlotString;
    strings[slot] = text;
}

void ParsedCommand::AddChannel(unsigned slot, const CKorvexChannel& address)
{
    if (!SlotOk(slot)) return;
    slotType[slot] = ParsedSlotChannelList;
    if (channels[slot].size() >= MaxChannelAddresses) {
        Latch(ParsedChannelListError);
        return;
    }
    CKorvexChannel copy = address;
    if (copy.count > CKorvexChannel::MaxLevels) copy.count = CKorvexChannel::MaxLevels;
    channels[slot].push_back(copy);
}

void ParsedCommand::SetBlock(unsigned slot, const std::vector<std::uint8_t>& bytes)
{
    if (!SlotOk(slot)) return;
    slotType[slot] = ParsedSlotBlock;
    blocks[slot] = bytes;
}

// ---- parameter getters ----

bool ParsedCommand::KeywordValue(unsigned slot, CParameterNode* node, double& value)
{
    const std::string& keyword = strings[slot];
    unsigned attribute = eAttrValue;
    if (keyword == KeywordMinimum) {
        attribute = eAttrMinimum;
    } else if (keyword == KeywordMaximum || keyword == KeywordInfinity) {
        attribute = eAttrMaximum;
    } else if (keyword == KeywordDefault) {
        attribute = eAttrDefault;
    } else {
        Latch(ParsedInconsistent);
        return false;
    }
    if (ReadNumber(node, attribute, value)) return true;
    // INFinity stands for the largest value the setting takes: with none it is illegal.
    Latch(keyword == KeywordInfinity ? ParsedIllegalValue : ParsedInconsistent);
    return false;
}

bool ParsedCommand::InRange(CParameterNode* node, double value, bool tolerant)
{
    double minimum = 0.0;
    double maximum = 0.0;
    {
        CRecursiveLock lock(ParameterTreeLock());
        if (!ReadNumber(node, eAttrMinimum, minimum) || !ReadNumber(node, eAttrMaximum, maximum)) {
            Latch(ParsedInconsistent);
            return false;
        }
    }
    const bool ok = tolerant ? !(value - minimum < LimitScale(minimum) * -RangeTolerance) &&
                                   !(value - maximum > LimitScale(maximum) * RangeTolerance)
                             : value >= minimum && value <= maximum;
    if (!ok) Latch(ParsedOutOfRange);
    return ok;
}

std::uint8_t ParsedCommand::GetBool(unsigned slot, CParameterNode* node)
{
    if (!SlotOk(slot)) return 0;
    switch (slotType[slot]) {
        case ParsedSlotNone:
            break;
        case ParsedSlotChoice:
            if (strings[slot] == KeywordDefault) break;
            Latch(ParsedInconsistent);
            return 0;
        case ParsedSlotBool:
            return booleans[slot];
        default:
            Latch(ParsedInconsistent);
            return 0;
    }
    if (!IsType(node, eNodeBoolean, eAttrDefault)) {
        Latch(ParsedInconsistent);
        return 0;
    }
    return CParameterNode::GetBooleanAttribute(node, eAttrDefault) ? 1 : 0;
}

std::string ParsedCommand::GetString(unsigned slot, CParameterNode* node)
{
    if (!SlotOk(slot)) return std::string();
    const std::uint32_t type = slotType[slot];
    if (type == ParsedSlotNone || (type == ParsedSlotChoice && strings[slot] == KeywordDefault)) {
        if (!IsType(node, eNodeString, eAttrDefault)) {
            Latch(ParsedInconsistent);
            return std::string();
        }
        return CParameterNode::GetStringAttribute(node, eAttrDefault);
    }
    if (type != ParsedSlotChoice && type != ParsedSlotString) {
        Latch(ParsedInconsistent);
        return std::string();
    }
    if (node != nullptr) {
        if (!IsType(node, eNodeString, eAttrChoices)) {
            Latch(ParsedInconsistent);
        } else if (!ChoicesAccept(node, strings[slot])) {
            Latch(ParsedOutOfRange);
        }
    }
    return strings[slot];
}

std::int32_t ParsedCommand::GetInt32(unsigned slot, CParameterNode* node)
{
    if (!SlotOk(slot)) return 0;
    double value = 0.0;
    std::int32_t result = 0;
    switch (slotType[slot]) {
        case ParsedSlotNone:
            if (!ReadNumber(node, eAttrDefault, value)) {
                Latch(ParsedInconsistent);
                return 0;
            }
            break;
        case ParsedSlotChoice:
            if (!KeywordValue(slot, node, value)) return 0;
            break;
        case ParsedSlotInteger:
            result = integers[slot];
            if (node != nullptr) InRange(node, result, false);
            return result;
        case ParsedSlotNumber:
            // Rounded first, then checked exactly like an integer.
            if (!RoundToInt32(doubles[slot], result)) {
                Latch(ParsedOutOfRange);
                return 0;
            }
            if (node != nullptr) InRange(node, result, false);
            return result;
        default:
            Latch(ParsedInconsistent);
            return 0;
    }
    // An attribute of the node (a Float64 node's attribute is rounded like a number).
    if (!RoundToInt32(value, result)) {
        Latch(ParsedOutOfRange);
        return 0;
    }
    return result;
}

double ParsedCommand::GetDouble(unsigned slot, CParameterNode* node, bool check)
{
    if (!SlotOk(slot)) return 0.0;
    double value = 0.0;
    switch (slotType[slot]) {
        case ParsedSlotNone:
            if (!ReadNumber(node, eAttrValue, value)) Latch(ParsedInconsistent);
            return value;
        case ParsedSlotChoice:
            KeywordValue(slot, node, value);
            return value;
        case ParsedSlotInteger:
            value = integers[slot];
            break;
        case ParsedSlotNumber:
            value = doubles[slot];
            break;
        default:
            Latch(ParsedInconsistent);
            return 0.0;
    }
    if (check && node != nullptr) InRange(node, value, true);
    return value;
}

double ParsedCommand::GetFluxDouble(unsigned slot, CParameterNode* node,
                                    std::uint32_t selectedUnit, std::uint32_t nodeUnit)
{
    double value = GetDouble(slot, node, false);
    if (slot >= Slots ||
        (slotType[slot] != ParsedSlotInteger && slotType[slot] != ParsedSlotNumber)) {
        // Missing or keyword: already in the node's unit.
        return value;
    }
    const std::uint32_t kind = unitKinds[slot];
    const std::uint32_t from = kind == ScpiUnitNone ? selectedUnit : KindUnit(kind);
    if (from == eUnitInvalid || from >= UnitCount) {
        Latch(ParsedWrongUnits);
        return value;
    }
    if (nodeUnit == eUnitInvalid || nodeUnit >= UnitCount) {
        Latch(ParsedInconsistent);
        return value;
    }
    const int result = KorvexConvertUnits(value, from, nodeUnit, 0.0);
    if (result != eOk) {
        Latch(result == eNoProbeSelected ? ParsedNoProbe : ParsedWrongUnits);
        return value;
    }
    if (node != nullptr) InRange(node, value, true);
    return value;
}

std::vector<CKorvexChannel> ParsedCommand::GetChannelList(unsigned slot)
{
    if (!SlotOk(slot) || slotType[slot] == ParsedSlotNone) return {};
    if (slotType[slot] != ParsedSlotChannelList) {
        Latch(ParsedInconsistent);
        return {};
    }
    return channels[slot];
}

std::vector<std::uint8_t> ParsedCommand::GetBlock(unsigned slot)
{
    if (!SlotOk(slot) || slotType[slot] == ParsedSlotNone) return {};
    if (slotType[slot] != ParsedSlotBlock) {
        Latch(ParsedInconsistent);
        return {};
    }
    return blocks[slot];
}

std::string ParsedCommand::GetNodeString(CParameterNode* node, unsigned attribute)
{
    if (!IsType(node, eNodeString, attribute)) {
        Latch(ParsedInconsistent);
        return std::string();
    }
    return CParameterNode::GetStringAttribute(node, attribute);
}

// ---- node setters ----
// Only the value attribute is checked against the node's range or choices; the limits
// themselves are written as given.

void ParsedCommand::SetNodeBool(CParameterNode* node, unsigned attribute, bool value)
{
    if (status != 0) return;
    if (!IsType(node, eNodeBoolean, attribute)) {
        Latch(ParsedInconsistent);
        return;
    }
    CParameterNode::SetBooleanAttribute(node, attribute, value);
}

void ParsedCommand::SetNodeInt32(CParameterNode* node, unsigned attribute, std::int32_t value)
{
    if (status != 0) return;
    if (!IsType(node, eNodeInt32, attribute)) {
        Latch(ParsedInconsistent);
        return;
    }
    if (attribute == eAttrValue && !InRange(node, value, false)) return;
    CParameterNode::SetInt32Attribute(node, attribute, value);
}

void ParsedCommand::SetNodeDouble(CParameterNode* node, unsigned attribute, double value)
{
    if (status != 0) return;
    if (!IsType(node, eNodeFloat64, attribute)) {
        Latch(ParsedInconsistent);
        return;
    }
    if (attribute == eAttrValue && !InRange(node, value, true)) return;
    CParameterNode::SetFloat64Attribute(node, attribute, value);
}

void ParsedCommand::SetNodeString(CParameterNode* node, unsigned attribute,
                                  const std::string& value)
{
    if (status != 0) return;
    if (!IsType(node, eNodeString, attribute)) {
        Latch(ParsedInconsistent);
        return;
    }
    if (attribute == eAttrValue && !ChoicesAccept(node, value)) {
        Latch(ParsedInconsistent);
        return;
    }
    CParameterNode::SetStringAttribute(node, attribute, value);
}

// ---- mode dependency ----

std::uint8_t ParsedCommand::CheckSettingApplies(CParameterNode* node, bool value)
{
    return Applies(node, &value, nullptr);
}

std::uint8_t ParsedCommand::CheckSettingApplies(CParameterNode* node, const std::string& value)
{
    return Applies(node, nullptr, &value);
}

std::uint8_t ParsedCommand::CheckSettingApplies(CParameterNode* node, const char* value)
{
    if (value == nullptr) return Applies(node, nullptr, nullptr);
    const std::string text(value);
    return Applies(node, nullptr, &text);
}

std::uint8_t ParsedCommand::CheckSettingApplies(CParameterNode* node)
{
    return Applies(node, nullptr, nullptr);
}

std::uint8_t ParsedCommand::Applies(CParameterNode* node, const bool* flag,
                                    const std::string* text)
{
    if (node == nullptr) return SettingApplies;
    // One hold, so that the modes read are consistent with one another.
    CRecursiveLock lock(ParameterTreeLock());

    if (node == g_pSearchFstep && !TextIs(g_pSearchMode, "CUSTom")) return SettingHasNoEffect;
    if (node == g_pSearchValue && !TextIs(g_pSearchMode, "MANual")) return SettingHasNoEffect;
    if (node == g_pSearchLevel && TextIs(g_pSearchMode, "AUTO")) return SettingHasNoEffect;
    if (OneOf(node, {g_pProbeMatching, g_pProbeTuning}) &&
        !TextIs(g_pProbeMatchingTuningMode, "MANual"))
        return SettingHasNoEffect;
    if (OneOf(node, {g_pSignalAveragingCount, g_pSignalAveragingType}) &&
        !IsTrue(g_pSignalAveragingActive))
        return SettingHasNoEffect;
    if (OneOf(node, {g_pMeasurementAveragingCount, g_pMeasurementAveragingType}) &&
        !IsTrue(g_pMeasurementAveragingActive))
        return SettingHasNoEffect;
    if (OneOf(node, {g_pSampleOffset, g_pSampleLength, g_pSampleRate}) &&
        !TextIs(g_pSampleMode, "MANual"))
        return SettingHasNoEffect;
    if (OneOf(node, {g_pPulsePeriod, g_pPulseWidth}) && !TextIs(g_pPulseMode, "MANual"))
        return SettingHasNoEffect;
    if (OneOf(node, {g_pMeasurementReject, g_pMeasurementLevel, g_pMeasurementBandwidth,
                     g_pMeasurementPoints, g_pMeasurementHysteresis, g_pTrackingMaxFreq,
                     g_pTrackingMinFreq, g_pTrackingHysteresis}) &&
        !TextIs(g_pMeasurementMode, "MANual"))
        return SettingHasNoEffect;
    if (node == g_pTriggerInTimer && !TextIs(g_pTriggerInSource, "TIMer"))
        return SettingHasNoEffect;
    if (node == g_pTriggerOutState && flag != nullptr && *flag &&
        TextIs(g_pTriggerInSource, "EXTernal"))
        return SettingConflicts;
    if (node == g_pTriggerInSlope && !TextIs(g_pTriggerInSource, "EXTernal"))
        return SettingHasNoEffect;
    if (node == g_pTriggerInSource && text != nullptr && *text == "EXTernal" &&
        IsTrue(g_pTriggerOutState))
        return SettingConflicts;
    if (OneOf(node, {g_pTriggerOutLevel, g_pTriggerOutSlope, g_pTriggerOutShape,
                     g_pTriggerOutPolarity, g_pTriggerOutWidth, g_pTriggerOutDelay}) &&
        !IsTrue(g_pTriggerOutState))
        return SettingHasNoEffect;
    return SettingApplies;
}

}  // namespace Korvex
