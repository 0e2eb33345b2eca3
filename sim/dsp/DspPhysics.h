// What the simulated DSP "measures": an NMR resonance at f0 = gyromagnetic ratio x field,
// seen through a probe with a frequency range, found by searches and followed by tracking
// or fixed measurements, with seeded gaussian noise. Times are sim-clock times; the state
// advances lazily whenever it is looked at.
#pragma once

#include <cstdint>
#include <random>

#include "sim/dsp/DspSimSettings.h"
#include "sim/dsp/SimClock.h"

namespace sim {
namespace dsp {

class DspPhysics {
public:
    using duration = SimClock::duration;

    // Status-word bits kept here.
    enum : std::uint32_t {
        SearchRunning = 1u << 4,
        MeasurementRunning = 1u << 5,
        LockLost = 1u << 19,
        TriggerOutPulsed = 1u << 20,
        ExternalTriggerSeen = 1u << 21,
    };
    static constexpr std::uint32_t EventBits = LockLost | TriggerOutPulsed | ExternalTriggerSeen;

    enum class SearchMode : std::uint32_t { Range = 0, Centred = 1, Confirm = 2 };
    enum class TriggerSource : std::uint32_t { Immediate = 0, TimerOrBus = 1, External = 2 };

    struct SearchRequest {
        double low = 0, high = 0, third = 0;  // Hz
        std::uint32_t mode = 0;
        bool level_auto = false;
        double level = 0;                     // V
    };

    struct MeasureParms {
        std::uint32_t trigger_source = 0;
        float matching = 0, tuning = 0;
        bool level_auto = false;
        double level = 0;                     // V
    };

    struct TriggerOut {
        double level_hz = 0;
        bool state = false;
        std::uint32_t slope = 0;              // 0 rising through the level, 1 falling, 2 either
    };

    struct Measurement {
        bool locked = false;
        double frequency = 0;                 // Hz, 0.0 when not locked
        float sigma_ppm = 0, signal_to_noise = 0, uniformity = 0, matching = 0, tuning = 0;
        std::uint64_t timestamp_ms = 0;       // since program start
    };

    explicit DspPhysics(const DspSimSettings& settings);

    // New settings take effect at the next step; a new seed restarts the noise sequence.
    void set_settings(const DspSimSettings& settings);
    // The program starts at now: no probe, no search, no measurement, noise reseeded.
    void restart(duration now);

    double f0() const { return settings_.gyromagnetic_ratio * settings_.field_t; }

    void connect_probe(double min_hz, double max_hz);
    void set_measure_parms(const MeasureParms& parms) { measure_ = parms; }
    void set_trigger_out(const TriggerOut& out) { trigger_out_ = out; }
    bool trigger_out_state() const { return trigger_out_.state; }

    void start_search(duration now, const SearchRequest& request);
    // The last search's result: the frequency found, 0.0 when nothing (or still running).
    double search_result(duration now);

    void start_tracking(double hz);
    void start_fixed(double hz);
    // TRIGGER: a measurement starts now, or with an external source at the next external
    // trigger.
    void trigger(duration now);
    void external_trigger(duration now);
    const Measurement& measurement(duration now);

    // Stops search and measurement.
    void abort();

    // Bits 4, 5, 19, 20 and 21 of the status word at now. The event bits (19-21) stay set
    // until clear_events().
    std::uint32_t status_bits(duration now);
    void clear_events() { events_ &= ~EventBits; }

private:
    enum class Mode { None, Tracking, Fixed };

    void advance(duration now);
    void finish_measurement(duration at);
    bool signal_visible(bool level_auto, double level) const;
    double noisy(double hz);

    DspSimSettings settings_;
    std::mt19937 rng_;
    duration program_start_{0};

    bool probe_connected_ = false;
    double probe_min_hz_ = 0, probe_max_hz_ = 0;
    MeasureParms measure_;
    TriggerOut trigger_out_;

    bool searching_ = false;
    duration search_end_{0};
    SearchRequest search_;
    double search_result_ = 0;

    Mode mode_ = Mode::None;
    double reference_hz_ = 0;       // tracked or fixed frequency
    bool was_locked_ = false;

    bool measuring_ = false;
    bool awaiting_external_ = false;
    duration measurement_end_{0};
    Measurement last_;
    double last_frequency_ = 0;     // previous locked frequency, for the trigger output

    std::uint32_t events_ = 0;
};

}  // namespace dsp
}  // namespace sim
