// The MMEMory commands on the board's file systems: listing, reading and writing files, the
// path rules, and storing and loading settings classes.
#include <gtest/gtest.h>

#include <algorithm>

#include "Host/parameters/FileServices.h"
#include "Host/scpi/FileCommands.h"
#include "Host/scpi/RouteFixture.h"

namespace korvex_test {
namespace {

using FileCommands = RouteFixture;

bool Exists(const std::string& path) {
    std::uint32_t size = 0;
    return Korvex::KorvexStatFile(path, size) == 0;
}

TEST_F(FileCommands, WriteReadAndList) {
    const std::string empty = Ask("MMEM:CAT?");
    std::vector<Korvex::DirListEntry> entries;
    ASSERT_EQ(Korvex::KorvexListDirectory("/yaffs", entries, true), 0);
    if (entries.empty()) {
        EXPECT_EQ(std::count(empty.begin(), empty.end(), ','), 1) << empty;
    }

    EXPECT_EQ(Ask("MMEM:DATA \"/yaffs/user/note.txt\",#15hello"), "");
    EXPECT_EQ(Ask("MMEM:DATA? \"/yaffs/user/note.txt\""), "hello\n");
    EXPECT_NE(Ask("MMEM:CAT?").find(",/yaffs/user/note.txt,,5"), std::string::npos);
    // Replaced, not appended.
    EXPECT_EQ(Ask("MMEM:DATA \"/yaffs/user/note.txt\",#12ok;:MMEM:DATA? \"/yaffs/user/note.txt\""), "ok\n");
    EXPECT_EQ(Ask("MMEM:DEL \"/yaffs/user/note.txt\""), "");
    EXPECT_FALSE(Exists("/yaffs/user/note.txt"));
    EXPECT_EQ(Errors(), "");
}

TEST_F(FileCommands, PathRules) {
    EXPECT_TRUE(Korvex::PathHasDotComponent("/yaffs/user/../x"));
    EXPECT_TRUE(Korvex::PathHasDotComponent("/yaffs/./x"));
    EXPECT_TRUE(Korvex::PathHasDotComponent(".."));
    EXPECT_FALSE(Korvex::PathHasDotComponent("/yaffs/user/a..b/.c"));

    EXPECT_EQ(Ask("MMEM:DATA \"/yaffs/user2/x\",#11x"), "");
    EXPECT_EQ(Error(), "-257,File name error");
    EXPECT_EQ(Ask("MMEM:DATA \"/yaffs/user/sub/x\",#11x"), "");
    EXPECT_EQ(Error(), "-311,Memory error");
    EXPECT_EQ(Ask("MMEM:DATA \"/yaffs/user/../x\",#11x"), "");
    EXPECT_EQ(Ask("MMEM:DATA? \"/yaffs/../..\""), "\n");
    EXPECT_EQ(Ask("MMEM:DATA? \"\""), "\n");
    EXPECT_EQ(Ask("MMEM:DEL \"/yaffs/user/../settings/LastPowerOff.xml\""), "");
    EXPECT_EQ(Ask("MMEM:LOAD 0,\"/yaffs/user/../settings/LastPowerOff.xml\""), "");
    EXPECT_EQ(Ask("MMEM:LOAD 0,\"/yaffs/user/x.xml\""), "");
    EXPECT_EQ(Ask("MMEM:STOR 0,\"a/b\",MEAS"), "");
    EXPECT_EQ(Ask("MMEM:STOR 0,\"..\",MEAS"), "");
    EXPECT_EQ(Ask("MMEM:DEL \"/romfs/factory.xml\""), "");
    EXPECT_EQ(Errors(), "-257,File name error|-257,File name error|-257,File name error|"
                        "-257,File name error|-257,File name error|-257,File name error|"
                        "-257,File name error|-257,File name error|-257,File name error");
    EXPECT_FALSE(Exists("/yaffs/x"));

    // The state number is looked at first.
    EXPECT_EQ(Ask("MMEM:LOAD 1,\"/yaffs/user/../x\""), "");
    EXPECT_EQ(Ask("MMEM:STOR 1,\"t\",MEAS"), "");
    EXPECT_EQ(Errors(), "-120,Numeric data error|-120,Numeric data error");
}

TEST_F(FileCommands, StoreAndLoadSettings) {
    PlugAll({"1 mux ports=4", "1/2 probe", "1/4 probe"});
    ASSERT_EQ(Ask("ROUT:PROB:SCAN?"), "(@1!2,1!4)\n");
    EXPECT_EQ(Ask("MMEM:STOR 0,\"t1\",MEAS"), "");
    EXPECT_TRUE(Exists("/yaffs/settings/measure_parms/t1"));
    // The save emptied the peripheral nodes: the next scan builds them again.
    EXPECT_EQ(Ask("ROUT:PROB:SCAN?"), "(@1!2,1!4)\n");
    EXPECT_EQ(Ask("MMEM:LOAD 0,\"/yaffs/settings/measure_parms/t1\""), "");
    EXPECT_EQ(Errors(), "");
    // Any file below /yaffs/ may be deleted.
    EXPECT_EQ(Ask("MMEM:DEL \"/yaffs/settings/measure_parms/t1\""), "");
    EXPECT_EQ(Ask("MMEM:DEL \"/yaffs/settings/measure_parms/t1\""), "");
    EXPECT_EQ(Errors(), "-311,Memory error");
}

TEST_F(FileCommands, SettingsRefusedWhileMeasuring) {
    PlugAll({"1 probe"});
    ASSERT_EQ(Ask("ROUT:PROB:SCAN?"), "(@1)\n");
    ASSERT_EQ(Ask("ROUT:CLOS (@1)"), "");
    void* probe = CurrentProbe();
    ASSERT_NE(probe, nullptr);
    MeasuringSeam measuring;
    Korvex::CAcquisitionSeam::Install(&measuring);
    EXPECT_EQ(Ask("MMEM:STOR 0,\"t2\",MEAS"), "");
    EXPECT_EQ(Ask("MMEM:LOAD 0,\"/yaffs/settings/measure_parms/t2\""), "");
    EXPECT_EQ(Errors(), "-221,Settings conflict|-221,Settings conflict");
    EXPECT_FALSE(Exists("/yaffs/settings/measure_parms/t2"));
    // The measuring probe's object is still there.
    EXPECT_EQ(CurrentProbe(), probe);
    Korvex::CAcquisitionSeam::Install(nullptr);
}

}  // namespace
}  // namespace korvex_test
