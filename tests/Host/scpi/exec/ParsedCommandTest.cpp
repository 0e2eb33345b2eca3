// The parsed-command record: slots, keyword resolution, range and choices checks, the
// tolerant range check, rounding, INFinity, flux conversion, node setters and the
// mode-dependency rules, against the factory settings tree.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "Host/parameters/Bindings.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/scpi/exec/ParsedCommand.h"
#include "Host/scpi/units/MeasurementUnits.h"
#include "Host/scpi/exec/RecordFixture.h"

namespace Korvex::test {
namespace {

using ScpiRecordSlots = RecordTreeFixture;
using ScpiRecordGetters = RecordTreeFixture;
using ScpiRecordRange = RecordTreeFixture;
using ScpiRecordFlux = RecordTreeFixture;
using ScpiRecordNodeSetters = RecordTreeFixture;
using ScpiRecordApplies = RecordTreeFixture;

CKorvexChannel Address(std::initializer_list<std::uint8_t> levels)
{
    CKorvexChannel channel;
    for (std::uint8_t level : levels) channel.AddLevel(level);
    return channel;
}

// ---- slots ----

TEST_F(ScpiRecordSlots, ResetKeepsOnlyTheResponseAndFirstStatusLatches)
{
    ParsedCommand record = Parse("AVER2:COUN 8");
    record.AddChannel(1, Address({1, 2}));
    record.Latch(253);
    record.Latch(254);
    EXPECT_EQ(record.status, 253);
    record.indefiniteResponse = record.stop = 1;
    record.Reset();
    EXPECT_EQ(record.command, 0);
    EXPECT_TRUE(record.suffixes.empty());
    EXPECT_EQ(record.slotType[0], ParsedSlotNone);
    EXPECT_TRUE(record.strings[0].empty());
    EXPECT_TRUE(record.channels[1].empty());
    EXPECT_EQ(record.status + record.indefiniteResponse + record.stop, 0);
    EXPECT_EQ(record.response, &response);
    record.GetDouble(7, nullptr, false);  // no such slot
    EXPECT_EQ(record.status, ParsedInconsistent);
}

TEST_F(ScpiRecordSlots, ChoiceStoresTheAlternativeText)
{
    EXPECT_EQ(Parse("CONF:MODE man").strings[0], "MANual");
    EXPECT_EQ(Parse("CONF:LEV maximum").strings[0], "MAXimum");
    EXPECT_EQ(Parse("OUTP:TRIG:WIDT INF").strings[0], "INFinity");
    ParsedCommand record = Parse("CONF:MODE AUTO");
    EXPECT_EQ(record.slotType[0], ParsedSlotChoice);
    EXPECT_EQ(record.strings[0], "AUTO");
    record.SetChoice(0, 2);  // "AUTO|MANual" has two alternatives
    EXPECT_EQ(record.status, ParsedInconsistent);
    ParsedCommand noChoice = Parse("*ESE 4");
    noChoice.SetChoice(0, 0);
    EXPECT_EQ(noChoice.status, ParsedInconsistent);
}

TEST_F(ScpiRecordSlots, NumbersCarryTheirUnitKind)
{
    ParsedCommand volts = Parse("CONF:LEV 5 MV");
    EXPECT_EQ(volts.slotType[0], ParsedSlotNumber);
    EXPECT_DOUBLE_EQ(volts.doubles[0], 0.005);
    EXPECT_EQ(volts.unitKinds[0], ScpiUnitVolt);
    // A bare number has the descriptor's kind: the trigger output level is in tesla.
    ParsedCommand tesla = Parse("TRIG:SEQ2:LEV 5");
    EXPECT_EQ(tesla.slotType[0], ParsedSlotInteger);
    EXPECT_EQ(tesla.integers[0], 5);
    EXPECT_EQ(tesla.unitKinds[0], ScpiUnitTesla);
    // A flux setting without a unit takes the selected unit: kind 0.
    EXPECT_EQ(Parse("CONF:SEAR:HIGH 2").unitKinds[0], ScpiUnitNone);
}

TEST_F(ScpiRecordSlots, SuffixIsKeptWhole)
{
    // 258 is not 1 or 2, so the first binding serves: the signal averaging count (a
    // suffix cut to 8 bits would have picked the second binding).
    ParsedCommand record = Parse("AVER258:COUN 7");
    ASSERT_EQ(record.suffixes.size(), 1u);
    EXPECT_EQ(record.suffixes[0], 258u);
    EXPECT_EQ(ScpiCommandAttributeTable[record.command].binding1, &g_pSignalAveragingCount);
    EXPECT_EQ(record.GetInt32(0, g_pSignalAveragingCount), 7);
    EXPECT_EQ(record.status, 0);
    EXPECT_EQ(Parse("AVER70000:COUN 7").suffixes.at(0), 70000u);
}

TEST_F(ScpiRecordSlots, ChannelListKeepsFiveLevelsAndAtMost1024Addresses)
{
    ParsedCommand record;
    CKorvexChannel wide = Address({1, 2, 3, 4, 5});
    wide.count = 9;  // a damaged count is clamped on the way in
    record.AddChannel(0, wide);
    ASSERT_EQ(record.channels[0].size(), 1u);
    EXPECT_EQ(record.channels[0][0].count, 5);
    for (unsigned i = 1; i < ParsedCommand::MaxChannelAddresses; ++i)
        record.AddChannel(0, Address({1, 1}));
    EXPECT_EQ(record.status, 0);
    EXPECT_EQ(record.channels[0].size(), 1024u);
    record.AddChannel(0, Address({1, 2}));
    EXPECT_EQ(record.status, ParsedChannelListError);
    EXPECT_EQ(record.channels[0].size(), 1024u);
    // The limit is per parameter.
    record.AddChannel(1, Address({1}));
    EXPECT_EQ(record.channels[1].size(), 1u);
}

TEST_F(ScpiRecordSlots, ListAndBlockCopies)
{
    ParsedCommand record;
    EXPECT_TRUE(record.GetChannelList(0).empty());
    EXPECT_TRUE(record.GetBlock(0).empty());
    EXPECT_EQ(record.status, 0);
    record.AddChannel(0, Address({1, 3}));
    record.SetBlock(1, {0, 255, 7});
    const auto list = record.GetChannelList(0);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0][1], 3);
    EXPECT_EQ(record.GetBlock(1), (std::vector<std::uint8_t>{0, 255, 7}));
    // A block slot that was reset keeps stale bytes, which must not be handed out.
    record.Reset();
    EXPECT_TRUE(record.GetBlock(1).empty());
    record.SetInteger(2, 1, 0);
    EXPECT_TRUE(record.GetBlock(2).empty());
    EXPECT_EQ(record.status, ParsedInconsistent);
}

