// Probe, camera, camera head and multiplexer objects against the simulated controller.
#include <gtest/gtest.h>

#include <cstring>

#include "Host/parameters/Bindings.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/peripherals/CKorvexMultiplexer.h"
#include "Host/peripherals/CKorvexPulsedCamera.h"
#include "Host/peripherals/CKorvexPulsedCameraHead.h"
#include "Host/peripherals/CKorvexPulsedProbe.h"
#include "PeripheralFixture.h"
#include "sim/peripheral_devices/PeripheralDevices.h"
#include "support/FactoryTree.h"

namespace {

using namespace Korvex;
using korvex_test::Bytes;
namespace sp = sim::periph;

CKorvexChannel Channel(std::initializer_list<std::uint8_t> levels) {
    CKorvexChannel c;
    for (auto l : levels) c.AddLevel(l);
    return c;
}

class PeripheralClasses : public korvex_test::PeripheralFixture {
protected:
    void SetUp() override {
        root = korvex_test::LoadFactoryTree();  // from the repository, before the board's files
        PeripheralFixture::SetUp();
    }
    void TearDown() override {
        korvex_test::UnloadFactoryTree(root);
        ParameterTreeRoot = nullptr;
        PeripheralFixture::TearDown();
    }
    // The identifier the controller reports for the device at path.
    static DeviceIdentifier Id(const std::string& path) {
        sp::SimDevice* d = Controller().Device(path);
        DeviceIdentifier id;
        id.presence = 1;
        id.typeCode = d->TypeCode();
        id.word = d->Word();
        id.number = d->Number();
        id.capability = d->Capability();
        return id;
    }
    // Memory reads of a selector among the requests.
    static unsigned Reads(std::uint8_t selector) {
        unsigned n = 0;
        for (const Bytes& f : Frames(0x2C))
            if (f[f.size() - 2] == selector) ++n;
        return n;
    }
    static Bytes Window(std::uint32_t a, std::uint32_t b) {
        Bytes w;
        sp::PutU32(w, a);
        sp::PutU32(w, b);
        return w;
    }

