// System control coprocessor (CP15) of the simulated ARM core: the MMU registers the board
// set-up writes. The translation table itself lives in the modelled SDRAM window.
#pragma once

#include <cstdint>

namespace platform::soc {

void cp15_write_ttb(std::uint32_t value);   // c2: translation table base
std::uint32_t cp15_read_ttb();
void cp15_write_dacr(std::uint32_t value);  // c3: domain access control
std::uint32_t cp15_read_dacr();
void cp15_reset();                          // both 0, as after a reset

}  // namespace platform::soc
