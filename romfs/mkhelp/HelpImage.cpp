// The help file from the command tables.
#include "romfs/mkhelp/HelpImage.h"

#include <cstring>
#include <set>

#include "Host/scpi/tables/CommandTables.h"

namespace mkhelp {

using namespace Korvex;

namespace {

const char Magic[] = "KorvexHelp";

bool IsFlux(const void* descriptor)
{
    return descriptor == &ScpiNumericDescriptors[ScpiNumFlux] ||
           descriptor == &ScpiNumericDescriptors[ScpiNumTesla] ||
           descriptor == &ScpiNumericDescriptors[ScpiNumReference];
}

std::string NumericText(const void* descriptor)
{
    return IsFlux(descriptor) ? "<flux>" : "<numeric>";
}

std::string ParameterText(const ScpiParameterDescriptor& slot)
{
    switch (slot.kind) {
        case ScpiKindNumeric: return NumericText(slot.descriptor);
        case ScpiKindBoolean: return "ON|OFF";
        case ScpiKindChoice: {
            const auto* row = static_cast<const ScpiChoiceRow*>(slot.descriptor);
            if (row == nullptr) return "<choice>";
            std::string text;
            if (row->fallbackKind == ScpiFallbackNumeric) text = NumericText(row->fallbackDescriptor) + "|";
            if (row->fallbackKind == ScpiFallbackBoolean) text = "ON|OFF|";
            return text + row->alternatives;
        }
        case ScpiKindString:
        case ScpiKindText: return "<string>";
        case ScpiKindChannelList: return "(@<channel list>)";
        case ScpiKindBlock: return "<block>";
        default: return std::string();
    }
}

void PutU32(std::vector<std::uint8_t>& image, std::size_t at, std::uint32_t value)
{
    for (unsigned i = 0; i < 4; ++i) image[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

std::string HeadersText()
{
    std::set<std::string> patterns;
    for (unsigned n = 0; n < ScpiCommandCount; ++n) patterns.insert(ScpiCommandPatternTable[n]);
    std::set<std::string> done;
    std::string text;
    for (unsigned n = 0; n < ScpiCommandCount; ++n) {
        std::string pattern = ScpiCommandPatternTable[n];
        const bool query = !pattern.empty() && pattern.back() == '?';
        const std::string base = query ? pattern.substr(0, pattern.size() - 1) : pattern;
        if (done.count(base) != 0) continue;
        done.insert(base);
        const bool pair = query ? patterns.count(base) != 0 : patterns.count(base + "?") != 0;
        text += pair ? base + "[?]" : pattern;
        text += "\n";
    }
    return text;
}

std::string SyntaxRecord(unsigned n)
{
    std::string text = ScpiCommandPatternTable[n];
    const ScpiParameterDescriptor* slots = ScpiParameterTable[n];
    std::string parameters;
    unsigned open = 0;
    for (unsigned slot = 0; slot < ScpiParameterSlots && slots[slot].kind != ScpiKindNone; ++slot) {
        const std::string separator = slot == 0 ? "" : ",";
        if ((slots[slot].optional & 1u) != 0) {
            parameters += "[" + separator;
            ++open;
        } else {
            parameters += separator;
        }
        parameters += ParameterText(slots[slot]);
    }
    parameters.append(open, ']');
    if (!parameters.empty()) text += " " + parameters;
    return text;
}

bool MakeHelpImage(std::vector<std::uint8_t>& image, std::string& error)
{
    const std::string text = HeadersText();
    if (text.size() > TextSize) {
        error = "headers text of " + std::to_string(text.size()) + " bytes passes " +
                std::to_string(TextSize);
        return false;
    }
    image.assign(HeaderSize + TextSize + RecordSize * ScpiCommandCount, 0);
    std::memcpy(image.data(), Magic, sizeof Magic - 1);
    PutU32(image, 16, ScpiCommandCount);
    PutU32(image, 20, static_cast<std::uint32_t>(text.size()));
    PutU32(image, 24, RecordSize);
    std::memcpy(image.data() + HeaderSize, text.data(), text.size());
    for (unsigned n = 0; n < ScpiCommandCount; ++n) {
        const std::string record = SyntaxRecord(n);
        if (record.size() > RecordSize - 1) {
            error = "syntax record " + std::to_string(n) + " (" + record + ") passes " +
                    std::to_string(RecordSize - 1) + " bytes";
            return false;
        }
        std::memcpy(image.data() + HeaderSize + TextSize + RecordSize * n, record.data(),
                    record.size());
    }
    return true;
}

}  // namespace mkhelp
