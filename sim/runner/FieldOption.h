// The runner's --field: the flux density the simulated DSP measures must lie in the frequency
// range of a probe (or camera) plugged in, or every measurement fails.
#pragma once

#include <string>

#include "sim/peripheral_controller/PeripheralControllerSim.h"

namespace korvex_sim {

// An empty text when tesla, at gyro Hz per tesla, lies in the range of a probe or camera
// plugged into the controller's socket (or behind a multiplexer), or when none is plugged;
// else the ranges in tesla and MHz and what to do.
std::string CheckField(double tesla, double gyro, sim::periph::PeripheralControllerSim& controller);

}  // namespace korvex_sim
