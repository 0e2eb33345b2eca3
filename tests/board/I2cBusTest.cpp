// The IIC bus driver against the controller model: clock programming, segment selection,
// transfer shapes on the wire, recovery of a bus left busy, and transactions of two threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "I2cFixture.h"
#include "board/eeprom.h"
#include "board/temp_sensor.h"
#include "platform/gpio/GpioPortE.h"
#include "platform/soc/SocBus.h"

namespace {

namespace soc = platform::soc;
using korvex_test::RecordingSlave;
using Strings = std::vector<std::string>;

class I2cBus : public korvex_test::I2cFixture {
protected:
    void SetUp() override {
        I2cFixture::SetUp();
        soc::i2c_attach(0, 0x33, &slave);
        soc::i2c_attach(1, 0x33, &other);
    }
    void TearDown() override {
        soc::i2c_detach(0, 0x33);
        soc::i2c_detach(1, 0x33);
        I2cFixture::TearDown();
    }
    i2c::Device Device(std::uint16_t flags = 0, std::uint32_t delay = 10000) {
        return i2c::Device{&s3c2410_i2c_bus, 0x33, flags, delay};
    }

    RecordingSlave slave, other;
};

TEST_F(I2cBus, ClockBitsFromTheBitDelay) {
    EXPECT_EQ(s3c2410_i2c_clock_bits(10000), 0x40u);  // 100 kHz: PCLK/512, divider 0
    EXPECT_EQ(s3c2410_i2c_clock_bits(2500), 0x07u);   // 400 kHz: PCLK/16, divider 7
    EXPECT_EQ(s3c2410_i2c_clock_bits(20000), 0x41u);  // 50 kHz: 1.95 -> 2 - 1
    EXPECT_EQ(s3c2410_i2c_clock_bits(100000), 0x49u); // 10 kHz: 9.77 -> 10 - 1
    EXPECT_EQ(s3c2410_i2c_clock_bits(10000000), 0x4Fu);  // slower than the divider reaches
    EXPECT_EQ(s3c2410_i2c_clock_bits(1), 0x00u);
}

TEST_F(I2cBus, TransferProgramsTheClockOfItsDevice) {
    const std::uint8_t byte = 0x5C;
    i2c::Device fast = Device(0, 2500);
    EXPECT_EQ(i2c::tx(&fast, &byte, 1), 1u);
    EXPECT_EQ(soc::iic().scl_hz(), 390625u);
    i2c::Device slow = Device();
    EXPECT_EQ(i2c::tx(&slow, &byte, 1), 1u);
    EXPECT_EQ(soc::iic().scl_hz(), 97656u);
    EXPECT_NE(soc::read32(soc::IICCON) & (1u << 5), 0u);  // interrupt enable kept
}

TEST_F(I2cBus, FlagBitZeroSelectsTheSecondSegment) {
    const std::uint8_t byte = 1;
    i2c::Device second = Device(kI2cFlagSegment1);
    EXPECT_EQ(i2c::tx(&second, &byte, 1), 1u);
    EXPECT_TRUE(platform::gpio::port_e_read(soc::kI2cSegmentPin));
    EXPECT_EQ(soc::iic().last_segment(), 1u);
    EXPECT_TRUE(slave.log.empty());
    EXPECT_EQ(other.log, (Strings{"S51w", "W1", "P"}));

    i2c::Device first = Device();
    EXPECT_EQ(i2c::tx(&first, &byte, 1), 1u);
    EXPECT_FALSE(platform::gpio::port_e_read(soc::kI2cSegmentPin));
    EXPECT_EQ(slave.log, (Strings{"S51w", "W1", "P"}));
}

TEST_F(I2cBus, WriteThenReadWithRepeatedStartAndNackOnTheLast) {
    slave.reply = {0x12, 0x34, 0x56};
    i2c::Device device = Device();
    std::uint8_t reg = 2, in[3] = {};
    i2c::transaction_begin(&device);
    EXPECT_EQ(i2c::transaction_tx(&device, true, &reg, 1, false), 1u);
    EXPECT_EQ(i2c::transaction_rx(&device, true, in, 3, true, true), 3u);
    i2c::transaction_stop(&device);
    i2c::transaction_end(&device);
    EXPECT_EQ(in[0], 0x12);
    EXPECT_EQ(in[2], 0x56);
    // The bus left busy by the first transfer is stopped before the second START; the stop
    // after the NACK clocks nothing more.
    EXPECT_EQ(slave.log, (Strings{"S51w", "W2", "P", "S51r", "R+", "R+", "R-", "P"}));
}

TEST_F(I2cBus, AddressNotAcknowledgedSendsNoData) {
    slave.ackStart = false;
    const std::uint8_t bytes[2] = {1, 2};
    i2c::Device device = Device();
    EXPECT_EQ(i2c::tx(&device, bytes, 2), 0u);
    EXPECT_EQ(slave.log, (Strings{"S51w"}));
    EXPECT_EQ(soc::read32(soc::IICSTAT) & (1u << 5), 0u);
}

TEST_F(I2cBus, ContinuationWithoutStartKeepsTheTransfer) {
    i2c::Device device = Device();
    const std::uint8_t a = 7, b = 8;
    i2c::transaction_begin(&device);
    EXPECT_EQ(i2c::transaction_tx(&device, true, &a, 1, false), 1u);
    EXPECT_EQ(i2c::transaction_tx(&device, false, &b, 1, true), 1u);
    i2c::transaction_end(&device);
    EXPECT_EQ(slave.log, (Strings{"S51w", "W7", "W8", "P"}));
}

TEST_F(I2cBus, StuckBusIsResetAndTheNextTransferGoesThrough) {
    const std::uint8_t byte = 9;
    i2c::Device device = Device();
    soc::iic().hold_bus_busy(1000);
    EXPECT_EQ(i2c::tx(&device, &byte, 1), 0u);  // gives up after the 2-tick idle wait
    EXPECT_TRUE(slave.log.empty());
    soc::iic().hold_bus_busy(1);
    EXPECT_EQ(i2c::tx(&device, &byte, 1), 1u);  // waits the busy tick out
    EXPECT_EQ(slave.log, (Strings{"S51w", "W9", "P"}));
}

TEST_F(I2cBus, TransactionsOfTwoThreadsDoNotMix) {
    sim::BoardTempSensor().SetCelsius(-12.5);
    std::atomic<int> eepromFailures{0}, sensorFailures{0};
    std::thread reader([&] {
        std::uint8_t buffer[8] = {};
        for (int i = 0; i < 100; ++i) {
            if (eeprom_read(&s3c2410_i2c_bus, buffer, 6, 68) != 0 ||
                std::string(reinterpret_cast<const char*>(buffer), 6) != "KX2026")
                ++eepromFailures;
        }
    });
    std::thread sensor([&] {
        for (int i = 0; i < 100; ++i) {
            int degrees = 0;
            if (temp_sensor_read_temperature(&degrees) != 0 || degrees != -12) ++sensorFailures;
        }
    });
    reader.join();
    sensor.join();
    EXPECT_EQ(eepromFailures.load(), 0);
    EXPECT_EQ(sensorFailures.load(), 0);
}

}  // namespace
