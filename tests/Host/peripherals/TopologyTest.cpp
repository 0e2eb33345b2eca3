// The topology build and refresh against the simulated controller, the reset of the device
// objects, and the selection of channels and channel lists.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "Host/peripherals/PeripheralCommands.h"
#include "Host/peripherals/TopologyLock.h"
#include "TopologyFixture.h"

namespace korvex_test {
namespace {

using Korvex::CKorvexChannel;
using Korvex::CKorvexPeripheral;
using Korvex::PeripheralAt;
using Korvex::PeripheralNodeAt;

using TopologyBuild = TopologyFixture;
using ChannelSelection = TopologyFixture;

const std::vector<std::string> MixedTopology = {
    "1 mux ports=4", "1/2 probe", "1/3 camera heads=2", "1/4 probe"};

TEST_F(TopologyBuild, DevicesNodesAndChannels) {
    // A single probe on the socket.
    EXPECT_EQ(Build(), "1");
    ASSERT_NE(PeripheralAt("1"), nullptr);
    EXPECT_EQ(PeripheralAt("1")->GetChannelNumber(), 1);

    // A multiplexer with probes on ports 2 and 4: numbered 1 and 2, empty ports skipped.
    PlugAll({"1 mux ports=4", "1/2 probe", "1/4 probe"});
    EXPECT_EQ(Build(), "1/2 1/4");
    ASSERT_NE(PeripheralAt("1"), nullptr);
    EXPECT_FALSE(PeripheralAt("1")->IsMeasuring());
    EXPECT_EQ(PeripheralNodeAt("1/1"), nullptr);
    EXPECT_EQ(PeripheralAt("1/2")->GetChannelNumber(), 1);
    EXPECT_EQ(PeripheralAt("1/4")->GetChannelNumber(), 2);
    EXPECT_EQ(CKorvexPeripheral::NumberChannels("1", 7), 9);

    // A camera with three heads: the heads, then the camera.
    PlugAll({"1 camera heads=3"});
    EXPECT_EQ(Build(), "1/1 1/2 1/3 1");
}

TEST_F(TopologyBuild, RefreshWithoutChangeAnswersTheBuiltList) {
    PlugAll(MixedTopology);
    const std::string built = Refresh();
    EXPECT_EQ(built, "1/2 1/3/1 1/3/2 1/3 1/4");
    CKorvexPeripheral* probe = PeripheralAt("1/2");
    EXPECT_EQ(Refresh(), built);
    EXPECT_EQ(Refresh(), built);
    // Nothing was rebuilt.
    EXPECT_EQ(PeripheralAt("1/2"), probe);

    // A multiplexer with nothing behind it: no channel.
    PlugAll({"1 mux"});
    EXPECT_EQ(Refresh(30), "");
}

TEST_F(TopologyBuild, EmptiedTreeIsRebuiltByTheNextRefresh) {
    PlugAll(MixedTopology);
    const std::string built = Refresh();
    // What every settings save does.
    Korvex::ResetPeripheralNodes(Korvex::g_pPeripherals, true);
    bool changed = false;
    bool rebuild = false;
    EXPECT_EQ(CKorvexPeripheral::CheckTopologyChanged(changed, rebuild), 0);
    EXPECT_TRUE(changed);
    EXPECT_TRUE(rebuild);
    EXPECT_EQ(Refresh(), built);
}

TEST_F(TopologyBuild, FailedMultiplexerLeavesItsDevicesReachable) {
    PlugAll({"1 mux ports=2", "1/1 mux ports=2", "1/1/2 probe", "1/2 probe"});
    // The inner multiplexer's identity record is unreadable: its Initialise fails.
    Controller().Device("1/1")->SetRecord(2, {0xFF, 0xFF});
    const std::string built = Refresh();
    EXPECT_EQ(built, "1/2 1/1/2");
    ASSERT_NE(PeripheralNodeAt("1/1"), nullptr);
    EXPECT_EQ(PeripheralAt("1/1"), nullptr);
    EXPECT_EQ(Refresh(), built);
}

TEST_F(TopologyBuild, CameraAtTheDeepestLevelHasNoHeads) {
    PlugAll({"1 mux", "1/1 mux", "1/1/1 mux", "1/1/1/1 mux", "1/1/1/1/1 camera heads=2"});
    EXPECT_EQ(Build(), "1/1/1/1/1");
    CKorvexPeripheral* camera = nullptr;
    ASSERT_EQ(CKorvexPeripheral::SelectChannel(Channel({1, 1, 1, 1, 1}), camera), 0);
    CKorvexPeripheral* current = nullptr;
    EXPECT_EQ(CKorvexPeripheral::GetCurrentProbePath(current), 0);
    EXPECT_EQ(current, camera);

    // The controller routed five levels below the socket: no channel can hold that.
    CKorvexChannel route = Channel({1, 1, 1, 1, 1});
    try {
        Korvex::PeripheralRoute(route, camera->GetIdentifierWord(), camera->GetIdentifierNumber());
    } catch (int) {
    }
    std::uint16_t word = 0;
    std::uint32_t number = 0;
    CKorvexChannel now;
    ASSERT_EQ(Korvex::PeripheralGetCurrentRoute(now, word, number), 0);
    if (now.count == 5) {
        EXPECT_EQ(CKorvexPeripheral::GetCurrentProbePath(current), 30);
        EXPECT_EQ(current, nullptr);
        EXPECT_EQ(CurrentProbe(), nullptr);
    }
}

TEST_F(TopologyBuild, ResetClearsTheCurrentProbeBeforeDeletingIt) {
    PlugAll({"1 camera heads=2"});
    std::atomic<bool> stop{false};
    std::atomic<int> seen{0};
    // Reads current_probe/object under the tree lock and uses the object it finds.
    std::thread reader([&] {
        while (!stop.load()) {
            Korvex::CRecursiveLock tree(Korvex::ParameterTreeLock());
            auto* p = static_cast<CKorvexPeripheral*>(CurrentProbe());
            if (p != nullptr && p->GetChannel().count > 0) seen.fetch_add(1);
            double ratio = 0.0;
            Korvex::CurrentProbeGyroRatio(ratio);
        }
    });
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(Build(), "1/1 1/2 1");
        CKorvexPeripheral* head = nullptr;
        ASSERT_EQ(CKorvexPeripheral::SelectChannel(Channel({1, 2}), head), 0);
        ASSERT_EQ(CurrentProbe(), head);
        // On a loaded machine the reader may not have run yet: let it meet the probe once.
        for (int wait = 0; i == 0 && seen.load() == 0 && wait < 5000; ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        Korvex::ResetPeripheralNodes(Korvex::g_pPeripherals, i % 2 == 0);
        EXPECT_EQ(CurrentProbe(), nullptr);
    }
    stop.store(true);
    reader.join();
    EXPECT_GT(seen.load(), 0);
}

TEST_F(ChannelSelection, RefusalsKeepTheList) {
    PlugAll({"1 mux ports=4", "1/2 probe", "1/4 probe"});
    ASSERT_EQ(Build(), "1/2 1/4");
    ASSERT_EQ(CKorvexPeripheral::SelectChannelFromList({Channel({1, 2})}), 0);
    EXPECT_EQ(Paths(Korvex::SelectableChannels()), "1/2");

    CKorvexPeripheral* selected = nullptr;
    EXPECT_EQ(CKorvexPeripheral::SelectChannel(Channel({1}), selected), 29);  // the multiplexer
    EXPECT_EQ(CKorvexPeripheral::SelectChannel(Channel({1, 3}), selected), 29);  // no node
    EXPECT_EQ(CKorvexPeripheral::SelectChannelFromList({Channel({1, 4}), Channel({1})}), 29);
    EXPECT_EQ(CKorvexPeripheral::SelectChannelFromList({Channel({1, 4}), Channel({1, 3})}), 29);
    EXPECT_EQ(CKorvexPeripheral::SelectChannelFromList({}), 29);
    EXPECT_EQ(Paths(Korvex::SelectableChannels()), "1/2");
    EXPECT_THROW(CKorvexPeripheral::FindByPath("1/3"), Korvex::eError);
}

TEST_F(ChannelSelection, UnionOfDisjointRanges) {
    const double gyro = 42.57747892e6;
    PlugAll({"1 mux ports=4", "1/2 probe range=21.29e6,42.5e6", "1/4 probe range=85e6,127.73e6"});
    ASSERT_EQ(Build(), "1/2 1/4");
    ASSERT_EQ(CKorvexPeripheral::SelectChannelFromList({Channel({1, 4}), Channel({1, 2})}), 0);
    using Korvex::CParameterNode;
    EXPECT_NEAR(CParameterNode::GetFloat64Attribute(Korvex::g_pSearchLow, Korvex::eAttrMinimum), 21.29e6 / gyro, 1e-9);
    EXPECT_NEAR(CParameterNode::GetFloat64Attribute(Korvex::g_pSearchHigh, Korvex::eAttrMaximum), 127.73e6 / gyro, 1e-9);
    EXPECT_EQ(Paths(Korvex::SelectableChannels()), "1/4 1/2");
    // The first channel is the measuring one.
    EXPECT_EQ(CurrentProbe(), PeripheralAt("1/4"));
}

TEST_F(ChannelSelection, ZeroGyroRatioIsBadDeviceData) {
    PlugAll({"1 probe gyro=0"});
    ASSERT_EQ(Build(), "1");
    EXPECT_EQ(CKorvexPeripheral::SelectChannelFromList({Channel({1})}), 48);
    EXPECT_TRUE(Korvex::SelectableChannels().empty());
}

TEST_F(ChannelSelection, ChangeCheck) {
    ASSERT_EQ(Build(), "1");
    bool changed = true;
    bool rebuild = true;
    EXPECT_EQ(CKorvexPeripheral::CheckTopologyChanged(changed, rebuild), 0);
    EXPECT_FALSE(changed);
    EXPECT_FALSE(rebuild);
    // A plug makes the controller answer 0x11: a rebuild.
    Plug("1", "probe number=77");
    EXPECT_EQ(CKorvexPeripheral::CheckTopologyChanged(changed, rebuild), 0);
    EXPECT_TRUE(changed);
    EXPECT_TRUE(rebuild);
    ASSERT_EQ(Build(), "1");
    // A broken path asks for a build too.
    Korvex::CParameterNode::SetValue(Korvex::g_pNmrPathBroken, true);
    EXPECT_EQ(CKorvexPeripheral::CheckTopologyChanged(changed, rebuild), 0);
    EXPECT_TRUE(changed);
    EXPECT_FALSE(rebuild);
}

}  // namespace
}  // namespace korvex_test
