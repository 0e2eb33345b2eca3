#include "Host/scpi/engine/ScpiChannelList.h"

#include <cstdint>

#include "Host/scpi/engine/ScpiNumber.h"

namespace Korvex {

namespace {

// The checks of one number of a channel address: 0 or 16.
std::uint8_t CheckChannelNumber(const ScpiNumberBody& number,
                                const ScpiChannelListDescriptor* descriptor)
{
    if (!descriptor)
        return ScpiEngineOk;
    if (!(descriptor->flags & ScpiChannelFractionsAllowed) &&
        (number.flags & ScpiNumberExponentNegative))
        return ScpiEngineInvalidListValue;
    if (!(descriptor->flags & ScpiChannelNegativesAllowed) && (number.flags & ScpiNumberNegative))
        return ScpiEngineInvalidListValue;
    if (descriptor->flags & ScpiChannelRangeChecked) {
        ScpiToken token{};
        token.type = ScpiTokenNumber;
        token.number = number;
        std::int32_t value = 0;
        if (scpi_param_get_int32(token, value) != ScpiEngineOk || value < descriptor->minimum ||
            value > descriptor->maximum)
            return ScpiEngineInvalidListValue;
    }
    return ScpiEngineOk;
}

}  // namespace

std::uint8_t scpi_parse_channel_list(const char* text, std::size_t length,
                                     const ScpiChannelListDescriptor* descriptor,
                                     ScpiToken& token)
{
    if (length < 4 || text[0] != '(' || text[1] != '@' || text[length - 1] != ')')
        return ScpiEngineDataType;
    const std::size_t end = length - 1;
    std::uint8_t found = ScpiEngineOk;   // last 16 or 17
    std::size_t pos = 2;
    unsigned firstLevels = 0;
    unsigned lastLevels = 0;
    bool inRange = false;
    for (;;) {
        ScpiNumberBody number{};
        std::size_t consumed = 0;
        const std::uint8_t scan = scpi_scan_number(text + pos, end - pos, number, consumed);
        if (scan != ScpiEngineOk)
            return ScpiEngineDataType;
        pos += consumed;
        if (CheckChannelNumber(number, descriptor) != ScpiEngineOk)
            found = ScpiEngineInvalidListValue;
        if (inRange)
            ++lastLevels;
        else
            ++firstLevels;

        const char separator = pos < end ? text[pos] : ',';
        if (separator == '!') {
            ++pos;
            continue;
        }
        if (separator == ':') {
            if (inRange)
                return ScpiEngineDataType;
            inRange = true;
            ++pos;
            continue;
        }
        if (separator != ',')
            return ScpiEngineDataType;

        // End of the entry.
        if (descriptor && (firstLevels < descriptor->minimumLevels ||
                           firstLevels > descriptor->maximumLevels))
            found = ScpiEngineListDimensions;
        if (inRange && lastLevels != firstLevels)
            found = ScpiEngineListDimensions;
        if (pos >= end)
            break;
        ++pos;   // the ','; a ',' right before ')' leaves nothing to scan: 40 above
        firstLevels = 0;
        lastLevels = 0;
        inRange = false;
    }
    if (found != ScpiEngineOk)
        return found;
    token = ScpiToken{};
    token.type = ScpiTokenChannelList;
    token.text.text = text + 2;
    token.text.length = static_cast<std::uint32_t>(end - 2);
    return ScpiEngineOk;
}

std::uint8_t scpi_parse_numeric_param(const ScpiToken& token, std::uint32_t entry,
                                      std::uint8_t& levels, std::uint8_t& range,
                                      ScpiToken first[ScpiChannelEntryLevels],
                                      ScpiToken last[ScpiChannelEntryLevels])
{
    if (token.type != ScpiTokenChannelList)
        return ScpiEngineDataType;
    const char* text = token.text.text;
    const std::size_t length = token.text.length;
    std::size_t pos = 0;
    for (std::uint32_t skipped = 0; skipped < entry; ++pos) {
        if (pos >= length)
            return ScpiEngineNoListEntry;
        if (text[pos] == ',')
            ++skipped;
    }
    if (pos >= length)
        return ScpiEngineNoListEntry;

    const unsigned allowed = levels < ScpiChannelEntryLevels ? levels : ScpiChannelEntryLevels;
    range = 0;
    ScpiToken* address = first;
    unsigned level = 0;
    for (;;) {
        if (level >= allowed)
            return ScpiEngineTooManyLevels;
        ScpiNumberBody number{};
        std::size_t consumed = 0;
        const std::uint8_t scan = scpi_scan_number(text + pos, length - pos, number, consumed);
        if (scan != ScpiEngineOk)
            return scan;
        address[level] = ScpiToken{};
        address[level].type = ScpiTokenNumber;
        address[level].number = number;
        ++level;
        pos += consumed;
        if (pos >= length || text[pos] == ',')
            break;
        if (text[pos] == '!') {
            ++pos;
        } else if (text[pos] == ':' && !range) {
            range = 1;
            address = last;
            level = 0;
            ++pos;
        } else {
            return ScpiEngineDataType;
        }
    }
    if (!range) {
        for (unsigned i = 0; i < level; ++i)
            last[i] = first[i];
    }
    levels = static_cast<std::uint8_t>(level);
    return ScpiEngineOk;
}

}  // namespace Korvex
