// The command tables checked against their own rules and against what the dispatcher, the
// parameter parser and the settings commands expect of them.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "Host/parameters/Bindings.h"
#include "Host/scpi/engine/ScpiLexer.h"
#include "Host/scpi/tables/CommandTables.h"

namespace Korvex {
namespace {

const ScpiCommandAttributeRow& Row(unsigned command)
{
    return ScpiCommandAttributeTable[command];
}

std::string Pattern(unsigned command)
{
    return ScpiCommandPatternTable[command];
}

bool EndsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Number of the command with this pattern, or ScpiCommandCount.
unsigned CommandOf(const std::string& pattern)
{
    for (unsigned n = 0; n < ScpiCommandCount; ++n) {
        if (Pattern(n) == pattern) return n;
    }
    return ScpiCommandCount;
}

// The commands that have a handler of their own in the dispatcher.
std::set<unsigned> HandledCommands()
{
    std::set<unsigned> handled;
    const auto range = [&](unsigned from, unsigned to) {
        for (unsigned n = from; n <= to; ++n) handled.insert(n);
    };
    range(0, 17);
    range(18, 26);
    range(75, 94);
    range(104, 109);
    range(123, 136);
    range(151, 182);
    range(216, 218);
    for (unsigned n : {27u, 34u, 73u, 74u, 97u, 99u, 102u, 103u, 121u, 122u})
        handled.insert(n);
    for (unsigned n : {58u, 62u, 64u, 68u, 70u, 101u, 111u, 112u, 114u, 116u, 118u, 120u, 231u,
                       233u, 236u, 238u})
        handled.insert(n);
    for (unsigned n : {184u, 190u, 203u, 213u}) handled.insert(n);
    return handled;
}

// One message of one unit through the engine.
struct Parsed {
    std::uint8_t status;
    std::uint8_t command;
    std::uint8_t suffixCount;
    std::uint32_t suffix;
};
Parsed ParseUnit(const char* message)
{
    Parsed parsed{};
    const char* cursor = message;
    ScpiToken tokens[ScpiParameterSlots] = {};
    std::uint32_t suffixes[1] = {0};
    parsed.status = scpi_parse_message_unit(cursor, std::strlen(message) + 1, 1, parsed.command,
                                            tokens, parsed.suffixCount, suffixes);
    parsed.suffix = suffixes[0];
    return parsed;
}

TEST(CommandTables, Counts)
{
    EXPECT_EQ(239u, ScpiCommandCount);
    EXPECT_EQ(239u, ScpiCommandPatternCount());
    EXPECT_STREQ("", ScpiCommandPatternTable[239]);
    EXPECT_EQ(239u, sizeof(ScpiCommandAttributeTable) / sizeof(ScpiCommandAttributeTable[0]));
    EXPECT_EQ(240u, sizeof(ScpiParameterTable) / sizeof(ScpiParameterTable[0]));
    for (const ScpiParameterDescriptor& slot : ScpiParameterTable[239]) {
        EXPECT_EQ(0u, slot.optional);
        EXPECT_EQ(0u, slot.kind);
        EXPECT_EQ(nullptr, slot.descriptor);
    }
    EXPECT_EQ(22u, sizeof(ScpiChoiceRows) / sizeof(ScpiChoiceRows[0]));
    EXPECT_EQ(7u, sizeof(ScpiNumericDescriptors) / sizeof(ScpiNumericDescriptors[0]));
    unsigned suffixes = 0;
    while (ScpiSuffixUnitTable[suffixes].name[0] != '\0') ++suffixes;
    EXPECT_EQ(24u, suffixes);
    EXPECT_EQ(25u, sizeof(ScpiSuffixUnitTable) / sizeof(ScpiSuffixUnitTable[0]));
}

TEST(CommandTables, RowsAreWellFormed)
{
    const std::set<std::int32_t> statusRows = {0, 47, 48, 49, 50, 51, 53, 54, 55, 56, 57, 58,
                                               59, 60, 62};
    for (unsigned n = 0; n < ScpiCommandCount; ++n) {
        const ScpiCommandAttributeRow& row = Row(n);
        EXPECT_EQ(EndsWith(Pattern(n), "?") ? 1 : 0, row.queryFlag) << n;
        EXPECT_TRUE(row.busyRule == ScpiBusyNone || row.busyRule == ScpiBusyUnlessManualSearch ||
                    row.busyRule == ScpiBusyAlways)
            << n;
        EXPECT_EQ(1u, statusRows.count(row.statusBitRow)) << n;
        EXPECT_NE(nullptr, row.defaultUnit) << n;
        EXPECT_NE(nullptr, row.binding1) << n;
        EXPECT_NE(nullptr, row.binding2) << n;
        EXPECT_LE(row.fluxFlag, 1u) << n;
        // A generic command must have a node to serve.
        if (row.genericFlag) {
            EXPECT_NE(&g_pNoNode, row.binding1) << n;
        }
        // Slots in use come first; each descriptor has the type its kind calls for.
        bool ended = false;
        for (const ScpiParameterDescriptor& slot : ScpiParameterTable[n]) {
            if (slot.kind == ScpiKindNone) {
                ended = true;
                continue;
            }
            EXPECT_FALSE(ended) << n;
            switch (slot.kind) {
                case ScpiKindNumeric:
                    EXPECT_GE(slot.descriptor, static_cast<const void*>(ScpiNumericDescriptors));
                    EXPECT_LT(slot.descriptor,
                              static_cast<const void*>(ScpiNumericDescriptors + 7));
                    break;
                case ScpiKindChoice:
                    EXPECT_GE(slot.descriptor, static_cast<const void*>(ScpiChoiceRows));
                    EXPECT_LT(slot.descriptor, static_cast<const void*>(ScpiChoiceRows + 22));
                    break;
                case ScpiKindBoolean: EXPECT_EQ(&ScpiBooleanNoDefault, slot.descriptor); break;
                case ScpiKindChannelList:
                    EXPECT_EQ(&ScpiChannelListParameter, slot.descriptor);
                    break;
                case ScpiKindString:
                case ScpiKindText:
                case ScpiKindBlock: EXPECT_EQ(nullptr, slot.descriptor); break;
                default: ADD_FAILURE() << "command " << n << " kind " << slot.kind;
            }
        }
    }
}

// Allowed under another session's lock: every query but a few, and a list of settings.
TEST(CommandTables, LockFlagsMatchTheDispatcherList)
{
    const std::set<std::string> refusedQueries = {
        "*TST?",           "MEASure[:SCALar][:FLUX]?", "MEASure:ARRay[:FLUX]?",
        "READ[:SCALar][:FLUX]?", "READ:ARRay[:FLUX]?", "ROUTe:LOWLevel?",
        "ROUTe:MMEMory:DATA?"};
    const std::set<std::string> allowedSettings = {"*CLS", "*ESE", "*OPC", "*SRE", "*WAI",
                                                   "STATus:PRESet"};
    for (unsigned n = 0; n < ScpiCommandCount; ++n) {
        const std::string pattern = Pattern(n);
        bool expected;
        if (Row(n).queryFlag) {
            expected = refusedQueries.count(pattern) == 0;
        } else {
            expected = allowedSettings.count(pattern) != 0 ||
                       (pattern.rfind("STATus:", 0) == 0 &&
                        (EndsWith(pattern, ":ENABle") || EndsWith(pattern, ":NTRansition") ||
                         EndsWith(pattern, ":PTRansition")));
        }
        EXPECT_EQ(expected ? 1 : 0, Row(n).lockFlag) << n << " " << pattern;
    }
    for (const std::string& pattern : refusedQueries) {
        EXPECT_LT(CommandOf(pattern), ScpiCommandCount) << pattern;
    }
}

TEST(CommandTables, EachCommandIsGenericOrHandledNeverBoth)
{
    const std::set<unsigned> handled = HandledCommands();
    for (unsigned n = 0; n < ScpiCommandCount; ++n) {
        EXPECT_NE(Row(n).genericFlag != 0, handled.count(n) != 0) << n << " " << Pattern(n);
    }
}

// Pairs: query first, adjacent, sharing bindings, unit and flux flag; busy rule and
// status row only on the set form. The common commands keep their own order (set first).
TEST(CommandTables, PairsAreAdjacentQueryFirst)
{
    const std::set<unsigned> setFormsWithoutNode = {58, 101, 184, 190, 213};
    unsigned pairs = 0;
    for (unsigned n = 0; n < ScpiCommandCount; ++n) {
        if (Row(n).queryFlag) continue;
        const unsigned query = CommandOf(Pattern(n) + "?");
        if (query == ScpiCommandCount) continue;
        if (Pattern(n)[0] == '*') {
            EXPECT_EQ(n + 1, query) << Pattern(n);
            continue;
        }
        ++pairs;
        ASSERT_EQ(n - 1, query) << Pattern(n);
        const ScpiCommandAttributeRow& q = Row(query);
        const ScpiCommandAttributeRow& s = Row(n);
        EXPECT_STREQ(q.defaultUnit, s.defaultUnit) << n;
        EXPECT_EQ(q.fluxFlag, s.fluxFlag) << n;
        EXPECT_EQ(ScpiBusyNone, q.busyRule) << n;
        EXPECT_EQ(0, q.statusBitRow) << n;
        if (setFormsWithoutNode.count(n)) {
            EXPECT_NE(&g_pNoNode, q.binding1) << n;
            EXPECT_EQ(&g_pNoNode, s.binding1) << n;
            EXPECT_EQ(&g_pNoNode, s.binding2) << n;
            EXPECT_EQ(1u, q.genericFlag) << n;
            EXPECT_EQ(0u, s.genericFlag) << n;
        } else {
            EXPECT_EQ(q.binding1, s.binding1) << n;
            EXPECT_EQ(q.binding2, s.binding2) << n;
        }
    }
    EXPECT_EQ(78u, pairs);
}

TEST(CommandTables, AveragingCommandsBindBothAverages)
{
    for (unsigned n : {28u, 29u}) {
        EXPECT_EQ(&g_pSignalAveragingCount, Row(n).binding1);
        EXPECT_EQ(&g_pMeasurementAveragingCount, Row(n).binding2);
    }
    for (unsigned n : {30u, 31u}) {
        EXPECT_EQ(&g_pSignalAveragingActive, Row(n).binding1);
        EXPECT_EQ(&g_pMeasurementAveragingActive, Row(n).binding2);
    }
    for (unsigned n : {32u, 33u}) {
        EXPECT_EQ(&g_pSignalAveragingType, Row(n).binding1);
        EXPECT_EQ(&g_pMeasurementAveragingType, Row(n).binding2);
    }
    // Everything else binds at most one node.
    for (unsigned n = 0; n < ScpiCommandCount; ++n) {
        if (n >= 28 && n <= 33) continue;
        EXPECT_EQ(&g_pNoNode, Row(n).binding2) << n;
    }
}

// The pattern order decides between overlapping patterns.
TEST(CommandTables, MatchingFollowsTheTableOrder)
{
    Parsed fetch = ParseUnit("FETC?");
    EXPECT_EQ(0, fetch.status);
    EXPECT_EQ(75, fetch.command);

    // The 1 of SEQuence1 is a literal character, not a numeric suffix.
    for (const char* accepted : {"TRIG:COUN 5", "TRIG:SEQ1:COUN 5"}) {
        const Parsed count = ParseUnit(accepted);
        EXPECT_EQ(0, count.status) << accepted;
        EXPECT_EQ(223, count.command) << accepted;
    }
    EXPECT_EQ(70, ParseUnit("TRIG:SEQ:COUN 5").status);

    // The averaging suffix chooses the binding: 1 (or none) the signal, 2 the measurement.
    const Parsed signal = ParseUnit("AVER:COUN?");
    EXPECT_EQ(0, signal.status);
    EXPECT_EQ(28, signal.command);
    EXPECT_EQ(1, signal.suffixCount);
    EXPECT_EQ(1u, signal.suffix);
    EXPECT_EQ(&g_pSignalAveragingCount, Row(signal.command).binding1);
    const Parsed measurement = ParseUnit("CALC:AVER2:COUN 8");
    EXPECT_EQ(0, measurement.status);
    EXPECT_EQ(29, measurement.command);
    EXPECT_EQ(2u, measurement.suffix);
    EXPECT_EQ(&g_pMeasurementAveragingCount, Row(measurement.command).binding2);
}

// Rows whose values look odd but are kept as they are.
TEST(CommandTables, KeptQuirks)
{
    EXPECT_STREQ("Hz", Row(55).defaultUnit);
    EXPECT_STREQ("Hz", Row(56).defaultUnit);
    EXPECT_STREQ("HZ", Row(67).defaultUnit);
    EXPECT_STREQ("MS", Row(80).defaultUnit);
    EXPECT_EQ(1u, Row(133).fluxFlag);
    EXPECT_EQ(0u, Row(121).fluxFlag);
    EXPECT_EQ(0u, Row(122).fluxFlag);
    EXPECT_EQ(1u, Row(102).fluxFlag);
    EXPECT_STREQ("T", Row(121).defaultUnit);
    // INFinity is the third alternative of the trigger-output width.
    EXPECT_STREQ("MINimum|MAXimum|INFinity|DEFault", ScpiChoiceRows[15].alternatives);
    EXPECT_EQ(&ScpiChoiceRows[15], ScpiParameterTable[118][0].descriptor);
}

TEST(CommandTables, SelectedRows)
{
    EXPECT_EQ("FETCh[:SCALar][:FLUX]?", Pattern(75));
    EXPECT_EQ("FETCh:ARRay[:FLUX]?", Pattern(85));
    EXPECT_EQ("TRIGger[:SEQuence1]:COUNt", Pattern(223));
    EXPECT_EQ("UNIT:PPMReference", Pattern(238));
    EXPECT_EQ(&g_pTriggerInCount, Row(223).binding1);
    EXPECT_EQ(57, Row(223).statusBitRow);
    EXPECT_EQ(ScpiBusyAlways, Row(223).busyRule);
    EXPECT_EQ(ScpiBusyUnlessManualSearch, Row(66).busyRule);
    EXPECT_EQ(ScpiBusyAlways, Row(132).busyRule);  // a single query keeps its own rule
    EXPECT_EQ(62, Row(7).statusBitRow);
    EXPECT_EQ(&g_pParametersFormat, Row(95).binding1);
    EXPECT_EQ(&g_pTemperatureCurrentValue, Row(219).binding1);
    EXPECT_STREQ("CEL", Row(219).defaultUnit);
    EXPECT_EQ(1u, Row(219).genericFlag);
    // The address query is generic; its setting form is the dispatcher's.
    EXPECT_EQ(&g_pEthernetIpAddress, Row(189).binding1);
    EXPECT_EQ(1u, Row(189).genericFlag);
    EXPECT_EQ(&g_pNoNode, Row(190).binding1);
    EXPECT_EQ(0u, Row(190).genericFlag);

    // MEASure:ARRay? : count, then optional expected value, resolution and channel list.
    const ScpiParameterDescriptor* measure = ScpiParameterTable[103];
    EXPECT_EQ(ScpiKindChoice, measure[0].kind);
    EXPECT_EQ(0u, measure[0].optional);
    EXPECT_EQ(&ScpiChoiceRows[1], measure[0].descriptor);
    EXPECT_EQ(ScpiKindNumeric, measure[1].kind);
    EXPECT_EQ(1u, measure[1].optional);
    EXPECT_EQ(&ScpiNumericDescriptors[ScpiNumFlux], measure[1].descriptor);
    EXPECT_EQ(ScpiKindChoice, measure[2].kind);
    EXPECT_EQ(1u, measure[2].optional);
    EXPECT_EQ(ScpiKindChannelList, measure[3].kind);
    EXPECT_EQ(1u, measure[3].optional);

    // MMEMory:DATA sets a quoted name and a block; SYSTem:POFF takes an optional boolean.
    EXPECT_EQ(ScpiKindString, ScpiParameterTable[106][0].kind);
    EXPECT_EQ(ScpiKindBlock, ScpiParameterTable[106][1].kind);
    EXPECT_EQ(ScpiKindBoolean, ScpiParameterTable[218][0].kind);
    EXPECT_EQ(1u, ScpiParameterTable[218][0].optional);
    EXPECT_EQ(ScpiKindText, ScpiParameterTable[17][0].kind);
}

TEST(CommandTables, Descriptors)
{
    // Flux values take tesla, ppm and both frequencies; the ppm reference no ppm.
    const std::uint32_t* flux = ScpiNumericDescriptors[ScpiNumFlux].furtherKinds;
    ASSERT_NE(nullptr, flux);
    EXPECT_EQ(ScpiUnitTesla, flux[0]);
    EXPECT_EQ(ScpiUnitPpm, flux[1]);
    EXPECT_EQ(ScpiUnitHertzPerProton, flux[2]);
    EXPECT_EQ(ScpiUnitHertz, flux[3]);
    EXPECT_EQ(ScpiUnitListEnd, flux[4]);
    EXPECT_EQ(ScpiUnitNone, ScpiNumericDescriptors[ScpiNumFlux].unitKind);
    EXPECT_EQ(ScpiUnitTesla, ScpiNumericDescriptors[ScpiNumTesla].unitKind);
    EXPECT_EQ(flux, ScpiNumericDescriptors[ScpiNumTesla].furtherKinds);
    const std::uint32_t* reference = ScpiNumericDescriptors[ScpiNumReference].furtherKinds;
    ASSERT_NE(nullptr, reference);
    EXPECT_EQ(ScpiUnitTesla, reference[0]);
    EXPECT_EQ(ScpiUnitHertzPerProton, reference[1]);
    EXPECT_EQ(ScpiUnitHertz, reference[2]);
    EXPECT_EQ(ScpiUnitListEnd, reference[3]);
    EXPECT_EQ(nullptr, ScpiNumericDescriptors[ScpiNumVolt].furtherKinds);
    for (const ScpiNumericDescriptor& descriptor : ScpiNumericDescriptors) {
        EXPECT_EQ(0, descriptor.defaultExponent);
    }

    for (const ScpiChoiceRow& row : ScpiChoiceRows) {
        EXPECT_EQ(ScpiNoDefaultIndex, row.defaultIndex) << row.alternatives;
        EXPECT_EQ(row.fallbackKind == ScpiFallbackNone, row.fallbackDescriptor == nullptr)
            << row.alternatives;
    }
    EXPECT_EQ(ScpiFallbackBoolean, ScpiChoiceRows[3].fallbackKind);
    EXPECT_EQ(&ScpiBooleanNoDefault, ScpiChoiceRows[3].fallbackDescriptor);
    EXPECT_EQ(0u, ScpiBooleanNoDefault.flags);
    EXPECT_EQ(&ScpiNumericDescriptors[ScpiNumReference], ScpiChoiceRows[21].fallbackDescriptor);
    // The unit choice lists the seventeen measurement units, then DEFault.
    EXPECT_STREQ("T|MT|UT|NT|GAUSs|KGAUss|MGAUss|UGAUss|PPM|HZP|KHZP|MAHZP|GHZP|HZ|KHZ|MAHZ|"
                 "GHZ|DEFault",
                 ScpiChoiceRows[20].alternatives);

    EXPECT_EQ(ScpiChannelRangeChecked, ScpiChannelListParameter.flags);
    EXPECT_EQ(1, ScpiChannelListParameter.minimumLevels);
    EXPECT_EQ(6, ScpiChannelListParameter.maximumLevels);
    EXPECT_EQ(1, ScpiChannelListParameter.minimum);
    EXPECT_EQ(255, ScpiChannelListParameter.maximum);

    // Mega is MA, M is milli; the gauss names are written out in full.
    const auto suffix = [](const char* name) -> const ScpiSuffixUnitRow* {
        for (const ScpiSuffixUnitRow* row = ScpiSuffixUnitTable; row->name[0]; ++row)
            if (std::strcmp(row->name, name) == 0) return row;
        return nullptr;
    };
    ASSERT_NE(nullptr, suffix("MAHZ"));
    EXPECT_EQ(6, suffix("MAHZ")->exponent);
    EXPECT_EQ(ScpiUnitHertz, suffix("MAHZ")->kind);
    EXPECT_EQ(-3, suffix("MS")->exponent);
    EXPECT_EQ(-10, suffix("UGAUss")->exponent);
    EXPECT_EQ(ScpiUnitTesla, suffix("KGAUss")->kind);
    EXPECT_EQ(ScpiUnitHertzPerProton, suffix("GHZP")->kind);
    EXPECT_EQ(ScpiUnitVolt, suffix("MV")->kind);
    EXPECT_EQ(nullptr, suffix("MHZ"));
}

}  // namespace
}  // namespace Korvex
