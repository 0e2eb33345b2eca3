// Handlers that complete setting commands whose new value needs more than storing: the
// search and tracking limits kept consistent, the reference clock and the trigger output
// applied at once, the search mode guarded while a measurement runs, results made stale by
// a new PPM reference discarded, and the UNIT:ALL? listing. For the commands that name a
// settings node the table-driven get/set has stored the new value before they run.
#pragma once

#include "Host/scpi/handlers/CommandHandlers.h"

namespace Korvex {

// 58 CONFigure:SEARch:MODE: while a measurement runs only MANual may follow MANual.
void SearchModeCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 62 CONFigure:SEARch[:LIMit]:HIGH: a high limit below the low one pulls the low one down.
void SearchHighCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 64 CONFigure:SEARch[:LIMit]:LOW: a low limit above the high one pushes the high one up.
void SearchLowCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 68 CONFigure:TRACking[:LIMit]:HIGH: a maximum below the minimum pulls the minimum down.
void TrackingHighCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 70 CONFigure:TRACking[:LIMit]:LOW: a minimum above the maximum pushes the maximum up.
void TrackingLowCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 101 INPut:CLOCk[:SOURce]: applied to the hardware first; refused, the mode is kept.
void ClockSourceCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 111, 112, 114, 116, 118, 120, 231, 233: the trigger output configured (or, 112, fired).
void TriggerOutputCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 236 UNIT:ALL?: every selectable unit with the value of 1 T in it (-1.0: not convertible).
void UnitListQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 238 UNIT:PPMReference: while PPM is selected the stored results are discarded.
void PpmReferenceCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);

}  // namespace Korvex
