#include "sim/dsp/SimClock.h"

namespace sim {
namespace dsp {

using std::chrono::duration_cast;
using std::chrono::steady_clock;

SteadySimClock::SteadySimClock() : start_(steady_clock::now()) {}

SimClock::duration SteadySimClock::now() const {
    return duration_cast<duration>(steady_clock::now() - start_);
}

ScaledSimClock::ScaledSimClock(double rate) : start_(steady_clock::now()), rate_(rate) {}

SimClock::duration ScaledSimClock::now() const {
    const std::chrono::duration<double, std::micro> real = steady_clock::now() - start_;
    return duration(static_cast<duration::rep>(real.count() * rate_));
}

SimClock::duration TestSimClock::now() const {
    std::lock_guard<std::mutex> g(lock_);
    if (paused_) return base_;
    return base_ + duration_cast<duration>(steady_clock::now() - resumed_at_);
}

void TestSimClock::pause() {
    std::lock_guard<std::mutex> g(lock_);
    if (paused_) return;
    base_ += duration_cast<duration>(steady_clock::now() - resumed_at_);
    paused_ = true;
}

void TestSimClock::resume() {
    std::lock_guard<std::mutex> g(lock_);
    if (!paused_) return;
    resumed_at_ = steady_clock::now();
    paused_ = false;
}

void TestSimClock::step(duration d) {
    std::lock_guard<std::mutex> g(lock_);
    if (d.count() > 0) base_ += d;
}

bool TestSimClock::paused() const {
    std::lock_guard<std::mutex> g(lock_);
    return paused_;
}

}  // namespace dsp
}  // namespace sim
