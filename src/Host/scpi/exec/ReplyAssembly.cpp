// Reply assembly: response items, formatted numbers, raw bytes and channel blocks.
#include "Host/scpi/exec/ReplyAssembly.h"

#include <cstdio>

namespace Korvex {

namespace {

void Separate(ParsedCommand& record, bool separate)
{
    if (separate && record.response->size() > record.mark) record.response->push_back(',');
}

}  // namespace

void AppendResponse(ParsedCommand& record, const std::string& text, bool separate)
{
    if (record.response == nullptr) return;
    Separate(record, separate);
    record.response->append(text);
}

void AppendFormatted(ParsedCommand& record, std::uint16_t value, const char* format,
                     bool separate)
{
    char buffer[26] = {};
    int n = 0;
    if (format != nullptr) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        n = std::snprintf(buffer, sizeof buffer, format, static_cast<unsigned>(value));
#pragma GCC diagnostic pop
    }
    if (n <= 0) {
        record.Latch(ParsedInconsistent);
        buffer[0] = '\0';
    }
    AppendResponse(record, buffer, separate);
}

char* ReserveResponse(ParsedCommand& record, std::size_t n, bool separate)
{
    if (record.response == nullptr || record.indefiniteResponse != 0) return nullptr;
    Separate(record, separate);
    const std::size_t start = record.response->size();
    record.response->resize(start + n);
    return &(*record.response)[0] + start;
}

std::string AppendChannelBlock(const std::vector<CKorvexChannel>& channels)
{
    std::string data;
    for (std::size_t i = 0; i < channels.size(); ++i) {
        if (i != 0) data.push_back('\0');
        const CKorvexChannel& address = channels[i];
        const unsigned levels =
            address.count < CKorvexChannel::MaxLevels ? address.count : CKorvexChannel::MaxLevels;
        for (unsigned level = 0; level < levels; ++level)
            data.push_back(static_cast<char>(address[level]));
    }
    char header[16] = {};
    std::snprintf(header, sizeof header, "#6%06u", static_cast<unsigned>(data.size()));
    return header + data;
}

}  // namespace Korvex
