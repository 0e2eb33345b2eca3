// The STATus subsystem: event, condition, enable and transition-filter access of the five
// registers below the status byte, and STATus:PRESet. One handler per operation; the
// command number selects the register. Each acts on the calling session's status block.
#pragma once

#include <cstdint>

#include "Host/scpi/handlers/CommandHandlers.h"

namespace Korvex {

class CParameterNode;

// The command numbers of one register's operations, and the node whose limits bound a
// written mask.
struct StatusRegisterCommands {
    std::uint32_t reg;               // eStatusRegister
    CParameterNode** limits;
    std::uint8_t eventQuery;
    std::uint8_t conditionQuery;
    std::uint8_t enableQuery;
    std::uint8_t enable;
    std::uint8_t ntrQuery;
    std::uint8_t ntr;
    std::uint8_t ptrQuery;
    std::uint8_t ptr;
};
constexpr unsigned StatusRegisterCommandCount = 5;
extern const StatusRegisterCommands StatusRegisterCommandTable[StatusRegisterCommandCount];

// The row that names command among its operations, or null.
const StatusRegisterCommands* FindStatusRegisterCommands(std::uint8_t command);

// Integer parameter 0 of command bounded by node as a register mask. False, with the
// record's status latched, when the parameter failed or does not fit 16 bits.
bool GetMaskParameter(ParsedCommand& command, CParameterNode* node, std::uint16_t& mask);

// [:EVENt]?: the event register, read and cleared at once.
void StatusEventQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// :CONDition?
void StatusConditionQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// :ENABle?, :NTRansition?, :PTRansition?
void StatusEnableQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
void StatusNtrQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
void StatusPtrQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// :ENABle <n>, :NTRansition <n>, :PTRansition <n>: bounded by the register's limits node;
// a stored value sets the command's settings-change bit.
void StatusEnableCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
void StatusNtrCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
void StatusPtrCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 26 STATus:PRESet
void StatusPresetCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);

}  // namespace Korvex
