// The analogue inputs of the simulated board, AIN0..AIN7, as levels 0..1023. AIN0 is the NMR
// signal-path sense input; with nothing plugged into its connector it reads 1023. The other
// inputs read 0.
#pragma once

#include <cstdint>

namespace sim {

// Sets input ain (levels above 1023 are clamped); inputs beyond AIN7 are ignored.
void analog_set(unsigned ain, std::uint16_t level);
std::uint16_t analog_get(unsigned ain);
void analog_reset();    // back to the defaults
void analog_connect();  // wires the inputs to the ADC model

}  // namespace sim
