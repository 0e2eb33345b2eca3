// The probe physical-information file: loading, bounds, the fate of a bad file, and the
// override of a probe's own record.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Host/peripherals/CKorvexPulsedProbe.h"
#include "Host/peripherals/ProbeXml.h"
#include "PeripheralFixture.h"

namespace {

using namespace Korvex;

class ProbeXml : public korvex_test::PeripheralFixture {
protected:
    void SetUp() override {
        PeripheralFixture::SetUp();
        Mount();
        file = Host(kProbeXmlPath);
        std::filesystem::create_directories(std::filesystem::path(file).parent_path());
    }
    void TearDown() override {
        ProbeXmlStatus = 2;
        PeripheralFixture::TearDown();
    }
    void Write(const std::string& text) { std::ofstream(file) << text; }
    bool Exists() const { return std::filesystem::exists(file); }

    std::string file;
};

const char kGood[] =
    "<Probe><StructVersion>1</StructVersion><MinFreq>1.5e6</MinFreq><MaxFreq>9e7</MaxFreq>"
    "<GyroRatio>42.5e6</GyroRatio><SampleLength>0.004</SampleLength><DeadTime>30</DeadTime>"
    "<Unknown x=\"3\">1,2,3</Unknown>"
    "<TuningCurve count=\"3\">10,20,30</TuningCurve><MatchingCurve>5,6</MatchingCurve></Probe>";

TEST_F(ProbeXml, GoodFileOverridesTheProbesRecord) {
    EXPECT_EQ(ProbeXmlLoadAtStartup(), 9);  // no file
    EXPECT_EQ(ProbeXmlStatus, 1u);
    Write(kGood);
    EXPECT_TRUE(PwPhysicalInformationSet::ProbeXmlExists());
    ASSERT_EQ(ProbeXmlLoadAtStartup(), 0);
    EXPECT_EQ(ProbeXmlStatus, 0u);
    const ProbeXmlRecord& r = ProbeXmlRecordData();
    EXPECT_EQ(r.MinFreq, 1.5e6);
    EXPECT_EQ(r.DeadTime, 30);
    EXPECT_EQ(r.TuningCurve.count, 3);
    EXPECT_EQ(r.TuningCurve.value[2], 30);
    EXPECT_EQ(r.MatchingCurve.count, 0);  // no attribute: no values
    EXPECT_EQ(r.MatchingCurve.value[0], 0);

    CKorvexChannel channel;
    channel.AddLevel(1);
    DeviceIdentifier id{1, 2, 0x0102, 100001, 0};
    CKorvexPulsedProbe probe(channel, id);
    ASSERT_EQ(probe.Initialise(), 0);
    EXPECT_EQ(probe.GetMaxFreq(), 9e7);
    EXPECT_EQ(probe.GetGyroRatio(), 42.5e6);
    EXPECT_EQ(probe.GetPhysicalInformation()->TuningCurve.count, 3);
    EXPECT_EQ(probe.GetPhysicalInformation()->NoiseLevelCurve.count, 0);
    EXPECT_EQ(probe.GetIdentityText(), "PW probe");  // identity still from the device
}

TEST_F(ProbeXml, BadFilesAreRefusedAndDeleted) {
    const std::string longText(513, '1');
    const std::string values129 = [] {
        std::string v = "1";
        for (int i = 1; i < 129; ++i) v += ",1";
        return v;
    }();
    const std::string cases[] = {
        "<P><StructVersion>2</StructVersion></P>",
        "<P><MinFreq>1</MinFreq></P>",  // no StructVersion
        "<P><StructVersion>1</StructVersion>",  // not well formed
        "<P><StructVersion>1</StructVersion><T2>" + longText + "</T2></P>",
        "<P><StructVersion>1</StructVersion><TuningCurve n=\"129\">1</TuningCurve></P>",
        "<P><StructVersion>1</StructVersion><TuningCurve n=\"128\">" + values129 + "</TuningCurve></P>",
    };
    for (const std::string& text : cases) {
        Write(text);
        EXPECT_EQ(PwPhysicalInformationSet::LoadProbeXml(), 10) << text.substr(0, 60);
        EXPECT_FALSE(Exists()) << text.substr(0, 60);
    }
    Write("<P><StructVersion>1</StructVersion><T2>" + std::string(512, '2') + "</T2></P>");
    EXPECT_EQ(PwPhysicalInformationSet::LoadProbeXml(), 0);  // 512 characters fit
    EXPECT_TRUE(Exists());
}

TEST_F(ProbeXml, LargeFileIsParsedInPieces) {
    std::string text = "<P><StructVersion>1</StructVersion>";
    while (text.size() < 3000) text += "<Comment>padding padding padding</Comment>";
    text += "<FreqStepCurve n=\"2\">7,8</FreqStepCurve></P>";
    Write(text);
    ASSERT_EQ(PwPhysicalInformationSet::LoadProbeXml(), 0);
    EXPECT_EQ(ProbeXmlRecordData().FreqStepCurve.value[1], 8);
}

}  // namespace
