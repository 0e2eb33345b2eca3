#include "Host/scpi/engine/ScpiNumber.h"

#include <cstdint>

#include "Host/scpi/engine/ScpiCharacters.h"

namespace Korvex {

namespace {

enum class eNumberState {
    Start,
    Sign,
    Integer,
    Fraction,
    AfterNumber,
    ExponentStart,
    ExponentSign,
    ExponentDigits,
    Radix,
    RadixDigits,
    Done,
};

constexpr std::uint64_t MaxU64 = ~std::uint64_t{0};

// Value of c as a digit of radix, or -1.
int RadixDigit(char c, unsigned radix)
{
    int value = -1;
    if (ScpiIsDigit(c))
        value = c - '0';
    else if (c >= 'a' && c <= 'f')
        value = c - 'a' + 10;
    return (value >= 0 && static_cast<unsigned>(value) < radix) ? value : -1;
}

// Stores exponent (|exponent| <= ScpiMaxExponent) as magnitude and sign flag.
void StoreExponent(ScpiNumberBody& body, std::int64_t exponent)
{
    body.flags = static_cast<std::uint8_t>(body.flags & ~ScpiNumberExponentNegative);
    if (exponent < 0) {
        body.flags |= ScpiNumberExponentNegative;
        exponent = -exponent;
    }
    body.exponent = static_cast<std::uint8_t>(exponent);
}

std::int64_t SignedExponent(const ScpiNumberBody& body)
{
    return (body.flags & ScpiNumberExponentNegative) ? -std::int64_t{body.exponent}
                                                     : std::int64_t{body.exponent};
}

// Applies the exponent limits: above the largest magnitude 20; below it the value is 0.
std::uint8_t LimitExponent(ScpiNumberBody& body, std::int64_t exponent)
{
    if (exponent > ScpiMaxExponent)
        return ScpiEngineNumberTooLarge;
    if (exponent < -ScpiMaxExponent) {
        body.mantissa = 0;
        exponent = 0;
    }
    StoreExponent(body, exponent);
    return ScpiEngineOk;
}

// The suffix row whose name equals text (any case, white space in text ignored), or null.
const ScpiSuffixUnitRow* FindSuffix(const char* text, std::size_t length)
{
    for (const ScpiSuffixUnitRow* row = ScpiSuffixUnitTable; row->name[0] != '\0'; ++row) {
        const char* name = row->name;
        std::size_t i = 0;
        for (;; ++i) {
            while (i < length && ScpiIsWhite(text[i]))
                ++i;
            if (i == length || *name == '\0')
                break;
            if (!ScpiEqualNoCase(text[i], *name))
                break;
            ++name;
        }
        if (i == length && *name == '\0')
            return row;
    }
    return nullptr;
}

bool KindAccepted(const ScpiNumericDescriptor* descriptor, std::uint32_t kind)
{
    const std::uint32_t own = descriptor ? descriptor->unitKind : ScpiUnitNone;
    if (kind == own)
        return true;
    if (!descriptor || !descriptor->furtherKinds)
        return false;
    for (const std::uint32_t* further = descriptor->furtherKinds; *further != ScpiUnitListEnd;
         ++further) {
        if (*further == kind)
            return true;
    }
    return false;
}

}  // namespace

std::uint8_t scpi_scan_number(const char* text, std::size_t length, ScpiNumberBody& body,
                              std::size_t& consumed)
{
    std::uint64_t mantissa = 0;
    bool negative = false;
    bool mantissaDigit = false;
    bool fractionDigit = false;
    // Once one digit did not fit, every later mantissa digit is left out as well, so the
    // kept digits stay the leading ones.
    bool dropping = false;
    std::int64_t droppedIntegerDigits = 0;
    std::int64_t fractionDigits = 0;
    std::int64_t explicitExponent = 0;
    bool exponentNegative = false;
    unsigned radix = 0;

    eNumberState state = eNumberState::Start;
    std::size_t i = 0;
    while (i < length && state != eNumberState::Done) {
        const char c = ScpiToLower(text[i]);
        switch (state) {
        case eNumberState::Start:
            if (ScpiIsWhite(c)) {
                ++i;
            } else if (ScpiIsDigit(c)) {
                state = eNumberState::Integer;
            } else if (c == '+' || c == '-') {
                negative = c == '-';
                state = eNumberState::Sign;
                ++i;
            } else if (c == '.') {
                state = eNumberState::Fraction;
                ++i;
            } else if (c == '#') {
                state = eNumberState::Radix;
                ++i;
            } else {
                return ScpiEngineDataType;
            }
            break;
        case eNumberState::Sign:
            if (ScpiIsDigit(c)) {
                state = eNumberState::Integer;
            } else if (c == '.') {
                state = eNumberState::Fraction;
                ++i;
            } else {
                return ScpiEngineDataType;
            }
            break;
        case eNumberState::Integer:
            if (ScpiIsDigit(c)) {
                const unsigned digit = static_cast<unsigned>(c - '0');
                mantissaDigit = true;
                if (!dropping && mantissa <= (MaxU64 - digit) / 10)
                    mantissa = mantissa * 10 + digit;
                else {
                    dropping = true;
                    ++droppedIntegerDigits;
                }
                ++i;
            } else if (c == '.') {
                state = eNumberState::Fraction;
                ++i;
            } else if (c == 'e') {
                state = eNumberState::ExponentStart;
                ++i;
            } else if (ScpiIsWhite(c)) {
                state = eNumberState::AfterNumber;
                ++i;
            } else {
                state = eNumberState::Done;
            }
            break;
        case eNumberState::Fraction:
            if (ScpiIsDigit(c)) {
                const unsigned digit = static_cast<unsigned>(c - '0');
                mantissaDigit = true;
                fractionDigit = true;
                if (!dropping && mantissa <= (MaxU64 - digit) / 10) {
                    mantissa = mantissa * 10 + digit;
                    ++fractionDigits;
                } else {
                    dropping = true;
                }
                ++i;
            } else if (c == 'e') {
                state = eNumberState::ExponentStart;
                ++i;
            } else if (ScpiIsWhite(c) && fractionDigit) {
                state = eNumberState::AfterNumber;
                ++i;
            } else {
                state = eNumberState::Done;
            }
            break;
        case eNumberState::AfterNumber:
            if (ScpiIsWhite(c)) {
                ++i;
            } else if (c == 'e') {
                state = eNumberState::ExponentStart;
                ++i;
            } else {
                state = eNumberState::Done;
            }
            break;
        case eNumberState::ExponentStart:
            if (ScpiIsWhite(c)) {
                ++i;
            } else if (c == '+' || c == '-') {
                exponentNegative = c == '-';
                state = eNumberState::ExponentSign;
                ++i;
            } else if (ScpiIsDigit(c)) {
                state = eNumberState::ExponentDigits;
            } else {
                return ScpiEngineDataType;   // 'e' with no exponent digits
            }
            break;
        case eNumberState::ExponentSign:
            if (!ScpiIsDigit(c))
                return ScpiEngineDataType;
            state = eNumberState::ExponentDigits;
            break;
        case eNumberState::ExponentDigits:
            if (ScpiIsDigit(c)) {
                explicitExponent = explicitExponent * 10 + (c - '0');
                if (explicitExponent > 2147483647)
                    return ScpiEngineNumberTooLarge;
                ++i;
            } else {
                state = eNumberState::Done;
            }
            break;
        case eNumberState::Radix:
            if (c == 'b')
                radix = 2;
            else if (c == 'q')
                radix = 8;
            else if (c == 'h')
                radix = 16;
            else
                return ScpiEngineDataType;
            state = eNumberState::RadixDigits;
            ++i;
            break;
        case eNumberState::RadixDigits: {
            const int digit = RadixDigit(c, radix);
            if (digit < 0) {
                state = eNumberState::Done;
                break;
            }
            const std::uint64_t limit = radix == 2    ? (std::uint64_t{1} << 63)
                                        : radix == 8 ? (std::uint64_t{1} << 61)
                                                     : (std::uint64_t{1} << 60);
            if (mantissa >= limit)
                return ScpiEngineNumberTooLarge;
            mantissa = mantissa * radix + static_cast<unsigned>(digit);
            mantissaDigit = true;
            ++i;
            break;
        }
        case eNumberState::Done:
            break;
        }
    }

    // A number may end only behind a digit run (or the white space after one).
    switch (state) {
    case eNumberState::Start:
    case eNumberState::Sign:
    case eNumberState::ExponentStart:
    case eNumberState::ExponentSign:
    case eNumberState::Radix:
        return ScpiEngineDataType;
    default:
        break;
    }
    if (!mantissaDigit)
        return ScpiEngineDataType;
    while (i < length && ScpiIsWhite(text[i]))
        ++i;

    // Everything in 64 bits: the explicit exponent is at most 2^31 - 1 and the digit
    // counts are bounded by the text length.
    std::int64_t exponent = (exponentNegative ? -explicitExponent : explicitExponent) -
                            fractionDigits + droppedIntegerDigits;
    while (mantissa != 0 && mantissa % 10 == 0) {
        mantissa /= 10;
        ++exponent;
    }
    ScpiNumberBody result{};
    result.mantissa = mantissa;
    result.flags = negative ? ScpiNumberNegative : 0;
    const std::uint8_t status = LimitExponent(result, exponent);
    if (status != ScpiEngineOk)
        return status;
    result.unitKind = body.unitKind;
    body = result;
    consumed = i;
    return ScpiEngineOk;
}

std::uint8_t scpi_parse_numeric(const char* text, std::size_t length,
                                const ScpiNumericDescriptor* descriptor, ScpiToken& token)
{
    ScpiNumberBody body{};
    std::size_t consumed = 0;
    const std::uint8_t scanStatus = scpi_scan_number(text, length, body, consumed);
    if (scanStatus != ScpiEngineOk)
        return scanStatus;

    std::uint32_t kind = descriptor ? descriptor->unitKind : ScpiUnitNone;
    std::int64_t added = descriptor ? descriptor->defaultExponent : 0;
    bool kindAccepted = true;
    std::size_t rest = consumed;
    while (rest < length && ScpiIsWhite(text[rest]))
        ++rest;
    if (rest < length) {
        const ScpiSuffixUnitRow* row = FindSuffix(text + rest, length - rest);
        if (!row)
            return ScpiEngineWrongUnits;
        kind = row->kind;
        added = row->exponent;
        kindAccepted = KindAccepted(descriptor, kind);
    }

    const std::int64_t exponent = SignedExponent(body) + added;
    if (exponent > ScpiMaxExponent)
        return ScpiEngineNumberTooLarge;
    LimitExponent(body, exponent);
    body.unitKind = kind;
    token = ScpiToken{};
    token.type = ScpiTokenNumber;
    token.number = body;
    return kindAccepted ? ScpiEngineOk : ScpiEngineWrongUnits;
}

}  // namespace Korvex
