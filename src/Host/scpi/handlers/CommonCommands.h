// The IEEE 488.2 common commands (*CLS .. *WAI) and the system queries SYSTem:ERRor,
// VERSion, HELP and the DIAGnostic commands. Each runs on the parser thread inside the
// dispatcher, on the calling session's status block and reply.
//
// Every command is sequential (INITiate returns once the acquisition took the request,
// FETCh? waits for data), so *OPC? answers at once and *WAI has nothing to wait for, with one
// exception: the measurement of a MEASure? or READ? whose message a device clear cut (or whose
// session ended) runs on after it, and *OPC, *OPC? and *WAI wait for its end
// (WaitForMeasureQueryEnd), so that the settings that follow are not refused as busy.
//
// The help file "/romfs/help.dat": bytes 0-35 a header this code does not read, bytes
// 36-5035 the headers text (NUL-padded), then one 130-byte syntax record per command
// number (NUL-padded), record n at 5036 + 130 * n.
#pragma once

#include <cstddef>

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
// 5 *OPC: latch operation complete in the standard event register (after
// WaitForMeasureQueryEnd).
void OperationCompleteCommand(CKorvexHostParser& parser, ParsedCommand& command,
                              CKorvexHost& host);
// 6 *OPC?: "1" (every command has completed when the next one runs), after
// WaitForMeasureQueryEnd.
void OperationCompleteQuery(CKorvexHostParser& parser, ParsedCommand& command,
                            CKorvexHost& host);
// 7 *RST: asks for a restart (stop reason 3) and suspends the parser thread: no session's
// command runs until the restart.
void ResetCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 8 *SRE <n>: the service-request enable, bounded by host_if/status/SRE.
void ServiceRequestEnableCommand(CKorvexHostParser& parser, ParsedCommand& command,
                                 CKorvexHost& host);
// 9 *SRE?
void ServiceRequestEnableQuery(CKorvexHostParser& parser, ParsedCommand& command,
                               CKorvexHost& host);
// 10 *STB?: the status byte with MSS in bit 6.
void StatusByteQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 11 *TRG: the bus trigger; refused: -210 "Trigger error".
void TriggerCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 12 *TST?: "0".
void SelfTestQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 13 *WAI: WaitForMeasureQueryEnd.
void WaitCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 14 SYSTem:ERRor[:NEXT]?: the oldest queued error as <code>,"<text>".
void SystemErrorQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 15 SYSTem:VERSion?: "1999.0".
void SystemVersionQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 16 SYSTem:HELP:HEADers?: the headers text of the help file as a "#4" block.
void HelpHeadersQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 17 SYSTem:HELP:SYNTax? <header>: the syntax record of the command the header names.
void HelpSyntaxQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 73 DIAGnostic:UPGRade[:INITiate]: restart into firmware-update mode (stop reason 5).
void UpgradeCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 74 DIAGnostic:LOG[:DATA]?: the whole log, oldest first, as one item.
void LogQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);

// Where the help file lies and its layout.
constexpr const char* HelpFilePath = "/romfs/help.dat";
constexpr long HelpHeaderSize = 36;
constexpr std::size_t HelpTextSize = 5000;
constexpr std::size_t HelpRecordSize = 130;

}  // namespace Korvex
