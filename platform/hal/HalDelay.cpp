#include "platform/hal/HalDelay.h"

#include <chrono>
#include <thread>

#include "platform/kernel/Kernel.h"

namespace {
// Below this a host sleep overshoots by far more than the delay asked for (a 1-us sleep takes
// tens of microseconds), so short delays spin as the board's busy-wait does.
constexpr double kSpinBelowUs = 200.0;
}  // namespace

void hal_delay_us(std::uint32_t microseconds) {
    // One tick is 10 ms of board time and lasts tick_ms() real milliseconds.
    const double realUs = static_cast<double>(microseconds) * kernel::tick_ms() / 10.0;
    if (realUs < kSpinBelowUs) {
        using clock = std::chrono::steady_clock;
        const auto until = clock::now() + std::chrono::duration_cast<clock::duration>(
                                              std::chrono::duration<double, std::micro>(realUs));
        while (clock::now() < until) {
        }
        return;
    }
    std::this_thread::sleep_for(std::chrono::duration<double, std::micro>(realUs));
}
