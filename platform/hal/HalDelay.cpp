#include "platform/hal/HalDelay.h"

#include <chrono>
#include <thread>

#include "platform/kernel/Kernel.h"

void hal_delay_us(std::uint32_t microseconds) {
    // One tick is 10 ms of board time and lasts tick_ms() real milliseconds.
    const double realUs = static_cast<double>(microseconds) * kernel::tick_ms() / 10.0;
    std::this_thread::sleep_for(std::chrono::duration<double, std::micro>(realUs));
}
