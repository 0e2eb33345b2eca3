// The record of one recognised SCPI command: filled by the parser thread from the engine's
// tokens, read by the dispatcher and the command code. Its getters resolve MINimum,
// MAXimum, DEFault and INFinity against the bound settings node, convert flux values and
// check ranges and choices. Failures are never thrown: the first one is latched in the
// status byte, which the parser thread reports after dispatch.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Host/scpi/exec/KorvexChannel.h"
#include "Host/scpi/tables/CommandTables.h"

namespace Korvex {

class CParameterNode;

enum eParsedSlotType : std::uint32_t {
    ParsedSlotNone = 0,
    ParsedSlotInteger = 1,
    ParsedSlotNumber = 2,       // a double
    ParsedSlotBool = 3,
    ParsedSlotChoice = 4,       // the text of the chosen alternative, e.g. "MANual"
    ParsedSlotString = 5,
    ParsedSlotChannelList = 6,
    ParsedSlotBlock = 7,
};

// Statuses the record latches itself (besides the engine statuses and 30 wrong units).
enum eParsedCommandStatus : std::uint8_t {
    ParsedOk = 0,
    ParsedWrongUnits = 30,
    ParsedIllegalValue = 247,       // INFinity with no node maximum: -224 "Illegal parameter value"
    ParsedChannelListError = 248,   // too many addresses in one list: 104 "Error in channel list"
    ParsedNoProbe = 249,            // flux conversion needs a probe: 201 "No probe"
    ParsedSettingsConflict = 252,   // -221 "Settings conflict"
    ParsedOutOfRange = 253,         // outside the node's range or choices: -222 "Data out of range"
    ParsedInconsistent = 254,       // unexpected slot type, missing node or attribute
};

// Result of CheckSettingApplies.
enum eSettingApplies : std::uint8_t {
    SettingApplies = 0,
    SettingHasNoEffect = 1,   // stored, but without effect in the current mode
    SettingConflicts = 3,     // not stored
};

struct ParsedCommand {
    static constexpr unsigned Slots = ScpiParameterSlots;
    // Most channel addresses one channel-list parameter may expand to.
    static constexpr std::uint32_t MaxChannelAddresses = 1024;

    // Everything empty or 0; response is the session's response text (may be null).
    explicit ParsedCommand(std::string* response = nullptr);

    // Before each unit: command 0, no suffix, empty slots (strings and channel lists
    // emptied), status 0, both flags 0. Integer, double, boolean and block slots keep
    // stale contents, meaningful only under their slot type.
    void Reset();

    // Latches status s unless a status is already latched.
    void Latch(std::uint8_t s)
    {
        if (status == 0) status = s;
    }

    // ---- slot setters (parser thread); a slot index above 3 latches 254 ----
    void SetInteger(unsigned slot, std::int32_t value, std::uint32_t unitKind);
    void SetNumber(unsigned slot, double value, std::uint32_t unitKind);
    void SetBool(unsigned slot, std::uint8_t value);
    // The text of alternative `index` of the slot's choice row of this command; a slot
    // that is not a choice, or an index past the last alternative, latches 254.
    void SetChoice(unsigned slot, std::uint8_t index);
    void SetString(unsigned slot, const std::string& text);
    // Appends one address, keeping at most five levels. Past MaxChannelAddresses in the
    // slot the address is dropped and 248 latched.
    void AddChannel(unsigned slot, const CKorvexChannel& address);
    void SetBlock(unsigned slot, const std::vector<std::uint8_t>& bytes);

    // ---- parameter getters; node gives DEFault, MINimum, MAXimum, the choices and the
    // range. A null node accepts explicit values only (no range or choices check);
    // anything else latches 254. They never throw and always return a value. ----

