// Common ground of the I2C driver tests: a 1 ms tick, the board's bus initialised, the
// simulated EEPROM and temperature sensor at power-on, no bus faults; and a slave that
// records what reaches it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "board/s3c2410_i2c.h"
#include "platform/kernel/Kernel.h"
#include "platform/soc/IicModel.h"
#include "sim/eeprom/EepromSim.h"
#include "sim/temp_sensor/TempSensorSim.h"

namespace korvex_test {

// Records every bus phase as text ("S72w", "W3", "R+", "P"); reads serve the bytes of reply
// in turn (then 0xFF).
class RecordingSlave : public platform::soc::I2cSlave {
public:
    bool Start(std::uint8_t address7, bool read) override {
        log.push_back("S" + std::to_string(address7) + (read ? "r" : "w"));
        ++starts;
        readAt = 0;
        return ackStart;
    }
    bool Write(std::uint8_t byte) override {
        log.push_back("W" + std::to_string(byte));
        written.push_back(byte);
        return true;
    }
    std::uint8_t Read(bool ack) override {
        log.push_back(ack ? "R+" : "R-");
        return readAt < reply.size() ? reply[readAt++] : 0xFF;
    }
    void Stop() override { log.push_back("P"); }

    std::vector<std::string> log;
    std::vector<std::uint8_t> written;
    std::vector<std::uint8_t> reply;
    std::size_t readAt = 0;
    unsigned starts = 0;
    bool ackStart = true;
};

class I2cFixture : public ::testing::Test {
protected:
    void SetUp() override {
        previousTick = kernel::tick_ms();
        kernel::set_tick_ms(1.0);
        i2c::bus_init(&s3c2410_i2c_bus);
        platform::soc::iic().clear_faults();
        sim::eeprom::restore_default();
        sim::BoardTempSensor().PowerOn();
    }
    void TearDown() override {
        platform::soc::iic().clear_faults();
        sim::eeprom::restore_default();
        sim::BoardTempSensor().PowerOn();
        // The board's own slaves back in place of any test double.
        platform::soc::i2c_attach(0, sim::EepromSim::kAddress, &sim::BoardEeprom());
        platform::soc::i2c_attach(0, sim::TempSensorSim::kAddress, &sim::BoardTempSensor());
        kernel::set_tick_ms(previousTick);
    }

    double previousTick = 10.0;
};

}  // namespace korvex_test
