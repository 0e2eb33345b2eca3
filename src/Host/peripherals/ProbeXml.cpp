#include "Host/peripherals/ProbeXml.h"

#include <expat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Host/parameters/Error.h"
#include "Host/parameters/Logger.h"
#include "platform/fs/FileIo.h"

namespace Korvex {

std::atomic<std::uint32_t> ProbeXmlStatus{2};

namespace {

ProbeXmlRecord record{};

const char kBadFileMessage[] =
    "THE GIVEN XML FILE IS CORRUPTED OR CONTAINS A VERSION OF PARAMETERS THAT IS NOT HANDLED BY "
    "THIS FIRMWARE!\n";

enum class Tag { None, U16, U8, Lf, Hu };

// The parser's user data for one load.
struct ParserState {
    XML_Parser parser = nullptr;
    std::string text;
    void* destination = nullptr;
    ProbeXmlRecord* target = nullptr;
    long count = 0;
    Tag tag = Tag::None;
    bool active = false;
    bool bad = false;  // a bound was passed: the file is refused
};

void Refuse(ParserState& s) {
    if (s.bad) return;
    s.bad = true;
    XML_StopParser(s.parser, XML_FALSE);
}

void XMLCALL StartElement(void* user, const XML_Char* name, const XML_Char** attributes) {
    auto& s = *static_cast<ParserState*>(user);
    s.text.clear();
    s.active = false;
    s.count = attributes[0] && attributes[1] ? std::strtol(attributes[1], nullptr, 10) : 0;
    ProbeXmlRecord& r = *s.target;
    const struct {
        const char* name;
        void* field;
        Tag tag;
    } scalars[] = {{"StructVersion", &r.StructVersion, Tag::U16},
                   {"MinFreq", &r.MinFreq, Tag::Lf},
                   {"MaxFreq", &r.MaxFreq, Tag::Lf},
                   {"MinIF", &r.MinIF, Tag::Lf},
                   {"MaxIF", &r.MaxIF, Tag::Lf},
                   {"FreqMultiplier", &r.FreqMultiplier, Tag::Lf},
                   {"GyroRatio", &r.GyroRatio, Tag::Lf},
                   {"PulsePeriod", &r.PulsePeriod, Tag::Lf},
                   {"T2", &r.T2, Tag::Lf},
                   {"SampleLength", &r.SampleLength, Tag::Lf},
                   {"DeadTime", &r.DeadTime, Tag::U8}};
    const struct {
        const char* name;
        ProbeXmlCurve* curve;
    } curves[] = {{"NoiseLevelCurve", &r.NoiseLevelCurve},
                  {"TuningCurve", &r.TuningCurve},
                  {"MatchingCurve", &r.MatchingCurve},
                  {"PulseWidthCurve", &r.PulseWidthCurve},
                  {"FreqStepCurve", &r.FreqStepCurve}};
    for (const auto& e : scalars) {
        if (std::strcmp(name, e.name) != 0) continue;
        // A scalar holds one value whatever its attribute says.
        s.count = 0;
        s.destination = e.field;
        s.tag = e.tag;
        s.active = true;
        return;
    }
    for (const auto& e : curves) {
        if (std::strcmp(name, e.name) != 0) continue;
        if (s.count < 0 || s.count > PwCurve::MaxValues) {
            Refuse(s);
            return;
        }
        e.curve->count = static_cast<std::uint16_t>(s.count);
        s.destination = e.curve->value;
        s.tag = Tag::Hu;
        s.active = true;
        return;
    }
}

void XMLCALL CharacterData(void* user, const XML_Char* text, int length) {
    auto& s = *static_cast<ParserState*>(user);
    if (s.text.size() + static_cast<std::size_t>(length) > kProbeXmlTextMax) {
        Refuse(s);
        return;
    }
    s.text.append(text, static_cast<std::size_t>(length));
}

void XMLCALL EndElement(void* user, const XML_Char* /*name*/) {
    auto& s = *static_cast<ParserState*>(user);
    if (!s.active) return;
    if (s.count >= 1) {
        auto* values = static_cast<std::uint16_t*>(s.destination);
        std::size_t n = 0;
        std::size_t start = 0;
        while (start <= s.text.size()) {
            std::size_t comma = s.text.find(',', start);
            if (comma == std::string::npos) comma = s.text.size();
            if (n == PwCurve::MaxValues) {
                Refuse(s);
                return;
            }
            values[n++] = static_cast<std::uint16_t>(
                std::strtol(s.text.substr(start, comma - start).c_str(), nullptr, 10));
            start = comma + 1;
        }
    } else if (s.tag == Tag::U16) {
        *static_cast<std::uint16_t*>(s.destination) =
            static_cast<std::uint16_t>(std::strtol(s.text.c_str(), nullptr, 10));
    } else if (s.tag == Tag::U8) {
        *static_cast<std::uint8_t*>(s.destination) =
            static_cast<std::uint8_t>(std::strtol(s.text.c_str(), nullptr, 10));
    } else if (s.tag == Tag::Lf) {
        *static_cast<double*>(s.destination) = std::strtod(s.text.c_str(), nullptr);
    }
    s.text.clear();
    s.active = false;
}

struct ParserFree {
    void operator()(XML_Parser p) const { XML_ParserFree(p); }
};

// Parses the open file into the record; 0, 10 or 47.
int Parse(std::FILE* file) {
    std::unique_ptr<std::remove_pointer_t<XML_Parser>, ParserFree> parser(XML_ParserCreate(nullptr));
    if (!parser) return eCannotOpenFile;
    ParserState state;
    state.parser = parser.get();
    state.target = &record;
    XML_SetUserData(parser.get(), &state);
    XML_SetElementHandler(parser.get(), StartElement, EndElement);
    XML_SetCharacterDataHandler(parser.get(), CharacterData);
    std::fseek(file, 0, SEEK_END);
    const long size = std::ftell(file);
    std::rewind(file);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 1);
    for (;;) {
        const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), file);
        const bool final = n < 1024;
        if (XML_Parse(parser.get(), buffer.data(), static_cast<int>(n), final) == XML_STATUS_ERROR ||
            state.bad)
            return eXmlNotWellFormed;
        if (final) break;
    }
    return record.StructVersion == 1 ? 0 : eXmlNotWellFormed;
}

}  // namespace