// ---- getters ----

TEST_F(ScpiRecordGetters, KeywordsResolveAgainstTheNode)
{
    CParameterNode* level = g_pMeasurementLevel;  // 0 .. 2.5, default 0.2
    CParameterNode::SetFloat64Attribute(level, eAttrValue, 1.25);
    ParsedCommand max = Parse("CONF:LEV MAX");
    EXPECT_DOUBLE_EQ(max.GetDouble(0, level, true), 2.5);
    ParsedCommand min = Parse("CONF:LEV MIN");
    EXPECT_DOUBLE_EQ(min.GetDouble(0, level, true), 0.0);
    ParsedCommand def = Parse("CONF:LEV DEF");
    EXPECT_DOUBLE_EQ(def.GetDouble(0, level, true), 0.2);
    ParsedCommand volts = Parse("CONF:LEV 5 V");
    EXPECT_DOUBLE_EQ(volts.GetDouble(0, level, false), 5.0);
    for (const ParsedCommand* r : {&max, &min, &def, &volts}) EXPECT_EQ(r->status, 0);
    // Missing: GetDouble gives the current value, GetInt32 the default.
    ParsedCommand query = Parse("CONF:LEV?");
    EXPECT_DOUBLE_EQ(query.GetDouble(0, level, true), 1.25);
    CParameterNode::SetInt32Attribute(g_pMeasurementPoints, eAttrValue, 44);
    EXPECT_EQ(query.GetInt32(0, g_pMeasurementPoints), 10);
    ParsedCommand points = Parse("CONF:POIN MAX");
    EXPECT_EQ(points.GetInt32(0, g_pMeasurementPoints), 1000);
    EXPECT_EQ(query.status, 0);
    EXPECT_EQ(points.status, 0);
}

