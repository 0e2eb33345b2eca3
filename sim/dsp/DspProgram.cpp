#include "sim/dsp/DspProgram.h"

#include <chrono>
#include <cmath>
#include <cstring>

#include "src/Host/acquisition/CKorvexDSP.h"

namespace sim {
namespace dsp {

namespace link = Korvex::CKorvexDSP;

namespace {

constexpr std::uint32_t kExternalReferenceDetected = 1u << 0;
constexpr std::uint32_t kExternalReferenceLocked = 1u << 1;
constexpr auto kHeartbeatPeriod = std::chrono::milliseconds(10);

// Synthetic intermediate results of RETURN_SIGNAL.
constexpr std::uint32_t kSignalSamples = 512;
constexpr std::uint32_t kFftPoints = 256;
constexpr std::uint32_t kSpectrumPoints = 64;
constexpr std::uint32_t kFitCoefficients = 4;
constexpr double kSampleRateHz = 1e6;
constexpr double kIfHz = 25e3;
constexpr double kT2s = 2e-3;

float as_f32(std::uint32_t w) {
    float f;
    std::memcpy(&f, &w, sizeof f);
    return f;
}

std::uint32_t word_of(float f) {
    std::uint32_t w;
    std::memcpy(&w, &f, sizeof w);
    return w;
}

// Doubles and 64-bit counts travel as two words, high word first.
double as_f64(const DspProgram::Frame& f, std::size_t at) {
    const std::uint64_t bits = (std::uint64_t{f[at]} << 32) | f[at + 1];
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

void put_u64(DspProgram::Frame& f, std::size_t at, std::uint64_t v) {
    f[at] = static_cast<std::uint32_t>(v >> 32);
    f[at + 1] = static_cast<std::uint32_t>(v);
}

void put_f64(DspProgram::Frame& f, std::size_t at, double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    put_u64(f, at, bits);
}

void seal(DspProgram::Frame& f) {
    f.back() = link::ComputeCheckWord(f.data(), static_cast<std::uint32_t>(f.size()));
}

}  // namespace

DspProgram::DspProgram(const DspSimSettings& settings) : settings_(settings), physics_(settings) {}

void DspProgram::set_settings(const DspSimSettings& settings) {
    settings_ = settings;
    physics_.set_settings(settings);
}

void DspProgram::start(duration now) {
    physics_.restart(now);
    heartbeat_frozen_ = false;
    heartbeat_base_ = 0;
    heartbeat_epoch_ = now;
    scale_ = 1.0;
    offset_ = 0.0;
}

void DspProgram::freeze_heartbeat(duration now, bool frozen) {
    if (frozen == heartbeat_frozen_) return;
    if (frozen) heartbeat_base_ = heartbeat(now);
    heartbeat_epoch_ = now;
    heartbeat_frozen_ = frozen;
}

std::uint32_t DspProgram::heartbeat(duration now) const {
    if (heartbeat_frozen_ || now < heartbeat_epoch_) return heartbeat_base_;
    return heartbeat_base_ + static_cast<std::uint32_t>((now - heartbeat_epoch_) / kHeartbeatPeriod);
}

std::uint32_t DspProgram::status_word(duration now) {
    std::uint32_t w = physics_.status_bits(now);
    if (settings_.external_reference_detected) w |= kExternalReferenceDetected;
    if (settings_.external_reference_locked) w |= kExternalReferenceLocked;
    return w;
}

void DspProgram::write_status_block(duration now, DspMemory& memory) {
    memory.write(link::StatusBlockAddress, heartbeat(now));
    memory.write(link::StatusBlockAddress + 4, 0);
    memory.write(link::StatusBlockAddress + 8, status_word(now));
    memory.write(link::StatusBlockAddress + 12, 0);
}

DspProgram::Frame DspProgram::make_reply(duration now, std::uint32_t reply_id,
                                         std::uint32_t sequence) {
    Frame f(link::GetReplyLength(reply_id) / 4, 0);
    f[0] = reply_id;
    f[1] = sequence;
    f[2] = status_word(now);
    physics_.clear_events();  // reported once, in this reply
    return f;
}

DspProgram::Frame DspProgram::system_ready(duration now, const Versions& v) {
    Frame f = make_reply(now, link::SYSTEM_READY, 0);
    f[4] = v.dsp_major;
    f[5] = v.dsp_minor;
    f[6] = v.cpld_major;
    f[7] = v.cpld_minor;
    seal(f);
    return f;
}

DspProgram::Frame DspProgram::error_reply(duration now, std::uint32_t request_id,
                                          std::uint32_t sequence) {
    Frame f = make_reply(now, link::ReplyIdOf(request_id), sequence);
    f[2] |= link::ReplyErrorFlag;
    seal(f);
    return f;
}

DspProgram::Frame DspProgram::handle(duration now, const Frame& q, DspMemory& memory) {
    const std::uint32_t id = q[0];
    // Act first, so that the reply's status word shows the new state.
    switch (id) {
    case link::PW_PROBE_CONNECT:
        physics_.connect_probe(as_f32(q[2]), as_f32(q[3]));
        break;
    case link::PW_MEASURE_PARMS: {
        DspPhysics::MeasureParms p;
        p.trigger_source = q[2];
        p.matching = as_f32(q[5]);
        p.tuning = as_f32(q[6]);
        p.level_auto = q[20] != 0;
        p.level = as_f32(q[21]);
        physics_.set_measure_parms(p);
        break;
    }
    case link::INITIATE_SEARCH: {
        DspPhysics::SearchRequest s;
        s.low = as_f32(q[2]);
        s.high = as_f32(q[3]);
        s.third = as_f32(q[4]);
        s.mode = q[5];
        s.level_auto = q[6] != 0;
        s.level = as_f32(q[8]);
        physics_.start_search(now, s);
        break;
    }
    case link::INITIATE_TRACKING:
        physics_.start_tracking(as_f64(q, 2));
        break;
    case link::INITIATE_FIXED_MEASUREMENT:
        physics_.start_fixed(as_f64(q, 2));
        break;
    case link::TRIGGER:
        physics_.trigger(now);
        break;
    case link::GET_PW_MEASUREMENT:
        scale_ = as_f64(q, 2);
        offset_ = as_f64(q, 4);
        break;
    case link::ABORT:
    case link::QUIT:
        physics_.abort();
        break;
    case link::TRIGGER_OUT: {
        DspPhysics::TriggerOut t;
        t.level_hz = as_f64(q, 2);
        t.state = q[4] != 0;
        t.slope = q[5];
        physics_.set_trigger_out(t);
        break;
    }
    default:
        break;
    }

    Frame r = make_reply(now, link::ReplyIdOf(id), q[1]);
    switch (id) {
    case link::GET_SEARCH_RESULT:
        put_f64(r, 4, physics_.search_result(now));
        break;
    case link::GET_PW_MEASUREMENT: {
        const DspPhysics::Measurement& m = physics_.measurement(now);
        put_f64(r, 4, m.locked ? m.frequency * scale_ + offset_ : 0.0);
        put_f64(r, 6, m.frequency);
        put_u64(r, 8, m.timestamp_ms);
        r[10] = word_of(m.sigma_ppm);
        r[11] = word_of(m.signal_to_noise);
        r[12] = word_of(m.uniformity);
        r[13] = word_of(m.matching);
        r[14] = word_of(m.tuning);
        break;
    }
    case link::TRIGGER_OUT:
        r[4] = physics_.trigger_out_state() ? 1 : 0;
        break;
    case link::REQUEST_SIGNAL:
        fill_signal(now, r, memory);
        break;
    default:
        break;
    }
    seal(r);
    return r;
}

// A decaying signal at the intermediate frequency, its spectrum, the peak region of the
// spectrum and the coefficients of the fit, left in external memory.
void DspProgram::fill_signal(duration now, Frame& r, DspMemory& memory) {
    const double pi = std::acos(-1.0);
    const double amplitude = settings_.amplitude_v;
    const DspPhysics::Measurement& m = physics_.measurement(now);
    const double rf = m.locked ? m.frequency : physics_.f0();

    const std::uint32_t signal = SignalArraysAddress;
    const std::uint32_t fft = signal + 4 * kSignalSamples;
    const std::uint32_t spectrum = fft + 4 * kFftPoints;
    const std::uint32_t fit = spectrum + 4 * kSpectrumPoints;

    for (std::uint32_t i = 0; i < kSignalSamples; ++i) {
        const double t = i / kSampleRateHz;
        memory.write(signal + 4 * i, word_of(static_cast<float>(
                                         amplitude * std::exp(-t / kT2s) * std::cos(2 * pi * kIfHz * t))));
    }
    // Lorentzian line of width 1/(pi T2) around the intermediate frequency.
    const double resolution = kSampleRateHz / (2.0 * kFftPoints);
    const double half_width = 1.0 / (pi * kT2s);
    auto line = [&](double hz) {
        const double x = (hz - kIfHz) / half_width;
        return amplitude / (1.0 + x * x);
    };
    for (std::uint32_t i = 0; i < kFftPoints; ++i)
        memory.write(fft + 4 * i, word_of(static_cast<float>(line(i * resolution))));
    const double spectrum_resolution = resolution / 8.0;
    const double spectrum_start = kIfHz - spectrum_resolution * kSpectrumPoints / 2.0;
    for (std::uint32_t i = 0; i < kSpectrumPoints; ++i)
        memory.write(spectrum + 4 * i,
                     word_of(static_cast<float>(line(spectrum_start + i * spectrum_resolution))));
    const float coefficients[kFitCoefficients] = {static_cast<float>(amplitude),
                                                  static_cast<float>(kIfHz),
                                                  static_cast<float>(kT2s), 0.0f};
    for (std::uint32_t i = 0; i < kFitCoefficients; ++i)
        memory.write(fit + 4 * i, word_of(coefficients[i]));

    put_f64(r, 4, kIfHz);
    put_f64(r, 6, rf);
    r[8] = word_of(static_cast<float>(kT2s));
    r[10] = signal;
    r[11] = kSignalSamples;
    r[12] = word_of(static_cast<float>(kSampleRateHz));
    r[13] = fft;
    r[14] = kFftPoints;
    r[15] = word_of(static_cast<float>(resolution));
    r[16] = word_of(1e-3f);  // noise floor
    r[17] = spectrum;
    r[18] = kSpectrumPoints;
    r[19] = word_of(static_cast<float>(spectrum_resolution));
    r[20] = word_of(static_cast<float>(kIfHz));  // centre frequency
    r[21] = fit;
    r[22] = kFitCoefficients;
    r[23] = word_of(1e-4f);  // residue
}

}  // namespace dsp
}  // namespace sim
