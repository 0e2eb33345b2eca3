// The simulated DSP behind the board's host-port window: its HPI registers, its word
// memory, its reset input, the boot contract and the one thread that runs the program.
//
// Host port: HPIC (HWOB, DSPINT, HINT in each half; a word with differing halves is
// ignored), HPIA, the data ports with and without address increment, HPIC read back at
// 0x14; while HWOB is 0 (after a reset) data words travel with their halves swapped.
//
// Reset: GPE2 low holds the DSP (memory cleared, the port dead); the release makes it await
// a program. Boot contract: the image carries an 8-word program descriptor at DSP address 0
// (magic 0x4B565844, layout 1, program version major and minor, start address, length in
// words and 32-bit sum of a checked block, XOR of words 0-6). A DSPINT while the DSP awaits
// a program starts it only when external memory is set up and the descriptor and the
// checked block check out; otherwise nothing happens.
//
// Running, each DSPINT hands the request in the mailboxes (id at 0xFFE0, frame at
// 0x90FF0000) to the DSP thread; it answers with the reply frame at 0x90FF8000, the reply
// id at 0xFFE4 and the host interrupt. A frame whose XOR is not 0 gets the error flag; an
// unknown id gets no reply; a request other than ABORT while one is outstanding (accepted,
// not yet answered) is a violation and ignored; ABORT replaces the outstanding reply by
// ABORT_ACK.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/hpi/HpiWindow.h"
#include "sim/dsp/DspMemory.h"
#include "sim/dsp/DspProgram.h"
#include "sim/dsp/DspSimSettings.h"
#include "sim/dsp/SimClock.h"

namespace sim {
namespace dsp {

class DspSim final : public platform::hpi::HpiDevice {
public:
    using duration = SimClock::duration;

    static constexpr std::uint32_t DescriptorMagic = 0x4B565844u;
    static constexpr std::uint32_t DescriptorLayout = 1;

    enum class State {
        PowerOn,          // never reset: the port works, DSPINT does nothing
        Held,             // reset input low
        AwaitingProgram,  // released from reset, waits for DSPINT
        Running,
    };

    // A null clock gives the steady clock.
    explicit DspSim(const DspSimSettings& settings = {}, std::shared_ptr<SimClock> clock = nullptr);
    ~DspSim() override;
    DspSim(const DspSim&) = delete;
    DspSim& operator=(const DspSim&) = delete;

    // Behind the board's HPI window (detach also happens on destruction).
    void attach();
    void detach();

    // platform::hpi::HpiDevice
    void write(std::uint32_t offset, std::uint32_t value) override;
    std::uint32_t read(std::uint32_t offset) override;
    void set_reset(bool held) override;

    State state() const;
    DspSimSettings settings() const;
    void set_settings(const DspSimSettings& settings);
    // An edge on the external trigger input.
    void ExternalTrigger();

    // ---- faults ----
    void freeze_heartbeat(bool frozen);
    // One-shot faults of the next reply the DSP sends (SYSTEM_READY included).
    void drop_next_reply();                 // never sent; the request counts as answered
    void wrong_id_next_reply();             // another id in the mailbox and word 0
    void bad_check_word_next_reply();
    void error_flag_next_reply();           // bit 31 of word 2
    void delay_next_reply(duration delay);  // sent after that much sim time
    void refuse_boot(bool refuse);
    // Versions SYSTEM_READY reports instead of the descriptor's and the settings'.
    void report_versions(std::uint16_t dsp_major, std::uint16_t dsp_minor,
                         std::uint16_t cpld_major, std::uint16_t cpld_minor);
    void report_true_versions();

    // ---- counters ----
    unsigned boots() const;
    unsigned requests(std::uint32_t id) const;  // requests taken by the program, by mailbox id
    unsigned violations() const;

private:
    struct Request {
        bool boot = false;
        duration received{0};  // the DSPINT's time: the program acts as of then
        std::uint32_t id = 0;  // from the mailbox
        DspProgram::Frame frame;
    };

    struct Outgoing {
        std::uint32_t mailbox_id = 0;
        DspProgram::Frame frame;
        duration due{0};
    };

    void run();
    void process(const Request& request);
    void try_boot(duration now);
    void serve(const Request& request);
    void send(duration now, DspProgram::Frame frame);
    void post(const Outgoing& out);
    void dsp_interrupt();
    void sync_host_interrupt();
    std::uint32_t data_in(std::uint32_t value) const;

    std::shared_ptr<SimClock> clock_;

    mutable std::mutex lock_;  // everything below
    std::condition_variable wake_;
    DspMemory memory_;
    DspProgram program_;
    DspSimSettings settings_;
    State state_ = State::PowerOn;
    bool hwob_ = false;
    bool hint_ = false;
    std::uint32_t hpia_ = 0;
    std::deque<Request> requests_;
    std::optional<Outgoing> outstanding_;  // accepted request whose reply is delayed
    bool stop_ = false;

    bool drop_next_ = false, wrong_id_next_ = false, bad_check_next_ = false,
         error_flag_next_ = false;
    duration delay_next_{0};
    bool refuse_boot_ = false;
    std::optional<DspProgram::Versions> reported_versions_;

    unsigned boots_ = 0;
    std::map<std::uint32_t, unsigned> request_counts_;
    unsigned violations_ = 0;

    std::mutex line_lock_;  // orders the host-interrupt line updates; taken before lock_
    bool attached_ = false;
    std::thread thread_;
};

}  // namespace dsp
}  // namespace sim
