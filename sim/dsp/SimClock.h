// Time as the simulated DSP sees it. The DSP model reads all its times (heartbeat, search
// and measurement durations, reply delays, time stamps) from one SimClock, so tests can
// hold time still and move it in steps.
#pragma once

#include <chrono>
#include <mutex>

namespace sim {
namespace dsp {

class SimClock {
public:
    using duration = std::chrono::microseconds;

    virtual ~SimClock() = default;
    // Time elapsed since the clock's own start; never goes back.
    virtual duration now() const = 0;
};

// Follows the host's steady clock.
class SteadySimClock final : public SimClock {
public:
    SteadySimClock();
    duration now() const override;

private:
    std::chrono::steady_clock::time_point start_;
};

// Board time when the board's tick runs at another pace than the real one: the host's steady
// clock times rate (the runner's --tick-us N gives rate 10000 / N), so that a measurement of
// 20 ms takes 20 ms of board time whatever the pace.
class ScaledSimClock final : public SimClock {
public:
    explicit ScaledSimClock(double rate);
    duration now() const override;

private:
    std::chrono::steady_clock::time_point start_;
    double rate_;
};

// A clock for tests: starts paused at 0 and only moves when stepped, or with the steady
// clock while resumed.
class TestSimClock final : public SimClock {
public:
    TestSimClock() = default;
    duration now() const override;

    void pause();
    void resume();
    void step(duration d);
    bool paused() const;

private:
    mutable std::mutex lock_;
    bool paused_ = true;
    duration base_{0};                                  // time when last paused or stepped
    std::chrono::steady_clock::time_point resumed_at_;  // valid while running
};

}  // namespace dsp
}  // namespace sim
