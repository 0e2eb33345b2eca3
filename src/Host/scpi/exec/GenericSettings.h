// The table-driven settings get and set: the commands that only read or write one settings
// node have no code of their own and are served from the command tables (bindings, default
// unit, flux flag, status-bit row, generic flag). The busy rule of the attribute table is
// applied here to every command.
//
// For the dispatcher: call GetSetSetting for every command, after the lock rule, the
// query announcement and the log line. When it returns true the command is finished: do
// not run its handler. When it returns false, run the handler of the command number (for
// a bound setting command that is not generic, such as CONF:SEAR:HIGH or UNIT:PPMR, the new
// value is stored by then and the handler runs as its side effect). A command that the
// dispatcher itself refuses before the generic get/set still goes through BusyRuleRefuses
// first.
#pragma once

#include <cstdint>

namespace Korvex {

class CKorvexScpiStatus;
class CParameterNode;
struct ParsedCommand;

// The busy rule of the command while a triggered measurement runs (triggerActive): rule 3
// refuses always, rule 2 unless measure_parms/search/mode reads "MANual". A refusal posts
// -221 "Settings conflict" (deferred) to the session's block and returns true.
bool BusyRuleRefuses(const ParsedCommand& record, CKorvexScpiStatus* block, bool triggerActive);

// The settings node the command reads or writes: the second binding for numeric suffix 2,
// else the first (no suffix, 1, or any other suffix). Null when the command binds none.
CParameterNode* BoundSettingsNode(const ParsedCommand& record);

// Serves one command from the tables. Returns true when the command is finished:
//  - a generic command (generic flag set) was served, successfully or not;
//  - the busy rule refused the command (generic or not);
//  - a setting stored nothing because it was refused (-221: a mode conflict, or a bare
//    number for units_parms/ppm_ref while PPM is selected) or its value failed (the status
//    latched in the record, e.g. 253 out of range, 249 no probe, 30 wrong units);
//  - the command number lies outside the tables (254 latched).
// Returns false when the command binds no node, or after a bound setting of a non-generic
// command has been stored: the dispatcher then runs the command's handler. A bound node of
// a type without a value format (Branch, Pointer) posts 200 "Firmware error" and also
// returns false.
// Errors are posted deferred; status bits are set with service-request evaluation.
// Runs on the parser thread; node subscribers run inside it, after the tree lock is released.
bool GetSetSetting(ParsedCommand& record, CKorvexScpiStatus* block, bool triggerActive);

}  // namespace Korvex
