// IIC controller model (IICCON, IICSTAT, IICADD, IICDS) in master mode, with the board's two
// I2C bus segments behind it (GPE8 selects the segment; see I2cSlave.h).
//
// Writing IICSTAT with START (bit 5) sends IICDS as the address byte to the slave of that
// address on the selected segment; IICSTAT bit 0 then reads 0 when the slave acknowledged,
// 1 when not. Each completed step sets IICCON's pending bit (4) and, with IICCON bit 5 set,
// raises vector 27. Clearing the pending bit resumes the bus: in master-transmit mode it sends
// IICDS, but only when IICDS was written since the previous step; in master-receive mode it
// clocks in one byte into IICDS, acknowledging it when IICCON bit 7 is set; after a byte not
// acknowledged nothing more is clocked. Writing IICSTAT without START ends the transfer with
// STOP. IICSTAT bit 5 reads 1 while a transfer is under way.
//
// Faults for tests: the bus stays busy for a number of ticks (START is ignored and STOP does
// not free it meanwhile); a slave address is not acknowledged for its next N addressings.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

#include "platform/kernel/Kernel.h"
#include "platform/soc/I2cSlave.h"
#include "platform/soc/SocBus.h"

namespace platform::soc {

constexpr addr_t kIicBase = 0x54000000;
constexpr std::uint32_t kIicSize = 0x10;
constexpr addr_t IICCON = 0x54000000;
constexpr addr_t IICSTAT = 0x54000004;
constexpr addr_t IICADD = 0x54000008;
constexpr addr_t IICDS = 0x5400000C;

constexpr std::uint32_t kIicVector = 27;
constexpr unsigned kI2cSegments = 2;
constexpr unsigned kI2cSegmentPin = 8;  // GPE8

class IicModel : public RegisterModel {
public:
    IicModel();

    std::uint32_t read(addr_t address, unsigned width) override;
    void write(addr_t address, std::uint32_t value, unsigned width) override;

    // SCL frequency the clock bits of IICCON give, in Hz (PCLK 50 MHz).
    std::uint32_t scl_hz();
    // Bytes moved on the bus (address bytes included) since power-on.
    std::uint32_t bytes_moved();
    // The segment of the latest START.
    unsigned last_segment();

    // ---- test control ----
    void hold_bus_busy(kernel::tick_t ticks);
    void nack_addresses(std::uint8_t address7, unsigned count);
    void clear_faults();
    // Registers at their reset values, no transfer, no faults.
    void power_on();

private:
    bool busy_locked();
    void start_locked(bool* raise);
    void stop_locked();
    void resume_locked(bool* raise);
    void complete_step_locked(bool* raise);

    std::mutex lock_;
    std::uint32_t iiccon_ = 0;
    std::uint32_t iicstat_ = 0;
    std::uint32_t iicadd_ = 0;
    std::uint8_t iicds_ = 0;
    bool dsWritten_ = false;
    I2cSlave* slave_ = nullptr;       // the addressed slave while a transfer is under way
    bool transfer_ = false;           // between START and STOP
    bool receiving_ = false;
    bool nacked_ = false;             // the slave or the master refused the last byte
    unsigned lastSegment_ = 0;
    kernel::tick_t busyUntil_ = 0;
    bool busyHeld_ = false;
    std::map<std::uint8_t, unsigned> nacks_;
    std::uint32_t bytes_ = 0;
};

IicModel& iic();

}  // namespace platform::soc
