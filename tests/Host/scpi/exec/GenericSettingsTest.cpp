// The table-driven settings get and set against the factory settings tree: bindings by
// suffix, queries with MINimum/MAXimum/DEFault and units, flux conversion both ways, the
// mode-dependency rules, the busy rules and the refusals that end a command.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Host/parameters/Bindings.h"
#include "Host/parameters/Error.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/scpi/exec/GenericSettings.h"
#include "Host/scpi/exec/ParsedCommand.h"
#include "Host/scpi/exec/RecordFixture.h"
#include "Host/scpi/status/KorvexScpiStatus.h"
#include "Host/scpi/units/MeasurementUnits.h"

namespace Korvex::test {
namespace {

// Error rows.
constexpr std::uint32_t SettingsConflict = 52;     // -221
constexpr std::uint32_t FirmwareError = 127;       // 200
constexpr std::uint32_t NoSelectedChannel = 129;   // 202

class GenericFixture : public RecordTreeFixture {
protected:
    void SetUp() override
    {
        RecordTreeFixture::SetUp();
        // Events latched by earlier tests in other blocks are of no concern here.
        for (std::uint32_t reg = 1; reg < StatusRegisterCount; ++reg)
            CKorvexScpiStatus::ReadAndClearEvent(&block, reg);
        while (CKorvexScpiStatus::PopError(&block) != 0) {}
    }

    // Runs one unit through the generic get/set; the reply of a query lands in response.
    bool Run(const std::string& unit, bool triggerActive = false)
    {
        last = Parse(unit);
        last.mark = static_cast<std::uint32_t>(response.size());
        return GetSetSetting(last, &block, triggerActive);
    }

    std::string Query(const std::string& unit)
    {
        response.clear();
        Run(unit);
        EXPECT_EQ(last.status, 0) << unit;
        return response;
    }

    std::vector<std::uint32_t> Errors()
    {
        std::vector<std::uint32_t> rows;
        for (std::uint32_t row = CKorvexScpiStatus::PopError(&block); row != 0;
             row = CKorvexScpiStatus::PopError(&block))
            rows.push_back(row);
        return rows;
    }

    std::uint16_t Event(std::uint32_t reg)
    {
        return CKorvexScpiStatus::ReadAndClearEvent(&block, reg);
    }

    static std::int32_t Integer(CParameterNode* node)
    {
        return CParameterNode::GetInt32Attribute(node, eAttrValue);
    }
    static std::string Text(CParameterNode* node)
    {
        return CParameterNode::GetStringAttribute(node, eAttrValue);
    }
    static bool Flag(CParameterNode* node)
    {
        return CParameterNode::GetBooleanAttribute(node, eAttrValue);
    }

    void InstallProbe(int status, double ratio)
    {
        KorvexSetProbeGyroRatioSource([status, ratio](double& out) {
            out = ratio;
            return status;
        });
    }

