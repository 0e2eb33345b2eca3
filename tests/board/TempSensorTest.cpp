// Temperature sensor driver against the simulated sensor: register access with retries,
// temperature conversion, the shutdown limit and the configuration encoding.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "I2cFixture.h"
#include "board/temp_sensor.h"

namespace {

namespace soc = platform::soc;
using korvex_test::RecordingSlave;

using TempSensor = korvex_test::I2cFixture;

TEST_F(TempSensor, ReadsRegistersInHostOrder) {
    std::uint16_t value = 0;
    ASSERT_EQ(temp_sensor_read_register(&s3c2410_i2c_bus, kTempRegShutdown, &value, 2), 0);
    EXPECT_EQ(value, 0x5000);  // 80 degrees at power-on
    ASSERT_EQ(temp_sensor_read_register(&s3c2410_i2c_bus, kTempRegHysteresis, &value, 2), 0);
    EXPECT_EQ(value, 0x4B00);
    std::uint8_t config = 0xFF;
    ASSERT_EQ(temp_sensor_read_register(&s3c2410_i2c_bus, kTempRegConfig, &config, 1), 0);
    EXPECT_EQ(config, 0);
}

TEST_F(TempSensor, RejectsBadRegisterArguments) {
    std::uint16_t value = 0;
    const std::uint32_t before = soc::iic().bytes_moved();
    EXPECT_EQ(temp_sensor_read_register(nullptr, 0, &value, 2), 22);
    EXPECT_EQ(temp_sensor_read_register(&s3c2410_i2c_bus, 4, &value, 2), 22);
    EXPECT_EQ(temp_sensor_read_register(&s3c2410_i2c_bus, 1, &value, 2), 22);
    EXPECT_EQ(temp_sensor_read_register(&s3c2410_i2c_bus, 0, nullptr, 2), 22);
    EXPECT_EQ(temp_sensor_write_register(&s3c2410_i2c_bus, 0, &value, 2), 22);
    EXPECT_EQ(temp_sensor_write_register(&s3c2410_i2c_bus, 3, &value, 1), 22);
    EXPECT_EQ(soc::iic().bytes_moved(), before);
}

TEST_F(TempSensor, TemperatureIsTruncatedTowardZero) {
    int degrees = 99;
    sim::BoardTempSensor().SetCelsius(-0.5);
    ASSERT_EQ(temp_sensor_read_temperature(&degrees), 0);
    EXPECT_EQ(degrees, 0);
    sim::BoardTempSensor().SetCelsius(-25.5);
    ASSERT_EQ(temp_sensor_read_temperature(&degrees), 0);
    EXPECT_EQ(degrees, -25);
    sim::BoardTempSensor().SetCelsius(41.5);
    ASSERT_EQ(temp_sensor_read_temperature(&degrees), 0);
    EXPECT_EQ(degrees, 41);
}

TEST_F(TempSensor, SensorThatNeverAcknowledgesFailsAfterFiveAttempts) {
    RecordingSlave mute;
    mute.ackStart = false;
    soc::i2c_attach(0, 0x48, &mute);
    std::uint16_t value = 0;
    EXPECT_EQ(temp_sensor_read_register(&s3c2410_i2c_bus, 0, &value, 2), 5);
    EXPECT_EQ(mute.starts, 5u);
    mute.starts = 0;
    EXPECT_EQ(temp_sensor_write_register(&s3c2410_i2c_bus, 2, &value, 2), 5);
    EXPECT_EQ(mute.starts, 5u);
    int degrees = 0;
    EXPECT_EQ(temp_sensor_read_temperature(&degrees), 26);
    EXPECT_EQ(temp_sensor_set_shutdown_limit(60), 26);
}

TEST_F(TempSensor, RetriesRecoverFromAFewRefusedAddresses) {
    soc::iic().nack_addresses(0x48, 3);
    int degrees = 0;
    EXPECT_EQ(temp_sensor_read_temperature(&degrees), 0);
    EXPECT_EQ(degrees, 25);
}

TEST_F(TempSensor, ShutdownLimitWriteSequence) {
    RecordingSlave recorder;
    soc::i2c_attach(0, 0x48, &recorder);
    EXPECT_EQ(temp_sensor_set_shutdown_limit(70), 0);
    EXPECT_EQ(recorder.log,
              (std::vector<std::string>{"S72w", "W3", "W70", "W0", "P", "S72w", "W2", "W70",
                                        "W0", "P", "S72w", "W1", "W0", "P"}));
}

TEST_F(TempSensor, ShutdownLimitIsClampedToTheSensorRange) {
    EXPECT_EQ(temp_sensor_set_shutdown_limit(200), 0);
    EXPECT_EQ(sim::BoardTempSensor().Register(3), 0x7D00);
    EXPECT_EQ(sim::BoardTempSensor().Register(2), 0x7D00);
    EXPECT_FALSE(sim::BoardTempSensor().OsAsserted());  // 25 degrees stays below the limit
    EXPECT_EQ(temp_sensor_set_shutdown_limit(-5), 0);
    EXPECT_EQ(sim::BoardTempSensor().Register(3), 0xFB00);
    EXPECT_TRUE(sim::BoardTempSensor().OsAsserted());
    EXPECT_EQ(temp_sensor_set_shutdown_limit(-300), 0);
    EXPECT_EQ(sim::BoardTempSensor().Register(3), 0xC900);  // -55
}

TEST_F(TempSensor, ConfigEncodingAndUnencodableFaultQueue) {
    TempSensorConfig config;
    config.fault_queue = 6;
    config.os_active_high = true;
    config.shutdown = true;
    ASSERT_EQ(temp_sensor_write_config(&s3c2410_i2c_bus, config), 0);
    EXPECT_EQ(sim::BoardTempSensor().Register(1), 0x1Du);
    config = TempSensorConfig{};
    config.fault_queue = 4;
    config.interrupt_mode = true;
    ASSERT_EQ(temp_sensor_write_config(&s3c2410_i2c_bus, config), 0);
    EXPECT_EQ(sim::BoardTempSensor().Register(1), 0x12u);

    const std::uint32_t before = soc::iic().bytes_moved();
    for (unsigned count : {0u, 3u, 5u, 7u}) {
        config.fault_queue = count;
        EXPECT_EQ(temp_sensor_write_config(&s3c2410_i2c_bus, config), 22) << count;
    }
    EXPECT_EQ(soc::iic().bytes_moved(), before);
    EXPECT_EQ(sim::BoardTempSensor().Register(1), 0x12u);
}

}  // namespace
