// The factory defaults file romfs/factory.xml: it loads as a fresh tree, satisfies every
// settings binding with the node types the users read, offers every keyword the commands
// accept, holds usable numbers, and is in the writer's own form (load then save gives the
// same bytes).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "Host/parameters/Bindings.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/scpi/tables/CommandTables.h"
#include "Host/scpi/units/MeasurementUnits.h"

namespace Korvex {
namespace {

const std::string FactoryPath = std::string(KORVEX_SOURCE_DIR) + "/romfs/factory.xml";

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    if (text.empty()) return parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator)) parts.push_back(part);
    if (text.back() == separator) parts.emplace_back();
    return parts;
}

std::string ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Value(CParameterNode* node)
{
    return CParameterNode::GetStringAttribute(node, eAttrValue);
}

std::string Choices(CParameterNode* node)
{
    return CParameterNode::GetStringAttribute(node, eAttrChoices);
}

// The node types the users of each bound path read.
const std::map<std::string, eNodeType>& ExpectedTypes()
{
    static const std::map<std::string, eNodeType> types = [] {
        std::map<std::string, eNodeType> m;
        auto add = [&m](eNodeType type, std::initializer_list<const char*> paths) {
            for (const char* p : paths) m[p] = type;
        };
        add(eNodeBranch, {"peripherals", "comm_parms", "measure_parms", "trigger_parms",
                          "ref_clock_parms", "units_parms"});
        add(eNodeString,
            {"system/manufacturer", "system/model", "system/manuf_date", "system/calib_date",
             "system/eeprom/version", "system/eeprom/date_created", "system/eeprom/time_created",
             "system/versions/hardware", "system/versions/arm_firmware",
             "system/versions/dsp_firmware", "system/versions/cpld", "system/versions/parm_file",
             "system/esa", "system/usb/version", "host_if/parameters/format",
             "comm_parms/ethernet/ip_address", "comm_parms/ethernet/net_mask",
             "comm_parms/ethernet/broadcast", "comm_parms/ethernet/gateway",
             "comm_parms/ethernet/dns_server", "comm_parms/ethernet/domain",
             "comm_parms/ethernet/id", "comm_parms/modbus/auth_list",
             "measure_parms/search/mode", "measure_parms/measurement/mode",
             "measure_parms/averaging/signal/type", "measure_parms/averaging/measurement/type",
             "measure_parms/probe/matching_tuning_mode", "measure_parms/pulse/mode",
             "measure_parms/sample/mode", "trigger_parms/trigger_in/source",
             "trigger_parms/trigger_in/slope", "trigger_parms/trigger_out/shape",
             "trigger_parms/trigger_out/polarity", "trigger_parms/trigger_out/slope",
             "ref_clock_parms/mode", "units_parms/selected"});
        add(eNodeInt32,
            {"system/serial_no", "system/rf/min_freq", "system/rf/max_freq",
             "system/usb/vendor_id", "system/usb/product_id", "system/usb/version_bcd",
             "system/temperature/current_value", "system/temperature/update_interval",
             "system/temperature/shutdown_limit", "host_if/status/ESE", "host_if/status/SRE",
             "host_if/status/OPER", "host_if/status/QUES", "host_if/status/BIT11",
             "host_if/status/BIT12", "host_if/status/QUESBIT12", "results/size",
             "results/flux/digits", "results/sigma/digits", "results/uniformity/digits",
             "intermediate_results/nmr_signal/size", "intermediate_results/nmr_signal/length",
             "intermediate_results/fft_buffer/size", "intermediate_results/fft_buffer/length",
             "intermediate_results/peak_spectrum/size",
             "intermediate_results/peak_spectrum/length", "intermediate_results/fit_coeffs/size",
             "intermediate_results/fit_coeffs/length", "comm_parms/modbus/max_connections",
             "measure_parms/measurement/points", "measure_parms/measurement/hysteresis",
             "measure_parms/averaging/signal/count", "measure_parms/averaging/measurement/count",
             "measure_parms/tracking/hysteresis", "trigger_parms/trigger_in/count"});
        add(eNodeFloat64,
            {"system/acquisition/short_duration", "unit_conversion/nominal_p_gyro_ratio",
             "results/flux/expected_value", "intermediate_results/nmr_signal/sample_period",
             "intermediate_results/fft_buffer/resolution",
             "intermediate_results/fft_buffer/noise_floor",
             "intermediate_results/peak_spectrum/resolution",
             "intermediate_results/peak_spectrum/center_frequency",
             "intermediate_results/fit_coeffs/residue", "intermediate_results/if_frequency",
             "intermediate_results/relaxation_time", "intermediate_results/rf_frequency",
             "measure_parms/search/low", "measure_parms/search/high", "measure_parms/search/value",
             "measure_parms/search/level", "measure_parms/search/fstep",
             "measure_parms/measurement/level", "measure_parms/measurement/bandwidth",
             "measure_parms/probe/matching", "measure_parms/probe/tuning",
             "measure_parms/pulse/width", "measure_parms/pulse/period",
             "measure_parms/sample/length", "measure_parms/sample/offset",
             "measure_parms/sample/rate", "measure_parms/tracking/min_freq",
             "measure_parms/tracking/max_freq", "trigger_parms/trigger_in/timer",
             "trigger_parms/trigger_out/width", "trigger_parms/trigger_out/delay",
             "trigger_parms/trigger_out/level", "units_parms/ppm_ref"});
        add(eNodeBoolean,
            {"host_if/communication/ethernet_active", "host_if/communication/nbns_active",
             "current_probe/nmr_path_broken", "ref_clock/external_detected",
             "ref_clock/external_locked", "comm_parms/ethernet/enabled",
             "comm_parms/ethernet/auto_address", "comm_parms/nbns/enabled",
             "comm_parms/vxi11/enabled", "comm_parms/usbtmc/enabled",
             "comm_parms/modbus/enabled", "comm_parms/modbus/use_float32",
             "measure_parms/search/hall_enabled", "measure_parms/measurement/reject",
             "measure_parms/averaging/signal/active",
             "measure_parms/averaging/measurement/active", "trigger_parms/trigger_in/continuous",
             "trigger_parms/trigger_out/state"});
        add(eNodePointer,
            {"host_if/communication/vxi11_object", "host_if/communication/usbtmc_object",
             "host_if/communication/modbus_object", "host_if/parameters/lock",
             "host_if/scpi_parser/object", "current_probe/current_channel_list",
             "current_probe/object"});
        return m;
    }();
    return types;
}

