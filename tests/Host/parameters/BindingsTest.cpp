// The settings-node bindings: the lookup table and the binding of a loaded tree.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "Host/parameters/Bindings.h"
#include "Host/parameters/ParameterNode.h"

namespace Korvex {
namespace {

// Every bound path in the documented lookup order.
const char* const ExpectedPaths[] = {
    "system/manufacturer",
    "system/model",
    "system/serial_no",
    "system/manuf_date",
    "system/calib_date",
    "system/eeprom/version",
    "system/eeprom/date_created",
    "system/eeprom/time_created",
    "system/versions/hardware",
    "system/versions/arm_firmware",
    "system/versions/dsp_firmware",
    "system/versions/cpld",
    "system/versions/parm_file",
    "system/rf/min_freq",
    "system/rf/max_freq",
    "system/acquisition/short_duration",
    "system/esa",
    "system/usb/vendor_id",
    "system/usb/product_id",
    "system/usb/version",
    "system/usb/version_bcd",
    "system/temperature/current_value",
    "system/temperature/update_interval",
    "system/temperature/shutdown_limit",
    "host_if/status/ESE",
    "host_if/status/SRE",
    "host_if/status/OPER",
    "host_if/status/QUES",
    "host_if/status/BIT11",
    "host_if/status/BIT12",
    "host_if/status/QUESBIT12",
    "host_if/communication/ethernet_active",
    "host_if/communication/nbns_active",
    "host_if/communication/vxi11_object",
    "host_if/communication/usbtmc_object",
    "host_if/communication/modbus_object",
    "host_if/parameters/format",
    "host_if/parameters/lock",
    "host_if/scpi_parser/object",
    "current_probe/current_channel_list",
    "current_probe/object",
    "current_probe/nmr_path_broken",
    "unit_conversion/nominal_p_gyro_ratio",
    "ref_clock/external_detected",
    "ref_clock/external_locked",
    "results/size",
    "results/flux/digits",
    "results/flux/expected_value",
    "results/sigma/digits",
    "results/uniformity/digits",
    "intermediate_results/nmr_signal/size",
    "intermediate_results/nmr_signal/length",
    "intermediate_results/nmr_signal/sample_period",
    "intermediate_results/fft_buffer/size",
    "intermediate_results/fft_buffer/length",
    "intermediate_results/fft_buffer/resolution",
    "intermediate_results/fft_buffer/noise_floor",
    "intermediate_results/peak_spectrum/size",
    "intermediate_results/peak_spectrum/length",
    "intermediate_results/peak_spectrum/resolution",
    "intermediate_results/peak_spectrum/center_frequency",
    "intermediate_results/fit_coeffs/size",
    "intermediate_results/fit_coeffs/length",
    "intermediate_results/fit_coeffs/residue",
    "intermediate_results/if_frequency",
    "intermediate_results/relaxation_time",
    "intermediate_results/rf_frequency",
    "peripherals",
    "comm_parms",
    "comm_parms/ethernet/enabled",
    "comm_parms/ethernet/auto_address",
    "comm_parms/ethernet/ip_address",
    "comm_parms/ethernet/net_mask",
    "comm_parms/ethernet/broadcast",
    "comm_parms/ethernet/gateway",
    "comm_parms/ethernet/dns_server",
    "comm_parms/ethernet/domain",
    "comm_parms/ethernet/id",
    "comm_parms/nbns/enabled",
    "comm_parms/vxi11/enabled",
    "comm_parms/usbtmc/enabled",
    "comm_parms/modbus/enabled",
    "comm_parms/modbus/max_connections",
    "comm_parms/modbus/auth_list",
    "comm_parms/modbus/use_float32",
    "measure_parms",
    "measure_parms/search/mode",
    "measure_parms/search/low",
    "measure_parms/search/high",
    "measure_parms/search/value",
    "measure_parms/search/level",
    "measure_parms/search/fstep",
    "measure_parms/search/hall_enabled",
    "measure_parms/measurement/mode",
    "measure_parms/measurement/level",
    "measure_parms/measurement/reject",
    "measure_parms/measurement/bandwidth",
    "measure_parms/measurement/points",
    "measure_parms/measurement/hysteresis",
    "measure_parms/averaging/signal/active",
    "measure_parms/averaging/signal/count",
    "measure_parms/averaging/signal/type",
    "measure_parms/averaging/measurement/active",
    "measure_parms/averaging/measurement/count",
    "measure_parms/averaging/measurement/type",
    "measure_parms/probe/matching_tuning_mode",
    "measure_parms/probe/matching",
    "measure_parms/probe/tuning",
    "measure_parms/pulse/mode",
    "measure_parms/pulse/width",
    "measure_parms/pulse/period",
    "measure_parms/sample/mode",
    "measure_parms/sample/length",
    "measure_parms/sample/offset",
    "measure_parms/sample/rate",
    "measure_parms/tracking/min_freq",
    "measure_parms/tracking/max_freq",
    "measure_parms/tracking/hysteresis",
    "trigger_parms",
    "trigger_parms/trigger_in/source",
    "trigger_parms/trigger_in/slope",
    "trigger_parms/trigger_in/count",
    "trigger_parms/trigger_in/continuous",
    "trigger_parms/trigger_in/timer",
    "trigger_parms/trigger_out/state",
    "trigger_parms/trigger_out/shape",
    "trigger_parms/trigger_out/polarity",
    "trigger_parms/trigger_out/width",
    "trigger_parms/trigger_out/delay",
    "trigger_parms/trigger_out/level",
    "trigger_parms/trigger_out/slope",
    "ref_clock_parms",
    "ref_clock_parms/mode",
    "units_parms",
    "units_parms/selected",
    "units_parms/ppm_ref",
};

// Index of a path in the lookup order.
unsigned IndexOf(const std::string& path)
{
    for (unsigned i = 0; i < SettingsBindingCount; ++i) {
        if (path == SettingsBindingTable[i].path) return i;
    }
    return SettingsBindingCount;
}

void ClearBindings()
{
    for (const SettingsBindingRow& row : SettingsBindingTable) *row.pointer = nullptr;
}

// A root holding every bound path except the one named in `skip`.
CParameterNode* BuildTree(const std::string& skip = "")
{
    auto* root = new CParameterNode(eNodeBranch, "Korvex");
    for (const SettingsBindingRow& row : SettingsBindingTable) {
        if (skip == row.path) continue;
        CParameterNode* node = nullptr;
        EXPECT_EQ(0, CParameterNode::Create(root, row.path, eNodeString, &node)) << row.path;
    }
    return root;
}

class BindingsTest : public ::testing::Test {
protected:
    void SetUp() override { ClearBindings(); }
    void TearDown() override
    {
        ParameterTreeRoot = nullptr;
        ClearBindings();
        for (CParameterNode* tree : trees) CParameterNode::Delete(tree);
    }
    CParameterNode* Load(const std::string& skip = "")
    {
        trees.push_back(BuildTree(skip));
        ParameterTreeRoot = trees.back();
        return trees.back();
    }
    static CParameterNode* Node(CParameterNode* root, const char* path)
    {
        CParameterNode* node = nullptr;
        EXPECT_EQ(0, CParameterNode::Find(root, path, &node)) << path;
        return node;
    }
    std::vector<CParameterNode*> trees;
};

TEST(BindingsTable, HoldsEveryPathOnceInLookupOrder)
{
    static_assert(sizeof(ExpectedPaths) / sizeof(ExpectedPaths[0]) == 136);
    ASSERT_EQ(136u, SettingsBindingCount);
    std::set<CParameterNode**> pointers;
    for (unsigned i = 0; i < SettingsBindingCount; ++i) {
        EXPECT_STREQ(ExpectedPaths[i], SettingsBindingTable[i].path) << "row " << i;
        EXPECT_TRUE(pointers.insert(SettingsBindingTable[i].pointer).second) << "row " << i;
    }
    EXPECT_EQ(0u, pointers.count(&g_pNoNode));
    // Each class root comes just before its own leaves.
    for (const char* root : {"comm_parms", "measure_parms", "trigger_parms", "ref_clock_parms",
                             "units_parms"}) {
        const unsigned at = IndexOf(root);
        ASSERT_LT(at + 1, SettingsBindingCount) << root;
        EXPECT_EQ(0u, std::string(SettingsBindingTable[at + 1].path).find(std::string(root) + "/"))
            << root;
    }
    // A few pointers by name, to tie the names to their paths.
    EXPECT_EQ(&g_pSearchLow, SettingsBindingTable[IndexOf("measure_parms/search/low")].pointer);
    EXPECT_EQ(&g_pUnitsPpmRef, SettingsBindingTable[IndexOf("units_parms/ppm_ref")].pointer);
    EXPECT_EQ(&g_pParametersLock, SettingsBindingTable[IndexOf("host_if/parameters/lock")].pointer);
    EXPECT_EQ(&g_pMeasurementAveragingCount,
              SettingsBindingTable[IndexOf("measure_parms/averaging/measurement/count")].pointer);
}

TEST_F(BindingsTest, BindsEveryPathOfACompleteTree)
{
    CParameterNode* root = Load();
    ASSERT_EQ(0, KorvexBindSettingsNodes());
    for (const SettingsBindingRow& row : SettingsBindingTable) {
        EXPECT_EQ(Node(root, row.path), *row.pointer) << row.path;
    }
    EXPECT_EQ(nullptr, g_pNoNode);
    EXPECT_EQ("fstep", g_pSearchFstep->GetName());
}

TEST_F(BindingsTest, MissingPathStopsTheBindingThere)
{
    // First binding: the pointers from the missing path on stay null.
    CParameterNode* partial = Load("measure_parms/search/fstep");
    EXPECT_EQ(ePathNotFound, KorvexBindSettingsNodes());
    const unsigned failing = IndexOf("measure_parms/search/fstep");
    for (unsigned i = 0; i < SettingsBindingCount; ++i) {
        const SettingsBindingRow& row = SettingsBindingTable[i];
        if (i < failing) {
            EXPECT_EQ(Node(partial, row.path), *row.pointer) << row.path;
        } else {
            EXPECT_EQ(nullptr, *row.pointer) << row.path;
        }
    }

    // After a complete binding, the same failure keeps the earlier tree's nodes there.
    CParameterNode* complete = Load();
    ASSERT_EQ(0, KorvexBindSettingsNodes());
    CParameterNode* again = Load("measure_parms/search/fstep");
    EXPECT_EQ(ePathNotFound, KorvexBindSettingsNodes());
    for (unsigned i = 0; i < SettingsBindingCount; ++i) {
        const SettingsBindingRow& row = SettingsBindingTable[i];
        EXPECT_EQ(Node(i < failing ? again : complete, row.path), *row.pointer) << row.path;
    }
}

TEST_F(BindingsTest, SecondBindingReplacesEveryPointer)
{
    CParameterNode* first = Load();
    ASSERT_EQ(0, KorvexBindSettingsNodes());
    CParameterNode* second = Load();
    ASSERT_EQ(0, KorvexBindSettingsNodes());
    for (const SettingsBindingRow& row : SettingsBindingTable) {
        EXPECT_EQ(Node(second, row.path), *row.pointer) << row.path;
        EXPECT_NE(Node(first, row.path), *row.pointer) << row.path;
    }
}

TEST_F(BindingsTest, NoRootBindsNothing)
{
    ParameterTreeRoot = nullptr;
    EXPECT_NE(0, KorvexBindSettingsNodes());
    for (const SettingsBindingRow& row : SettingsBindingTable) {
        EXPECT_EQ(nullptr, *row.pointer);
    }
}

}  // namespace
}  // namespace Korvex
