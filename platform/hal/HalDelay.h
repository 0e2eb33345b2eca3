// Busy-delay of the board's hardware layer. The simulated board waits for the time scaled
// like the kernel clock (kernel::set_tick_ms), so a sped-up board also delays less: short
// delays spin, longer ones sleep.
#pragma once

#include <cstdint>

void hal_delay_us(std::uint32_t microseconds);
