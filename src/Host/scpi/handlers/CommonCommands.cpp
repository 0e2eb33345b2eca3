// The common commands and system queries on the session's status block.
#include "Host/scpi/handlers/CommonCommands.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "Host/parameters/Bindings.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/scpi/exec/ParsedCommand.h"
#include "Host/scpi/exec/ReplyAssembly.h"
#include "Host/scpi/handlers/StatusCommands.h"
#include "Host/scpi/host/KorvexHost.h"
#include "Host/scpi/status/KorvexScpiStatus.h"

namespace Korvex {

namespace {

// Status-bit row of operation complete (standard event bit 0).
constexpr std::uint32_t OperationCompleteRow = 7;

std::string Value(CParameterNode* node)
{
    return CParameterNode::GetStringAttribute(node, eAttrValue);
}

}  // namespace

void ClearStatusCommand(CKorvexHostParser&, ParsedCommand&, CKorvexHost& host)
{
    CKorvexScpiStatus::Clear(host.StatusBlock());
}

void EventEnableCommand(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    std::uint16_t mask = 0;
    if (!GetMaskParameter(command, g_pStatusEse, mask)) return;
    CKorvexScpiStatus::SetEnable(host.StatusBlock(), eRegStandardEvent, mask, 1);
}

void EventEnableQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    AppendFormatted(command, CKorvexScpiStatus::GetEnable(host.StatusBlock(), eRegStandardEvent),
                    "%hu", true);
}

void EventStatusQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    const std::uint16_t events =
        CKorvexScpiStatus::ReadAndClearEvent(host.StatusBlock(), eRegStandardEvent);
    AppendFormatted(command, events, "%hu", true);
}

void IdentifyQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost&)
{
    char serial[26] = {};
    const std::int32_t number = CParameterNode::GetInt32Attribute(g_pSystemSerialNo, eAttrValue);
    if (std::snprintf(serial, sizeof serial, "%d", static_cast<int>(number)) <= 0) {
        command.Latch(ParsedInconsistent);
        serial[0] = '\0';
    }
    const std::string versions = "el" + Value(g_pVersionsHardware) + "-arm" +
                                 Value(g_pVersionsArmFirmware) + "-dsp" +
                                 Value(g_pVersionsDspFirmware) + "-cpld" +
                                 Value(g_pVersionsCpld) + "-pa" + Value(g_pVersionsParmFile);
    // Joined here rather than item by item: an empty field (no identity loaded yet) must
    // still leave four fields.
    AppendResponse(command,
                   Value(g_pSystemManufacturer) + "," + Value(g_pSystemModel) + "," + serial +
                       "," + versions,
                   true);

    // The identification ends what this message may answer: a later query of the same
    // message is reported as unterminated.
    command.indefiniteResponse = 1;
}

void OperationCompleteCommand(CKorvexHostParser&, ParsedCommand&, CKorvexHost& host)
{
    CKorvexScpiStatus::SetStatusBit(host.StatusBlock(), OperationCompleteRow, 1, 1);
}

void OperationCompleteQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost&)
{
    AppendResponse(command, "1", true);
}

void ServiceRequestEnableCommand(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    std::uint16_t mask = 0;
    if (!GetMaskParameter(command, g_pStatusSre, mask)) return;
    CKorvexScpiStatus::SetEnable(host.StatusBlock(), eRegStatusByte, mask, 1);
}

void ServiceRequestEnableQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    AppendFormatted(command, CKorvexScpiStatus::GetEnable(host.StatusBlock(), eRegStatusByte),
                    "%hu", true);
}

void StatusByteQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    // Evaluate first, so that events and errors posted deferred by earlier commands of
    // this message show in the summary bits.
    CKorvexScpiStatus::Evaluate(host.StatusBlock());
    AppendFormatted(command, CKorvexScpiStatus::ReadStatusByte(host.StatusBlock(), 0), "%hhu",
                    true);
}

void SelfTestQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost&)
{
    AppendResponse(command, "0", true);
}

void WaitCommand(CKorvexHostParser&, ParsedCommand&, CKorvexHost&) {}

void SystemErrorQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    const std::uint32_t row = CKorvexScpiStatus::PopError(host.StatusBlock());
    std::int16_t code = 0;
    std::string text;
    CKorvexScpiStatus::GetErrorText(row, code, text);
    AppendFormatted(command, static_cast<std::uint16_t>(code), "%hd", true);
    AppendResponse(command, "\"" + text + "\"", true);
}

void SystemVersionQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost&)
{
    AppendResponse(command, "1999.0", true);
}

}  // namespace Korvex