    CKorvexScpiStatus block{nullptr, nullptr, nullptr};
    ParsedCommand last;
};

using ScpiGenericBinding = GenericFixture;
using ScpiGenericQuery = GenericFixture;
using ScpiGenericSet = GenericFixture;
using ScpiGenericFlux = GenericFixture;
using ScpiGenericBusy = GenericFixture;

// Counts value changes only: the tree's deletion at tear-down notifies too, after the
// counter has gone.
void CountCall(CParameterNode*, int event, void* user)
{
    if (event == eEventValueChanged) ++*static_cast<int*>(user);
}

// ---- bindings ----

TEST_F(ScpiGenericBinding, SuffixTwoTakesTheSecondBindingAnyOtherTheFirst)
{
    EXPECT_TRUE(Run("AVER2:COUN 8"));
    EXPECT_EQ(last.status, 0);
    EXPECT_EQ(Integer(g_pMeasurementAveragingCount), 8);
    EXPECT_EQ(Integer(g_pSignalAveragingCount), 16);
    EXPECT_EQ(Query("AVER2:COUN? MAX"), "1024");
    EXPECT_EQ(Query("AVER1:COUN?"), "16");
    // 258 would be 2 if the suffix were cut to 8 bits.
    EXPECT_TRUE(Run("AVER258:COUN 7"));
    EXPECT_EQ(last.status, 0);
    EXPECT_EQ(Integer(g_pSignalAveragingCount), 7);
    EXPECT_EQ(Integer(g_pMeasurementAveragingCount), 8);
    EXPECT_TRUE(Errors().empty());
}

TEST_F(ScpiGenericBinding, CommandsWithoutNodeAreLeftToTheDispatcher)
{
    EXPECT_FALSE(Run("*IDN?"));
    EXPECT_FALSE(Run("INIT"));
    EXPECT_FALSE(Run("CONF:SEAR:MODE MAN"));  // the set form binds no node
    EXPECT_EQ(Text(g_pSearchMode), "AUTO");
    // An unbound tree: nothing to serve.
    g_pMeasurementLevel = nullptr;
    EXPECT_FALSE(Run("CONF:LEV 1"));
    EXPECT_TRUE(response.empty());
    EXPECT_TRUE(Errors().empty());
    // A command number outside the tables ends the command as an inconsistency.
    ParsedCommand bad(&response);
    bad.command = 250;
    EXPECT_TRUE(GetSetSetting(bad, &block, false));
    EXPECT_EQ(bad.status, ParsedInconsistent);
}

// ---- queries ----

TEST_F(ScpiGenericQuery, FormatsByNodeTypeWithTheUnit)
{
    EXPECT_EQ(Query("CONF:LEV?"), "0.2 V");
    EXPECT_EQ(Query("SOUR:PULS:WIDT? MIN"), "1e-06 S");
    EXPECT_EQ(Query("SYST:COMM:VXI11?"), "1");
    EXPECT_EQ(Query("CONF:POIN? MAX"), "1000");
    EXPECT_EQ(Query("SYST:COMM:ETH:ADDR?"), "169.254.1.1");
    // Items after the mark get a separator; the first item of a command does not.
    response = "x";
    last = Parse("CONF:MODE?");
    last.mark = 0;
    EXPECT_TRUE(GetSetSetting(last, &block, false));
    EXPECT_EQ(response, "x,AUTO");
    EXPECT_TRUE(Errors().empty());
}

TEST_F(ScpiGenericQuery, BadKeywordsAndAttributesTheNodeLacks)
{
    // Any keyword other than MINimum, MAXimum, DEFault: 200, nothing replied.
    response.clear();
    last = Parse("CONF:LEV?");
    last.slotType[0] = ParsedSlotChoice;
    last.strings[0] = "INFinity";
    EXPECT_TRUE(GetSetSetting(last, &block, false));
    EXPECT_TRUE(response.empty());
    EXPECT_EQ(Errors(), std::vector<std::uint32_t>{FirmwareError});
    // A Boolean node has no minimum: 254, nothing replied.
    last = Parse("AVER:STAT?");
    last.slotType[0] = ParsedSlotChoice;
    last.strings[0] = "MINimum";
    EXPECT_TRUE(GetSetSetting(last, &block, false));
    EXPECT_EQ(last.status, ParsedInconsistent);
    EXPECT_TRUE(response.empty());
    EXPECT_EQ(Query("AVER:STAT? DEF"), "0");
}

TEST_F(ScpiGenericQuery, NodeWithoutValueFormatIsAFirmwareError)
{
    g_pMeasurementLevel = g_pMeasureParms;  // a Branch
    response.clear();
    EXPECT_FALSE(Run("CONF:LEV?"));
    EXPECT_FALSE(Run("CONF:LEV 1"));
    g_pMeasurementLevel = g_pParametersLock;  // a Pointer
    EXPECT_FALSE(Run("CONF:LEV?"));
    EXPECT_TRUE(response.empty());
    EXPECT_EQ(Errors(), (std::vector<std::uint32_t>{FirmwareError, FirmwareError, FirmwareError}));
}

// ---- settings ----

TEST_F(ScpiGenericSet, KeywordsUnitsAndChoices)
{
    EXPECT_TRUE(Run("CONF:LEV MAX"));
    EXPECT_EQ(Float(g_pMeasurementLevel), 2.5);
    EXPECT_TRUE(Run("CONF:LEV DEF"));
    EXPECT_EQ(Float(g_pMeasurementLevel), 0.2);
    EXPECT_TRUE(Run("CONF:LEV 500 MV"));
    EXPECT_DOUBLE_EQ(Float(g_pMeasurementLevel), 0.5);
    EXPECT_TRUE(Run("AVER:TCON EXP"));
    EXPECT_EQ(Text(g_pSignalAveragingType), "EXPonential");
    SetFlag(g_pSignalAveragingActive, true);
    EXPECT_TRUE(Run("AVER:STAT DEF"));
    EXPECT_FALSE(Flag(g_pSignalAveragingActive));
    SetText(g_pTriggerInSource, "TIMer");
    EXPECT_TRUE(Run("TRIG:SOUR DEF"));
    EXPECT_EQ(Text(g_pTriggerInSource), "IMMediate");
    EXPECT_TRUE(Run("CONF:POIN 2.5"));  // rounded half away from zero
    EXPECT_EQ(Integer(g_pMeasurementPoints), 3);
    EXPECT_TRUE(Run("SYST:COMM:ETH:MASK \"255.0.0.0\""));
    EXPECT_EQ(Text(g_pEthernetNetMask), "255.0.0.0");
    EXPECT_TRUE(Errors().empty());
}

TEST_F(ScpiGenericSet, OutOfRangeStoresNothingAndSetsNoBit)
{
    Event(eRegOperationBit11);
    EXPECT_TRUE(Run("CONF:LEV 3"));
    EXPECT_EQ(last.status, ParsedOutOfRange);
    EXPECT_EQ(Float(g_pMeasurementLevel), 0.2);
    EXPECT_EQ(Event(eRegOperationBit11), 0);
    // A non-generic setting whose value failed ends there: its side effect must not run.
    EXPECT_TRUE(Run("CONF:SEAR:HIGH 20"));
    EXPECT_EQ(last.status, ParsedOutOfRange);
    EXPECT_EQ(Float(g_pSearchHigh), 14.0);
}

TEST_F(ScpiGenericSet, EqualValueCallsNoSubscriberButSetsTheSettingsBit)
{
    int calls = 0;
    ASSERT_EQ(CParameterNode::Subscribe(g_pMeasurementPoints, CountCall, &calls), 0);
    Event(eRegOperationBit11);
    EXPECT_TRUE(Run("CONF:POIN 10"));
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(Event(eRegOperationBit11), 0x10);  // row 51: CONFigure
    EXPECT_TRUE(Run("CONF:POIN 11"));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(Event(eRegOperationBit11), 0x10);
    EXPECT_TRUE(Run("UNIT MT"));
    EXPECT_EQ(Event(eRegOperationBit11), 0x2000);  // row 60: units
}

TEST_F(ScpiGenericSet, ModeDependency)
{
    // Search mode AUTO: the step is stored but questionable.
    Event(eRegQuestionable);
    EXPECT_TRUE(Run("CONF:SEAR:FSTE 100"));
    EXPECT_EQ(Float(g_pSearchFstep), 100.0);
    EXPECT_EQ(Event(eRegQuestionable), 0x400);
    SetText(g_pSearchMode, "CUSTom");
    EXPECT_TRUE(Run("CONF:SEAR:FSTE 200"));
    EXPECT_EQ(Event(eRegQuestionable), 0);
    // Trigger output on: the external trigger input is refused, and the other way round.
    SetFlag(g_pTriggerOutState, true);
    Event(eRegOperationBit11);
    EXPECT_TRUE(Run("TRIG:SOUR EXT"));
    EXPECT_EQ(Text(g_pTriggerInSource), "IMMediate");
    EXPECT_EQ(Errors(), std::vector<std::uint32_t>{SettingsConflict});
    EXPECT_EQ(Event(eRegOperationBit11), 0);
    SetFlag(g_pTriggerOutState, false);
    SetText(g_pTriggerInSource, "EXTernal");
    // OUTP:TRIG is not generic: the refusal ends it before its handler.
    EXPECT_TRUE(Run("OUTP:TRIG ON"));
    EXPECT_FALSE(Flag(g_pTriggerOutState));
    EXPECT_EQ(Errors(), std::vector<std::uint32_t>{SettingsConflict});
    // Off is no conflict; the handler then applies it.
    EXPECT_FALSE(Run("OUTP:TRIG OFF"));
    EXPECT_TRUE(Errors().empty());
}

TEST_F(ScpiGenericSet, NonGenericSettingIsStoredBeforeItsHandler)
{
    Event(eRegOperationBit11);
    EXPECT_FALSE(Run("CONF:SEAR:HIGH 2"));
    EXPECT_EQ(Float(g_pSearchHigh), 2.0);
    EXPECT_EQ(Event(eRegOperationBit11), 0x10);
    EXPECT_FALSE(Run("INIT:CONT ON"));
    EXPECT_TRUE(Flag(g_pTriggerInContinuous));
    EXPECT_TRUE(Errors().empty());
}

// ---- flux values ----

TEST_F(ScpiGenericFlux, QueryRepliesInTheSelectedUnit)
{
    EXPECT_EQ(Query("CONF:SEAR:HIGH?"), "14 T");
    EXPECT_TRUE(Run("UNIT MT"));
    EXPECT_EQ(Query("CONF:SEAR:HIGH?"), "14000 MT");
    EXPECT_EQ(Query("CONF:SEAR:HIGH? MIN"), "40 MT");
    EXPECT_EQ(Query("TRIG:SEQ2:LEV?"), "1000 MT");
    EXPECT_TRUE(Run("UNIT PPM"));  // ppm_ref 1 T
    EXPECT_EQ(Query("CONF:SEAR:HIGH?"), "13000000 PPM");
    EXPECT_TRUE(Run("UNIT MAHZP"));
    EXPECT_EQ(Query("CONF:SEAR:VAL?"), "42.5774785 MAHZP");
    // The reference itself is a flux value too.
    EXPECT_TRUE(Run("UNIT MT"));
    EXPECT_EQ(Query("UNIT:PPMR?"), "1000 MT");
    EXPECT_TRUE(Errors().empty());
}

TEST_F(ScpiGenericFlux, FailedConversionRepliesNoValue)
{
    EXPECT_TRUE(Run("UNIT HZ"));
    // No probe selected: 202, and neither a value nor a unit.
    response.clear();
    EXPECT_TRUE(Run("CONF:SEAR:HIGH?"));
    EXPECT_TRUE(response.empty());
    EXPECT_EQ(last.status, 0);
    EXPECT_EQ(Errors(), std::vector<std::uint32_t>{NoSelectedChannel});
    // A probe source failing otherwise, or a zero PPM reference: 200.
    InstallProbe(eGeneralFailure, 1.0);
    EXPECT_TRUE(Run("CONF:SEAR:HIGH? MAX"));
    EXPECT_TRUE(Run("UNIT PPM"));
    CParameterNode::SetFloat64Attribute(g_pUnitsPpmRef, eAttrValue, 0.0);
    EXPECT_TRUE(Run("TRIG:SEQ2:LEV?"));
    EXPECT_TRUE(response.empty());
    EXPECT_EQ(Errors(), (std::vector<std::uint32_t>{FirmwareError, FirmwareError}));
    EXPECT_TRUE(Run("UNIT HZ"));
    // With a probe the value is told in its frequency.
    InstallProbe(eOk, 1e7);
    EXPECT_EQ(Query("CONF:SEAR:VAL?"), "10000000 HZ");
    // A selected unit no unit table row has: 200 on a query, 30 on a setting.
    SetText(g_pUnitsSelected, "bogus");
    response.clear();
    EXPECT_TRUE(Run("CONF:SEAR:VAL?"));
    EXPECT_TRUE(response.empty());
    EXPECT_EQ(Errors(), std::vector<std::uint32_t>{FirmwareError});
    EXPECT_TRUE(Run("CONF:SEAR:VAL 2"));
    EXPECT_EQ(last.status, ParsedWrongUnits);
    EXPECT_EQ(Float(g_pSearchValue), 1.0);
    EXPECT_TRUE(Run("CONF:SEAR:VAL 2 T"));  // a suffix needs no selected unit
    EXPECT_EQ(Float(g_pSearchValue), 2.0);
}

TEST_F(ScpiGenericFlux, SettingIsStoredInTesla)
{
    EXPECT_TRUE(Run("UNIT MT"));
    EXPECT_TRUE(Run("CONF:SEAR:VAL 500"));
    EXPECT_DOUBLE_EQ(Float(g_pSearchValue), 0.5);
    EXPECT_TRUE(Run("CONF:SEAR:VAL MAX"));  // keywords are in the node's unit already
    EXPECT_DOUBLE_EQ(Float(g_pSearchValue), 14.0);
    EXPECT_TRUE(Run("CONF:SEAR:VAL 20000"));  // 20 T
    EXPECT_EQ(last.status, ParsedOutOfRange);
    EXPECT_DOUBLE_EQ(Float(g_pSearchValue), 14.0);
    // The probe frequency needs a probe: 201 "No probe" after dispatch.
    EXPECT_TRUE(Run("CONF:SEAR:VAL 1000000 HZ"));
    EXPECT_EQ(last.status, ParsedNoProbe);
    InstallProbe(eOk, 1e6);
    EXPECT_TRUE(Run("CONF:SEAR:VAL 3000000 HZ"));
    EXPECT_EQ(last.status, 0);
    EXPECT_DOUBLE_EQ(Float(g_pSearchValue), 3.0);
    // The trigger output level takes a bare number in tesla, whatever unit is selected.
    EXPECT_FALSE(Run("TRIG:SEQ2:LEV 5"));
    EXPECT_DOUBLE_EQ(Float(g_pTriggerOutLevel), 5.0);
}

TEST_F(ScpiGenericFlux, PpmReferenceNeedsAUnitWhilePpmIsSelected)
{
    EXPECT_TRUE(Run("UNIT PPM"));
    // A bare number would be read in PPM of itself: refused, and the command ends (its
    // handler would discard the results of the unchanged reference).
    EXPECT_TRUE(Run("UNIT:PPMR 1.5"));
    EXPECT_EQ(Float(g_pUnitsPpmRef), 1.0);
    EXPECT_EQ(Errors(), std::vector<std::uint32_t>{SettingsConflict});
    EXPECT_TRUE(Run("UNIT:PPMR 50 T"));
    EXPECT_EQ(last.status, ParsedOutOfRange);
    EXPECT_EQ(Float(g_pUnitsPpmRef), 1.0);
    EXPECT_FALSE(Run("UNIT:PPMR 1.5 T"));
    EXPECT_EQ(Float(g_pUnitsPpmRef), 1.5);
    EXPECT_FALSE(Run("UNIT:PPMR MAX"));
    EXPECT_EQ(Float(g_pUnitsPpmRef), 20.0);
    // Under another unit a bare number is converted from it.
    EXPECT_TRUE(Run("UNIT MT"));
    EXPECT_FALSE(Run("UNIT:PPMR 1500"));
    EXPECT_DOUBLE_EQ(Float(g_pUnitsPpmRef), 1.5);
    EXPECT_TRUE(Errors().empty());
}

// ---- busy rules ----

TEST_F(ScpiGenericBusy, AlwaysRefusedWhileTriggered)
{
    Event(eRegOperationBit11);
    EXPECT_TRUE(Run("CONF:LEV 1", true));
    EXPECT_EQ(Float(g_pMeasurementLevel), 0.2);
    EXPECT_EQ(Errors(), std::vector<std::uint32_t>{SettingsConflict});
    EXPECT_EQ(Event(eRegOperationBit11), 0);
    // A command that is not generic ends too: exactly one -221, and no handler.
    EXPECT_TRUE(Run("INIT", true));
    EXPECT_EQ(Errors(), std::vector<std::uint32_t>{SettingsConflict});
    EXPECT_FALSE(Run("INIT", false));
    EXPECT_TRUE(Errors().empty());
    // Rule 0: the query and the Hall setting go on.
    EXPECT_EQ(Query("CONF:LEV?"), "0.2 V");
    EXPECT_TRUE(Run("CONF:SEAR:HALL OFF", true));
    EXPECT_FALSE(Flag(g_pSearchHallEnabled));
    EXPECT_TRUE(Errors().empty());
}

TEST_F(ScpiGenericBusy, RefusedUnlessManualSearch)
{
    EXPECT_TRUE(Run("SOUR:PULS:PER 0.5", true));
    EXPECT_EQ(Float(g_pPulsePeriod), 0.1);
    EXPECT_EQ(Errors(), std::vector<std::uint32_t>{SettingsConflict});
    SetText(g_pSearchMode, "MANual");
    EXPECT_TRUE(Run("SOUR:PULS:PER 0.5", true));
    EXPECT_EQ(Float(g_pPulsePeriod), 0.5);
    EXPECT_TRUE(Errors().empty());
    // The rule-3 commands stay refused under manual search.
    EXPECT_TRUE(Run("CONF:LEV 1", true));
    EXPECT_EQ(Errors(), std::vector<std::uint32_t>{SettingsConflict});
    // The dispatcher's own check for commands it refuses before the get/set.
    last = Parse("INIT");
    EXPECT_TRUE(BusyRuleRefuses(last, &block, true));
    EXPECT_FALSE(BusyRuleRefuses(last, &block, false));
    EXPECT_EQ(Errors(), std::vector<std::uint32_t>{SettingsConflict});
}

}  // namespace
}  // namespace Korvex::test