TEST_F(ScpiRecordGetters, BooleansAndStrings)
{
    ParsedCommand on = Parse("AVER:STAT ON");
    EXPECT_EQ(on.GetBool(0, g_pSignalAveragingActive), 1);
    ParsedCommand def = Parse("AVER:STAT DEF");
    SetFlag(g_pSignalAveragingActive, true);
    EXPECT_EQ(def.GetBool(0, g_pSignalAveragingActive), 0);  // the default, not the value
    ParsedCommand missing = Parse("AVER:STAT?");
    EXPECT_EQ(missing.GetBool(0, g_pSignalAveragingActive), 0);
    for (const ParsedCommand* r : {&on, &def, &missing}) EXPECT_EQ(r->status, 0);

    ParsedCommand mode = Parse("CONF:MODE MAN");
    EXPECT_EQ(mode.GetString(0, g_pMeasurementMode), "MANual");
    EXPECT_EQ(mode.status, 0);
    ParsedCommand source = Parse("TRIG:SOUR DEF");
    EXPECT_EQ(source.GetString(0, g_pTriggerInSource), "IMMediate");
    EXPECT_EQ(source.status, 0);
}

TEST_F(ScpiRecordGetters, ChoiceNotAmongTheNodesChoicesIsOutOfRange)
{
    ParsedCommand record;
    record.SetString(0, "CUSTom");
    EXPECT_EQ(record.GetString(0, g_pMeasurementMode), "CUSTom");  // AUTO|MANual
    EXPECT_EQ(record.status, ParsedOutOfRange);
    // An empty choices text accepts anything.
    ParsedCommand free;
    free.SetString(0, "anything");
    EXPECT_EQ(free.GetString(0, g_pEthernetDomain), "anything");
    EXPECT_EQ(free.status, 0);
}

TEST_F(ScpiRecordGetters, NullNodeTakesExplicitValuesOnly)
{
    ParsedCommand explicitValues = Parse("*ESE 32");
    EXPECT_EQ(explicitValues.GetInt32(0, nullptr), 32);
    EXPECT_DOUBLE_EQ(explicitValues.GetDouble(0, nullptr, true), 32.0);
    explicitValues.SetString(1, "text");
    EXPECT_EQ(explicitValues.GetString(1, nullptr), "text");
    explicitValues.SetBool(2, 1);
    EXPECT_EQ(explicitValues.GetBool(2, nullptr), 1);
    EXPECT_EQ(explicitValues.status, 0);

    for (const char* unit : {"CONF:LEV MAX", "CONF:LEV?"}) {
        ParsedCommand r = Parse(unit);
        EXPECT_EQ(r.GetDouble(0, nullptr, false), 0.0) << unit;
        EXPECT_EQ(r.status, ParsedInconsistent) << unit;
    }
    ParsedCommand def = Parse("AVER:STAT DEF");
    EXPECT_EQ(def.GetBool(0, nullptr), 0);
    EXPECT_EQ(def.status, ParsedInconsistent);
}

TEST_F(ScpiRecordGetters, UnexpectedSlotTypeIsInconsistent)
{
    ParsedCommand text;
    text.SetString(0, "5");
    EXPECT_EQ(text.GetInt32(0, g_pMeasurementPoints), 0);
    EXPECT_EQ(text.status, ParsedInconsistent);
    ParsedCommand number = Parse("CONF:POIN 5");
    EXPECT_EQ(number.GetBool(0, g_pMeasurementReject), 0);
    EXPECT_EQ(number.status, ParsedInconsistent);
    ParsedCommand keyword = Parse("CONF:MODE MAN");
    EXPECT_EQ(keyword.GetBool(0, g_pMeasurementReject), 0);  // a keyword other than DEFault
    EXPECT_EQ(keyword.status, ParsedInconsistent);
    ParsedCommand wrongNode = Parse("CONF:POIN MAX");
    EXPECT_EQ(wrongNode.GetInt32(0, g_pMeasurementMode), 0);  // a String node has no maximum
    EXPECT_EQ(wrongNode.status, ParsedInconsistent);
    ParsedCommand attribute;
    EXPECT_EQ(attribute.GetNodeString(g_pSearchMode, eAttrChoices), "AUTO|CUSTom|MANual");
    EXPECT_EQ(attribute.status, 0);
    EXPECT_EQ(attribute.GetNodeString(g_pSearchLevel, eAttrValue), "");
    EXPECT_EQ(attribute.status, ParsedInconsistent);
}

