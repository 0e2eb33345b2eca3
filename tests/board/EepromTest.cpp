// The identity EEPROM driver: one 140-byte block from offset 0, at most four transfers.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <string>

#include "board/eeprom/Eeprom.h"
#include "sim/eeprom/EepromSim.h"

namespace {

class Eeprom : public ::testing::Test {
protected:
    void SetUp() override { sim::eeprom::restore_default(); }
    void TearDown() override { sim::eeprom::restore_default(); }
};

TEST_F(Eeprom, ReadsTheFirst140BytesAndNothingMore) {
    std::array<std::uint8_t, sim::eeprom::Size> image{};
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i ^ 0x5A);
    sim::eeprom::set_bytes(0, image.data(), image.size());

    std::array<std::uint8_t, 160> buffer;
    buffer.fill(0xEE);
    ASSERT_EQ(eeprom_read_first_block(buffer.data()), 0);
    EXPECT_EQ(sim::eeprom::reads(), 1u);
    for (std::size_t i = 0; i < EepromIdentityRecordSize; ++i) EXPECT_EQ(buffer[i], image[i]) << i;
    for (std::size_t i = EepromIdentityRecordSize; i < buffer.size(); ++i)
        EXPECT_EQ(buffer[i], 0xEE) << "byte " << i << " past the record was written";
}

TEST_F(Eeprom, TriesAtMostFourTimes) {
    std::array<std::uint8_t, EepromIdentityRecordSize> buffer{};

    sim::eeprom::fail_next_reads(3);
    EXPECT_EQ(eeprom_read_first_block(buffer.data()), 0);
    EXPECT_EQ(sim::eeprom::reads(), 4u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&buffer[8])), "2.0");

    sim::eeprom::restore_default();
    sim::eeprom::fail_next_reads(4);
    EXPECT_EQ(eeprom_read_first_block(buffer.data()), EIO);
    EXPECT_EQ(EIO, 5);
    EXPECT_EQ(sim::eeprom::reads(), 4u);

    sim::eeprom::restore_default();
    sim::eeprom::fail_next_reads(10);
    EXPECT_EQ(eeprom_read_first_block(buffer.data()), 5);
    EXPECT_EQ(sim::eeprom::reads(), 4u);
    // The next call starts a fresh set of four tries.
    EXPECT_EQ(eeprom_read_first_block(buffer.data()), 5);
    EXPECT_EQ(sim::eeprom::reads(), 8u);
}

TEST_F(Eeprom, NullBufferIsRefusedWithoutATransfer) {
    EXPECT_EQ(eeprom_read_first_block(nullptr), EINVAL);
    EXPECT_EQ(EINVAL, 22);
    EXPECT_EQ(sim::eeprom::reads(), 0u);
}

}  // namespace
