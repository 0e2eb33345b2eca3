// Reply assembly: how a query adds its reply to the response of the current program
// message. Items of one command are joined by ","; the record's reply mark tells where the
// command's reply began, so that its first item gets no separator. The ";" between the
// replies of several queries and the final "\n" are the parser thread's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Host/scpi/exec/KorvexChannel.h"
#include "Host/scpi/exec/ParsedCommand.h"

namespace Korvex {

// Appends text to the record's response, after a "," when separate is set and the response
// has grown since the record's mark. A record without a response does nothing.
void AppendResponse(ParsedCommand& record, const std::string& text, bool separate);

// Formats value with the printf format into at most 25 characters and appends it as
// AppendResponse does; when nothing was formatted, latches 254 ("Firmware error") and
// appends the empty text.
void AppendFormatted(ParsedCommand& record, std::uint16_t value, const char* format,
                     bool separate);

// n new bytes at the end of the response (after the separator, as AppendResponse), for the
// caller to fill at once: the pointer is valid until the response changes. Null when the
// record's indefinite-response flag is set or it has no response.
char* ReserveResponse(ParsedCommand& record, std::size_t n, bool separate);

// The definite-length block "#6%06u" of a channel list: the levels of each address as
// bytes, one byte 0 between two addresses.
std::string AppendChannelBlock(const std::vector<CKorvexChannel>& channels);

}  // namespace Korvex
