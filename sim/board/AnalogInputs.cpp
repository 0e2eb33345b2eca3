#include "sim/board/AnalogInputs.h"

#include <array>
#include <atomic>

#include "platform/soc/AdcModel.h"

namespace sim {

namespace {

constexpr std::uint16_t kMaxLevel = 1023;

std::array<std::atomic<std::uint16_t>, platform::soc::kAdcInputs> levels{{{kMaxLevel}}};

}  // namespace

void analog_set(unsigned ain, std::uint16_t level) {
    if (ain >= levels.size()) return;
    levels[ain].store(level > kMaxLevel ? kMaxLevel : level);
}

std::uint16_t analog_get(unsigned ain) { return ain < levels.size() ? levels[ain].load() : 0; }

void analog_reset() {
    for (unsigned i = 0; i < levels.size(); ++i) levels[i].store(i == 0 ? kMaxLevel : 0);
}

void analog_connect() { platform::soc::adc().set_source(&analog_get); }

}  // namespace sim
