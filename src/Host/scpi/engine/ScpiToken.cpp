#include "Host/scpi/engine/ScpiToken.h"

#include <cstdint>

namespace Korvex {

std::uint8_t scpi_param_get_type_and_sign(const ScpiToken& token, std::uint8_t& type,
                                          std::uint8_t& sign)
{
    type = token.type;
    sign = token.type == ScpiTokenNumber
               ? static_cast<std::uint8_t>(token.number.flags &
                                           (ScpiNumberNegative | ScpiNumberExponentNegative))
               : 0;
    return ScpiEngineOk;
}

std::uint8_t scpi_param_get_numeric_word4(const ScpiToken& token, std::uint32_t& unitKind)
{
    if (token.type != ScpiTokenNumber)
        return ScpiEngineDataType;
    unitKind = token.number.unitKind;
    return ScpiEngineOk;
}

std::uint8_t scpi_param_get_char(const ScpiToken& token, std::uint8_t& index)
{
    if (token.type != ScpiTokenChoice)
        return ScpiEngineDataType;
    index = token.choice.index;
    return ScpiEngineOk;
}

std::uint8_t scpi_param_get_bool(const ScpiToken& token, std::uint8_t& value)
{
    if (token.type != ScpiTokenBoolean)
        return ScpiEngineDataType;
    value = token.boolean.value;
    return ScpiEngineOk;
}

std::uint8_t scpi_param_get_int32(const ScpiToken& token, std::int32_t& value)
{
    if (token.type != ScpiTokenNumber)
        return ScpiEngineDataType;
    constexpr std::uint64_t largest = 2147483647u;
    std::uint64_t magnitude = token.number.mantissa;
    if (magnitude >> 32)
        return ScpiEngineNumberTooLarge;
    const bool exponentNegative = token.number.flags & ScpiNumberExponentNegative;
    for (unsigned decade = 0; decade < token.number.exponent; ++decade) {
        if (exponentNegative) {
            magnitude /= 10;
        } else {
            magnitude *= 10;   // below 2^32 x 10 after the check below: no wrap
            if (magnitude > largest)
                return ScpiEngineNumberTooLarge;
        }
    }
    if (magnitude > largest)
        return ScpiEngineNumberTooLarge;
    const auto positive = static_cast<std::int32_t>(magnitude);
    value = (token.number.flags & ScpiNumberNegative) ? -positive : positive;
    return ScpiEngineOk;
}

std::uint8_t scpi_param_get_double(const ScpiToken& token, double& value)
{
    if (token.type != ScpiTokenNumber)
        return ScpiEngineDataType;
    double result = static_cast<double>(token.number.mantissa);
    const bool exponentNegative = token.number.flags & ScpiNumberExponentNegative;
    for (unsigned decade = 0; decade < token.number.exponent; ++decade)
        result = exponentNegative ? result / 10.0 : result * 10.0;
    value = (token.number.flags & ScpiNumberNegative) ? -result : result;
    return ScpiEngineOk;
}

std::uint8_t scpi_param_get_string(const ScpiToken& token, const char*& text,
                                   std::uint32_t& length, std::uint8_t& quote)
{
    if (token.type != ScpiTokenString && token.type != ScpiTokenText &&
        token.type != ScpiTokenChannelList)
        return ScpiEngineDataType;
    text = token.text.text;
    length = token.text.length;
    quote = token.text.quote;
    return ScpiEngineOk;
}

std::uint8_t scpi_param_get_block(const ScpiToken& token, const char*& begin, const char*& end)
{
    if (token.type != ScpiTokenBlock)
        return ScpiEngineDataType;
    begin = token.text.text;
    end = token.text.text + token.text.length;
    return ScpiEngineOk;
}

}  // namespace Korvex
