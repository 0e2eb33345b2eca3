#include "sim/dsp/DspPhysics.h"

#include <chrono>
#include <cmath>

namespace sim {
namespace dsp {

namespace {

// Noise floor of the receiver; the signal-to-noise ratio reported is amplitude / floor.
constexpr double kNoiseFloorV = 1e-3;

}  // namespace

DspPhysics::DspPhysics(const DspSimSettings& settings)
    : settings_(settings), rng_(settings.noise_seed) {}

void DspPhysics::set_settings(const DspSimSettings& settings) {
    const bool reseed = settings.noise_seed != settings_.noise_seed;
    settings_ = settings;
    if (reseed) rng_.seed(settings_.noise_seed);
}

void DspPhysics::restart(duration now) {
    rng_.seed(settings_.noise_seed);
    program_start_ = now;
    probe_connected_ = false;
    probe_min_hz_ = probe_max_hz_ = 0;
    measure_ = MeasureParms{};
    trigger_out_ = TriggerOut{};
    searching_ = false;
    search_result_ = 0;
    mode_ = Mode::None;
    reference_hz_ = 0;
    was_locked_ = false;
    measuring_ = awaiting_external_ = false;
    last_ = Measurement{};
    last_frequency_ = 0;
    events_ = 0;
}

void DspPhysics::connect_probe(double min_hz, double max_hz) {
    probe_connected_ = true;
    probe_min_hz_ = min_hz;
    probe_max_hz_ = max_hz;
}

bool DspPhysics::signal_visible(bool level_auto, double level) const {
    const double f = f0();
    return probe_connected_ && f >= probe_min_hz_ && f <= probe_max_hz_ &&
           (!settings_.signal_path_intact || settings_.signal_path_intact()) &&
           (level_auto || settings_.amplitude_v >= level);
}

double DspPhysics::noisy(double hz) {
    if (settings_.noise_ppm <= 0) return hz;
    std::normal_distribution<double> n(0.0, settings_.noise_ppm * 1e-6);
    return hz * (1.0 + n(rng_));
}

void DspPhysics::start_search(duration now, const SearchRequest& request) {
    advance(now);
    search_ = request;
    search_result_ = 0;
    searching_ = true;
    search_end_ = now + std::chrono::duration_cast<duration>(settings_.search_time);
}

double DspPhysics::search_result(duration now) {
    advance(now);
    return searching_ ? 0.0 : search_result_;
}

void DspPhysics::start_tracking(double hz) {
    mode_ = Mode::Tracking;
    reference_hz_ = hz;
}

void DspPhysics::start_fixed(double hz) {
    mode_ = Mode::Fixed;
    reference_hz_ = hz;
}

void DspPhysics::trigger(duration now) {
    advance(now);
    measuring_ = true;
    awaiting_external_ =
        measure_.trigger_source == static_cast<std::uint32_t>(TriggerSource::External);
    measurement_end_ = now + std::chrono::duration_cast<duration>(settings_.measurement_time);
}

void DspPhysics::external_trigger(duration now) {
    advance(now);
    events_ |= ExternalTriggerSeen;
    if (measuring_ && awaiting_external_) {
        awaiting_external_ = false;
        measurement_end_ =
            now + std::chrono::duration_cast<duration>(settings_.measurement_time);
    }
}

const DspPhysics::Measurement& DspPhysics::measurement(duration now) {
    advance(now);
    return last_;
}

void DspPhysics::abort() {
    if (searching_) search_result_ = 0;
    searching_ = false;
    measuring_ = awaiting_external_ = false;
}

std::uint32_t DspPhysics::status_bits(duration now) {
    advance(now);
    std::uint32_t bits = events_;
    if (searching_) bits |= SearchRunning;
    if (measuring_) bits |= MeasurementRunning;
    return bits;
}

void DspPhysics::advance(duration now) {
    if (searching_ && now >= search_end_) {
        searching_ = false;
        const double f = f0();
        const bool visible = signal_visible(search_.level_auto, search_.level);
        bool found;
        if (search_.mode == static_cast<std::uint32_t>(SearchMode::Confirm))
            found = std::fabs(f - search_.low) <= settings_.lock_window * search_.low;
        else
            found = f >= search_.low && f <= search_.high;
        search_result_ = visible && found ? noisy(f) : 0.0;
    }
    if (measuring_ && !awaiting_external_ && now >= measurement_end_) {
        measuring_ = false;
        finish_measurement(measurement_end_);
    }
}

void DspPhysics::finish_measurement(duration at) {
    const double f = f0();
    const bool locked = mode_ != Mode::None && signal_visible(measure_.level_auto, measure_.level) &&
                        std::fabs(f - reference_hz_) <= settings_.lock_window * f;

    Measurement m;
    m.matching = measure_.matching;
    m.tuning = measure_.tuning;
    m.timestamp_ms = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(at - program_start_).count());
    if (locked) {
        m.locked = true;
        m.frequency = noisy(f);
        m.sigma_ppm = static_cast<float>(settings_.noise_ppm);
        m.uniformity = static_cast<float>(settings_.noise_ppm);
        m.signal_to_noise = static_cast<float>(settings_.amplitude_v / kNoiseFloorV);
        if (mode_ == Mode::Tracking) reference_hz_ = m.frequency;

        if (trigger_out_.state) {
            const double level = trigger_out_.level_hz;
            const bool rising = last_frequency_ < level && m.frequency >= level;
            const bool falling = last_frequency_ > level && m.frequency <= level;
            const bool pulse = trigger_out_.slope == 0   ? rising
                               : trigger_out_.slope == 1 ? falling
                                                         : rising || falling;
            if (pulse) events_ |= TriggerOutPulsed;
        }
        last_frequency_ = m.frequency;
    } else if (was_locked_) {
        events_ |= LockLost;
    }
    was_locked_ = locked;
    last_ = m;
}

}  // namespace dsp
}  // namespace sim