// ---- ranges, rounding, INFinity ----

TEST_F(ScpiRecordRange, ToleranceOf1eMinus14OfTheLimitsMagnitude)
{
    CParameterNode* high = g_pSearchHigh;  // 0.04 .. 14: the scale of 14 is 8
    auto check = [high](double value) {
        ParsedCommand record;
        record.SetNumber(0, value, ScpiUnitTesla);
        const double result = record.GetDouble(0, high, true);
        EXPECT_EQ(result, value);  // never clamped
        return record.status;
    };
    EXPECT_EQ(check(14.0 + 5e-14), 0);
    EXPECT_EQ(check(14.0 + 2e-13), ParsedOutOfRange);
    EXPECT_EQ(check(0.04 - 2e-16), 0);  // the scale of 0.04 is 2^-5
    EXPECT_EQ(check(0.04 - 1e-15), ParsedOutOfRange);
    // A limit of 0 has the scale 1.
    ParsedCommand atZero;
    atZero.SetNumber(0, -5e-15, 0);
    atZero.GetDouble(0, g_pMeasurementLevel, true);
    EXPECT_EQ(atZero.status, 0);
    ParsedCommand belowZero;
    belowZero.SetNumber(0, -2e-14, 0);
    belowZero.GetDouble(0, g_pMeasurementLevel, true);
    EXPECT_EQ(belowZero.status, ParsedOutOfRange);
    // Without the check flag nothing is tested.
    ParsedCommand unchecked;
    unchecked.SetNumber(0, 99.0, 0);
    EXPECT_EQ(unchecked.GetDouble(0, high, false), 99.0);
    EXPECT_EQ(unchecked.status, 0);
}

TEST_F(ScpiRecordRange, IntegersAreCheckedExactly)
{
    CParameterNode* count = g_pSignalAveragingCount;  // 1 .. 1024
    auto get = [count](std::int32_t value, std::uint8_t& status) {
        ParsedCommand record;
        record.SetInteger(0, value, 0);
        const std::int32_t result = record.GetInt32(0, count);
        status = record.status;
        return result;
    };
    std::uint8_t status = 0;
    EXPECT_EQ(get(1024, status), 1024);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(get(1, status), 1);
    EXPECT_EQ(status, 0);
    get(1025, status);
    EXPECT_EQ(status, ParsedOutOfRange);
    get(0, status);
    EXPECT_EQ(status, ParsedOutOfRange);
}

TEST_F(ScpiRecordRange, DoublesForIntegerNodesRoundHalfAwayFromZero)
{
    auto get = [](double value, CParameterNode* node, std::uint8_t& status) {
        ParsedCommand record;
        record.SetNumber(0, value, 0);
        const std::int32_t result = record.GetInt32(0, node);
        status = record.status;
        return result;
    };
    std::uint8_t status = 0;
    EXPECT_EQ(get(2.5, nullptr, status), 3);
    EXPECT_EQ(get(-2.5, nullptr, status), -3);
    EXPECT_EQ(get(1.49999, nullptr, status), 1);
    EXPECT_EQ(get(-0.4, nullptr, status), 0);
    EXPECT_EQ(status, 0);
    // Rounded, then checked: 0.5 becomes 1, inside 1..1000; 1000.5 becomes 1001.
    EXPECT_EQ(get(0.5, g_pMeasurementPoints, status), 1);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(get(1000.4, g_pMeasurementPoints, status), 1000);
    EXPECT_EQ(status, 0);
    get(1000.5, g_pMeasurementPoints, status);
    EXPECT_EQ(status, ParsedOutOfRange);
    // Through the parser: 3.25e1 has a negative exponent and arrives as a double.
    ParsedCommand ese = Parse("*ESE 3.25e1");
    EXPECT_EQ(ese.slotType[0], ParsedSlotNumber);
    EXPECT_EQ(ese.GetInt32(0, g_pStatusEse), 33);
    EXPECT_EQ(ese.status, 0);
}

