// A slave on one segment of the simulated board's I2C bus. The IIC controller model calls it
// for each bus phase of a transfer addressed to it; the simulated EEPROM, temperature sensor
// and peripheral controller implement it. Calls arrive on the thread that drives the
// controller's registers; a slave serialises its own state.
#pragma once

#include <cstdint>

namespace platform::soc {

class I2cSlave {
public:
    virtual ~I2cSlave() = default;
    // START (or repeated START) with this slave's 7-bit address; true acknowledges.
    virtual bool Start(std::uint8_t address7, bool read) = 0;
    // The master sends a byte; true acknowledges it.
    virtual bool Write(std::uint8_t byte) = 0;
    // The master clocks in a byte; ack tells whether the master acknowledges it.
    virtual std::uint8_t Read(bool ack) = 0;
    // STOP ends the transfer.
    virtual void Stop() = 0;
};

// Segment 0 holds the EEPROM (0x54) and the temperature sensor (0x48); segment 1 the
// peripheral controller (0x10-0x16). GPE8 selects the segment the controller drives.
// A slave may answer several addresses; attaching over a present slave replaces it.
void i2c_attach(unsigned segment, std::uint8_t address7, I2cSlave* slave);
// Removes the slave of that address (nothing when none).
void i2c_detach(unsigned segment, std::uint8_t address7);
// The slave of that address, or nullptr.
I2cSlave* i2c_slave(unsigned segment, std::uint8_t address7);

}  // namespace platform::soc