    CParameterNode* root = nullptr;
};

TEST_F(PeripheralClasses, ProbeReadsSingleRecordsBelowMapWord512) {
    Controller().Device("1")->SetMapWord(511);
    CKorvexPulsedProbe probe(Channel({1}), Id("1"));
    EXPECT_FALSE(probe.IsInitialised());
    EXPECT_EQ(probe.GetIdentityText(), "-");
    ASSERT_EQ(probe.Initialise(), 0);
    EXPECT_TRUE(probe.IsInitialised());
    EXPECT_EQ(probe.GetIdentityText(), "PW probe");
    EXPECT_EQ(probe.GetMaxFreq(), sp::kDefaultMaxHz);
    EXPECT_EQ(probe.GetGyroRatio(), sp::kDefaultGyroRatio);
    EXPECT_EQ(probe.GetPhysicalInformation()->NoiseLevelCurve.count, 4);
    EXPECT_EQ(Reads(1), 1u);
    EXPECT_EQ(Reads(12), 0u);
    EXPECT_EQ(Reads(8), 0u);  // no Hall sensor: its defaults stay
    EXPECT_EQ(probe.Hall().offset[0], 0x8000);
    EXPECT_EQ(probe.Hall().gain[2], 1.0f);
    EXPECT_EQ(probe.Hall().reference, 0);
    EXPECT_FALSE(probe.GetHallState());
    EXPECT_EQ(probe.IsNotPulsed(0), 0);
    EXPECT_EQ(probe.GetSubChannelCount(), 0);
    EXPECT_TRUE(probe.IsMeasuring());

    Controller().ClearRequests();
    EXPECT_EQ(probe.Initialise(), 0);  // once only
    EXPECT_TRUE(Controller().Requests().empty());
}

TEST_F(PeripheralClasses, ProbeReadsTheDirectoryFromMapWord512) {
    Plug("1", "probe memory=directory designation=DIR-1 hall=0.3,0.4,0");
    CKorvexPulsedProbe probe(Channel({1}), Id("1"));
    ASSERT_EQ(probe.Initialise(), 0);
    EXPECT_EQ(probe.GetIdentityText(), "DIR-1");
    EXPECT_EQ(Reads(1), 0u);
    EXPECT_GT(Reads(12), 0u);
    EXPECT_EQ(probe.Directory().version, 2);
    EXPECT_TRUE(probe.GetHallState());
    float x, y, z, m, s;
    ASSERT_EQ(probe.GetHallValue(x, y, z, m, s), 0);
    EXPECT_NEAR(x, 0.3f, 1e-6);
    EXPECT_NEAR(y, 0.4f, 1e-6);
    EXPECT_NEAR(m, 0.5f, 1e-6);
    EXPECT_FLOAT_EQ(s, 0.05f);

    Plug("1", "probe memory=blank");
    CKorvexPulsedProbe blank(Channel({1}), Id("1"));
    EXPECT_EQ(blank.Initialise(), 48);
    EXPECT_FALSE(blank.IsInitialised());
}

TEST_F(PeripheralClasses, HallValueFromTheRawWords) {
    Plug("1", "probe hall=0,0,0");
    Bytes hall;
    sp::PutU16(hall, 2);
    hall.push_back(0x03);
    sp::PutU16(hall, 0x1234);
    hall.push_back(200);
    for (int i = 0; i < 3; ++i) sp::PutU16(hall, 0);
    for (int i = 0; i < 3; ++i) sp::PutFloat(hall, 1.0f);
    sp::PutU16(hall, 0);
    for (int i = 0; i < 6; ++i) sp::PutFloat(hall, 0.0f);
    Controller().Device("1")->SetRecord(8, hall);
    Controller().Device("1")->SetRecord(9, {0, 1, 0, 3, 0, 4, 0, 0, 0, 0});
    CKorvexPulsedProbe probe(Channel({1}), Id("1"));
    ASSERT_EQ(probe.Initialise(), 0);
    float x, y, z, m, s;
    ASSERT_EQ(probe.GetHallValue(x, y, z, m, s), 0);
    EXPECT_EQ(x, 3.0f);
    EXPECT_EQ(y, 4.0f);
    EXPECT_EQ(z, 0.0f);
    EXPECT_EQ(m, 5.0f);
    EXPECT_EQ(s, 2.0f);

    hall[2] = 0x02;  // set up on activation, sensor off
    Controller().Device("1")->SetRecord(8, hall);
    CKorvexPulsedProbe off(Channel({1}), Id("1"));
    ASSERT_EQ(off.Initialise(), 0);
    EXPECT_FALSE(off.GetHallState());
    x = y = 9;
    EXPECT_EQ(off.GetHallValue(x, y, z, m, s), 48);
    EXPECT_EQ(x, 0.0f);
    EXPECT_EQ(s, 0.0f);
    std::uint16_t w[4];
    EXPECT_EQ(off.ReadHallWords(w[0], w[1], w[2], w[3]), 0);
    EXPECT_EQ(w[1], 4);
    Controller().Device("1")->SetRecord(9, {0, 2, 0, 3, 0, 4, 0, 0, 0, 0});  // version 2
    EXPECT_EQ(off.ReadHallWords(w[0], w[1], w[2], w[3]), 48);
}

TEST_F(PeripheralClasses, ActivationRoutesAndSendsTheSampleWindow) {
    std::uint32_t start = 0, length = 0;
    CKorvexPulsedProbe::SampleWindow(0.0, 0.0001, 0.002, start, length);
    EXPECT_EQ(start, 110u);
    EXPECT_EQ(length, 2310u);
    CKorvexPulsedProbe::SampleWindow(-1.0, 0.0, 1e9, start, length);
    EXPECT_EQ(start, 0u);
    EXPECT_EQ(length, 0xFFFFFFFFu);

    CParameterNode::SetValue(g_pSampleOffset, 0.0);
    CParameterNode::SetValue(g_pAcquisitionShortDuration, 0.0001);
    Plug("1", "probe hall=0,0,0");
    CKorvexPulsedProbe probe(Channel({1}), Id("1"));
    ASSERT_EQ(probe.Activate(), 0);
    EXPECT_EQ(Controller().Device("1")->Written(7), Window(110, 2310));
    EXPECT_EQ(Controller().Device("1")->Written(15), (Bytes{0x5A, 0x01}));
    EXPECT_EQ(Controller().CurrentRoute(), (Bytes{0, 0x01, 0x02, 0x01, 0x86, 0xA1}));

    CParameterNode::SetValue(g_pSampleMode, "MANual");
    CParameterNode::SetValue(g_pSampleLength, 0.001);
    Controller().ClearRequests();
    ASSERT_EQ(probe.Activate(), 0);
    EXPECT_EQ(Frames(0x26).size(), 2u);  // reset, then the probe
    EXPECT_EQ(Frames(0x2C).size(), 0u);  // no memory read again
    EXPECT_EQ(Controller().Device("1")->Written(7), Window(110, 1210));

    std::string error;
    ASSERT_TRUE(Controller().Unplug("1", error));
    EXPECT_EQ(probe.Activate(), 11);  // the controller refuses the route to an empty socket
}

TEST_F(PeripheralClasses, MemoryWritesGoInChunks) {
    CKorvexPulsedProbe probe(Channel({1}), Id("1"));
    Bytes image(1000);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 3);
    ASSERT_EQ(probe.WriteDeviceMemory(image), 0);
    const auto writes = Frames(0x2A);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(Bytes(writes[0].begin() + 10, writes[0].begin() + 14), (Bytes{0, 0, 2, 0}));
    EXPECT_EQ(Bytes(writes[1].begin() + 10, writes[1].begin() + 14), (Bytes{2, 0, 1, 0xE8}));
    EXPECT_EQ(Bytes(Controller().Device("1")->Memory().begin(),
                    Controller().Device("1")->Memory().begin() + 1000),
              image);
    Controller().ClearRequests();
    EXPECT_EQ(CKorvexPeripheral::WriteMemory(image, Channel({1}), 0, 0, 512, 65000), 48);
    EXPECT_TRUE(Frames(0x2A).empty());  // would wrap past 0xFFFF: nothing sent
    EXPECT_EQ(CKorvexPeripheral::WriteMemory({}, Channel({1}), 0, 0, 512, 0), 0);
}

