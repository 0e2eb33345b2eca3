// System tick of the board's hardware layer. The timer period in counts is recorded; how
// long one tick lasts in real time is the kernel clock's setting (kernel::set_tick_ms).
#pragma once

#include <cstdint>

constexpr std::uint32_t kHalClockPeriod = 62500;  // timer counts per 10 ms tick

void hal_clock_initialize(std::uint32_t period);
std::uint32_t hal_clock_period();  // 0 before the tick was started
