// Character classes of the SCPI engine. White space is any byte from 1 to 32; NUL is
// never white space. Letters compare without regard to case (ASCII only, no locale).
#pragma once

namespace Korvex {

inline bool ScpiIsWhite(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 1 && byte <= 32;
}

inline bool ScpiIsDigit(char c)
{
    return c >= '0' && c <= '9';
}

inline bool ScpiIsLower(char c)
{
    return c >= 'a' && c <= 'z';
}

inline char ScpiToLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool ScpiEqualNoCase(char a, char b)
{
    return ScpiToLower(a) == ScpiToLower(b);
}

}  // namespace Korvex
