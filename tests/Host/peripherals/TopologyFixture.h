// The peripheral fixture with the factory settings tree bound: the topology tests build
// device objects and nodes below `peripherals` from what the simulated controller reports.
#pragma once

#include <string>
#include <vector>

#include "Host/parameters/Bindings.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/peripherals/CKorvexPeripheral.h"
#include "Host/peripherals/CTopologyMonitorThread.h"
#include "Host/peripherals/PeripheralLookup.h"
#include "Host/peripherals/Topology.h"
#include "Host/scpi/units/MeasurementUnits.h"
#include "PeripheralFixture.h"
#include "support/FactoryTree.h"

namespace korvex_test {

class TopologyFixture : public PeripheralFixture {
protected:
    void SetUp() override {
        PeripheralFixture::SetUp();
        Mount();
        ASSERT_EQ(Korvex::CParameterNode::LoadXmlFile("/romfs/factory.xml", &root, nullptr), 0);
        Korvex::ParameterTreeRoot = root;
        ASSERT_EQ(Korvex::KorvexBindSettingsNodes(), 0);
        Korvex::SelectableChannels().clear();
        Korvex::CParameterNode::SetValue(Korvex::g_pCurrentChannelList,
                                         static_cast<void*>(&Korvex::SelectableChannels()));
    }
    void TearDown() override {
        Korvex::ResetPeripheralNodes(Korvex::g_pPeripherals, true);
        Korvex::SelectableChannels().clear();
        Korvex::KorvexSetProbeGyroRatioSource({});
        UnloadFactoryTree(root);
        PeripheralFixture::TearDown();
    }

    // "1/2 1/4": the channels' paths joined by blanks.
    static std::string Paths(const std::vector<Korvex::CKorvexChannel>& channels) {
        std::string text;
        for (const auto& c : channels) text += (text.empty() ? "" : " ") + Korvex::ChannelPath(c);
        return text;
    }
    static Korvex::CKorvexChannel Channel(std::initializer_list<std::uint8_t> levels) {
        Korvex::CKorvexChannel c;
        for (std::uint8_t l : levels) c.AddLevel(l);
        return c;
    }
    static std::string Build() {
        std::vector<Korvex::CKorvexChannel> channels;
        EXPECT_EQ(Korvex::CKorvexPeripheral::BuildTopology(channels), 0);
        return Paths(channels);
    }
    static std::string Refresh(int expected = 0) {
        std::vector<Korvex::CKorvexChannel> channels;
        EXPECT_EQ(Korvex::CKorvexPeripheral::RefreshTopology(channels), expected);
        return Paths(channels);
    }
    // The socket emptied, then each "<path> <description>" line plugged.
    static void PlugAll(const std::vector<std::string>& lines) {
        Controller().Clear();
        for (const std::string& line : lines) {
            const std::size_t blank = line.find(' ');
            Plug(line.substr(0, blank), line.substr(blank + 1));
        }
    }
    static bool Broken() {
        Korvex::CRecursiveLock tree(Korvex::ParameterTreeLock());
        return Korvex::CParameterNode::GetBooleanAttribute(Korvex::g_pNmrPathBroken, Korvex::eAttrValue);
    }
    static void* CurrentProbe() {
        Korvex::CRecursiveLock tree(Korvex::ParameterTreeLock());
        return Korvex::CParameterNode::GetPointerAttribute(Korvex::g_pCurrentProbeObject, Korvex::eAttrValue);
    }

    Korvex::CParameterNode* root = nullptr;
};

}  // namespace korvex_test
