// Settings of the simulated DSP: the magnet and nucleus it "measures", the quality of the
// signal, the timing of its operations and what its hardware reports. The runner fills them
// from its own configuration; the defaults describe a 1.5 T proton measurement.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace sim {
namespace dsp {

struct DspSimSettings {
    double field_t = 1.5;                          // flux density at the probe, tesla
    double gyromagnetic_ratio = 42.57747892e6;     // of the probe's nucleus, Hz per tesla
    double noise_ppm = 0.05;                       // rms noise on every frequency found
    std::uint32_t noise_seed = 1;
    double amplitude_v = 1.0;                      // NMR signal amplitude
    // Whether the NMR signal path from the probe is intact; without it the receiver sees
    // noise only. Empty: always intact.
    std::function<bool()> signal_path_intact;
    double lock_window = 0.005;                    // +- fraction of f0 in which it locks
    std::chrono::milliseconds search_time{100};
    std::chrono::milliseconds measurement_time{20};
    std::uint16_t cpld_major = 1;                  // programmable-logic version
    std::uint16_t cpld_minor = 8;
    bool external_reference_detected = false;      // status word bit 0
    bool external_reference_locked = false;        // status word bit 1
};

}  // namespace dsp
}  // namespace sim