// Loads the factory file as the settings tree and binds it; the previous root comes back
// and every binding is cleared afterwards.
class FactoryFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedRoot = ParameterTreeRoot;
        loadStatus = CParameterNode::LoadXmlFile(FactoryPath, &root, nullptr);
        ParameterTreeRoot = root;
        if (root != nullptr) bindStatus = KorvexBindSettingsNodes();
    }

    void TearDown() override
    {
        for (const SettingsBindingRow& row : SettingsBindingTable) *row.pointer = nullptr;
        ParameterTreeRoot = savedRoot;
        if (root != nullptr) CParameterNode::Delete(root);
    }

    static CParameterNode* Node(const std::string& path)
    {
        CParameterNode* node = nullptr;
        CParameterNode::Find(ParameterTreeRoot, path, &node);
        return node;
    }

    // Visits every node below start, depth first, with its path.
    static void Walk(CParameterNode* start, const std::string& prefix,
                     const std::function<void(CParameterNode*, const std::string&)>& visit)
    {
        for (CParameterNode* c = start->GetFirstChild(); c != nullptr; c = c->GetNextSibling()) {
            const std::string path = prefix.empty() ? c->GetName() : prefix + "/" + c->GetName();
            visit(c, path);
            Walk(c, path, visit);
        }
    }

    CParameterNode* savedRoot = nullptr;
    CParameterNode* root = nullptr;
    int loadStatus = -1;
    int bindStatus = -1;
};

TEST_F(FactoryFile, LoadsIntoANewTreeAndBindsEveryPath)
{
    ASSERT_EQ(loadStatus, 0);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->GetName(), "Korvex");
    EXPECT_EQ(root->GetParent(), nullptr);
    ASSERT_EQ(bindStatus, 0);
    for (const SettingsBindingRow& row : SettingsBindingTable) {
        EXPECT_NE(*row.pointer, nullptr) << row.path;
    }
    // Peripherals are discovered at run time: the factory tree has none.
    EXPECT_EQ(g_pPeripherals->GetFirstChild(), nullptr);
    EXPECT_EQ(Value(g_pVersionsParmFile), "3.5");
}

