#include "Host/scpi/engine/ScpiLexer.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "Host/scpi/engine/ScpiCharacters.h"
#include "Host/scpi/engine/ScpiParameterSyntax.h"

namespace Korvex {

ScpiHeaderPath ScpiGlobalHeaderPath{};

namespace {

constexpr std::uint64_t MaxSuffix = 4294967295u;

bool IsRadixLetter(char c)
{
    const char lower = ScpiToLower(c);
    return lower == 'b' || lower == 'q' || lower == 'h';
}

void ClearTokens(ScpiToken tokens[ScpiParameterSlots])
{
    for (unsigned slot = 0; slot < ScpiParameterSlots; ++slot)
        tokens[slot] = ScpiToken{};
}

// Character p of the text being matched; NUL from `length` on. In mode 0 the text is the
// virtual header: the remembered prefix, then the received characters.
char TextAt(const char* text, std::size_t length, std::size_t p, int mode)
{
    if (p >= length)
        return '\0';
    if (mode == 0) {
        const ScpiHeaderPath& path = ScpiGlobalHeaderPath;
        if (p < path.pathLength)
            return path.text[p];
        return text[p - path.pathLength];
    }
    return text[p];
}

// scpi_match_header; suffixTyped tells whether digits were given for the pattern's '#'.
std::uint8_t MatchPattern(const char* pattern, std::size_t patternLength, const char* text,
                          std::size_t length, int mode, std::uint32_t suffixes[],
                          std::uint8_t& suffixCount, bool& suffixTyped)
{
    suffixTyped = false;
    std::size_t tp = 0;
    if (mode == 0) {
        const std::size_t pathLength = ScpiGlobalHeaderPath.pathLength;
        if (length < pathLength)
            return ScpiEngineSyntax;
        if (length > pathLength && text[0] == '*')
            tp = pathLength;   // a common command ignores the path
    }

    std::size_t pp = 0;
    bool optional = false;
    std::size_t saved = 0;
    bool longForm = false;
    std::uint8_t taken = suffixCount;
    bool digitSeen = false;
    std::uint8_t status = ScpiEngineOk;
    while (pp < patternLength) {
        const char c = pattern[pp];
        const char t = TextAt(text, length, tp, mode);
        if (c == '[') {
            optional = true;
            saved = tp;
            ++pp;
        } else if (c == ']') {
            optional = false;
            ++pp;
        } else if (c == '#') {
            if (taken != 0)
                return ScpiEngineSecondSuffix;
            if (ScpiIsDigit(t)) {
                if (!digitSeen) {
                    suffixes[0] = 0;
                    digitSeen = true;
                }
                const std::uint64_t value =
                    std::uint64_t{suffixes[0]} * 10 + static_cast<unsigned>(t - '0');
                if (value > MaxSuffix)
                    status = ScpiEngineBadSuffix;
                else
                    suffixes[0] = static_cast<std::uint32_t>(value);
                ++tp;
            } else {
                if (!digitSeen)
                    suffixes[0] = 1;
                else if (suffixes[0] == 0)
                    status = ScpiEngineBadSuffix;
                suffixTyped = digitSeen;
                taken = 1;
                ++pp;
            }
        } else {
            if (c == ':')
                longForm = false;
            if (t != '\0' && ScpiEqualNoCase(c, t)) {
                ++pp;
                ++tp;
                if (ScpiIsLower(c))
                    longForm = true;
            } else if (ScpiIsLower(c) && !longForm) {
                while (pp < patternLength && ScpiIsLower(pattern[pp]))
                    ++pp;   // short form
            } else if (optional) {
                tp = saved;
                while (pp < patternLength && pattern[pp] != ']')
                    ++pp;
            } else {
                return ScpiEngineSyntax;
            }
        }
    }
    if (TextAt(text, length, tp, mode) != '\0')
        return ScpiEngineSyntax;
    if (status == ScpiEngineOk)
        suffixCount = taken;
    return status;
}

// Remembers the prefix of a matched pattern as the path of the following relative headers.
void RememberPath(const char* pattern, bool suffixTyped, std::uint32_t suffix)
{
    ScpiHeaderPath& path = ScpiGlobalHeaderPath;
    std::size_t prefixLength = 0;
    for (std::size_t i = 0; pattern[i] != '\0'; ++i) {
        if (pattern[i] == ':')
            prefixLength = i + 1;
    }
    std::size_t out = 0;
    for (std::size_t i = 0; i < prefixLength; ++i) {
        const char c = pattern[i];
        if (c == '[' || c == ']')
            continue;
        if (c == '#') {
            if (!suffixTyped)
                continue;
            char digits[10];
            std::size_t count = 0;
            std::uint32_t value = suffix;
            do {
                digits[count++] = static_cast<char>('0' + value % 10);
                value /= 10;
            } while (value != 0);
            if (out + count > ScpiHeaderPathCapacity) {
                scpi_reset_header_path();
                return;
            }
            while (count != 0)
                path.text[out++] = digits[--count];
            continue;
        }
        if (out >= ScpiHeaderPathCapacity) {
            scpi_reset_header_path();   // cannot be remembered: start at the root
            return;
        }
        path.text[out++] = c;
    }
    path.pattern = pattern;
    path.prefixLength = static_cast<std::uint32_t>(prefixLength);
    path.pathLength = static_cast<std::uint32_t>(out);
}

// The length of every pattern of the table, measured once.
const std::uint16_t* PatternLengths()
{
    static const auto lengths = [] {
        std::array<std::uint16_t, ScpiCommandCount> out{};
        for (unsigned n = 0; n < ScpiCommandCount; ++n)
            out[n] = static_cast<std::uint16_t>(std::strlen(ScpiCommandPatternTable[n]));
        return out;
    }();
    return lengths.data();
}

// The patterns a virtual header does not refuse outright. Matching a header against the
// whole table is most of the cost of a unit, and a client sends the same few headers again
// and again: the patterns whose match gave anything but 70 are remembered per virtual
// header (the remembered path and the received header characters), and only those are
// matched again, in table order, for the same header. Every other pattern would refuse it
// again with 70, which never changes the result. A fixed table of sets of a few entries
// each, the least recently used entry of a set making room; headers longer than an entry
// holds are always matched against the whole table.
constexpr std::size_t HeaderMatchTextCapacity = 64;
constexpr std::size_t HeaderMatchSets = 64;
constexpr std::size_t HeaderMatchWays = 4;
constexpr std::size_t PatternWords = (ScpiCommandCount + 63) / 64;

struct HeaderMatches {
    std::uint32_t pathLength = 0;
    std::uint32_t length = 0;   // virtual header characters; 0: empty entry
    std::uint32_t used = 0;     // when it was last looked up
    char text[HeaderMatchTextCapacity] = {};
    std::uint64_t patterns[PatternWords] = {};
};

HeaderMatches headerMatches[HeaderMatchSets][HeaderMatchWays];
std::uint32_t headerMatchClock = 0;

// The entry of the virtual header (path, then header characters), null when it cannot
// be remembered. found tells whether the entry holds that header already; when not, the
// entry is emptied for the caller to fill.
HeaderMatches* HeaderMatchEntry(const char* header, std::size_t headerLength, bool& found)
{
    found = false;
    const ScpiHeaderPath& path = ScpiGlobalHeaderPath;
    const std::size_t pathLength = path.pathLength;
    const std::size_t length = pathLength + headerLength;
    if (length == 0 || length > HeaderMatchTextCapacity)
        return nullptr;
    std::uint32_t hash = 2166136261u;
    for (std::size_t i = 0; i < pathLength; ++i)
        hash = (hash ^ static_cast<unsigned char>(path.text[i])) * 16777619u;
    for (std::size_t i = 0; i < headerLength; ++i)
        hash = (hash ^ static_cast<unsigned char>(header[i])) * 16777619u;
    HeaderMatches* set = headerMatches[(hash ^ hash >> 16) % HeaderMatchSets];
    HeaderMatches* oldest = &set[0];
    const std::uint32_t now = ++headerMatchClock;
    for (std::size_t way = 0; way < HeaderMatchWays; ++way) {
        HeaderMatches& entry = set[way];
        if (entry.length == length && entry.pathLength == pathLength &&
            std::memcmp(entry.text, path.text, pathLength) == 0 &&
            std::memcmp(entry.text + pathLength, header, headerLength) == 0) {
            entry.used = now;
            found = true;
            return &entry;
        }
        if (now - entry.used > now - oldest->used)
            oldest = &entry;
    }
    oldest->length = 0;   // filled by the caller
    oldest->used = now;
    oldest->pathLength = static_cast<std::uint32_t>(pathLength);
    std::memcpy(oldest->text, path.text, pathLength);
    std::memcpy(oldest->text + pathLength, header, headerLength);
    return oldest;
}

// Pattern n against the virtual header, then its parameter count and parameters.
std::uint8_t MatchUnit(unsigned n, std::size_t patternLength, const char* unit,
                       std::size_t virtualEnd, std::uint8_t count, const char* parameters,
                       std::size_t parametersLength, ScpiToken tokens[ScpiParameterSlots],
                       std::uint32_t suffixes[], std::uint8_t& taken, bool& suffixTyped)
{
    const std::uint8_t status = MatchPattern(ScpiCommandPatternTable[n], patternLength, unit,
                                             virtualEnd, 0, suffixes, taken, suffixTyped);
    if (status != ScpiEngineOk)
        return status;
    const ScpiParameterDescriptor* row = ScpiParameterTable[n];
    unsigned maximum = 0;
    unsigned minimum = 0;
    while (maximum < ScpiParameterSlots && row[maximum].kind != ScpiKindNone) {
        if (!(row[maximum].optional & 1u))
            minimum = maximum + 1;
        ++maximum;
    }
    if (count < minimum || count > maximum)
        return ScpiEngineParameterCount;
    ClearTokens(tokens);
    return scpi_parse_parameters(static_cast<std::uint8_t>(n), parameters, parametersLength,
                                 tokens, suffixes, taken);
}

}  // namespace

void scpi_forget_header_matches()
{
    for (auto& set : headerMatches) {
        for (HeaderMatches& entry : set)
            entry.length = 0;
    }
}

void scpi_reset_header_path()
{
    ScpiGlobalHeaderPath.prefixLength = 0;
    ScpiGlobalHeaderPath.pathLength = 0;
}

std::uint8_t scpi_match_header(const char* pattern, std::size_t patternLength, const char* text,
                               std::size_t length, int mode, std::uint32_t suffixes[],
                               std::uint8_t& suffixCount)
{
    bool suffixTyped = false;
    return MatchPattern(pattern, patternLength, text, length, mode, suffixes, suffixCount,
                        suffixTyped);
}

void scpi_count_parameters(const char* unit, std::size_t length, std::size_t virtualEnd,
                           std::uint8_t& count, const char*& parameters,
                           std::size_t& parametersLength)
{
    const std::size_t pathLength = ScpiGlobalHeaderPath.pathLength;
    std::size_t received = virtualEnd > pathLength ? virtualEnd - pathLength : 0;
    if (received > length)
        received = length;
    parameters = unit + received;
    parametersLength = length - received;

    const char* text = parameters;
    const std::size_t textLength = parametersLength;
    bool blank = true;
    for (std::size_t i = 0; i < textLength && blank; ++i)
        blank = ScpiIsWhite(text[i]);
    if (blank) {
        count = 0;
        return;
    }
    unsigned commas = 0;
    char quote = 0;
    unsigned depth = 0;
    for (std::size_t i = 0; i < textLength; ++i) {
        const char c = text[i];
        if (quote) {
            if (c == quote)
                quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '(') {
            ++depth;
        } else if (c == ')') {
            if (depth != 0)
                --depth;
        } else if (c == '#' && i + 1 < textLength && ScpiIsDigit(text[i + 1])) {
            std::size_t blockEnd = 0;
            if (text[i + 1] == '0' ||
                ScpiDefiniteBlockEnd(text + i, textLength - i, blockEnd) != ScpiEngineOk)
                break;   // the rest is block data
            i += blockEnd - 1;
        } else if (c == ',' && depth == 0) {
            ++commas;
        }
    }
    // Saturated: a count beyond every command's maximum must stay beyond it.
    count = static_cast<std::uint8_t>(commas < 254 ? commas + 1 : 255);
}

std::uint8_t scpi_parse_header(const char* unit, std::size_t length, int firstUnit,
                               std::uint8_t& command, ScpiToken tokens[ScpiParameterSlots],
                               std::uint8_t& suffixCount, std::uint32_t suffixes[])
{
    suffixCount = 0;
    if (length != 0 && unit[0] == ':') {
        ++unit;
        --length;
        scpi_reset_header_path();
    }
    if (firstUnit)
        scpi_reset_header_path();

    std::size_t headerLength = 0;
    while (headerLength < length && unit[headerLength] != '\0' && !ScpiIsWhite(unit[headerLength]))
        ++headerLength;
    const std::size_t virtualEnd = ScpiGlobalHeaderPath.pathLength + headerLength;

    std::uint8_t count = 0;
    const char* parameters = nullptr;
    std::size_t parametersLength = 0;
    scpi_count_parameters(unit, length, virtualEnd, count, parameters, parametersLength);

    // The patterns worth matching: remembered for this header, or found by matching the
    // header against the whole table (and then remembered).
    const std::uint16_t* lengths = PatternLengths();
    bool found = false;
    HeaderMatches* entry = HeaderMatchEntry(unit, headerLength, found);
    std::uint64_t candidates[PatternWords] = {};
    if (found) {
        std::memcpy(candidates, entry->patterns, sizeof candidates);
    } else {
        for (unsigned n = 0; n < ScpiCommandCount && ScpiCommandPatternTable[n][0] != '\0'; ++n) {
            std::uint8_t taken = 0;
            bool suffixTyped = false;
            if (MatchPattern(ScpiCommandPatternTable[n], lengths[n], unit, virtualEnd, 0, suffixes,
                             taken, suffixTyped) != ScpiEngineSyntax)
                candidates[n / 64] |= std::uint64_t{1} << (n % 64);
        }
        if (entry != nullptr) {
            std::memcpy(entry->patterns, candidates, sizeof candidates);
            entry->length = static_cast<std::uint32_t>(virtualEnd);
        }
    }

    // The first candidate, in table order, whose header and parameters both fit; else the
    // lowest status of all.
    std::uint8_t best = ScpiEngineSyntax;
    for (unsigned word = 0; word < PatternWords; ++word) {
        for (std::uint64_t bits = candidates[word]; bits != 0; bits &= bits - 1) {
            const unsigned n = word * 64 + static_cast<unsigned>(__builtin_ctzll(bits));
            std::uint8_t taken = 0;
            bool suffixTyped = false;
            const std::uint8_t status = MatchUnit(n, lengths[n], unit, virtualEnd, count, parameters,
                                                  parametersLength, tokens, suffixes, taken,
                                                  suffixTyped);
            if (status == ScpiEngineOk) {
                command = static_cast<std::uint8_t>(n);
                suffixCount = taken;
                if (headerLength == 0 || unit[0] != '*')
                    RememberPath(ScpiCommandPatternTable[n], suffixTyped,
                                 suffixTyped ? suffixes[0] : 0);
                return ScpiEngineOk;
            }
            if (status < best)
                best = status;
        }
    }
    return best;
}

std::uint8_t scpi_parse_message_unit(const char*& cursor, std::size_t length, int firstUnit,
                                     std::uint8_t& command, ScpiToken tokens[ScpiParameterSlots],
                                     std::uint8_t& suffixCount, std::uint32_t suffixes[])
{
    const char* s = cursor;
    suffixCount = 0;
    ClearTokens(tokens);

    std::size_t i = 0;
    while (i < length && (s[i] == ';' || ScpiIsWhite(s[i])))
        ++i;
    if (i >= length) {
        cursor = s + length;
        return ScpiEngineEmptyUnit;
    }
    // The end of the message: its terminating NUL (or `length` if the caller gave none).
    const std::size_t end = s[length - 1] == '\0' ? length - 1 : length;
    const std::size_t start = i;

    char quote = 0;
    std::uint8_t status = ScpiEngineOk;
    std::size_t stop = 0;   // how far an error was scanned
    while (i < length) {
        const char c = s[i];
        if (c == '\0')
            break;
        if (quote) {
            if (c == quote)
                quote = 0;   // a doubled quote closes and reopens the string
            ++i;
            continue;
        }
        if (c == ';')
            break;
        if (c == '"' || c == '\'') {
            quote = c;
            ++i;
            continue;
        }
        if (c != '#') {
            ++i;
            continue;
        }
        const char next = i + 1 < end ? s[i + 1] : '\0';
        if (IsRadixLetter(next)) {
            ++i;   // a non-decimal number, not a block
            continue;
        }
        if (next == '0') {
            // An indefinite block runs to the end of the message, which must end with a
            // newline (its terminator).
            if (end >= 1 && s[end - 1] == '\n') {
                i = end;
                break;
            }
            status = ScpiEngineSyntax;
            stop = i + 2;
            break;
        }
        if (next >= '1' && next <= '9') {
            std::size_t blockEnd = 0;
            // The data must end before the terminating NUL.
            if (ScpiDefiniteBlockEnd(s + i, end - i, blockEnd) != ScpiEngineOk) {
                status = ScpiEngineInvalidListValue;
                stop = end;
                break;
            }
            i += blockEnd;
            continue;
        }
        status = ScpiEngineInvalidListValue;   // '#' with no digit and no radix letter
        stop = i + 2;
        break;
    }

    if (status != ScpiEngineOk) {
        cursor = s + (stop < end ? stop : end);
        return status;
    }
    cursor = s + i;
    if (i == start)
        return ScpiEngineEmptyUnit;
    return scpi_parse_header(s + start, i - start, firstUnit, command, tokens, suffixCount,
                             suffixes);
}

}  // namespace Korvex
