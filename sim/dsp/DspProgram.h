// The program the simulated DSP runs once booted: it answers each request of the message
// table with its reply frame, keeps the four-word status block (heartbeat and status word)
// and drives the physics. It knows nothing of the host port: DspSim hands it requests read
// from the mailboxes and posts the frames it returns.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/dsp/DspMemory.h"
#include "sim/dsp/DspPhysics.h"
#include "sim/dsp/DspSimSettings.h"
#include "sim/dsp/SimClock.h"

namespace sim {
namespace dsp {

class DspProgram {
public:
    using duration = SimClock::duration;
    using Frame = std::vector<std::uint32_t>;

    // Where RETURN_SIGNAL leaves its arrays in (external) DSP memory.
    static constexpr std::uint32_t SignalArraysAddress = 0x90F00000u;

    struct Versions {
        std::uint16_t dsp_major = 0, dsp_minor = 0, cpld_major = 0, cpld_minor = 0;
    };

    explicit DspProgram(const DspSimSettings& settings);

    void set_settings(const DspSimSettings& settings);

    // The program starts at now (heartbeat 0, time stamps from now).
    void start(duration now);

    Frame system_ready(duration now, const Versions& versions);
    // The reply to a well-formed request of the table (the id has a request length and the
    // frame's length matches it). REQUEST_SIGNAL writes its arrays into memory.
    Frame handle(duration now, const Frame& request, DspMemory& memory);
    // The reply to a request whose frame failed its check: the table's reply with the error
    // flag in word 2 and nothing done.
    Frame error_reply(duration now, std::uint32_t request_id, std::uint32_t sequence);

    // An external trigger input edge.
    void external_trigger(duration now) { physics_.external_trigger(now); }

    // Heartbeat counter: +1 every 10 ms of sim time while not frozen.
    void freeze_heartbeat(duration now, bool frozen);
    std::uint32_t heartbeat(duration now) const;
    std::uint32_t status_word(duration now);
    // The status block at its mailbox address.
    void write_status_block(duration now, DspMemory& memory);

private:
    Frame make_reply(duration now, std::uint32_t reply_id, std::uint32_t sequence);
    void fill_signal(duration now, Frame& reply, DspMemory& memory);

    DspSimSettings settings_;
    DspPhysics physics_;
    bool heartbeat_frozen_ = false;
    std::uint32_t heartbeat_base_ = 0;
    duration heartbeat_epoch_{0};
    double scale_ = 1.0, offset_ = 0.0;  // of the last GET_PW_MEASUREMENT
};

}  // namespace dsp
}  // namespace sim