TEST_F(PeripheralClasses, MultiplexerAndChannelCopy) {
    Plug("1", "mux ports=3 designation=MUX-A");
    CKorvexMultiplexer mux(Channel({1}), Id("1"), 3);
    EXPECT_FALSE(mux.IsMeasuring());
    EXPECT_EQ(mux.GetSubChannelCount(), 3);
    ASSERT_EQ(mux.Initialise(), 0);
    EXPECT_EQ(mux.GetIdentityText(), "MUX-A");
    EXPECT_TRUE(Frames(0x26).empty());  // no route for a multiplexer
    Bytes bytes;
    EXPECT_EQ(mux.ReadDeviceMemory(bytes), 48);
    EXPECT_NE(mux.IsNotPulsed(0), 0);
    EXPECT_EQ(mux.GetPwPhysicalInformation().GyroRatio, 1.0);

    CKorvexChannel nine = Channel({1, 2, 3, 4, 5});
    nine.count = 9;
    CKorvexMultiplexer odd(nine, Id("1"), 0);
    EXPECT_EQ(odd.GetChannel().count, 5);
}

TEST_F(PeripheralClasses, CameraAndHeads) {
    Plug("1", "camera heads=2 range=20e6,130e6 designation=CAM");
    Bytes cameraRecord;
    sp::PutU16(cameraRecord, 1);
    for (double v : {25e6, 100e6, 2e3, 4e5, 2.0}) sp::PutDouble(cameraRecord, v);
    sp::PutU16(cameraRecord, 0);
    Controller().Device("1")->SetRecord(1, cameraRecord);
    CKorvexPulsedCamera camera(Channel({1}), Id("1"));
    ASSERT_EQ(camera.Initialise(), 0);
    EXPECT_EQ(camera.GetIdentityText(), "CAM");
    EXPECT_EQ(camera.GetSubChannelCount(), 2);
    EXPECT_EQ(camera.GetMinFreq(), 25e6);   // raised to the camera's lowest
    EXPECT_EQ(camera.GetMaxFreq(), 100e6);  // lowered to the camera's highest
    EXPECT_EQ(camera.GetPhysicalInformation()->FreqMultiplier, 2.0);
    EXPECT_EQ(camera.GetGyroRatio(), sp::kDefaultGyroRatio);
    EXPECT_EQ(camera.Block().text, "camera");
    EXPECT_EQ(Controller().Device("1")->Written(13), (Bytes{2, 1, 0, 2, 1}));
    EXPECT_FALSE(camera.GetHallState());
    float f[5];
    EXPECT_EQ(camera.GetHallValue(f[0], f[1], f[2], f[3], f[4]), 48);

    CKorvexPulsedCameraHead head(&camera, 2);
    EXPECT_EQ(head.GetTypeCode(), 2u);
    EXPECT_EQ(head.GetChannel().count, 2);
    EXPECT_EQ(head.GetIdentityText(), "CAM");
    EXPECT_EQ(head.GetMaxFreq(), 100e6);
    ASSERT_EQ(head.Activate(), 0);
    EXPECT_EQ(Controller().CurrentRoute()[0], 1);
    EXPECT_EQ(Controller().CurrentRoute()[1], 2);
    Bytes bytes;
    EXPECT_EQ(head.ReadDeviceMemory(bytes), 48);

    CKorvexPulsedCameraHead beyond(&camera, 3);
    EXPECT_EQ(beyond.GetMinFreq(), 0.0);
    EXPECT_EQ(beyond.GetMaxFreq(), 0.0);
    EXPECT_EQ(beyond.GetGyroRatio(), 1.0);

    // Mixed gyromagnetic ratios: the nominal one. A head-map index past the set: defaults.
    auto& m = Controller().Device("1")->Memory();
    const std::size_t headMapAt = m[31 + 3 * 1 + 1] << 8 | m[31 + 3 * 1 + 2];
    const std::size_t recordsAt = m[31 + 3 * 5 + 1] << 8 | m[31 + 3 * 5 + 2];
    Bytes gyro;
    sp::PutDouble(gyro, 10.705e6);
    std::memcpy(&m[recordsAt + 1 + 125 + 42], gyro.data(), 8);
    m[headMapAt + 1 + 2 + 1] = 7;  // head 2 -> record 7 of 2
    CKorvexPulsedCamera mixed(Channel({1}), Id("1"));
    ASSERT_EQ(mixed.Initialise(), 0);
    EXPECT_EQ(mixed.GetGyroRatio(), CParameterNode::GetFloat64Attribute(g_pNominalPGyroRatio, eAttrValue));
    CKorvexPulsedCameraHead lost(&mixed, 2);
    EXPECT_EQ(lost.GetGyroRatio(), 1.0);
    EXPECT_EQ(lost.GetPhysicalInformation(), &PwDefaultPhysicalInformation());

    CKorvexPulsedCamera empty(Channel({1}), Id("1"));  // no records read
    EXPECT_EQ(empty.GetMinFreq(), 0.0);
    EXPECT_EQ(empty.GetMaxFreq(), 0.0);
    EXPECT_EQ(empty.GetGyroRatio(), 1.1);
    EXPECT_EQ(empty.GetPhysicalInformation(), &PwDefaultPhysicalInformation());

    m[recordsAt] = 9;  // more records than the block holds
    CKorvexPulsedCamera truncated(Channel({1}), Id("1"));
    EXPECT_EQ(truncated.Initialise(), 48);
}

}  // namespace
