#include "platform/soc/Watchdog.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/soc/BoardActions.h"

namespace platform::soc {

namespace {

constexpr std::uint16_t kEnable = 1u << 5;
constexpr std::uint16_t kResetEnable = 1u << 0;
constexpr std::uint64_t kPclkCyclesPerTick = kPclkHz / 100;  // one tick is 10 ms

}  // namespace

kernel::tick_t Watchdog::now() const {
    return (manual_ ? frozen_ : kernel::current_time()) + offset_;
}

std::uint32_t Watchdog::countsPerTickDivisor() const {
    static const std::uint32_t divisions[] = {16, 32, 64, 128};
    std::uint32_t prescaler = wtcon_ >> 8;
    return (prescaler + 1) * divisions[(wtcon_ >> 3) & 3];
}

kernel::tick_t Watchdog::periodTicks(std::uint32_t count) const {
    kernel::tick_t ticks =
        static_cast<std::uint64_t>(count) * countsPerTickDivisor() / kPclkCyclesPerTick;
    return std::max<kernel::tick_t>(ticks, 1);
}

std::uint32_t Watchdog::currentCount(kernel::tick_t at) const {
    if (!(wtcon_ & kEnable) || at <= start_) return count_;
    std::uint64_t counted = (at - start_) * kPclkCyclesPerTick / countsPerTickDivisor();
    return counted >= count_ ? 0 : static_cast<std::uint32_t>(count_ - counted);
}

void Watchdog::settle() {
    kernel::tick_t at = now();
    count_ = currentCount(at);
    start_ = at;
}

bool Watchdog::takeExpiry() {
    if (!(wtcon_ & kEnable)) return false;
    kernel::tick_t due = start_ + periodTicks(count_);
    if (now() < due) return false;
    start_ = due;
    count_ = wtdat_;
    return (wtcon_ & kResetEnable) != 0;
}

kernel::tick_t Watchdog::ticks_left() {
    std::lock_guard<std::mutex> g(lock_);
    if (!(wtcon_ & kEnable)) return 0;
    kernel::tick_t due = start_ + periodTicks(count_);
    kernel::tick_t at = now();
    return due > at ? due - at : 0;
}

std::uint32_t Watchdog::read(addr_t address, unsigned /*width*/) {
    std::lock_guard<std::mutex> g(lock_);
    switch (address) {
        case WTCON:
            return wtcon_;
        case WTDAT:
            return wtdat_;
        case WTCNT:
            return currentCount(now());
        default:
            return 0;
    }
}

void Watchdog::write(addr_t address, std::uint32_t value, unsigned /*width*/) {
    std::lock_guard<std::mutex> g(lock_);
    settle();
    switch (address) {
        case WTCON:
            wtcon_ = static_cast<std::uint16_t>(value);
            break;
        case WTDAT:
            wtdat_ = static_cast<std::uint16_t>(value);
            break;
        case WTCNT:
            count_ = value & 0xFFFF;
            break;
        default:
            break;
    }
    if (wtcon_ & kEnable) startWatcher();
    changed_.notify_all();
}

void Watchdog::advance(kernel::tick_t ticks) {
    std::unique_lock<std::mutex> lk(lock_);
    offset_ += ticks;
    while (takeExpiry()) {
        lk.unlock();
        board_action(BoardAction::WatchdogReset);
        lk.lock();
    }
}

void Watchdog::set_manual_clock(bool manual) {
    std::lock_guard<std::mutex> g(lock_);
    settle();
    kernel::tick_t at = now();
    manual_ = manual;
    frozen_ = kernel::current_time();
    // The clock goes on from where it was.
    offset_ = 0;
    offset_ = at - now();
    changed_.notify_all();
}

void Watchdog::power_on() {
    std::lock_guard<std::mutex> g(lock_);
    wtcon_ = 0x8000;
    wtdat_ = 0x8000;
    count_ = 0x8000;
    manual_ = false;
    offset_ = 0;
    start_ = now();
    changed_.notify_all();
}

void Watchdog::startWatcher() {
    if (watcherRunning_) return;
    watcherRunning_ = true;
    std::thread([this] { watch(); }).detach();
}

// Checks for expiry on the kernel clock; wakes at least every 20 ms of real time so a changed
// tick period is followed.
void Watchdog::watch() {
    std::unique_lock<std::mutex> lk(lock_);
    for (;;) {
        if (!manual_ && takeExpiry()) {
            lk.unlock();
            board_action(BoardAction::WatchdogReset);
            lk.lock();
            continue;
        }
        double waitMs = 20.0;
        if (!manual_ && (wtcon_ & kEnable)) {
            kernel::tick_t due = start_ + periodTicks(count_);
            kernel::tick_t at = now();
            if (due > at) waitMs = std::min(waitMs, static_cast<double>(due - at) * kernel::tick_ms());
        }
        changed_.wait_for(lk, std::chrono::duration<double, std::milli>(waitMs));
    }
}

Watchdog& watchdog() {
    static Watchdog* w = new Watchdog;
    return *w;
}

}  // namespace platform::soc
