// The board temperature sensor (LM75-type) on I2C segment 0, address 0x48.
//
// Registers, selected by the pointer byte written after the address: 0 temperature (read
// only), 1 configuration, 2 T_HYST, 3 T_OS. Two-byte registers are signed 8.8 values sent MSB
// first; the sensor resolves 0.5 degrees Celsius (bits 0-6 of the low byte read as 0).
// Configuration: bit 0 shutdown, bit 1 interrupt mode, bit 2 OS active high, bits 3-4 fault
// queue. Power-on: 25.0 degrees, configuration 0, T_HYST 75, T_OS 80.
//
// The OS output works as a comparator: asserted once the temperature is above T_OS, released
// once it is below T_HYST. Its pin level (active low unless bit 2 is set) is handed to the
// OS hook whenever it changes; on the board it drives GPF2.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>

#include "platform/soc/I2cSlave.h"

namespace sim {

class TempSensorSim : public platform::soc::I2cSlave {
public:
    static constexpr std::uint8_t kAddress = 0x48;

    TempSensorSim();

    // Rounded to the nearest 0.5 degree step and kept within -55..125.
    void SetCelsius(double celsius);
    double Celsius() const;

    // Raw register contents (0..3; the configuration in the low byte).
    std::uint16_t Register(unsigned index) const;
    bool OsAsserted() const;
    // Reads of the temperature register since power-on.
    unsigned TemperatureReads() const;
    // Level of the OS pin: low while asserted unless the configuration makes it active high.
    bool OsPinLevel() const;

    // Called with the new pin level whenever it changes, and once at once with the current
    // level. Empty: no hook.
    using OsHook = std::function<void(bool pin_level)>;
    void SetOsHook(OsHook hook);

    // Back to the power-on state (the hook stays).
    void PowerOn();

    // I2C slave side.
    bool Start(std::uint8_t address7, bool read) override;
    bool Write(std::uint8_t byte) override;
    std::uint8_t Read(bool ack) override;
    void Stop() override;

private:
    void UpdateComparator(std::unique_lock<std::mutex>& lock);

    mutable std::mutex mutex_;
    std::int16_t temperature_;  // signed 8.8
    std::uint8_t config_;
    std::int16_t t_hyst_;
    std::int16_t t_os_;
    std::uint8_t pointer_ = 0;
    bool pointer_phase_ = false;  // the next written byte is the pointer
    unsigned byte_index_ = 0;     // byte of the current register in this transfer
    bool os_asserted_ = false;
    bool pin_level_ = true;
    unsigned temperature_reads_ = 0;
    OsHook hook_;
};

// The sensor of the simulated board, attached to segment 0 at 0x48 on first use; its OS
// output drives GPF2.
TempSensorSim& BoardTempSensor();

}  // namespace sim
