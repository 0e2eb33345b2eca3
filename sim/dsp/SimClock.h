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