TEST_F(FactoryFile, BoundNodesHaveTheTypesTheirUsersRead)
{
    ASSERT_EQ(bindStatus, 0);
    const auto& expected = ExpectedTypes();
    EXPECT_EQ(expected.size(), SettingsBindingCount);
    for (const SettingsBindingRow& row : SettingsBindingTable) {
        const auto it = expected.find(row.path);
        ASSERT_NE(it, expected.end()) << row.path;
        EXPECT_EQ((*row.pointer)->GetType(), it->second) << row.path;
    }
}

// Each String node that a command sets from a choice row must offer every word of that row
// (MINimum, MAXimum and DEFault are resolved by the getters, not stored); each String node
// set from free text must accept any text. A set form without a binding of its own sets the
// node of its query form.
TEST_F(FactoryFile, StringNodesOfferEveryWordTheirCommandsAccept)
{
    ASSERT_EQ(bindStatus, 0);
    const std::set<std::string> resolved = {"MINimum", "MAXimum", "DEFault"};
    std::set<CParameterNode*> choiceNodes;
    std::set<CParameterNode*> textNodes;
    for (unsigned c = 0; c < ScpiCommandCount; ++c) {
        std::vector<CParameterNode*> nodes;
        auto addBinding = [&nodes](CParameterNode** binding) {
            if (binding != nullptr && *binding != nullptr) nodes.push_back(*binding);
        };
        addBinding(ScpiCommandAttributeTable[c].binding1);
        addBinding(ScpiCommandAttributeTable[c].binding2);
        if (c > 0 && std::string(ScpiCommandPatternTable[c - 1]) ==
                         std::string(ScpiCommandPatternTable[c]) + "?") {
            addBinding(ScpiCommandAttributeTable[c - 1].binding1);
            addBinding(ScpiCommandAttributeTable[c - 1].binding2);
        }
        for (CParameterNode* node : nodes) {
            if (node->GetType() != eNodeString) continue;
            const char sep = node == g_pUnitsSelected ? ',' : '|';
            const std::vector<std::string> offered = Split(Choices(node), sep);
            const std::set<std::string> offeredSet(offered.begin(), offered.end());
            for (const ScpiParameterDescriptor& slot : ScpiParameterTable[c]) {
                if (slot.kind == ScpiKindText) {
                    textNodes.insert(node);
                    EXPECT_EQ(Choices(node), "") << node->GetName();
                }
                if (slot.kind != ScpiKindChoice || slot.descriptor == nullptr) continue;
                const auto* row = static_cast<const ScpiChoiceRow*>(slot.descriptor);
                std::set<std::string> words;
                for (const std::string& word : Split(row->alternatives, '|')) {
                    if (resolved.count(word) == 0) words.insert(word);
                }
                if (words.empty()) continue;  // only keywords the getters resolve
                choiceNodes.insert(node);
                for (const std::string& word : words) {
                    EXPECT_EQ(offeredSet.count(word), 1u)
                        << ScpiCommandPatternTable[c] << ": " << word << " not in "
                        << Choices(node);
                }
                // Nothing but the row's words: a stray word would pass the choices check.
                for (const std::string& word : offered) {
                    EXPECT_EQ(words.count(word), 1u)
                        << ScpiCommandPatternTable[c] << ": stray " << word;
                }
            }
        }
    }
    // Search, measurement, probe, pulse and sample modes; both averaging types; the data
    // format; the reference clock; trigger source, both slopes, shape and polarity; units.
    EXPECT_EQ(choiceNodes.size(), 15u);
    // Identifier, mask, broadcast, gateway, DNS server, domain, host list, address query.
    EXPECT_EQ(textNodes.size(), 8u);
    for (CParameterNode* node : choiceNodes) {
        const std::string choices = Choices(node);
        const std::string value = Value(node);
        EXPECT_EQ(CParameterNode::GetStringAttribute(node, eAttrDefault), value);
        const auto words = Split(choices, node == g_pUnitsSelected ? ',' : '|');
        EXPECT_EQ(std::set<std::string>(words.begin(), words.end()).count(value), 1u)
            << node->GetName() << " = " << value;
    }
    EXPECT_EQ(Choices(g_pParametersFormat), "ASCii|INTeger");
    EXPECT_EQ(Value(g_pParametersFormat), "ASCii");
    EXPECT_EQ(Choices(g_pTriggerOutShape), "DC|PULSe");
}