    // Missing: node default; "DEFault": node default; boolean: the value.
    std::uint8_t GetBool(unsigned slot, CParameterNode* node);
    // Missing: node default; "DEFault": node default; other choice text or string: the
    // text, which must occur in the node's non-empty choices (else 253).
    std::string GetString(unsigned slot, CParameterNode* node);
    // Missing: node default; "MINimum"/"MAXimum"/"DEFault": that attribute; "INFinity":
    // the maximum (247 without node or maximum). An integer, or a double rounded half away
    // from zero, must lie within the node's minimum..maximum exactly (else 253; a double
    // outside the 32-bit range also 253 and gives 0).
    std::int32_t GetInt32(unsigned slot, CParameterNode* node);
    // Missing: the node's current value; keywords as GetInt32; a number as it is, with
    // check set tested against the node's range with a tolerance of 1e-14 of the limit's
    // magnitude (253, the value still returned).
    double GetDouble(unsigned slot, CParameterNode* node, bool check);
    // As GetDouble; a number is converted into nodeUnit from selectedUnit when it came
    // with no unit (kind 0), else from the base unit of its kind, then range checked.
    // Units are unit indexes (KorvexParseUnits). Latches 30 for a source unit of 0 or a
    // conversion failure, 249 when the conversion needs a probe and none is selected.
    double GetFluxDouble(unsigned slot, CParameterNode* node, std::uint32_t selectedUnit,
                         std::uint32_t nodeUnit);
    // Copies; a missing slot gives an empty vector, a slot of another type 254.
    std::vector<CKorvexChannel> GetChannelList(unsigned slot);
    std::vector<std::uint8_t> GetBlock(unsigned slot);
    // A string attribute of a String node; 254 when the node lacks it.
    std::string GetNodeString(CParameterNode* node, unsigned attribute);

    // ---- node setters: nothing when a status is latched; 254 for a null node, a node
    // of another type or an attribute the node lacks. A value is checked (integer:
    // minimum..maximum exactly, double: the tolerant range check, both 253; string: the
    // choices, 254), then stored only if it differs, subscribers called after the tree
    // lock is released. ----
    void SetNodeBool(CParameterNode* node, unsigned attribute, bool value);
    void SetNodeInt32(CParameterNode* node, unsigned attribute, std::int32_t value);
    void SetNodeDouble(CParameterNode* node, unsigned attribute, double value);
    void SetNodeString(CParameterNode* node, unsigned attribute, const std::string& value);

    // Whether setting node to the new value takes effect in the current modes
    // (eSettingApplies). Only a Boolean and a String node have rules that depend on the
    // new value; numeric nodes take the form without a value.
    static std::uint8_t CheckSettingApplies(CParameterNode* node, bool value);
    static std::uint8_t CheckSettingApplies(CParameterNode* node, const std::string& value);
    static std::uint8_t CheckSettingApplies(CParameterNode* node, const char* value);
    static std::uint8_t CheckSettingApplies(CParameterNode* node);

    // ---- fields ----
    std::uint8_t command = 0;                       // row of the command tables
    std::vector<std::uint32_t> suffixes;            // numeric header suffix, 0 or 1 entries
    std::uint32_t slotType[Slots] = {};             // eParsedSlotType
    std::int32_t integers[Slots] = {};
    double doubles[Slots] = {};
    std::uint8_t booleans[Slots] = {};
    std::string strings[Slots];                     // choice and string slots
    std::vector<CKorvexChannel> channels[Slots];
    std::vector<std::uint8_t> blocks[Slots];
    // scpi_unit_kind of a number: the suffix's kind, or the descriptor's kind for a bare
    // number (0 for a number that takes the selected unit).
    std::uint32_t unitKinds[Slots] = {};
    std::uint8_t status = 0;                        // first latched failure
    std::string* response = nullptr;                // the session's response text
    std::uint32_t mark = 0;                         // response length when this query began
    std::uint8_t indefiniteResponse = 0;            // no further query may answer
    std::uint8_t stop = 0;                          // drop the rest of the message

private:
    bool SlotOk(unsigned slot);
    // The node attribute a keyword slot names, or false (status latched).
    bool KeywordValue(unsigned slot, CParameterNode* node, double& value);
    bool InRange(CParameterNode* node, double value, bool tolerant);
    static std::uint8_t Applies(CParameterNode* node, const bool* flag, const std::string* text);
};

}  // namespace Korvex
