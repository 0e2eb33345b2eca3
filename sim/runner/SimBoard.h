// What the runner fills the firmware's system seams with on the simulated board: the
// firmware's acquisition controller runs against the simulated DSP. The controller installs
// its own acquisition seam when it starts; every other system seam keeps its default.
#pragma once

#include <cstdint>
#include <memory>

#include "Host/main/SystemSeams.h"
#include "sim/dsp/DspSim.h"
#include "sim/dsp/DspSimSettings.h"

namespace korvex_sim {

class SimBoard : public Korvex::CSystemSeams {
public:
    // Puts the simulated DSP behind the host port (the board's device table is set up); the
    // DSP keeps the board's time (clock).
    SimBoard(const sim::dsp::DspSimSettings& settings, bool dspRefusesBoot,
             std::shared_ptr<sim::dsp::SimClock> clock);
    ~SimBoard() override;

    void StartAcquisition() override;
    bool WaitForDspStarted(std::uint16_t timeoutMs, std::uint8_t& versionAccepted,
                           std::uint8_t& started) override;
    bool WaitForAcqStarted(std::uint16_t timeoutMs) override;

private:
    sim::dsp::DspSim dsp;
};

}  // namespace korvex_sim
