// The NMR path sense: the voltage on the probe connector, read by the ADC "/dev/adc0",
// tells whether something is plugged in and whether the NMR signal path is intact.
//
// Path states from the running average of 20 conversions (bands inclusive):
//   902..1023 -> 0 (empty connector), 675..901 -> 1, 455..674 -> 2, 189..454 -> 3,
//   0..188 and anything above 1023 -> 0.
#pragma once

#include <cstdint>

namespace Korvex {

constexpr const char* NmrPathAdcDevice = "/dev/adc0";
constexpr unsigned NmrPathSamples = 20;

// The state of an averaged reading.
std::uint32_t ClassifyNmrPathReading(std::uint32_t average);

// 0 and the state; 9 when the ADC cannot be opened, 12 when a read fails (state 0 then).
// Called by the topology monitor thread only.
int ReadNmrPathState(std::uint32_t& state);

}  // namespace Korvex