TEST_F(ScpiRecordRange, NumberBeyond32BitsIsADouble)
{
    // 3e9 does not fit 32 bits: kept as a double, right for a Float64 setting...
    ParsedCommand record = Parse("*ESE 3e9");
    ASSERT_EQ(record.slotType[0], ParsedSlotNumber);
    EXPECT_EQ(record.GetDouble(0, g_pRfFrequency, true), 3e9);
    EXPECT_EQ(record.status, 0);
    // ...and out of range for every integer node, or with no node at all.
    EXPECT_EQ(record.GetInt32(0, g_pStatusEse), 0);
    EXPECT_EQ(record.status, ParsedOutOfRange);
    ParsedCommand bare = Parse("*ESE -3e9");
    EXPECT_EQ(bare.GetInt32(0, nullptr), 0);
    EXPECT_EQ(bare.status, ParsedOutOfRange);
}

TEST_F(ScpiRecordRange, InfinityTakesTheNodesMaximum)
{
    ParsedCommand width = Parse("OUTP:TRIG:WIDT INF");
    EXPECT_DOUBLE_EQ(width.GetDouble(0, g_pTriggerOutWidth, true), 1.0);
    EXPECT_EQ(width.status, 0);
    ParsedCommand integer = Parse("OUTP:TRIG:WIDT INF");
    EXPECT_EQ(integer.GetInt32(0, g_pTriggerInCount), 1024);
    EXPECT_EQ(integer.status, 0);
    // No node, or a node without a maximum: an illegal value, not a firmware error.
    ParsedCommand none = Parse("OUTP:TRIG:WIDT INF");
    EXPECT_EQ(none.GetDouble(0, nullptr, true), 0.0);
    EXPECT_EQ(none.status, ParsedIllegalValue);
    ParsedCommand noMaximum = Parse("OUTP:TRIG:WIDT INF");
    EXPECT_EQ(noMaximum.GetInt32(0, g_pTriggerOutState), 0);
    EXPECT_EQ(noMaximum.status, ParsedIllegalValue);
    // Another keyword with no node stays an internal inconsistency.
    ParsedCommand min = Parse("OUTP:TRIG:WIDT MIN");
    min.GetInt32(0, nullptr);
    EXPECT_EQ(min.status, ParsedInconsistent);
}

// ---- flux ----

TEST_F(ScpiRecordFlux, SuffixUnitBeatsTheSelectedUnit)
{
    for (std::uint32_t selected : {eUnitT, eUnitMT, eUnitGAUSs}) {
        ParsedCommand record = Parse("CONF:SEAR:HIGH 500 MT");
        EXPECT_DOUBLE_EQ(record.GetFluxDouble(0, g_pSearchHigh, selected, eUnitT), 0.5);
        EXPECT_EQ(record.status, 0);
    }
    ParsedCommand gauss = Parse("CONF:SEAR:HIGH 1000 GAUSS");
    EXPECT_DOUBLE_EQ(gauss.GetFluxDouble(0, g_pSearchHigh, eUnitMT, eUnitT), 0.1);
    EXPECT_EQ(gauss.status, 0);
}

TEST_F(ScpiRecordFlux, BareNumberTakesTheSelectedUnitOrTheDescriptorsKind)
{
    ParsedCommand bare = Parse("CONF:SEAR:HIGH 500");
    EXPECT_DOUBLE_EQ(bare.GetFluxDouble(0, g_pSearchHigh, eUnitMT, eUnitT), 0.5);
    EXPECT_EQ(bare.status, 0);
    // The trigger output level's descriptor is in tesla: 5 is 5 T even with MT selected.
    ParsedCommand level = Parse("TRIG:SEQ2:LEV 5");
    EXPECT_DOUBLE_EQ(level.GetFluxDouble(0, g_pTriggerOutLevel, eUnitMT, eUnitT), 5.0);
    EXPECT_EQ(level.status, 0);
}

TEST_F(ScpiRecordFlux, KeywordsAndMissingAreNotConverted)
{
    CParameterNode::SetFloat64Attribute(g_pSearchHigh, eAttrValue, 3.0);
    ParsedCommand max = Parse("CONF:SEAR:HIGH MAX");
    EXPECT_DOUBLE_EQ(max.GetFluxDouble(0, g_pSearchHigh, eUnitMT, eUnitT), 14.0);
    ParsedCommand missing;
    EXPECT_DOUBLE_EQ(missing.GetFluxDouble(0, g_pSearchHigh, eUnitMT, eUnitT), 3.0);
    EXPECT_EQ(max.status, 0);
    EXPECT_EQ(missing.status, 0);
}

