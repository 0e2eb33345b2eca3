// ADC model (ADCCON, ADCTSC, ADCDLY, ADCDAT0, ADCDAT1). Setting ADCCON's start bit converts the
// analogue input that ADCCON bits 3-5 select; the start bit clears itself and the
// end-of-conversion flag (bit 15) shows after three more reads of ADCCON. ADCDAT0 bits 0-9
// hold the sample. The inputs come from a source the simulation installs; without one every
// input reads 1023.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/soc/SocBus.h"

namespace platform::soc {

constexpr addr_t kAdcBase = 0x58000000;
constexpr std::uint32_t kAdcSize = 0x14;
constexpr addr_t ADCCON = 0x58000000;
constexpr addr_t ADCTSC = 0x58000004;
constexpr addr_t ADCDLY = 0x58000008;
constexpr addr_t ADCDAT0 = 0x5800000C;
constexpr addr_t ADCDAT1 = 0x58000010;

constexpr unsigned kAdcInputs = 8;
constexpr unsigned kAdcBusyReads = 3;

// Returns the level of input AINn, 0..1023.
using AnalogSource = std::uint16_t (*)(unsigned input);

class AdcModel : public RegisterModel {
public:
    std::uint32_t read(addr_t address, unsigned width) override;
    void write(addr_t address, std::uint32_t value, unsigned width) override;

    void set_source(AnalogSource source);  // nullptr: every input reads 1023
    std::uint32_t conversions();
    unsigned last_input();                 // the input of the latest conversion
    void power_on();                       // registers at their reset values; count 0

private:
    std::mutex lock_;
    AnalogSource source_ = nullptr;
    std::uint32_t adccon_ = 0x3FC4;
    std::uint32_t adctsc_ = 0x58;
    std::uint32_t adcdly_ = 0xFF;
    std::uint16_t sample_ = 0;
    unsigned busyReads_ = 0;
    bool converted_ = false;
    unsigned lastInput_ = 0;
    std::uint32_t conversions_ = 0;
};

AdcModel& adc();

}  // namespace platform::soc
