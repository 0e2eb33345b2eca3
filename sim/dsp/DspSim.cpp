#include "sim/dsp/DspSim.h"

#include <chrono>

#include "src/Host/acquisition/CKorvexDSP.h"

namespace sim {
namespace dsp {

namespace link = Korvex::CKorvexDSP;
namespace hpi = platform::hpi;

namespace {

// HPIC bits, in each half of the control word.
constexpr std::uint32_t kHwob = 0x1;
constexpr std::uint32_t kDspInt = 0x2;
constexpr std::uint32_t kHint = 0x4;

// Longest checked block the boot check sums (4 MB).
constexpr std::uint32_t kMaxCheckedWords = 0x00100000;

constexpr auto kDelayPoll = std::chrono::milliseconds(1);

std::uint32_t swap_halves(std::uint32_t v) { return (v << 16) | (v >> 16); }

}  // namespace

DspSim::DspSim(const DspSimSettings& settings, std::shared_ptr<SimClock> clock)
    : clock_(clock ? std::move(clock) : std::make_shared<SteadySimClock>()),
      program_(settings),
      settings_(settings) {
    thread_ = std::thread([this] { run(); });
}

DspSim::~DspSim() {
    detach();
    {
        std::lock_guard<std::mutex> g(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void DspSim::attach() {
    hpi::attach(this);  // tells us the reset pin's level at once
    {
        std::lock_guard<std::mutex> g(lock_);
        attached_ = true;
    }
    sync_host_interrupt();
}

void DspSim::detach() {
    {
        std::lock_guard<std::mutex> g(lock_);
        if (!attached_) return;
        attached_ = false;
    }
    if (hpi::attached() == this) {
        hpi::attach(nullptr);
        hpi::set_host_interrupt(false);
    }
}

// ---- host port ----

std::uint32_t DspSim::data_in(std::uint32_t value) const {
    return hwob_ ? value : swap_halves(value);
}

void DspSim::write(std::uint32_t offset, std::uint32_t value) {
    bool line_changed = false;
    {
        std::lock_guard<std::mutex> g(lock_);
        if (state_ == State::Held) return;
        switch (offset) {
        case hpi::HPIC: {
            const std::uint32_t half = value & 0xFFFF;
            if (half != value >> 16) return;  // halves differ: not a control word
            hwob_ = (half & kHwob) != 0;
            if ((half & kHint) && hint_) {
                hint_ = false;
                line_changed = true;
            }
            if (half & kDspInt) dsp_interrupt();
            break;
        }
        case hpi::HPIA:
            hpia_ = value;
            break;
        case hpi::HPID_WRITE_INC:
            memory_.write(hpia_, data_in(value));
            hpia_ += 4;
            break;
        case hpi::HPID_WRITE_FIXED:
            memory_.write(hpia_, data_in(value));
            break;
        default:
            break;
        }
    }
    if (line_changed) sync_host_interrupt();
}

std::uint32_t DspSim::read(std::uint32_t offset) {
    std::lock_guard<std::mutex> g(lock_);
    if (state_ == State::Held) return 0;
    if (state_ == State::Running) program_.write_status_block(clock_->now(), memory_);
    std::uint32_t value = 0;
    switch (offset) {
    case hpi::HPIC_READ: {
        const std::uint32_t half = (hwob_ ? kHwob : 0) | (hint_ ? kHint : 0);
        return (half << 16) | half;
    }
    case hpi::HPID_READ_INC:
        value = memory_.read(hpia_);
        hpia_ += 4;
        break;
    case hpi::HPID_READ_FIXED:
        value = memory_.read(hpia_);
        break;
    default:
        return 0;
    }
    return data_in(value);  // the swap is its own inverse
}

void DspSim::set_reset(bool held) {
    bool line_changed = false;
    {
        std::lock_guard<std::mutex> g(lock_);
        if (held) {
            state_ = State::Held;
            memory_.clear();
            hwob_ = false;
            line_changed = hint_;
            hint_ = false;
            hpia_ = 0;
            requests_.clear();
            outstanding_.reset();
        } else if (state_ == State::Held) {
            state_ = State::AwaitingProgram;
        }
    }
    if (line_changed) sync_host_interrupt();
}

// Called with lock_ held: the DSP takes the interrupt and, when running, reads the request
// from its mailboxes right away.
void DspSim::dsp_interrupt() {
    Request r;
    r.received = clock_->now();
    if (state_ == State::AwaitingProgram) {
        r.boot = true;
    } else if (state_ == State::Running) {
        r.id = memory_.read(link::RequestIdAddress);
        const std::uint32_t n = link::GetRequestLength(r.id) / 4;
        r.frame.resize(n);
        for (std::uint32_t i = 0; i < n; ++i)
            r.frame[i] = memory_.read(link::RequestFrameAddress + 4 * i);
    } else {
        return;
    }
    requests_.push_back(std::move(r));
    wake_.notify_all();
}

void DspSim::sync_host_interrupt() {
    std::lock_guard<std::mutex> order(line_lock_);
    bool level;
    {
        std::lock_guard<std::mutex> g(lock_);
        if (!attached_) return;
        level = hint_;
    }
    hpi::set_host_interrupt(level);
}

// ---- the DSP thread ----

void DspSim::run() {
    std::unique_lock<std::mutex> lk(lock_);
    while (!stop_) {
        if (!requests_.empty()) {
            Request r = std::move(requests_.front());
            requests_.pop_front();
            process(r);
        } else if (outstanding_ && clock_->now() >= outstanding_->due) {
            Outgoing out = std::move(*outstanding_);
            outstanding_.reset();
            post(out);
        } else {
            if (outstanding_)
                wake_.wait_for(lk, kDelayPoll);
            else
                wake_.wait(lk);
            continue;
        }
        lk.unlock();
        sync_host_interrupt();
        lk.lock();
    }
}

void DspSim::process(const Request& r) {
    if (r.boot) {
        if (state_ == State::AwaitingProgram) try_boot(r.received);
    } else if (state_ == State::Running) {
        serve(r);
    }
}

void DspSim::try_boot(duration now) {
    if (refuse_boot_ || !memory_.external_ready()) return;
    std::uint32_t d[8];
    for (std::uint32_t i = 0; i < 8; ++i) d[i] = memory_.read(4 * i);
    std::uint32_t x = 0;
    for (std::uint32_t i = 0; i < 7; ++i) x ^= d[i];
    const std::uint32_t start = d[4], length = d[5];
    if (d[0] != DescriptorMagic || d[1] != DescriptorLayout || x != d[7]) return;
    if (length == 0 || length > kMaxCheckedWords || (start & 3) != 0 ||
        std::uint64_t{start} + 4ull * length > 0x100000000ull)
        return;
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < length; ++i) sum += memory_.read(start + 4 * i);
    if (sum != d[6]) return;

    state_ = State::Running;
    ++boots_;
    program_.start(now);
    DspProgram::Versions v;
    v.dsp_major = static_cast<std::uint16_t>(d[2]);
    v.dsp_minor = static_cast<std::uint16_t>(d[3]);
    v.cpld_major = settings_.cpld_major;
    v.cpld_minor = settings_.cpld_minor;
    send(now, program_.system_ready(now, reported_versions_ ? *reported_versions_ : v));
}

void DspSim::serve(const Request& r) {
    const bool abort = r.id == link::ABORT;
    if (outstanding_ && !abort) {
        ++violations_;
        return;
    }
    ++request_counts_[r.id];
    if (abort) outstanding_.reset();  // ABORT_ACK takes the place of the pending reply
    if (r.frame.empty()) return;      // not a request of the table: no reply

    const duration now = r.received;
    const bool intact = r.frame[0] == r.id &&
                        link::IsFrameValid(r.frame.data(), static_cast<std::uint32_t>(r.frame.size()));
    if (intact)
        send(now, program_.handle(now, r.frame, memory_));
    else
        send(now, program_.error_reply(now, r.id, r.frame[1]));
}

// Applies the one-shot faults and posts the reply now or when its delay has passed.
void DspSim::send(duration now, DspProgram::Frame frame) {
    if (drop_next_) {
        drop_next_ = false;
        return;
    }
    Outgoing out;
    out.mailbox_id = frame[0];
    if (error_flag_next_) {
        error_flag_next_ = false;
        frame[2] |= link::ReplyErrorFlag;
        frame.back() = link::ComputeCheckWord(frame.data(), static_cast<std::uint32_t>(frame.size()));
    }
    if (wrong_id_next_) {
        wrong_id_next_ = false;
        out.mailbox_id ^= 0x100;  // a neighbour that no request expects
        frame.back() ^= frame[0] ^ out.mailbox_id;
        frame[0] = out.mailbox_id;
    }
    if (bad_check_next_) {
        bad_check_next_ = false;
        frame.back() ^= 0x1;
    }
    out.frame = std::move(frame);
    if (delay_next_.count() > 0) {
        out.due = now + delay_next_;
        delay_next_ = duration{0};
        outstanding_ = std::move(out);
        wake_.notify_all();
        return;
    }
    post(out);
}

void DspSim::post(const Outgoing& out) {
    for (std::size_t i = 0; i < out.frame.size(); ++i)
        memory_.write(link::ReplyFrameAddress + static_cast<std::uint32_t>(4 * i), out.frame[i]);
    memory_.write(link::ReplyIdAddress, out.mailbox_id);
    hint_ = true;
}

// ---- settings, faults, counters ----

DspSim::State DspSim::state() const {
    std::lock_guard<std::mutex> g(lock_);
    return state_;
}

DspSimSettings DspSim::settings() const {
    std::lock_guard<std::mutex> g(lock_);
    return settings_;
}

void DspSim::set_settings(const DspSimSettings& settings) {
    std::lock_guard<std::mutex> g(lock_);
    settings_ = settings;
    program_.set_settings(settings);
}

void DspSim::ExternalTrigger() {
    std::lock_guard<std::mutex> g(lock_);
    if (state_ == State::Running) program_.external_trigger(clock_->now());
}

void DspSim::freeze_heartbeat(bool frozen) {
    std::lock_guard<std::mutex> g(lock_);
    program_.freeze_heartbeat(clock_->now(), frozen);
}

void DspSim::drop_next_reply() {
    std::lock_guard<std::mutex> g(lock_);
    drop_next_ = true;
}

void DspSim::wrong_id_next_reply() {
    std::lock_guard<std::mutex> g(lock_);
    wrong_id_next_ = true;
}

void DspSim::bad_check_word_next_reply() {
    std::lock_guard<std::mutex> g(lock_);
    bad_check_next_ = true;
}

void DspSim::error_flag_next_reply() {
    std::lock_guard<std::mutex> g(lock_);
    error_flag_next_ = true;
}

void DspSim::delay_next_reply(duration delay) {
    std::lock_guard<std::mutex> g(lock_);
    delay_next_ = delay;
}

void DspSim::refuse_boot(bool refuse) {
    std::lock_guard<std::mutex> g(lock_);
    refuse_boot_ = refuse;
}

void DspSim::report_versions(std::uint16_t dsp_major, std::uint16_t dsp_minor,
                             std::uint16_t cpld_major, std::uint16_t cpld_minor) {
    std::lock_guard<std::mutex> g(lock_);
    reported_versions_ = DspProgram::Versions{dsp_major, dsp_minor, cpld_major, cpld_minor};
}

void DspSim::report_true_versions() {
    std::lock_guard<std::mutex> g(lock_);
    reported_versions_.reset();
}

unsigned DspSim::boots() const {
    std::lock_guard<std::mutex> g(lock_);
    return boots_;
}

unsigned DspSim::requests(std::uint32_t id) const {
    std::lock_guard<std::mutex> g(lock_);
    auto it = request_counts_.find(id);
    return it == request_counts_.end() ? 0 : it->second;
}

unsigned DspSim::violations() const {
    std::lock_guard<std::mutex> g(lock_);
    return violations_;
}

}  // namespace dsp
}  // namespace sim