TEST_F(ScpiRecordFlux, FailuresAndRange)
{
    // Converted, then checked in the node's unit: 20000 MT is 20 T > 14 T.
    ParsedCommand high = Parse("CONF:SEAR:HIGH 20000 MT");
    EXPECT_DOUBLE_EQ(high.GetFluxDouble(0, g_pSearchHigh, eUnitT, eUnitT), 20.0);
    EXPECT_EQ(high.status, ParsedOutOfRange);
    // A selected unit the units table does not know.
    ParsedCommand unknown = Parse("CONF:SEAR:HIGH 2");
    EXPECT_DOUBLE_EQ(unknown.GetFluxDouble(0, g_pSearchHigh, KorvexParseUnits("XX"), eUnitT),
                     2.0);
    EXPECT_EQ(unknown.status, ParsedWrongUnits);
    // A frequency of the probe's nucleus with no probe selected.
    ParsedCommand hertz = Parse("CONF:SEAR:HIGH 42 MAHZ");
    hertz.GetFluxDouble(0, g_pSearchHigh, eUnitT, eUnitT);
    EXPECT_EQ(hertz.status, ParsedNoProbe);
    // With a probe it converts.
    KorvexSetProbeGyroRatioSource([](double& ratio) {
        ratio = 42.0e6;
        return 0;
    });
    ParsedCommand probe = Parse("CONF:SEAR:HIGH 42 MAHZ");
    EXPECT_NEAR(probe.GetFluxDouble(0, g_pSearchHigh, eUnitT, eUnitT), 1.0, 1e-12);
    EXPECT_EQ(probe.status, 0);
    // Proton frequency and ppm of the reference field (1 T).
    ParsedCommand ppm = Parse("CONF:SEAR:HIGH 1e6 PPM");
    EXPECT_NEAR(ppm.GetFluxDouble(0, g_pSearchHigh, eUnitT, eUnitT), 2.0, 1e-9);
    EXPECT_EQ(ppm.status, 0);
}

// ---- node setters ----

void CountCall(CParameterNode*, int event, void* user)
{
    if (event == eEventValueChanged) ++*static_cast<int*>(user);
}

TEST_F(ScpiRecordNodeSetters, StoreOnlyChangesAndCallSubscribersOnce)
{
    int calls = 0;
    ASSERT_EQ(CParameterNode::Subscribe(g_pMeasurementLevel, CountCall, &calls), 0);
    ParsedCommand record;
    record.SetNodeDouble(g_pMeasurementLevel, eAttrValue, 1.5);
    EXPECT_EQ(Float(g_pMeasurementLevel), 1.5);
    EXPECT_EQ(calls, 1);
    record.SetNodeDouble(g_pMeasurementLevel, eAttrValue, 1.5);
    EXPECT_EQ(calls, 1);
    // Within the tolerance above the maximum: stored unchanged.
    record.SetNodeDouble(g_pMeasurementLevel, eAttrValue, 2.5 + 1e-15);
    EXPECT_EQ(Float(g_pMeasurementLevel), 2.5 + 1e-15);
    EXPECT_EQ(record.status, 0);

    record.SetNodeInt32(g_pMeasurementPoints, eAttrValue, 1000);
    record.SetNodeBool(g_pMeasurementReject, eAttrValue, true);
    record.SetNodeString(g_pMeasurementMode, eAttrValue, "MANual");
    EXPECT_EQ(CParameterNode::GetInt32Attribute(g_pMeasurementPoints, eAttrValue), 1000);
    EXPECT_TRUE(CParameterNode::GetBooleanAttribute(g_pMeasurementReject, eAttrValue));
    EXPECT_EQ(CParameterNode::GetStringAttribute(g_pMeasurementMode, eAttrValue), "MANual");
    EXPECT_EQ(record.status, 0);
}

