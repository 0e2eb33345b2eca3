// SCPI channel lists "(@...)": entries separated by ',', an entry an address or a range
// "first:last", an address numbers joined by '!' (one per level).
#pragma once

#include <cstddef>
#include <cstdint>

#include "Host/scpi/engine/ScpiToken.h"
#include "Host/scpi/tables/CommandTables.h"

namespace Korvex {

// Most levels the entry reader writes into its address arrays.
constexpr unsigned ScpiChannelEntryLevels = 5;

// Checks a whole channel list against descriptor (null: no checks beyond the syntax) and
// on success makes token a channel-list token of the text between "(@" and ")".
// Returns 0, 16 (a rejected value), 17 (a level count out of range) or 40 (syntax); 16 and
// 17 do not stop the check, the last one found is returned.
std::uint8_t scpi_parse_channel_list(const char* text, std::size_t length,
                                     const ScpiChannelListDescriptor* descriptor,
                                     ScpiToken& token);

// Reads entry `entry` of a channel-list token into number tokens, one per level: the first
// address into first, the last address of a range into last (range set to 1); without a
// range last is a copy of first. levels is in: the most levels allowed (at most
// ScpiChannelEntryLevels are ever written), out: the levels of the address filled last.
// Returns 0, 40 (not a channel-list token, or a bad separator or number), 20, 200 (no such
// entry) or 210 (more levels than allowed).
std::uint8_t scpi_parse_numeric_param(const ScpiToken& token, std::uint32_t entry,
                                      std::uint8_t& levels, std::uint8_t& range,
                                      ScpiToken first[ScpiChannelEntryLevels],
                                      ScpiToken last[ScpiChannelEntryLevels]);

}  // namespace Korvex
