// The identity EEPROM over the modelled I2C bus: argument checks, sequential reads at an
// offset, ACK polling while the device is busy, and the four-try identity-record read.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <string>

#include "I2cFixture.h"
#include "board/eeprom.h"
#include "platform/gpio/GpioPortE.h"

namespace {

using Eeprom = korvex_test::I2cFixture;

std::array<std::uint8_t, sim::eeprom::Size> Pattern() {
    std::array<std::uint8_t, sim::eeprom::Size> image{};
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i ^ 0x5A);
    return image;
}

TEST_F(Eeprom, ReadsTheFirst140BytesAndNothingMore) {
    const auto image = Pattern();
    sim::eeprom::set_bytes(0, image.data(), image.size());

    std::array<std::uint8_t, 160> buffer;
    buffer.fill(0xEE);
    ASSERT_EQ(eeprom_read_first_block(buffer.data()), 0);
    EXPECT_EQ(sim::eeprom::reads(), 1u);
    EXPECT_EQ(platform::soc::iic().last_segment(), 0u);
    EXPECT_FALSE(platform::gpio::port_e_read(platform::soc::kI2cSegmentPin));
    for (std::size_t i = 0; i < EepromIdentityRecordSize; ++i) EXPECT_EQ(buffer[i], image[i]) << i;
    for (std::size_t i = EepromIdentityRecordSize; i < buffer.size(); ++i)
        EXPECT_EQ(buffer[i], 0xEE) << "byte " << i << " past the record was written";
}

TEST_F(Eeprom, FirstBlockTriesAtMostFourTimes) {
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

TEST_F(Eeprom, RefusesBadArgumentsWithoutATransfer) {
    std::array<std::uint8_t, 256> buffer{};
    const std::uint32_t before = platform::soc::iic().bytes_moved();
    EXPECT_EQ(eeprom_read_first_block(nullptr), EINVAL);
    EXPECT_EQ(EINVAL, 22);
    EXPECT_EQ(eeprom_read(&s3c2410_i2c_bus, buffer.data(), 57, 200), 22);
    EXPECT_EQ(eeprom_read(&s3c2410_i2c_bus, buffer.data(), 0, 0), 22);
    EXPECT_EQ(eeprom_read(&s3c2410_i2c_bus, buffer.data(), 1, 256), 22);
    EXPECT_EQ(eeprom_read(nullptr, buffer.data(), 1, 0), 22);
    EXPECT_EQ(eeprom_read(&s3c2410_i2c_bus, nullptr, 1, 0), 22);
    EXPECT_EQ(platform::soc::iic().bytes_moved(), before);
    EXPECT_EQ(sim::eeprom::reads(), 0u);
}

TEST_F(Eeprom, ReadsUpToTheLastByteFromAnOffset) {
    const auto image = Pattern();
    sim::eeprom::set_bytes(0, image.data(), image.size());
    std::array<std::uint8_t, 56> buffer{};
    ASSERT_EQ(eeprom_read(&s3c2410_i2c_bus, buffer.data(), 56, 200), 0);
    for (std::size_t i = 0; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], image[200 + i]) << i;
    std::uint8_t one = 0;
    ASSERT_EQ(eeprom_read(&s3c2410_i2c_bus, &one, 1, 7), 0);
    EXPECT_EQ(one, image[7]);
}

TEST_F(Eeprom, PollsForTheAcknowledgeWhileTheDeviceIsBusy) {
    std::array<std::uint8_t, 4> buffer{};
    kernel::set_tick_ms(5.0);  // room for a busy machine between two polls
    const kernel::tick_t start = kernel::current_time();
    sim::BoardEeprom().BusyFor(5);
    EXPECT_EQ(eeprom_read(&s3c2410_i2c_bus, buffer.data(), 4, 8), 0);
    EXPECT_GE(kernel::current_time() - start, 5u);  // answered only once the busy time ran out
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data()), 3), "2.0");

    sim::BoardEeprom().BusyFor(30);
    EXPECT_EQ(eeprom_read(&s3c2410_i2c_bus, buffer.data(), 4, 8), 5);
    EXPECT_EQ(sim::eeprom::reads(), 1u);  // the read phase was never reached
}

}  // namespace