TEST_F(ScpiRecordNodeSetters, RefusedValuesStoreNothing)
{
    ParsedCommand range;
    range.SetNodeInt32(g_pMeasurementPoints, eAttrValue, 1001);
    EXPECT_EQ(range.status, ParsedOutOfRange);
    EXPECT_EQ(CParameterNode::GetInt32Attribute(g_pMeasurementPoints, eAttrValue), 10);
    ParsedCommand doubles;
    doubles.SetNodeDouble(g_pMeasurementLevel, eAttrValue, 2.6);
    EXPECT_EQ(doubles.status, ParsedOutOfRange);
    EXPECT_EQ(Float(g_pMeasurementLevel), 0.2);
    ParsedCommand choice;
    choice.SetNodeString(g_pMeasurementMode, eAttrValue, "CUSTom");
    EXPECT_EQ(choice.status, ParsedInconsistent);
    EXPECT_EQ(CParameterNode::GetStringAttribute(g_pMeasurementMode, eAttrValue), "AUTO");
    // A latched status blocks every store.
    ParsedCommand latched;
    latched.Latch(ParsedWrongUnits);
    latched.SetNodeDouble(g_pMeasurementLevel, eAttrValue, 1.0);
    latched.SetNodeBool(g_pMeasurementReject, eAttrValue, true);
    EXPECT_EQ(Float(g_pMeasurementLevel), 0.2);
    EXPECT_FALSE(CParameterNode::GetBooleanAttribute(g_pMeasurementReject, eAttrValue));
    EXPECT_EQ(latched.status, ParsedWrongUnits);
    // Null node, another node type, an attribute the type lacks.
    ParsedCommand null;
    null.SetNodeBool(nullptr, eAttrValue, true);
    EXPECT_EQ(null.status, ParsedInconsistent);
    ParsedCommand type;
    type.SetNodeInt32(g_pMeasurementLevel, eAttrValue, 1);
    EXPECT_EQ(type.status, ParsedInconsistent);
    ParsedCommand attribute;
    attribute.SetNodeInt32(g_pMeasurementPoints, eAttrChoices, 1);
    EXPECT_EQ(attribute.status, ParsedInconsistent);
}

// ---- mode dependency ----

TEST_F(ScpiRecordApplies, SearchRows)
{
    // Factory: search mode AUTO.
    EXPECT_EQ(ParsedCommand::CheckSettingApplies(g_pSearchFstep), SettingHasNoEffect);
    EXPECT_EQ(ParsedCommand::CheckSettingApplies(g_pSearchValue), SettingHasNoEffect);
    EXPECT_EQ(ParsedCommand::CheckSettingApplies(g_pSearchLevel), SettingHasNoEffect);
    SetText(g_pSearchMode, "CUSTom");
    EXPECT_EQ(ParsedCommand::CheckSettingApplies(g_pSearchFstep), SettingApplies);
    EXPECT_EQ(ParsedCommand::CheckSettingApplies(g_pSearchValue), SettingHasNoEffect);
    EXPECT_EQ(ParsedCommand::CheckSettingApplies(g_pSearchLevel), SettingApplies);
    SetText(g_pSearchMode, "MANual");
    EXPECT_EQ(ParsedCommand::CheckSettingApplies(g_pSearchFstep), SettingHasNoEffect);
    EXPECT_EQ(ParsedCommand::CheckSettingApplies(g_pSearchValue), SettingApplies);
    EXPECT_EQ(ParsedCommand::CheckSettingApplies(g_pSearchLevel), SettingApplies);
}

TEST_F(ScpiRecordApplies, ModeRowsOfTheMeasurement)
{
    struct Row {
        std::vector<CParameterNode*> nodes;
        CParameterNode* mode;
    };
    const Row rows[] = {
        {{g_pProbeMatching, g_pProbeTuning}, g_pProbeMatchingTuningMode},
        {{g_pSampleOffset, g_pSampleLength, g_pSampleRate}, g_pSampleMode},
        {{g_pPulsePeriod, g_pPulseWidth}, g_pPulseMode},
        {{g_pMeasurementReject, g_pMeasurementLevel, g_pMeasurementBandwidth,
          g_pMeasurementPoints, g_pMeasurementHysteresis, g_pTrackingMaxFreq, g_pTrackingMinFreq,
          g_pTrackingHysteresis},
         g_pMeasurementMode},
    };
    for (const Row& row : rows) {
        for (CParameterNode* node : row.nodes) {
            EXPECT_EQ(ParsedCommand::CheckSettingApplies(node), SettingHasNoEffect)
                << node->GetName();
        }
        SetText(row.mode, "MANual");
        for (CParameterNode* node : row.nodes) {
            EXPECT_EQ(ParsedCommand::CheckSettingApplies(node), SettingApplies)
                << node->GetName();
        }
    }
    // Boolean and String nodes of these rows take their forms with a value.
    SetText(g_pMeasurementMode, "AUTO");
    EXPECT_EQ(ParsedCommand::CheckSettingApplies(g_pMeasurementReject, true), SettingHasNoEffect);
}

