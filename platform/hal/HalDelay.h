// Busy-delay of the board's hardware layer. The simulated board sleeps for the time scaled
// like the kernel clock (kernel::set_tick_ms), so a sped-up board also delays less.
#pragma once

#include <cstdint>

void hal_delay_us(std::uint32_t microseconds);
