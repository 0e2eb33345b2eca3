// Board temperature sensor (LM75-type, address 0x48) on the board's I2C bus.
//
// Registers: 0 temperature (2 bytes), 1 configuration (1 byte), 2 T_HYST (2 bytes), 3 T_OS
// (2 bytes). Two-byte registers are signed 8.8 values; callers hold them in host order, the
// bus carries them MSB first.
#pragma once

#include <cstdint>

#include "platform/i2c/I2c.h"

constexpr std::uint8_t kTempRegTemperature = 0;
constexpr std::uint8_t kTempRegConfig = 1;
constexpr std::uint8_t kTempRegHysteresis = 2;
constexpr std::uint8_t kTempRegShutdown = 3;

struct TempSensorConfig {
    unsigned fault_queue = 1;    // consecutive faults before OS trips: 1, 2, 4 or 6
    bool os_active_high = false;
    bool interrupt_mode = false;
    bool shutdown = false;
};

// 0, 22 (no bus, bad register, null data, length not the register's) or 5 (5 attempts failed).
int temp_sensor_write_register(i2c::Bus* bus, std::uint8_t reg, const void* data,
                               std::uint32_t length);
int temp_sensor_read_register(i2c::Bus* bus, std::uint8_t reg, void* data, std::uint32_t length);
// 22 also for a fault-queue count without an encoding (other than 1, 2, 4, 6): nothing written.
int temp_sensor_write_config(i2c::Bus* bus, const TempSensorConfig& config);

// Opens "/dev/temp-al" for reading; the descriptor or a negative errno.
int temp_alarm_open();

// Whole degrees Celsius, truncated toward zero. 0, or 26 on any failure.
int temp_sensor_read_temperature(int* degrees);
// T_OS and T_HYST := degrees (clamped to the sensor's range -55..125), then the configuration
// {fault queue 1, comparator mode, OS active low, running}. 0, or 26 when a step fails.
int temp_sensor_set_shutdown_limit(std::int16_t degrees);
