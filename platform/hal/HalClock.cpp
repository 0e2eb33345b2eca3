#include "platform/hal/HalClock.h"

#include <atomic>

namespace {

std::atomic<std::uint32_t> period{0};

}  // namespace

void hal_clock_initialize(std::uint32_t counts) { period.store(counts); }

std::uint32_t hal_clock_period() { return period.load(); }
