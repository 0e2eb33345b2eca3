// The simulated temperature sensor: register map over the slave interface, 0.5-degree
// resolution, and the comparator output with its hysteresis and polarity.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/gpio/Gpio.h"
#include "sim/temp_sensor/TempSensorSim.h"

namespace {

// Writes pointer and data as a master would.
void WriteRegister(sim::TempSensorSim& s, std::uint8_t reg, std::vector<std::uint8_t> data) {
    ASSERT_TRUE(s.Start(0x48, false));
    ASSERT_TRUE(s.Write(reg));
    for (std::uint8_t b : data) ASSERT_TRUE(s.Write(b));
    s.Stop();
}

std::vector<std::uint8_t> ReadRegister(sim::TempSensorSim& s, std::uint8_t reg, unsigned n) {
    s.Start(0x48, false);
    s.Write(reg);
    s.Stop();
    s.Start(0x48, true);
    std::vector<std::uint8_t> out;
    for (unsigned i = 0; i < n; ++i) out.push_back(s.Read(i + 1 < n));
    s.Stop();
    return out;
}

TEST(TempSensorSim, PowerOnRegistersAndTemperatureSteps) {
    sim::TempSensorSim s;
    EXPECT_EQ(s.Celsius(), 25.0);
    EXPECT_EQ(ReadRegister(s, 0, 2), (std::vector<std::uint8_t>{0x19, 0x00}));
    EXPECT_EQ(ReadRegister(s, 2, 2), (std::vector<std::uint8_t>{0x4B, 0x00}));
    EXPECT_EQ(ReadRegister(s, 3, 2), (std::vector<std::uint8_t>{0x50, 0x00}));
    EXPECT_EQ(ReadRegister(s, 1, 1), (std::vector<std::uint8_t>{0x00}));

    s.SetCelsius(-0.5);
    EXPECT_EQ(ReadRegister(s, 0, 2), (std::vector<std::uint8_t>{0xFF, 0x80}));
    s.SetCelsius(41.3);  // nearest half degree
    EXPECT_EQ(s.Celsius(), 41.5);
    s.SetCelsius(41.2);
    EXPECT_EQ(s.Celsius(), 41.0);
    s.SetCelsius(400);
    EXPECT_EQ(s.Celsius(), 125.0);
    s.SetCelsius(-400);
    EXPECT_EQ(s.Celsius(), -55.0);
}

TEST(TempSensorSim, PointerSurvivesStopAndTemperatureIsReadOnly) {
    sim::TempSensorSim s;
    WriteRegister(s, 3, {0x3C, 0x80});
    s.Start(0x48, true);  // current-pointer read
    EXPECT_EQ(s.Read(true), 0x3C);
    EXPECT_EQ(s.Read(false), 0x80);
    s.Stop();
    WriteRegister(s, 2, {0x32, 0x7F});  // bits below half a degree are not kept
    EXPECT_EQ(s.Register(2), 0x3200);
    WriteRegister(s, 0, {0x10, 0x00});
    EXPECT_EQ(s.Celsius(), 25.0);
    WriteRegister(s, 1, {0xFF});
    EXPECT_EQ(s.Register(1), 0x1F);
}

TEST(TempSensorSim, ComparatorWithHysteresisDrivesTheHook) {
    sim::TempSensorSim s;
    std::vector<bool> levels;
    s.SetOsHook([&](bool level) { levels.push_back(level); });
    EXPECT_EQ(levels, (std::vector<bool>{true}));  // released, active low
    s.SetCelsius(80.0);
    EXPECT_FALSE(s.OsAsserted());  // not above T_OS
    s.SetCelsius(80.5);
    EXPECT_TRUE(s.OsAsserted());
    EXPECT_FALSE(s.OsPinLevel());
    s.SetCelsius(75.0);
    EXPECT_TRUE(s.OsAsserted());  // not below T_HYST
    s.SetCelsius(74.5);
    EXPECT_FALSE(s.OsAsserted());
    EXPECT_EQ(levels, (std::vector<bool>{true, false, true}));

    WriteRegister(s, 1, {0x04});  // OS active high: released now reads low
    EXPECT_EQ(levels.back(), false);
    WriteRegister(s, 3, {0x0A, 0x00});  // T_OS 10: 74.5 trips it
    EXPECT_TRUE(s.OsAsserted());
    EXPECT_EQ(levels.back(), true);
    s.PowerOn();
    EXPECT_FALSE(s.OsAsserted());
    EXPECT_EQ(levels.back(), true);
}

TEST(TempSensorSim, BoardSensorIsOnSegmentZeroAndDrivesGpf2) {
    namespace gpio = platform::gpio;
    sim::TempSensorSim& s = sim::BoardTempSensor();
    EXPECT_EQ(platform::soc::i2c_slave(0, 0x48), &s);
    s.PowerOn();
    EXPECT_TRUE(gpio::input(gpio::Port::F, gpio::kTempAlarmPin));
    s.SetCelsius(90);
    EXPECT_FALSE(gpio::input(gpio::Port::F, gpio::kTempAlarmPin));
    s.PowerOn();
    EXPECT_TRUE(gpio::input(gpio::Port::F, gpio::kTempAlarmPin));
}

}  // namespace
