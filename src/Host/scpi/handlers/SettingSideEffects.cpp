// Side effects of setting commands.
#include "Host/scpi/handlers/SettingSideEffects.h"

#include <cstdio>
#include <sstream>
#include <string>

#include "Host/acquisition/AcqBufferPool.h"
#include "Host/acquisition/AcquisitionSeam.h"
#include "Host/acquisition/IntermediateResults.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/Error.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/scpi/exec/ParsedCommand.h"
#include "Host/scpi/exec/ReplyAssembly.h"
#include "Host/scpi/host/KorvexHost.h"
#include "Host/scpi/status/KorvexScpiStatus.h"
#include "Host/scpi/units/MeasurementUnits.h"
#include "Host/scpi/units/SearchRange.h"

namespace Korvex {

namespace {

constexpr std::uint32_t RowExecutionError = 41;   // -200 "Execution error"
constexpr std::uint32_t RowSettingsConflict = 52; // -221 "Settings conflict"
constexpr std::uint32_t RowFirmwareError = 127;   // 200 "Firmware error"
constexpr std::uint32_t RowClockSettings = 53;    // OPERation:BIT11 bit 6

constexpr std::uint8_t TriggerOutputImmediate = 112;

const char* const Manual = "MANual";

double Value(CParameterNode* node) { return CParameterNode::GetFloat64Attribute(node, eAttrValue); }

}  // namespace

void SearchModeCommand(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    const std::string mode = command.GetString(0, g_pSearchMode);
    if (command.status != 0) return;
    if (CAcquisitionSeam::Instance().TriggerActive()) {
        const std::string current = CParameterNode::GetStringAttribute(g_pSearchMode, eAttrValue);
        if (current != Manual || mode != Manual) {
            CKorvexScpiStatus::PostError(host.StatusBlock(), RowSettingsConflict, 1);
            return;
        }
    }
    CParameterNode::SetStringAttribute(g_pSearchMode, eAttrValue, mode);
}

void SearchHighCommand(CKorvexHostParser&, ParsedCommand&, CKorvexHost&)
{
    KorvexUpdateSearchRange();
}

void SearchLowCommand(CKorvexHostParser&, ParsedCommand&, CKorvexHost&)
{
    KorvexUpdateSearchRange2();
}

void TrackingHighCommand(CKorvexHostParser&, ParsedCommand&, CKorvexHost&)
{
    const double minimum = Value(g_pTrackingMinFreq);
    const double maximum = Value(g_pTrackingMaxFreq);
    if (minimum > maximum) CParameterNode::SetFloat64Attribute(g_pTrackingMinFreq, eAttrValue, maximum);
}

void TrackingLowCommand(CKorvexHostParser&, ParsedCommand&, CKorvexHost&)
{
    const double minimum = Value(g_pTrackingMinFreq);
    const double maximum = Value(g_pTrackingMaxFreq);
    if (minimum > maximum) CParameterNode::SetFloat64Attribute(g_pTrackingMaxFreq, eAttrValue, minimum);
}

void ClockSourceCommand(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    const std::string previous = CParameterNode::GetStringAttribute(g_pRefClockMode, eAttrValue);
    const std::string mode = command.GetString(0, g_pRefClockMode);
    if (command.status != 0) return;
    const int result = CAcquisitionSeam::Instance().ConfigureExtRef(mode);
    if (result != 0) {
        // The acquisition may have stored the new mode before it failed.
        CParameterNode::SetStringAttribute(g_pRefClockMode, eAttrValue, previous);
        throw static_cast<eError>(result);
    }
    CParameterNode::SetStringAttribute(g_pRefClockMode, eAttrValue, mode);
    CKorvexScpiStatus::SetStatusBit(host.StatusBlock(), RowClockSettings, 1, 1);
}

void TriggerOutputCommand(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    const int flag = command.command == TriggerOutputImmediate ? 1 : 0;
    const int result = CAcquisitionSeam::Instance().TriggerOut(flag);
    if (result == 0) return;
    std::uint32_t row = RowFirmwareError;
    if (result == eAcquisitionNotUp || result == eDspExchangeFailed) row = RowExecutionError;
    else if (result == eWrongTriggerState) row = RowSettingsConflict;
    CKorvexScpiStatus::PostError(host.StatusBlock(), row, 1);
}

void UnitListQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost&)
{
    std::istringstream names(CParameterNode::GetStringAttribute(g_pUnitsSelected, eAttrChoices));
    std::string name;
    while (std::getline(names, name, ',')) {
        double factor = 1.0;
        const int unit = KorvexParseUnits(name);
        if (KorvexConvertUnits(factor, eUnitT, static_cast<std::uint32_t>(unit), 0.0) != 0)
            factor = -1.0;
        char buffer[26] = {};
        if (std::snprintf(buffer, sizeof buffer, "%.15e", factor) <= 0) {
            command.Latch(ParsedInconsistent);
            buffer[0] = '\0';
        }
        AppendResponse(command, name, true);
        AppendResponse(command, buffer, true);
    }
}

void PpmReferenceCommand(CKorvexHostParser&, ParsedCommand&, CKorvexHost&)
{
    const std::string selected = CParameterNode::GetStringAttribute(g_pUnitsSelected, eAttrValue);
    if (KorvexParseUnits(selected) != eUnitPPM) return;
    AcqBufferPool().Reset();
    IntermediateResults().ClearReady();
}

}  // namespace Korvex
