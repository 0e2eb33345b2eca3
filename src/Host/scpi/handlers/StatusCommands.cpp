// The STATus register commands on the session's status block.
#include "Host/scpi/handlers/StatusCommands.h"

#include "Host/parameters/Bindings.h"
#include "Host/scpi/exec/ParsedCommand.h"
#include "Host/scpi/exec/ReplyAssembly.h"
#include "Host/scpi/host/KorvexHost.h"
#include "Host/scpi/status/KorvexScpiStatus.h"
#include "Host/scpi/status/StatusTables.h"
#include "Host/scpi/tables/CommandTables.h"

namespace Korvex {

const StatusRegisterCommands StatusRegisterCommandTable[StatusRegisterCommandCount] = {
    // register                limits               EVEN? COND? ENAB? ENAB NTR? NTR PTR? PTR
    {eRegOperation,         &g_pStatusOper,      18,   19,   20,   21,  151, 152, 153, 154},
    {eRegQuestionable,      &g_pStatusQues,      22,   23,   24,   25,  171, 172, 173, 174},
    {eRegQuestionableBit12, &g_pStatusQuesBit12, 175,  176,  177,  178, 179, 180, 181, 182},
    {eRegOperationBit11,    &g_pStatusBit11,     155,  156,  157,  158, 159, 160, 161, 162},
    {eRegOperationBit12,    &g_pStatusBit12,     163,  164,  165,  166, 167, 168, 169, 170},
};

const StatusRegisterCommands* FindStatusRegisterCommands(std::uint8_t command)
{
    for (const StatusRegisterCommands& row : StatusRegisterCommandTable) {
        const std::uint8_t numbers[] = {row.eventQuery, row.conditionQuery, row.enableQuery,
                                        row.enable,     row.ntrQuery,       row.ntr,
                                        row.ptrQuery,   row.ptr};
        for (std::uint8_t number : numbers)
            if (number == command) return &row;
    }
    return nullptr;
}

bool GetMaskParameter(ParsedCommand& command, CParameterNode* node, std::uint16_t& mask)
{
    const std::int32_t value = command.GetInt32(0, node);
    if (command.status != 0) return false;
    // The limits nodes keep a mask within 16 bits; without a node nothing else would.
    if (value < 0 || value > 0xFFFF) {
        command.Latch(ParsedOutOfRange);
        return false;
    }
    mask = static_cast<std::uint16_t>(value);
    return true;
}

namespace {

// The register the command addresses; a command outside the table is an internal fault.
const StatusRegisterCommands* Register(ParsedCommand& command)
{
    const StatusRegisterCommands* row = FindStatusRegisterCommands(command.command);
    if (row == nullptr) command.Latch(ParsedInconsistent);
    return row;
}

void Reply(ParsedCommand& command, std::uint16_t value)
{
    AppendFormatted(command, value, "%hu", true);
}

void SetSettingsChanged(ParsedCommand& command, CKorvexHost& host)
{
    const std::int32_t row = ScpiCommandStatusBitRow(command.command);
    if (row > 0) CKorvexScpiStatus::SetStatusBit(host.StatusBlock(), static_cast<std::uint32_t>(row), 1, 1);
}

// Reads the mask for a filter setter; null when nothing is to be stored.
const StatusRegisterCommands* WrittenMask(ParsedCommand& command, std::uint16_t& mask)
{
    const StatusRegisterCommands* row = Register(command);
    if (row == nullptr || !GetMaskParameter(command, *row->limits, mask)) return nullptr;
    return row;
}

}  // namespace

void StatusEventQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    if (const StatusRegisterCommands* row = Register(command))
        Reply(command, CKorvexScpiStatus::ReadAndClearEvent(host.StatusBlock(), row->reg));
}

void StatusConditionQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    if (const StatusRegisterCommands* row = Register(command))
        Reply(command, CKorvexScpiStatus::ReadCondition(host.StatusBlock(), row->reg));
}

void StatusEnableQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    if (const StatusRegisterCommands* row = Register(command))
        Reply(command, CKorvexScpiStatus::GetEnable(host.StatusBlock(), row->reg));
}

void StatusNtrQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    if (const StatusRegisterCommands* row = Register(command))
        Reply(command, CKorvexScpiStatus::GetNTR(host.StatusBlock(), row->reg));
}

void StatusPtrQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    if (const StatusRegisterCommands* row = Register(command))
        Reply(command, CKorvexScpiStatus::GetPTR(host.StatusBlock(), row->reg));
}

void StatusEnableCommand(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    std::uint16_t mask = 0;
    const StatusRegisterCommands* row = WrittenMask(command, mask);
    if (row == nullptr) return;
    CKorvexScpiStatus::SetEnable(host.StatusBlock(), row->reg, mask, 1);
    SetSettingsChanged(command, host);
}

void StatusNtrCommand(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    std::uint16_t mask = 0;
    const StatusRegisterCommands* row = WrittenMask(command, mask);
    if (row == nullptr) return;
    CKorvexScpiStatus::SetNTR(host.StatusBlock(), row->reg, mask);
    SetSettingsChanged(command, host);
}

void StatusPtrCommand(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    std::uint16_t mask = 0;
    const StatusRegisterCommands* row = WrittenMask(command, mask);
    if (row == nullptr) return;
    CKorvexScpiStatus::SetPTR(host.StatusBlock(), row->reg, mask);
    SetSettingsChanged(command, host);
}

void StatusPresetCommand(CKorvexHostParser&, ParsedCommand&, CKorvexHost& host)
{
    CKorvexScpiStatus::Preset(host.StatusBlock());
}

}  // namespace Korvex
