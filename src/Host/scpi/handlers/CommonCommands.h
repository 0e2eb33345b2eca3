// The IEEE 488.2 common commands and the system queries that need only the session's
// status block and the settings tree: *CLS .. *STB?, *TST?, *WAI, SYSTem:ERRor[:NEXT]? and
// SYSTem:VERSion?. Each runs on the parser thread inside the dispatcher, on the calling
// session's status block and reply.
#pragma once

#include "Host/scpi/handlers/CommandHandlers.h"

namespace Korvex {

// 0 *CLS: clear the session's events and error queue.
void ClearStatusCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 1 *ESE <n>: the standard event status enable, bounded by host_if/status/ESE.
void EventEnableCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 2 *ESE?
void EventEnableQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 3 *ESR?: the standard event register, read and cleared at once.
void EventStatusQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 4 *IDN?: manufacturer, model, serial number and the version field; no further query of
// the message may answer after it.
void IdentifyQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 5 *OPC: latch operation complete in the standard event register.
void OperationCompleteCommand(CKorvexHostParser& parser, ParsedCommand& command,
                              CKorvexHost& host);
// 6 *OPC?: "1" (every command has completed when the next one runs).
void OperationCompleteQuery(CKorvexHostParser& parser, ParsedCommand& command,
                            CKorvexHost& host);
// 8 *SRE <n>: the service-request enable, bounded by host_if/status/SRE.
void ServiceRequestEnableCommand(CKorvexHostParser& parser, ParsedCommand& command,
                                 CKorvexHost& host);
// 9 *SRE?
void ServiceRequestEnableQuery(CKorvexHostParser& parser, ParsedCommand& command,
                               CKorvexHost& host);
// 10 *STB?: the status byte with MSS in bit 6.
void StatusByteQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 12 *TST?: "0".
void SelfTestQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 13 *WAI: nothing to wait for.
void WaitCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 14 SYSTem:ERRor[:NEXT]?: the oldest queued error as <code>,"<text>".
void SystemErrorQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 15 SYSTem:VERSion?: "1999.0".
void SystemVersionQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);

}  // namespace Korvex