const ProbeXmlRecord& ProbeXmlRecordData() { return record; }

bool PwPhysicalInformationSet::ProbeXmlExists() {
    std::FILE* file = platform::fs::open(kProbeXmlPath, "rb");
    if (!file) return false;
    std::fclose(file);
    return true;
}

int PwPhysicalInformationSet::LoadProbeXml() {
    std::FILE* file = platform::fs::open(kProbeXmlPath, "rb");
    if (!file) return eCannotOpenFile;
    record = ProbeXmlRecord{};
    int result = eGeneralFailure;
    try {
        result = Parse(file);
    } catch (const std::bad_alloc&) {
        result = eGeneralFailure;
    }
    if (result == eXmlNotWellFormed) {
        // The message cannot be written into a file opened for reading: the bad file goes.
        Logger().Printf("PwPhysicalInformationSet::LoadProbeXml, %s", kBadFileMessage);
        if (std::fputs(kBadFileMessage, file) < 0 || std::fflush(file) != 0) {
            if (platform::fs::remove(kProbeXmlPath) != 0)
                std::fprintf(stderr, "%s: %s\n", "Error deleting file", std::strerror(errno));
        }
    }
    std::fclose(file);
    return result;
}

int ProbeXmlLoadAtStartup() {
    ProbeXmlStatus = 1;
    if (!PwPhysicalInformationSet::ProbeXmlExists()) return eCannotOpenFile;
    const int result = PwPhysicalInformationSet::LoadProbeXml();
    if (result == 0) ProbeXmlStatus = 0;
    return result;
}

void ApplyProbeXmlRecord(const ProbeXmlRecord& r, PwPhysicalInformation& info) {
    info.MinFreq = r.MinFreq;
    info.MaxFreq = r.MaxFreq;
    info.MinIF = r.MinIF;
    info.MaxIF = r.MaxIF;
    info.FreqMultiplier = r.FreqMultiplier;
    info.GyroRatio = r.GyroRatio;
    info.PulsePeriod = r.PulsePeriod;
    info.T2 = r.T2;
    info.SampleLength = r.SampleLength;
    info.DeadTime = r.DeadTime;
    const ProbeXmlCurve* from[] = {&r.NoiseLevelCurve, &r.TuningCurve, &r.MatchingCurve,
                                   &r.PulseWidthCurve, &r.FreqStepCurve};
    PwCurve* to[] = {&info.NoiseLevelCurve, &info.TuningCurve, &info.MatchingCurve,
                     &info.PulseWidthCurve, &info.FreqStepCurve};
    for (int i = 0; i < 5; ++i) {
        to[i]->count = std::min<std::uint16_t>(from[i]->count, PwCurve::MaxValues);
        std::memcpy(to[i]->value, from[i]->value, sizeof to[i]->value);
    }
}

}  // namespace Korvex
