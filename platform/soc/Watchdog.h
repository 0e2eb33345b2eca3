// Watchdog timer model (WTCON, WTDAT, WTCNT; 16-bit registers). While enabled, WTCNT counts
// down at PCLK / (prescaler + 1) / division; the model counts in kernel ticks (10 ms of board
// time each) and expires at the last tick before the count runs out (at least one tick after
// the reload): 60000 counts at prescaler 255 and division 128 (39.32 s) expire after 3932
// ticks. On expiry with the reset output enabled it
// sends a watchdog reset to the board-action sink; the counter then reloads from WTDAT.
//
// The boot monitor hands the board over with the watchdog stopped.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/kernel/Kernel.h"
#include "platform/soc/SocBus.h"

namespace platform::soc {

constexpr addr_t kWatchdogBase = 0x53000000;
constexpr std::uint32_t kWatchdogSize = 0x0C;
constexpr addr_t WTCON = 0x53000000;
constexpr addr_t WTDAT = 0x53000004;
constexpr addr_t WTCNT = 0x53000008;

constexpr std::uint32_t kPclkHz = 50000000;

class Watchdog : public RegisterModel {
public:
    std::uint32_t read(addr_t address, unsigned width) override;
    void write(addr_t address, std::uint32_t value, unsigned width) override;

    // Ticks left until expiry; 0 when stopped.
    kernel::tick_t ticks_left();

    // ---- test control ----
    // Moves the model's clock on by the given ticks and handles any expiry on this thread.
    void advance(kernel::tick_t ticks);
    // true: the model's clock moves only by advance(), not with the kernel clock.
    void set_manual_clock(bool manual);
    // Back to the power-on state (stopped, registers at their reset values, kernel clock).
    void power_on();

private:
    kernel::tick_t now() const;               // lock held
    std::uint32_t countsPerTickDivisor() const;  // (prescaler + 1) * division
    kernel::tick_t periodTicks(std::uint32_t count) const;
    std::uint32_t currentCount(kernel::tick_t at) const;
    void settle();                            // lock held: moves the count to now
    bool takeExpiry();                        // lock held: true when an expiry is due
    void watch();                             // the watcher thread
    void startWatcher();                      // lock held

    std::mutex lock_;
    std::condition_variable changed_;
    std::uint16_t wtcon_ = 0x8000;            // prescaler 0x80, stopped
    std::uint16_t wtdat_ = 0x8000;
    std::uint32_t count_ = 0x8000;            // WTCNT at tick start_
    kernel::tick_t start_ = 0;
    bool manual_ = false;
    kernel::tick_t frozen_ = 0;               // the kernel time when the manual clock began
    kernel::tick_t offset_ = 0;               // ticks added by advance()
    bool watcherRunning_ = false;
};

Watchdog& watchdog();

}  // namespace platform::soc