TEST_F(ScpiRecordApplies, AveragingRows)
{
    const struct {
        CParameterNode* active;
        CParameterNode* count;
        CParameterNode* type;
    } rows[] = {
        {g_pSignalAveragingActive, g_pSignalAveragingCount, g_pSignalAveragingType},
        {g_pMeasurementAveragingActive, g_pMeasurementAveragingCount, g_pMeasurementAveragingType},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(ParsedCommand::CheckSettingApplies(row.count), SettingHasNoEffect);
        EXPECT_EQ(ParsedCommand::CheckSettingApplies(row.type, "MOVing"), SettingHasNoEffect);
        SetFlag(row.active, true);
        EXPECT_EQ(ParsedCommand::CheckSettingApplies(row.count), SettingApplies);
        EXPECT_EQ(ParsedCommand::CheckSettingApplies(row.type, "MOVing"), SettingApplies);
    }
}

TEST_F(ScpiRecordApplies, TriggerRows)
{
    // Factory: source IMMediate, output off.
    EXPECT_EQ(ParsedCommand::CheckSettingApplies(g_pTriggerInTimer), SettingHasNoEffect);
    EXPECT_EQ(ParsedCommand::CheckSettingApplies(g_pTriggerInSlope, "NEGative"),
              SettingHasNoEffect);
    EXPECT_EQ(ParsedCommand::CheckSettingApplies(g_pTriggerOutState, true), SettingApplies);
    EXPECT_EQ(ParsedCommand::CheckSettingApplies(g_pTriggerInSource, "EXTernal"), SettingApplies);
    for (CParameterNode* node : {g_pTriggerOutLevel, g_pTriggerOutWidth, g_pTriggerOutDelay})
        EXPECT_EQ(ParsedCommand::CheckSettingApplies(node), SettingHasNoEffect);
    for (CParameterNode* node : {g_pTriggerOutSlope, g_pTriggerOutShape, g_pTriggerOutPolarity})
        EXPECT_EQ(ParsedCommand::CheckSettingApplies(node, "x"), SettingHasNoEffect);

    SetText(g_pTriggerInSource, "TIMer");
    EXPECT_EQ(ParsedCommand::CheckSettingApplies(g_pTriggerInTimer), SettingApplies);

    SetText(g_pTriggerInSource, "EXTernal");
    EXPECT_EQ(ParsedCommand::CheckSettingApplies(g_pTriggerInSlope, std::string("EITHer")),
              SettingApplies);
    EXPECT_EQ(ParsedCommand::CheckSettingApplies(g_pTriggerOutState, true), SettingConflicts);
    EXPECT_EQ(ParsedCommand::CheckSettingApplies(g_pTriggerOutState, false), SettingApplies);

    SetText(g_pTriggerInSource, "IMMediate");
    SetFlag(g_pTriggerOutState, true);
    EXPECT_EQ(ParsedCommand::CheckSettingApplies(g_pTriggerInSource, "EXTernal"),
              SettingConflicts);
    EXPECT_EQ(ParsedCommand::CheckSettingApplies(g_pTriggerInSource, "BUS"), SettingApplies);
    for (CParameterNode* node : {g_pTriggerOutLevel, g_pTriggerOutWidth, g_pTriggerOutDelay})
        EXPECT_EQ(ParsedCommand::CheckSettingApplies(node), SettingApplies);
    EXPECT_EQ(ParsedCommand::CheckSettingApplies(g_pTriggerOutShape, "PULSe"), SettingApplies);
}

TEST_F(ScpiRecordApplies, EverythingElseApplies)
{
    for (CParameterNode* node : {g_pSearchLow, g_pSearchHigh, g_pStatusEse, g_pUnitsPpmRef,
                                 g_pTriggerInCount}) {
        EXPECT_EQ(ParsedCommand::CheckSettingApplies(node), SettingApplies) << node->GetName();
    }
    EXPECT_EQ(ParsedCommand::CheckSettingApplies(nullptr), SettingApplies);
    EXPECT_EQ(ParsedCommand::CheckSettingApplies(g_pSearchMode, "MANual"), SettingApplies);
}

}  // namespace
}  // namespace Korvex::test
