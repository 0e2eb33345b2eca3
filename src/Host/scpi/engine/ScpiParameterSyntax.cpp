#include "Host/scpi/engine/ScpiParameterSyntax.h"

#include <cmath>
#include <cstdint>

#include "Host/scpi/engine/ScpiCharacters.h"
#include "Host/scpi/engine/ScpiLexer.h"

namespace Korvex {

namespace {

bool EqualsNoCase(const char* text, std::size_t length, const char* word)
{
    std::size_t i = 0;
    for (; i < length && word[i] != '\0'; ++i) {
        if (!ScpiEqualNoCase(text[i], word[i]))
            return false;
    }
    return i == length && word[i] == '\0';
}

std::uint8_t Smaller(std::uint8_t a, std::uint8_t b)
{
    return a < b ? a : b;
}

// Finds the end of one parameter starting at pos: a ',' outside strings, parentheses and
// blocks, or the end of the text. On 0, paramEnd is the end of the parameter and pos is
// behind it (and behind its ','). Returns 0, 16 (block past the end), 60 or 65.
std::uint8_t CutParameter(const char* text, std::size_t length, std::size_t& pos,
                          std::size_t& paramEnd)
{
    char quote = 0;
    unsigned depth = 0;
    while (pos < length) {
        const char c = text[pos];
        if (quote) {
            if (c == quote)
                quote = 0;   // a doubled quote closes and reopens the string
            ++pos;
        } else if (c == '"' || c == '\'') {
            quote = c;
            ++pos;
        } else if (c == '(') {
            ++depth;
            ++pos;
        } else if (c == ')') {
            if (depth == 0)
                return ScpiEngineUnbalancedParentheses;
            --depth;
            ++pos;
        } else if (c == '#' && pos + 1 < length && text[pos + 1] == '0') {
            pos = length;   // an indefinite block takes the rest
        } else if (c == '#' && pos + 1 < length && text[pos + 1] >= '1' && text[pos + 1] <= '9') {
            std::size_t blockEnd = 0;
            if (ScpiDefiniteBlockEnd(text + pos, length - pos, blockEnd) != ScpiEngineOk)
                return ScpiEngineInvalidListValue;
            pos += blockEnd;
        } else if (c == ',' && depth == 0) {
            paramEnd = pos;
            ++pos;
            return ScpiEngineOk;
        } else {
            ++pos;
        }
    }
    if (quote)
        return ScpiEngineOpenString;
    if (depth != 0)
        return ScpiEngineUnbalancedParentheses;
    paramEnd = length;
    return ScpiEngineOk;
}

std::uint8_t DecodeParameter(const char* text, std::size_t length,
                             const ScpiParameterDescriptor& descriptor, ScpiToken& token,
                             std::uint32_t suffixes[], std::uint8_t& suffixCount)
{
    switch (descriptor.kind) {
    case ScpiKindNumeric:
        return scpi_parse_numeric(text, length,
                                  static_cast<const ScpiNumericDescriptor*>(descriptor.descriptor),
                                  token);
    case ScpiKindBoolean:
        return scpi_parse_boolean(text, length,
                                  static_cast<const ScpiBooleanDescriptor*>(descriptor.descriptor),
                                  token);
    case ScpiKindChoice:
        return scpi_parse_choice(text, length, descriptor, token, suffixes, suffixCount);
    case ScpiKindString:
        return scpi_parse_quoted_string(text, length, token);
    case ScpiKindText:
        return scpi_parse_text(text, length, token);
    case ScpiKindChannelList:
        return scpi_parse_channel_list(
            text, length, static_cast<const ScpiChannelListDescriptor*>(descriptor.descriptor),
            token);
    case ScpiKindBlock:
        return scpi_parse_block(text, length, token);
    default:
        return ScpiEngineDataType;
    }
}

}  // namespace

std::uint8_t ScpiDefiniteBlockEnd(const char* text, std::size_t available, std::size_t& end)
{
    const std::size_t digits = static_cast<std::size_t>(text[1] - '0');
    std::size_t pos = 2;
    std::size_t dataLength = 0;
    for (std::size_t i = 0; i < digits; ++i, ++pos) {
        if (pos >= available || !ScpiIsDigit(text[pos]))
            return ScpiEngineInvalidListValue;
        dataLength = dataLength * 10 + static_cast<std::size_t>(text[pos] - '0');
    }
    // At most nine digits: dataLength < 10^9, no wrap.
    if (dataLength > available - pos)
        return ScpiEngineInvalidListValue;
    end = pos + dataLength;
    return ScpiEngineOk;
}

std::uint8_t scpi_parse_parameters(std::uint8_t command, const char* text, std::size_t length,
                                   ScpiToken tokens[ScpiParameterSlots], std::uint32_t suffixes[],
                                   std::uint8_t& suffixCount)
{
    // Past the last command is the all-zero end row: no slots.
    const ScpiParameterDescriptor* row =
        ScpiParameterTable[command < ScpiCommandCount ? command : ScpiCommandCount];
    std::size_t pos = 0;
    for (unsigned slot = 0; slot < ScpiParameterSlots; ++slot) {
        const ScpiParameterDescriptor& descriptor = row[slot];
        if (descriptor.kind == ScpiKindNone)
            break;
        while (pos < length && ScpiIsWhite(text[pos]))
            ++pos;
        const std::size_t begin = pos;
        std::size_t end = pos;
        const std::uint8_t cut = CutParameter(text, length, pos, end);
        if (cut != ScpiEngineOk)
            return cut;
        if (descriptor.kind != ScpiKindBlock) {
            while (end > begin && ScpiIsWhite(text[end - 1]))
                --end;
        }
        std::uint8_t status = DecodeParameter(text + begin, end - begin, descriptor, tokens[slot],
                                              suffixes, suffixCount);
        if (status != ScpiEngineOk && end == begin && (descriptor.optional & 1u)) {
            tokens[slot] = ScpiToken{};
            status = ScpiEngineOk;
        }
        if (status != ScpiEngineOk)
            return status;
    }
    return ScpiEngineOk;
}

std::uint8_t scpi_parse_boolean(const char* text, std::size_t length,
                                const ScpiBooleanDescriptor* descriptor, ScpiToken& token)
{
    std::uint8_t value = 0;
    if (length == 0) {
        if (!descriptor || !(descriptor->flags & 0x01))
            return ScpiEngineDataType;
        value = (descriptor->flags >> 1) & 0x01;
    } else if (EqualsNoCase(text, length, "ON")) {
        value = 1;
    } else if (EqualsNoCase(text, length, "OFF")) {
        value = 0;
    } else {
        ScpiToken number{};
        number.type = ScpiTokenNumber;
        std::size_t consumed = 0;
        const std::uint8_t scan = scpi_scan_number(text, length, number.number, consumed);
        if (scan != ScpiEngineOk)
            return scan;
        if (consumed != length)
            return ScpiEngineDataType;   // a suffix
        double real = 0.0;
        scpi_param_get_double(number, real);
        value = std::round(real) != 0.0 ? 1 : 0;
    }
    token = ScpiToken{};
    token.type = ScpiTokenBoolean;
    token.boolean.value = value;
    return ScpiEngineOk;
}

std::uint8_t scpi_parse_choice(const char* text, std::size_t length,
                               const ScpiParameterDescriptor& descriptor, ScpiToken& token,
                               std::uint32_t suffixes[], std::uint8_t& suffixCount)
{
    const auto* row = static_cast<const ScpiChoiceRow*>(descriptor.descriptor);
    if (!row || !row->alternatives)
        return ScpiEngineDataType;

    std::uint8_t matchStatus = ScpiEngineSyntax;
    const char* alternative = row->alternatives;
    for (unsigned index = 0;; ++index) {
        std::size_t altLength = 0;
        while (alternative[altLength] != '\0' && alternative[altLength] != '|')
            ++altLength;
        const std::uint8_t status =
            scpi_match_header(alternative, altLength, text, length, 1, suffixes, suffixCount);
        if (status == ScpiEngineOk) {
            token = ScpiToken{};
            token.type = ScpiTokenChoice;
            token.choice.index = static_cast<std::uint8_t>(index);
            token.choice.alternatives = row->alternatives;
            return ScpiEngineOk;
        }
        matchStatus = Smaller(matchStatus, status);
        if (alternative[altLength] == '\0')
            break;
        alternative += altLength + 1;
    }

    if (length == 0 && row->defaultIndex != ScpiNoDefaultIndex) {
        token = ScpiToken{};
        token.type = ScpiTokenChoice;
        token.choice.index = row->defaultIndex;
        token.choice.alternatives = row->alternatives;
        return ScpiEngineOk;
    }

    std::uint8_t fallback = ScpiEngineDataType;
    if (row->fallbackKind == ScpiFallbackNumeric)
        fallback = scpi_parse_numeric(
            text, length, static_cast<const ScpiNumericDescriptor*>(row->fallbackDescriptor),
            token);
    else if (row->fallbackKind == ScpiFallbackBoolean)
        fallback = scpi_parse_boolean(
            text, length, static_cast<const ScpiBooleanDescriptor*>(row->fallbackDescriptor),
            token);
    if (fallback == ScpiEngineOk)
        return ScpiEngineOk;
    return Smaller(fallback, matchStatus);
}

std::uint8_t scpi_parse_quoted_string(const char* text, std::size_t length, ScpiToken& token)
{
    if (length == 0 || (text[0] != '"' && text[0] != '\''))
        return ScpiEngineDataType;
    const char quote = text[0];
    bool inside = true;
    for (std::size_t i = 1; i < length; ++i) {
        if (text[i] == quote)
            inside = !inside;   // closes, or reopens as a doubled quote
        else if (!inside)
            return ScpiEngineDataType;
    }
    if (inside)
        return ScpiEngineOpenString;
    token = ScpiToken{};
    token.type = ScpiTokenString;
    token.text.text = text + 1;
    token.text.length = static_cast<std::uint32_t>(length - 2);
    token.text.quote = static_cast<std::uint8_t>(quote);
    return ScpiEngineOk;
}

std::uint8_t scpi_parse_text(const char* text, std::size_t length, ScpiToken& token)
{
    if (scpi_parse_quoted_string(text, length, token) == ScpiEngineOk)
        return ScpiEngineOk;
    token = ScpiToken{};
    token.type = ScpiTokenText;
    token.text.text = text;
    token.text.length = static_cast<std::uint32_t>(length);
    return ScpiEngineOk;
}

std::uint8_t scpi_parse_block(const char* text, std::size_t length, ScpiToken& token)
{
    if (length < 2 || text[0] != '#' || !ScpiIsDigit(text[1]))
        return ScpiEngineDataType;
    std::size_t begin = 2;
    std::size_t end = length;
    if (text[1] == '0') {
        if (text[end - 1] == '\n' && end > begin)
            --end;   // the message terminator
    } else {
        if (ScpiDefiniteBlockEnd(text, length, end) != ScpiEngineOk)
            return ScpiEngineInvalidListValue;
        begin = 2 + static_cast<std::size_t>(text[1] - '0');
        for (std::size_t i = end; i < length; ++i) {
            if (!ScpiIsWhite(text[i]))
                return ScpiEngineDataType;
        }
    }
    token = ScpiToken{};
    token.type = ScpiTokenBlock;
    token.text.text = text + begin;
    token.text.length = static_cast<std::uint32_t>(end - begin);
    return ScpiEngineOk;
}

}  // namespace Korvex
