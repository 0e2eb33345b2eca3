// The SYSTem commands that do more than store a value: enabling and disabling the Ethernet
// and USBTMC interfaces without cutting off the asking host, the Ethernet address, the
// network restart, the session lock and the power switch. They run on the parser thread.
#pragma once

#include "Host/scpi/handlers/CommandHandlers.h"

namespace Korvex {

// 184 SYSTem:COMMunicate:ETHernet[:ENABle] <bool>
void EthernetEnableCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 190 SYSTem:COMMunicate:ETHernet:ADDRess <"AUTO" or address>
void EthernetAddressCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 203 SYSTem:COMMunicate:ETHernet:RESTart
void EthernetRestartCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 213 SYSTem:COMMunicate:USBTmc[:ENABle] <bool>
void UsbtmcEnableCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 216 SYSTem:LOCK:REQuest?: "1" granted (or already held), "0" held by another host.
void LockRequestQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 217 SYSTem:LOCK:RELease
void LockReleaseCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 218 SYSTem:POFF [<bool>]: power off (false, default) or restart, settings saved.
void PowerOffCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);

}  // namespace Korvex