TEST_F(FactoryFile, UnitListNamesEveryUnitInTableOrder)
{
    ASSERT_EQ(bindStatus, 0);
    EXPECT_EQ(Value(g_pUnitsSelected), "T");
    EXPECT_EQ(CParameterNode::GetStringAttribute(g_pUnitsSelected, eAttrDefault), "T");
    const std::vector<std::string> names = Split(Choices(g_pUnitsSelected), ',');
    ASSERT_EQ(names.size(), 17u);
    for (unsigned i = 0; i < names.size(); ++i) {
        EXPECT_EQ(KorvexParseUnits(names[i]), static_cast<int>(i + 1)) << names[i];
    }
}

TEST_F(FactoryFile, EveryNumberStartsAtItsDefaultWithinItsLimits)
{
    ASSERT_EQ(loadStatus, 0);
    unsigned numbers = 0;
    Walk(root, "", [&numbers](CParameterNode* node, const std::string& path) {
        switch (node->GetType()) {
            case eNodeInt32: {
                ++numbers;
                const auto v = CParameterNode::GetInt32Attribute(node, eAttrValue);
                const auto lo = CParameterNode::GetInt32Attribute(node, eAttrMinimum);
                const auto hi = CParameterNode::GetInt32Attribute(node, eAttrMaximum);
                const auto d = CParameterNode::GetInt32Attribute(node, eAttrDefault);
                EXPECT_LE(lo, d) << path;
                EXPECT_LE(d, hi) << path;
                EXPECT_EQ(v, d) << path;
                break;
            }
            case eNodeFloat64: {
                ++numbers;
                const double v = CParameterNode::GetFloat64Attribute(node, eAttrValue);
                const double lo = CParameterNode::GetFloat64Attribute(node, eAttrMinimum);
                const double hi = CParameterNode::GetFloat64Attribute(node, eAttrMaximum);
                const double d = CParameterNode::GetFloat64Attribute(node, eAttrDefault);
                EXPECT_LE(lo, d) << path;
                EXPECT_LE(d, hi) << path;
                EXPECT_EQ(v, d) << path;
                break;
            }
            case eNodeBoolean:
                EXPECT_EQ(CParameterNode::GetBooleanAttribute(node, eAttrValue),
                          CParameterNode::GetBooleanAttribute(node, eAttrDefault))
                    << path;
                break;
            case eNodeString:
                EXPECT_EQ(Value(node), CParameterNode::GetStringAttribute(node, eAttrDefault))
                    << path;
                break;
            default:
                break;
        }
    });
    // Every number of the file is a bound setting or result.
    unsigned bound = 0;
    for (const auto& [path, type] : ExpectedTypes()) {
        if (type == eNodeInt32 || type == eNodeFloat64) ++bound;
    }
    EXPECT_EQ(numbers, bound);
}

