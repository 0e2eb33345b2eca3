// The ROUTe commands against the simulated controller: selection and its read-back, the
// topology scan, per-channel probe data, the Hall sensor, raw frames and device memory.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "Host/scpi/RouteFixture.h"

namespace korvex_test {
namespace {

using RouteCommands = RouteFixture;

const std::vector<std::string> ClientTopology = {
    "1 mux ports=4 word=768 number=1",
    "1/2 probe word=513 number=1002 designation=P-2",
    "1/3 camera heads=2 word=1536 number=1003",
    "1/4 probe word=514 number=1004 designation=P-4 memory=directory hall=0.001,-0.002,0.0005"};

void SetText(Korvex::CParameterNode* node, const char* text) {
    Korvex::CParameterNode::SetStringAttribute(node, Korvex::eAttrValue, text);
}

TEST_F(RouteCommands, ScanSelectAndReadBack) {
    PlugAll(ClientTopology);
    const std::string scan = "(@1!2,1!3!1,1!3!2,1!3,1!4)\n";
    EXPECT_EQ(Ask("ROUT:PROB:SCAN?"), scan);
    EXPECT_EQ(Ask("ROUT:PROB:SCAN?"), scan);
    EXPECT_EQ(Ask("ROUT:CLOS (@1!4)"), "");
    EXPECT_EQ(Errors(), "");
    EXPECT_EQ(Ask("ROUT:CLOS:ACT?;:ROUT:CLOS:STAT?"), "(@1!4);(@1!4)\n");
    EXPECT_EQ(Ask("ROUT:CLOS (@1)"), "");
    EXPECT_EQ(Errors(), "203,Invalid Channel List");

    Korvex::SelectableChannels() = {Channel({1, 2}), Channel({3})};
    EXPECT_EQ(Ask("ROUT:CLOS:STAT?"), "(@1!2,3)\n");
    SetText(Korvex::g_pParametersFormat, "REAL");
    EXPECT_EQ(Ask("ROUT:CLOS:STAT?"), std::string("#6000004\x01\x02\x00\x03\n", 13));
    EXPECT_EQ(Ask("ROUT:CLOS:ACT?"), std::string("#6000002\x01\x04\n", 11));
}

TEST_F(RouteCommands, NothingConnected) {
    Controller().Clear();
    EXPECT_EQ(Ask("ROUT:CLOS:ACT?"), "(@)\n");
    SetText(Korvex::g_pParametersFormat, "REAL");
    EXPECT_EQ(Ask("ROUT:CLOS:ACT?"), "#10\n");
    EXPECT_EQ(Ask("ROUT:PROB:SCAN?"), "\n");
    EXPECT_EQ(Errors(), "201,No probe");
}

TEST_F(RouteCommands, ProbeFields) {
    PlugAll(ClientTopology);
    ASSERT_EQ(Ask("ROUT:PROB:SCAN?").substr(0, 2), "(@");
    EXPECT_EQ(Ask("ROUT:PROB:MOD? (@1!2,1!1)"), "513,-1\n");
    EXPECT_EQ(Errors(), "203,Invalid Channel List");
    EXPECT_EQ(Ask("ROUT:PROB:SER? (@1!4)"), "1004\n");
    ASSERT_EQ(Ask("ROUT:CLOS (@1!4)"), "");
    EXPECT_EQ(Ask("ROUT:PROB:DES? (@1!4,1!2)"), "P-4,-\n");
    EXPECT_EQ(Errors(), "");

    // Limits in the selected unit, each with its trailing blank; a probe never activated
    // lacks them.
    const double gyro = 42.57747892e6;
    SetText(Korvex::g_pUnitsSelected, "T");
    char expected[64];
    std::snprintf(expected, sizeof expected, "%.15g ;%.15g \n", 21.29e6 / gyro, 127.73e6 / gyro);
    EXPECT_EQ(Ask("ROUT:PROB:MIN? (@1!4);MAX? (@1!4)"), expected);
    EXPECT_EQ(Errors(), "");
    EXPECT_EQ(Ask("ROUT:PROB:MIN? (@1!2)"), "-1\n");
    EXPECT_EQ(Errors(), "204,Data not all available");
    // A frequency unit of the probe's nucleus uses that channel's own ratio.
    SetText(Korvex::g_pUnitsSelected, "MAHZ");
    EXPECT_EQ(Ask("ROUT:PROB:MIN? (@1!4)"), "21.29 \n");
}

TEST_F(RouteCommands, HallSensorOfTheCurrentProbe) {
    PlugAll(ClientTopology);
    ASSERT_EQ(Ask("ROUT:PROB:SCAN?").substr(0, 2), "(@");
    EXPECT_EQ(Ask("ROUT:PROB:HALL?"), "\n");
    EXPECT_EQ(Errors(), "201,No probe");
    ASSERT_EQ(Ask("ROUT:CLOS (@1!4)"), "");
    SetText(Korvex::g_pUnitsSelected, "T");
    const std::string reply = Ask("ROUT:PROB:HALL?");
    double x = 0, y = 0, z = 0;
    ASSERT_EQ(std::sscanf(reply.c_str(), "%lf,%lf,%lf", &x, &y, &z), 3) << reply;
    EXPECT_NEAR(x, 0.001, 2e-5);
    EXPECT_NEAR(y, -0.002, 2e-5);
    EXPECT_NEAR(z, 0.0005, 2e-5);
    EXPECT_EQ(Ask("ROUT:PROB:HALL:RAW?"), "32778,32748,32773,32768\n");
    // A probe without a sensor.
    ASSERT_EQ(Ask("ROUT:CLOS (@1!2)"), "");
    EXPECT_EQ(Ask("ROUT:PROB:HALL?"), "\n");
    EXPECT_EQ(Errors(), "204,Data not all available");
}

TEST_F(RouteCommands, RefusedWhileMeasuring) {
    MeasuringSeam measuring;
    Korvex::CAcquisitionSeam::Install(&measuring);
    EXPECT_EQ(Ask("ROUT:PROB:SCAN?"), "\n");
    EXPECT_EQ(Ask("ROUT:CLOS (@1)"), "");
    EXPECT_EQ(Errors(), "-221,Settings conflict|-221,Settings conflict");
    EXPECT_TRUE(Korvex::SelectableChannels().empty());
}

TEST_F(RouteCommands, LowLevelFrames) {
    // A request (topology changed?) answers an empty block.
    EXPECT_EQ(Ask(std::string("ROUT:LOWL? #14\x22\x00\x04\x26", 18)), "#10\n");
    // Its reply frame, read at the odd address.
    const std::string reply = Ask(std::string("ROUT:LOWL? #11\x23", 15));
    ASSERT_GE(reply.size(), 4u);
    EXPECT_EQ(reply.substr(0, 3), "#15");
    EXPECT_EQ(reply.size(), 3u + 5u + 1u);
    EXPECT_EQ(Errors(), "");
    // A request whose length field is not its size, or shorter than a frame.
    EXPECT_EQ(Ask(std::string("ROUT:LOWL? #14\x22\x00\x09\x2B", 18)), "\n");
    EXPECT_EQ(Ask(std::string("ROUT:LOWL? #13\x22\x00\x03", 17)), "\n");
    EXPECT_EQ(Ask("ROUT:LOWL? #10"), "\n");
    EXPECT_EQ(Errors(), "-161,Invalid block data|-161,Invalid block data|-161,Invalid block data");
}

TEST_F(RouteCommands, PeripheralMemory) {
    PlugAll(ClientTopology);
    ASSERT_EQ(Ask("ROUT:PROB:SCAN?").substr(0, 2), "(@");
    const std::string image = Ask("ROUT:MMEM:DATA? (@1!4)");
    ASSERT_GT(image.size(), 4u);
    ASSERT_EQ(image[0], '#');
    const unsigned digits = static_cast<unsigned>(image[1] - '0');
    const std::size_t length = std::strtoul(image.substr(2, digits).c_str(), nullptr, 10);
    EXPECT_EQ(image.size(), 2 + digits + length + 1);
    EXPECT_EQ(Ask("ROUT:MMEM:DATA (@1!4)," + image.substr(0, image.size() - 1)), "");
    EXPECT_EQ(Errors(), "");

    EXPECT_EQ(Ask("ROUT:MMEM:DATA? (@1!1)"), "\n");
    EXPECT_EQ(Ask("ROUT:MMEM:DATA? (@1!2,1!4)"), "\n");
    EXPECT_EQ(Errors(), "203,Invalid Channel List|203,Invalid Channel List");

    // No object at the channel: the block goes straight to the device at that route.
    Plug("1/1", "probe memory=blank");
    EXPECT_EQ(Ask("ROUT:MMEM:DATA (@1!1),#15hello"), "");
    EXPECT_EQ(Errors(), "");
    const std::vector<std::uint8_t>& memory = Controller().Device("1/1")->Memory();
    EXPECT_EQ(std::string(memory.begin(), memory.begin() + 5), "hello");
    // Nothing there at all.
    EXPECT_EQ(Ask("ROUT:MMEM:DATA (@1!1!2),#15hello"), "");
    EXPECT_EQ(Errors(), "-311,Memory error");
}

}  // namespace
}  // namespace korvex_test
