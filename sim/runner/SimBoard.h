// The simulated DSP behind the board's host port, for the runner: the firmware's own start-up
// starts its acquisition controller, which then runs against it.
#pragma once

#include <memory>

#include "sim/dsp/DspSim.h"
#include "sim/dsp/DspSimSettings.h"

namespace korvex_sim {

class SimBoard {
public:
    // Puts the simulated DSP behind the host port (the board's device table is set up); the
    // DSP keeps the board's time (clock).
    SimBoard(const sim::dsp::DspSimSettings& settings, bool dspRefusesBoot,
             std::shared_ptr<sim::dsp::SimClock> clock);
    ~SimBoard();
    SimBoard(const SimBoard&) = delete;
    SimBoard& operator=(const SimBoard&) = delete;

private:
    sim::dsp::DspSim dsp;
};

}  // namespace korvex_sim