TEST_F(FactoryFile, DefaultsAreUsableAtStart)
{
    ASSERT_EQ(bindStatus, 0);
    auto i32 = [](CParameterNode* n, unsigned a) {
        return CParameterNode::GetInt32Attribute(n, a);
    };
    auto f64 = [](CParameterNode* n, unsigned a) {
        return CParameterNode::GetFloat64Attribute(n, a);
    };
    auto on = [](CParameterNode* n) { return CParameterNode::GetBooleanAttribute(n, eAttrValue); };

    // Identity and firmware fields are filled at start-up, from the EEPROM and the DSP.
    for (CParameterNode* n : {g_pSystemManufacturer, g_pSystemModel, g_pSystemManufDate,
                              g_pSystemCalibDate, g_pEepromVersion, g_pEepromDateCreated,
                              g_pEepromTimeCreated, g_pVersionsHardware, g_pVersionsArmFirmware,
                              g_pVersionsDspFirmware, g_pVersionsCpld, g_pSystemEsa,
                              g_pUsbVersion, g_pEthernetId}) {
        EXPECT_EQ(Value(n), "") << n->GetName();
    }

    // Status enables bound the registers' masks.
    for (CParameterNode* n : {g_pStatusEse, g_pStatusSre}) {
        EXPECT_EQ(i32(n, eAttrMinimum), 0);
        EXPECT_EQ(i32(n, eAttrMaximum), 255);
    }
    for (CParameterNode* n :
         {g_pStatusOper, g_pStatusQues, g_pStatusBit11, g_pStatusBit12, g_pStatusQuesBit12}) {
        EXPECT_EQ(i32(n, eAttrMinimum), 0);
        EXPECT_EQ(i32(n, eAttrMaximum), 65535);
    }
    EXPECT_GT(i32(g_pTemperatureUpdateInterval, eAttrValue), 0);

    // Communication: Ethernet by DHCP or link-local, VXI-11, USBTMC and name service on.
    EXPECT_TRUE(on(g_pEthernetEnabled));
    EXPECT_TRUE(on(g_pEthernetAutoAddress));
    EXPECT_TRUE(on(g_pNbnsEnabled));
    EXPECT_TRUE(on(g_pVxi11Enabled));
    EXPECT_TRUE(on(g_pUsbtmcEnabled));
    EXPECT_FALSE(on(g_pModbusEnabled));
    for (CParameterNode* n : {g_pEthernetIpAddress, g_pEthernetBroadcast, g_pEthernetGateway,
                              g_pEthernetDnsServer}) {
        EXPECT_EQ(Value(n).rfind("169.254.", 0), 0u) << n->GetName() << " = " << Value(n);
    }
    EXPECT_EQ(Value(g_pEthernetNetMask), "255.255.0.0");

    // Units: a usable reference field and the proton ratio.
    EXPECT_NE(f64(g_pUnitsPpmRef, eAttrValue), 0.0);
    EXPECT_GT(f64(g_pUnitsPpmRef, eAttrMinimum), 0.0);
    EXPECT_EQ(f64(g_pNominalPGyroRatio, eAttrValue), 42577478.5);

    // The search range holds its value; the value's limits are the range.
    const double low = f64(g_pSearchLow, eAttrValue);
    const double high = f64(g_pSearchHigh, eAttrValue);
    const double value = f64(g_pSearchValue, eAttrValue);
    EXPECT_GT(low, 0.0);
    EXPECT_LE(low, value);
    EXPECT_LE(value, high);
    EXPECT_EQ(f64(g_pSearchValue, eAttrMinimum), low);
    EXPECT_EQ(f64(g_pSearchValue, eAttrMaximum), high);
    EXPECT_LE(f64(g_pTrackingMinFreq, eAttrValue), f64(g_pTrackingMaxFreq, eAttrValue));

    // An array's length never exceeds its capacity, the maximum of its size.
    const std::pair<CParameterNode*, CParameterNode*> arrays[] = {
        {g_pNmrSignalSize, g_pNmrSignalLength},
        {g_pFftBufferSize, g_pFftBufferLength},
        {g_pPeakSpectrumSize, g_pPeakSpectrumLength},
        {g_pFitCoeffsSize, g_pFitCoeffsLength}};
    for (const auto& [size, length] : arrays) {
        EXPECT_GT(i32(size, eAttrMinimum), 0) << size->GetParent()->GetName();
        EXPECT_EQ(i32(length, eAttrMaximum), i32(size, eAttrMaximum))
            << size->GetParent()->GetName();
    }
    EXPECT_GT(i32(g_pResultsSize, eAttrMinimum), 0);
    EXPECT_LE(i32(g_pTriggerInCount, eAttrMaximum), i32(g_pResultsSize, eAttrMaximum));
}

TEST_F(FactoryFile, ResavesByteForByte)
{
    ASSERT_EQ(loadStatus, 0);
    std::string path = ::testing::TempDir() + "factory_resave_XXXXXX";
    const int fd = ::mkstemp(path.data());
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(CParameterNode::SaveXmlFile(path, root), 0);
    const std::string original = ReadBytes(FactoryPath);
    const std::string resaved = ReadBytes(path);
    std::remove(path.c_str());
    ASSERT_FALSE(original.empty());
    EXPECT_EQ(resaved, original);
}

}  // namespace
}  // namespace Korvex
