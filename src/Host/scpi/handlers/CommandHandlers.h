// The special handlers of the SCPI commands that the table-driven settings get/set does not
// serve alone. The dispatcher runs the handler of a command number after the lock rule,
// the query announcement, the log line and the generic get/set.
#pragma once

#include "Host/scpi/tables/CommandTables.h"

namespace Korvex {

class CKorvexHostParser;
class CKorvexHost;
struct ParsedCommand;

using ScpiCommandHandler = void (*)(CKorvexHostParser& parser, ParsedCommand& command,
                                    CKorvexHost& host);

// One entry per command number; null where the command has no handler.
extern const ScpiCommandHandler ScpiCommandHandlerTable[ScpiCommandCount];

}  // namespace Korvex
