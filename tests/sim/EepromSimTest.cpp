// The simulated identity EEPROM: address pointer, sequential reads, busy time and its
// content source.
#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "sim/eeprom/EepromSim.h"

namespace {

TEST(EepromSim, PointerWritesAndSequentialReadsWrapAt256) {
    sim::EepromSim e;
    ASSERT_TRUE(e.Start(0x54, false));
    ASSERT_TRUE(e.Write(254));          // pointer
    ASSERT_TRUE(e.Write(0x11));         // data at 254
    ASSERT_TRUE(e.Write(0x22));         // 255
    ASSERT_TRUE(e.Write(0x33));         // wraps to 0
    e.Stop();
    ASSERT_TRUE(e.Start(0x54, false));
    ASSERT_TRUE(e.Write(254));
    e.Stop();                           // the pointer survives STOP
    ASSERT_TRUE(e.Start(0x54, true));
    EXPECT_EQ(e.Read(true), 0x11);
    EXPECT_EQ(e.Read(true), 0x22);
    EXPECT_EQ(e.Read(false), 0x33);
    e.Stop();
    EXPECT_EQ(e.Reads(), 1u);
}

TEST(EepromSim, BusyRefusesAddressesForItsTicks) {
    sim::EepromSim e;
    e.BusyFor(1000000);
    EXPECT_FALSE(e.Start(0x54, false));
    e.BusyFor(0);
    EXPECT_TRUE(e.Start(0x54, false));
    e.FailNextReads(1);
    EXPECT_FALSE(e.Start(0x54, true));
    EXPECT_TRUE(e.Start(0x54, true));
}

TEST(EepromSim, ContentFromTheStateFolderElseTheDefaultRecord) {
    char tmpl[] = "/tmp/korvex-eeprom-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    sim::EepromSim e;
    const auto defaults = e.Bytes();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&defaults[68])), "KX2026");

    EXPECT_FALSE(e.LoadState(dir));
    EXPECT_EQ(e.Bytes(), defaults);

    std::array<char, 256> image;
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(255 - i);
    std::ofstream(dir + "/eeprom.bin", std::ios::binary).write(image.data(), image.size());
    EXPECT_TRUE(e.LoadState(dir));
    EXPECT_EQ(e.Bytes()[0], 255);
    EXPECT_EQ(e.Bytes()[255], 0);

    std::ofstream(dir + "/eeprom.bin", std::ios::binary).write(image.data(), 100);  // short
    EXPECT_FALSE(e.LoadState(dir));
    EXPECT_EQ(e.Bytes(), defaults);
    std::filesystem::remove_all(dir);
}

}  // namespace
