// The ROUTe commands: selecting the measuring channels among the probes and cameras found on
// the peripheral bus, reading back the selection and the topology, per-channel probe data,
// the current probe's Hall sensor, and a peripheral's memory. Peripheral lookups use the
// non-throwing IsPresent: a channel without a peripheral is reported by each command in its
// own way, never as a firmware error. Failures are thrown as error rows or eError codes and
// posted by the dispatcher.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Host/scpi/exec/KorvexChannel.h"
#include "Host/scpi/handlers/CommandHandlers.h"

namespace Korvex {

// "(@1!2,3)": the channels' levels joined by "!", the channels by ","; "(@)" for none.
std::string ChannelListText(const std::vector<CKorvexChannel>& channels);

// The per-channel probe queries 126-130 (MODel?, SERialno?, DESignation?, MINimum?,
// MAXimum?): one value per channel of the record's list, "-1" where a channel has no
// peripheral or its peripheral lacks the value. Answers the error row to post: 130
// (203 "Invalid Channel List") when a channel had no peripheral, else 131 (204 "Data not
// all available") when a value was lacking, else 0.
std::uint32_t ListProbeFields(std::uint8_t command, ParsedCommand& record);

// 123 ROUTe:CLOSe
void RouteCloseCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 124 ROUTe:CLOSe:STATe?
void RouteCloseStateQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 125 ROUTe:CLOSe:ACTive?
void RouteCloseActiveQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 126-130 ROUTe:PROBe:MODel?, SERialno?, DESignation?, MINimum?, MAXimum?
void RouteProbeFieldQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 131 ROUTe:PROBe:SCAN?
void RouteScanQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 132 ROUTe:PROBe:HALL[:CALibrated]? and 133 ROUTe:PROBe:HALL:RAW?
void RouteHallQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 134 ROUTe:LOWLevel?
void RouteLowLevelQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 135 ROUTe:MMEMory:DATA?
void RouteMemoryQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 136 ROUTe:MMEMory:DATA
void RouteMemoryCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);

}  // namespace Korvex
