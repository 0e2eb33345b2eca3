// The simulated DSP driven through the board's host-port window, the way the firmware's
// drivers drive it: reset pin, EMIF set-up, memory writes, DSPINT, replies read back.
#include "sim/dsp/DspSim.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "board/hpi.h"
#include "platform/gpio/GpioPortE.h"
#include "platform/hpi/HpiWindow.h"
#include "src/Host/acquisition/CKorvexDSP.h"

namespace {

using namespace std::chrono_literals;
using sim::dsp::DspSim;
using sim::dsp::DspSimSettings;
using sim::dsp::TestSimClock;
using Words = std::vector<std::uint32_t>;
namespace hpi = platform::hpi;
namespace link = Korvex::CKorvexDSP;

constexpr std::uint32_t kHwob = 0x00010001, kDspInt = 0x00030003, kHintAck = 0x00050005;
constexpr std::uint32_t kBlockAddress = 0x80000000;

std::uint32_t f32(float f) {
    std::uint32_t w;
    std::memcpy(&w, &f, sizeof w);
    return w;
}

float as_f32(std::uint32_t w) {
    float f;
    std::memcpy(&f, &w, sizeof f);
    return f;
}

void put_f64(Words& w, std::size_t at, double d) {
    std::uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    w[at] = static_cast<std::uint32_t>(b >> 32);
    w[at + 1] = static_cast<std::uint32_t>(b);
}

double f64(const Words& w, std::size_t at) {
    const std::uint64_t b = (std::uint64_t{w[at]} << 32) | w[at + 1];
    double d;
    std::memcpy(&d, &b, sizeof d);
    return d;
}

// ---- the host side, straight on the window ----

void write_block(std::uint32_t address, const Words& words) {
    hpi::window_write(hpi::HPIC, kHwob);
    hpi::window_write(hpi::HPIA, address);
    for (std::uint32_t w : words) hpi::window_write(hpi::HPID_WRITE_INC, w);
}

Words read_block(std::uint32_t address, std::size_t n) {
    hpi::window_write(hpi::HPIC, kHwob);
    hpi::window_write(hpi::HPIA, address);
    Words out(n);
    for (auto& w : out) w = hpi::window_read(hpi::HPID_READ_INC);
    return out;
}

std::uint32_t read_word(std::uint32_t address) { return read_block(address, 1)[0]; }

void reset_pulse() {
    platform::gpio::port_e_write(hpi::kResetPin, false);
    platform::gpio::port_e_write(hpi::kResetPin, true);
}

void emif_init() {
    write_block(0x01800000, {0x00003060, 0xFFFFFF33, 0xFFFFFF23});
    write_block(0x01800010, {0xFFFFFF23, 0x10D14321, 0x5733A000, 0x0000061A, 0x0017DF2D});
}

// A program image as the loader leaves it in memory: descriptor at 0, checked block in
// external memory.
struct Image {
    Words descriptor;
    Words block;
};

Image make_image(std::uint32_t major = 2, std::uint32_t minor = 5) {
    Image im;
    for (std::uint32_t i = 0; i < 40; ++i) im.block.push_back(0x01010101u * (i + 1) + i);
    std::uint32_t sum = 0;
    for (std::uint32_t w : im.block) sum += w;
    im.descriptor = {DspSim::DescriptorMagic, 1, major, minor, kBlockAddress,
                     static_cast<std::uint32_t>(im.block.size()), sum, 0};
    for (int i = 0; i < 7; ++i) im.descriptor[7] ^= im.descriptor[i];
    return im;
}

void load(const Image& im) {
    write_block(0, im.descriptor);
    write_block(kBlockAddress, im.block);
}

bool wait_host_interrupt() {
    for (int i = 0; i < 5000; ++i) {
        if (hpi::host_interrupt_asserted()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

// Gives the DSP thread time to act on something that must not produce a reply.
void settle() { std::this_thread::sleep_for(50ms); }

Words make_request(std::uint32_t id, std::uint32_t sequence = 7) {
    Words f(link::GetRequestLength(id) / 4, 0);
    f[0] = id;
    f[1] = sequence;
    return f;
}

void seal(Words& f) {
    f.back() = link::ComputeCheckWord(f.data(), static_cast<std::uint32_t>(f.size()));
}

// Sends a request as the link does: acknowledge, id, frame, DSPINT.
void send(Words f, bool sealed = false) {
    if (!sealed) seal(f);
    hpi::window_write(hpi::HPIC, kHintAck);
    write_block(link::RequestIdAddress, {f[0]});
    write_block(link::RequestFrameAddress, f);
    hpi::window_write(hpi::HPIC, kDspInt);
}

struct Reply {
    std::uint32_t id = 0;
    Words frame;
};

Reply receive() {
    Reply r;
    if (!wait_host_interrupt()) return r;
    r.id = read_word(link::ReplyIdAddress);
    std::uint32_t n = link::GetReplyLength(r.id) / 4;
    if (n == 0) n = link::GetReplyLength(r.id ^ 0x100) / 4;  // the wrong-id fault
    r.frame = read_block(link::ReplyFrameAddress, n);
    hpi::window_write(hpi::HPIC, kHintAck);
    return r;
}

class DspSimFixture : public ::testing::Test {
protected:
    void SetUp() override {
        platform::gpio::port_e_reset();
        clock = std::make_shared<TestSimClock>();
        dsp = std::make_unique<DspSim>(settings, clock);
        dsp->attach();
    }
    void TearDown() override { dsp.reset(); }

    // Reset, EMIF, image, DSPINT, SYSTEM_READY.
    Reply boot(const Image& im = make_image()) {
        reset_pulse();
        emif_init();
        load(im);
        hpi::window_write(hpi::HPIC, kDspInt);
        return receive();
    }

    Reply exchange(Words request) {
        send(std::move(request));
        return receive();
    }

    std::uint32_t status_word() { return read_block(link::StatusBlockAddress, 4)[2]; }

    DspSimSettings settings;
    std::shared_ptr<TestSimClock> clock;
    std::unique_ptr<DspSim> dsp;
};

// ---- host port registers and memory ----

using DspSimHostPort = DspSimFixture;

TEST_F(DspSimHostPort, HeldInResetUntilReleased) {
    EXPECT_EQ(dsp->state(), DspSim::State::Held);  // GPE2 is low after power-on
    write_block(0x100, {0x11111111});
    EXPECT_EQ(read_word(0x100), 0u);
    reset_pulse();
    EXPECT_EQ(dsp->state(), DspSim::State::AwaitingProgram);
    write_block(0x100, {0x22222222});
    EXPECT_EQ(read_word(0x100), 0x22222222u);
    reset_pulse();  // a reset clears memory
    EXPECT_EQ(read_word(0x100), 0u);
}

TEST_F(DspSimHostPort, HalvesSwappedWhileHwobIsClear) {
    reset_pulse();
    EXPECT_EQ(hpi::window_read(hpi::HPIC_READ), 0u);  // HWOB 0 after reset
    hpi::window_write(hpi::HPIA, 0x200);
    hpi::window_write(hpi::HPID_WRITE_FIXED, 0x12345678);
    EXPECT_EQ(hpi::window_read(hpi::HPID_READ_FIXED), 0x12345678u);  // swapped twice
    EXPECT_EQ(read_word(0x200), 0x56781234u);                        // HWOB set: as stored
    EXPECT_EQ(hpi::window_read(hpi::HPIC_READ), kHwob);
}

TEST_F(DspSimHostPort, ControlWordWithDifferingHalvesIgnored) {
    reset_pulse();
    hpi::window_write(hpi::HPIC, 0x00000001);
    hpi::window_write(hpi::HPIC, 0x00010000);
    EXPECT_EQ(hpi::window_read(hpi::HPIC_READ), 0u);
    hpi::window_write(hpi::HPIC, kHwob);
    hpi::window_write(hpi::HPIC, 0x00010003);  // not a DSPINT, HWOB stays
    EXPECT_EQ(hpi::window_read(hpi::HPIC_READ), kHwob);
}

TEST_F(DspSimHostPort, IncrementAndFixedPorts) {
    reset_pulse();
    hpi::window_write(hpi::HPIC, kHwob);
    hpi::window_write(hpi::HPIA, 0x300);
    hpi::window_write(hpi::HPID_WRITE_INC, 1);
    hpi::window_write(hpi::HPID_WRITE_INC, 2);
    hpi::window_write(hpi::HPID_WRITE_FIXED, 3);
    hpi::window_write(hpi::HPID_WRITE_FIXED, 4);  // same address again
    EXPECT_EQ(read_block(0x300, 3), (Words{1, 2, 4}));
    hpi::window_write(hpi::HPIA, 0x304);
    EXPECT_EQ(hpi::window_read(hpi::HPID_READ_FIXED), 2u);
    EXPECT_EQ(hpi::window_read(hpi::HPID_READ_FIXED), 2u);
    EXPECT_EQ(hpi::window_read(hpi::HPID_READ_INC), 2u);
    EXPECT_EQ(hpi::window_read(hpi::HPID_READ_INC), 4u);
    EXPECT_EQ(hpi::window_read(0x10), 0u);  // no register there
}

TEST_F(DspSimHostPort, ExternalMemoryNeedsEmifValues) {
    reset_pulse();
    write_block(kBlockAddress, {0xAAAA5555});
    EXPECT_EQ(read_word(kBlockAddress), 0u);
    write_block(0x01800000, {0x00003060, 0xFFFFFF33, 0xFFFFFF23});
    write_block(0x01800010, {0xFFFFFF23, 0x10D14321, 0x5733A000, 0x0000061A, 0x0017DF2E});
    write_block(kBlockAddress, {0xAAAA5555});  // SDEXT off by one
    EXPECT_EQ(read_word(kBlockAddress), 0u);
    emif_init();
    write_block(kBlockAddress, {0xAAAA5555});
    EXPECT_EQ(read_word(kBlockAddress), 0xAAAA5555u);
    EXPECT_EQ(read_word(0xFFE0 - 4), 0u);
}

// ---- boot contract ----

using DspSimBoot = DspSimFixture;

TEST_F(DspSimBoot, ValidImageSendsSystemReady) {
    const Reply r = boot();
    ASSERT_EQ(r.id, link::SYSTEM_READY);
    ASSERT_EQ(r.frame.size(), 9u);
    EXPECT_TRUE(link::IsFrameValid(r.frame.data(), 9));
    EXPECT_EQ(r.frame[2] & link::ReplyErrorFlag, 0u);
    EXPECT_EQ((Words{r.frame[4] & 0xFFFF, r.frame[5] & 0xFFFF, r.frame[6] & 0xFFFF,
                     r.frame[7] & 0xFFFF}),
              (Words{2, 5, 1, 8}));
    EXPECT_EQ(dsp->state(), DspSim::State::Running);
    EXPECT_EQ(dsp->boots(), 1u);
    hpi::window_write(hpi::HPIC, kDspInt);  // a DSPINT now is a (bad) request, not a boot
    settle();
    EXPECT_EQ(dsp->boots(), 1u);
}

TEST_F(DspSimBoot, BoardDriversBringItUp) {
    dsp_hard_reset(1);
    dsp_emif_init();
    const Image im = make_image();
    hpi_write_block(0, im.descriptor.data(), static_cast<std::uint32_t>(im.descriptor.size()));
    hpi_write_block(kBlockAddress, im.block.data(), static_cast<std::uint32_t>(im.block.size()));
    for (std::uint32_t i = 0; i < im.block.size(); ++i)
        ASSERT_EQ(hpi_read_word(kBlockAddress + 4 * i), im.block[i]);
    hpi_raise_dsp_interrupt();
    ASSERT_TRUE(wait_host_interrupt());
    ASSERT_EQ(hpi_read_word(link::ReplyIdAddress), link::SYSTEM_READY);
    std::uint32_t f[9];
    hpi_read_block(link::ReplyFrameAddress, f, 9);
    EXPECT_TRUE(link::IsFrameValid(f, 9));
    EXPECT_EQ(f[4], 2u);
    EXPECT_EQ(f[5], 5u);
    hpi_clear_host_interrupt();
    EXPECT_FALSE(hpi::host_interrupt_asserted());
}

TEST_F(DspSimBoot, NoResetNoSystemReady) {
    emif_init();
    load(make_image());
    hpi::window_write(hpi::HPIC, kDspInt);
    settle();
    EXPECT_FALSE(hpi::host_interrupt_asserted());
    EXPECT_EQ(dsp->boots(), 0u);
}

TEST_F(DspSimBoot, NoEmifNoSystemReady) {
    reset_pulse();
    load(make_image());
    hpi::window_write(hpi::HPIC, kDspInt);
    settle();
    EXPECT_FALSE(hpi::host_interrupt_asserted());
    EXPECT_EQ(dsp->state(), DspSim::State::AwaitingProgram);
}

TEST_F(DspSimBoot, CorruptDescriptorOrBlockNoSystemReady) {
    for (int c = 0; c < 5; ++c) {
        Image im = make_image();
        switch (c) {
        case 0: im.descriptor[0] ^= 1; im.descriptor[7] ^= 1; break;  // magic
        case 1: im.descriptor[1] = 2; im.descriptor[7] ^= 3; break;   // layout
        case 2: im.descriptor[7] ^= 0x10; break;                      // XOR word
        case 3: im.block[17] ^= 0x100; break;                         // block sum
        case 4: im.descriptor[5] = 0; im.descriptor[6] = 0;           // empty block
                im.descriptor[7] = 0;
                for (int i = 0; i < 7; ++i) im.descriptor[7] ^= im.descriptor[i];
                break;
        }
        reset_pulse();
        emif_init();
        load(im);
        hpi::window_write(hpi::HPIC, kDspInt);
        settle();
        EXPECT_FALSE(hpi::host_interrupt_asserted()) << "case " << c;
        EXPECT_EQ(dsp->state(), DspSim::State::AwaitingProgram) << "case " << c;
    }
    // The same DSP boots once the image is right.
    EXPECT_EQ(boot().id, link::SYSTEM_READY);
}

TEST_F(DspSimBoot, RefusedBootAndReportedVersions) {
    dsp->refuse_boot(true);
    reset_pulse();
    emif_init();
    load(make_image());
    hpi::window_write(hpi::HPIC, kDspInt);
    settle();
    EXPECT_FALSE(hpi::host_interrupt_asserted());

    dsp->refuse_boot(false);
    DspSimSettings s = dsp->settings();
    s.cpld_major = 3;
    s.cpld_minor = 1;
    dsp->set_settings(s);
    Reply r = boot(make_image(4, 2));
    ASSERT_EQ(r.id, link::SYSTEM_READY);
    EXPECT_EQ((Words{r.frame[4], r.frame[5], r.frame[6], r.frame[7]}), (Words{4, 2, 3, 1}));

    dsp->report_versions(9, 9, 7, 7);
    r = boot();
    EXPECT_EQ((Words{r.frame[4], r.frame[5], r.frame[6], r.frame[7]}), (Words{9, 9, 7, 7}));
    EXPECT_EQ(dsp->boots(), 2u);
}

// ---- frames ----

using DspSimFrames = DspSimFixture;

TEST_F(DspSimFrames, EveryRequestGetsItsReplyIdAndLength) {
    ASSERT_EQ(boot().id, link::SYSTEM_READY);
    const std::uint32_t ids[] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90,
                                 0xA0, 0xB0, 0xC0, 0xD0, 0xE0, 0xF0, 0x8010, 0x8020, 0x8030};
    for (std::uint32_t id : ids) {
        const Reply r = exchange(make_request(id, id + 1));
        ASSERT_EQ(r.id, link::ReplyIdOf(id));
        ASSERT_EQ(r.frame.size() * 4, link::GetReplyLength(r.id));
        EXPECT_EQ(r.frame[0], r.id);
        EXPECT_EQ(r.frame[1], id + 1);  // the request's sequence number
        EXPECT_EQ(r.frame[2] & link::ReplyErrorFlag, 0u) << std::hex << id;
        EXPECT_TRUE(link::IsFrameValid(r.frame.data(), static_cast<std::uint32_t>(r.frame.size())));
        EXPECT_EQ(dsp->requests(id), 1u);
    }
}

TEST_F(DspSimFrames, BadCheckWordSetsErrorFlag) {
    ASSERT_EQ(boot().id, link::SYSTEM_READY);
    Words q = make_request(link::TRIGGER);
    seal(q);
    q[2] ^= 0x4;
    send(q, true);
    const Reply r = receive();
    ASSERT_EQ(r.id, link::TRIGGER_ACK);
    EXPECT_NE(r.frame[2] & link::ReplyErrorFlag, 0u);
    EXPECT_TRUE(link::IsFrameValid(r.frame.data(), 5));
    EXPECT_EQ(status_word() & 0x20, 0u);  // nothing was started
}

TEST_F(DspSimFrames, UnknownIdGetsNoReply) {
    ASSERT_EQ(boot().id, link::SYSTEM_READY);
    Words q = {0x1234, 1, 0};
    send(q);
    const Reply r = exchange(make_request(link::QUIT));  // replies come in order
    EXPECT_EQ(r.id, link::QUIT_ACK);
    EXPECT_EQ(dsp->requests(0x1234), 1u);
}

TEST_F(DspSimFrames, SecondRequestWhileOutstandingIsViolation) {
    ASSERT_EQ(boot().id, link::SYSTEM_READY);
    dsp->delay_next_reply(1s);
    send(make_request(link::PW_MEASURE_PARMS));
    send(make_request(link::TRIGGER));
    send(make_request(link::TRIGGER));
    const Reply r = exchange(make_request(link::ABORT));
    EXPECT_EQ(r.id, link::ABORT_ACK);
    EXPECT_EQ(dsp->violations(), 2u);
    EXPECT_EQ(dsp->requests(link::TRIGGER), 0u);
    // The delayed reply was replaced: it never comes.
    clock->step(2s);
    settle();
    EXPECT_FALSE(hpi::host_interrupt_asserted());
    EXPECT_EQ(exchange(make_request(link::TRIGGER)).id, link::TRIGGER_ACK);
}

// ---- fault switches ----

using DspSimFaults = DspSimFixture;

TEST_F(DspSimFaults, ReplyFaultsHitOnlyTheNextReply) {
    ASSERT_EQ(boot().id, link::SYSTEM_READY);

    dsp->wrong_id_next_reply();
    Reply r = exchange(make_request(link::TRIGGER));
    EXPECT_NE(r.id, link::TRIGGER_ACK);
    EXPECT_EQ(r.frame[0], r.id);

    dsp->bad_check_word_next_reply();
    r = exchange(make_request(link::TRIGGER));
    EXPECT_EQ(r.id, link::TRIGGER_ACK);
    EXPECT_FALSE(link::IsFrameValid(r.frame.data(), 5));

    dsp->error_flag_next_reply();
    r = exchange(make_request(link::TRIGGER));
    EXPECT_NE(r.frame[2] & link::ReplyErrorFlag, 0u);
    EXPECT_TRUE(link::IsFrameValid(r.frame.data(), 5));

    r = exchange(make_request(link::TRIGGER));
    EXPECT_EQ(r.id, link::TRIGGER_ACK);
    EXPECT_EQ(r.frame[2] & link::ReplyErrorFlag, 0u);
    EXPECT_TRUE(link::IsFrameValid(r.frame.data(), 5));
}

TEST_F(DspSimFaults, DroppedReplyNeverComes) {
    ASSERT_EQ(boot().id, link::SYSTEM_READY);
    dsp->drop_next_reply();
    send(make_request(link::PW_MEASURE_PARMS));
    EXPECT_EQ(exchange(make_request(link::QUIT)).id, link::QUIT_ACK);
    EXPECT_EQ(dsp->requests(link::PW_MEASURE_PARMS), 1u);
    EXPECT_EQ(dsp->violations(), 0u);
}

TEST_F(DspSimFaults, DelayedReplyWaitsForSimTime) {
    ASSERT_EQ(boot().id, link::SYSTEM_READY);
    dsp->delay_next_reply(100ms);
    send(make_request(link::PW_DEFAULT_CONFIGURATION));
    clock->step(99ms);
    settle();
    EXPECT_FALSE(hpi::host_interrupt_asserted());
    clock->step(1ms);
    EXPECT_EQ(receive().id, link::PW_DEFAULT_CONFIGURATION_ACK);
}

TEST_F(DspSimFaults, SystemReadyCanBeFaultedToo) {
    dsp->error_flag_next_reply();
    const Reply r = boot();
    EXPECT_EQ(r.id, link::SYSTEM_READY);
    EXPECT_NE(r.frame[2] & link::ReplyErrorFlag, 0u);
}

TEST_F(DspSimFaults, HeartbeatCountsSimTimeUntilFrozen) {
    ASSERT_EQ(boot().id, link::SYSTEM_READY);
    EXPECT_EQ(read_word(link::StatusBlockAddress), 0u);
    clock->step(9ms);
    EXPECT_EQ(read_word(link::StatusBlockAddress), 0u);
    clock->step(41ms);
    EXPECT_EQ(read_word(link::StatusBlockAddress), 5u);
    dsp->freeze_heartbeat(true);
    clock->step(200ms);
    EXPECT_EQ(read_word(link::StatusBlockAddress), 5u);
    dsp->freeze_heartbeat(false);
    clock->step(30ms);
    EXPECT_EQ(read_word(link::StatusBlockAddress), 8u);
}

// ---- physics ----

class DspSimPhysics : public DspSimFixture {
protected:
    double f0() const { return settings.field_t * settings.gyromagnetic_ratio; }

    void SetUp() override {
        DspSimFixture::SetUp();
        ASSERT_EQ(boot().id, link::SYSTEM_READY);
    }

    void connect_probe(double min_hz, double max_hz) {
        Words q = make_request(link::PW_PROBE_CONNECT);
        q[2] = f32(static_cast<float>(min_hz));
        q[3] = f32(static_cast<float>(max_hz));
        ASSERT_EQ(exchange(q).id, link::PW_PROBE_CONNECT_ACK);
    }

    void measure_parms(std::uint32_t source, float level = 0.5f, bool level_auto = false) {
        Words q = make_request(link::PW_MEASURE_PARMS);
        q[2] = source;
        q[5] = f32(0.25f);
        q[6] = f32(0.75f);
        q[20] = level_auto ? 1 : 0;
        q[21] = f32(level);
        ASSERT_EQ(exchange(q).id, link::PW_MEASURE_PARMS_ACK);
    }

    double search(double low, double high, std::uint32_t mode, float level = 0.5f) {
        Words q = make_request(link::INITIATE_SEARCH);
        q[2] = f32(static_cast<float>(low));
        q[3] = f32(static_cast<float>(high));
        q[4] = f32(static_cast<float>(mode == 2 ? low : 0.0));
        q[5] = mode;
        q[8] = f32(level);
        const Reply ack = exchange(q);
        EXPECT_EQ(ack.id, link::INITIATE_SEARCH_ACK);
        EXPECT_NE(ack.frame[2] & 0x10, 0u);
        clock->step(99ms);
        EXPECT_NE(status_word() & 0x10, 0u);
        clock->step(1ms);
        EXPECT_EQ(status_word() & 0x10, 0u);
        const Reply r = exchange(make_request(link::GET_SEARCH_RESULT));
        EXPECT_EQ(r.id, link::RETURN_SEARCH_RESULT);
        return f64(r.frame, 4);
    }

    void track(std::uint32_t id, double hz) {
        Words q = make_request(id);
        put_f64(q, 2, hz);
        ASSERT_EQ(exchange(q).id, link::ReplyIdOf(id));
    }

    // TRIGGER, wait for bit 5 to clear, GET_PW_MEASUREMENT.
    Words measure(double scale = 1.0, double offset = 0.0) {
        EXPECT_EQ(exchange(make_request(link::TRIGGER)).id, link::TRIGGER_ACK);
        EXPECT_NE(status_word() & 0x20, 0u);
        clock->step(20ms);
        EXPECT_EQ(status_word() & 0x20, 0u);
        Words q = make_request(link::GET_PW_MEASUREMENT);
        put_f64(q, 2, scale);
        put_f64(q, 4, offset);
        const Reply r = exchange(q);
        EXPECT_EQ(r.id, link::RETURN_PW_MEASUREMENT);
        return r.frame;
    }

    void set_field(double tesla) {
        DspSimSettings s = dsp->settings();
        s.field_t = tesla;
        dsp->set_settings(s);
    }
};

TEST_F(DspSimPhysics, SearchFindsF0WithinNoise) {
    connect_probe(40e6, 80e6);
    const double f = search(60e6, 70e6, 0);
    EXPECT_NEAR(f, f0(), f0() * 0.5e-6);  // 0.05 ppm rms: 10 sigma
    EXPECT_NE(f, f0());                   // the noise is there
    EXPECT_NEAR(search(f, f, 2), f0(), f0() * 0.5e-6);        // confirmed
    EXPECT_EQ(search(f0() * 1.01, f0() * 1.01, 2), 0.0);      // outside the lock window
    EXPECT_EQ(search(70e6, 80e6, 0), 0.0);                    // f0 outside the range
    EXPECT_EQ(search(60e6, 70e6, 0, 1.5f), 0.0);              // amplitude below the level
}

TEST_F(DspSimPhysics, NoSignalWithoutProbeOrOutsideItsRange) {
    EXPECT_EQ(search(60e6, 70e6, 0), 0.0);  // no probe connected yet
    connect_probe(70e6, 80e6);
    EXPECT_EQ(search(60e6, 70e6, 0), 0.0);
}

// Over a broken NMR path the receiver sees noise only; the signal comes back with the path.
TEST_F(DspSimPhysics, NoSignalWhileTheSignalPathIsBroken) {
    auto intact = std::make_shared<bool>(false);
    DspSimSettings s = dsp->settings();
    s.signal_path_intact = [intact] { return *intact; };
    dsp->set_settings(s);
    connect_probe(40e6, 80e6);
    EXPECT_EQ(search(60e6, 70e6, 0), 0.0);
    *intact = true;
    EXPECT_NEAR(search(60e6, 70e6, 0), f0(), f0() * 0.5e-6);
}

TEST_F(DspSimPhysics, SameSeedSameNoise) {
    connect_probe(40e6, 80e6);
    const double first = search(60e6, 70e6, 0);
    boot();  // restart: noise sequence starts over
    connect_probe(40e6, 80e6);
    EXPECT_EQ(search(60e6, 70e6, 0), first);
}

TEST_F(DspSimPhysics, TrackingMeasurementGivesFluxAndFollowsField) {
    connect_probe(40e6, 80e6);
    measure_parms(0);
    track(link::INITIATE_TRACKING, f0() * 1.004);
    clock->step(1000ms);
    const double scale = 1.0 / settings.gyromagnetic_ratio;
    Words m = measure(scale, 0.5);
    const double f = f64(m, 6);
    EXPECT_NEAR(f, f0(), f0() * 0.5e-6);
    EXPECT_DOUBLE_EQ(f64(m, 4), f * scale + 0.5);
    EXPECT_EQ((std::uint64_t{m[8]} << 32 | m[9]), 1020u);  // ms since program start
    EXPECT_FLOAT_EQ(as_f32(m[10]), 0.05f);                  // sigma, ppm
    EXPECT_FLOAT_EQ(as_f32(m[13]), 0.25f);                  // matching
    EXPECT_FLOAT_EQ(as_f32(m[14]), 0.75f);                  // tuning

    set_field(1.504);  // within the window of the last frequency: followed
    m = measure();
    EXPECT_NEAR(f64(m, 6), 1.504 * settings.gyromagnetic_ratio, f0() * 0.5e-6);

    set_field(1.6);  // a jump out of the window: lock lost
    m = measure();
    EXPECT_EQ(f64(m, 4), 0.0);
    EXPECT_EQ(f64(m, 6), 0.0);
    EXPECT_NE(m[2] & (1u << 19), 0u);
    EXPECT_EQ(exchange(make_request(link::TRIGGER)).frame[2] & (1u << 19), 0u);  // reported once
}

TEST_F(DspSimPhysics, FixedMeasurementLocksOnlyInsideWindow) {
    connect_probe(40e6, 80e6);
    measure_parms(0);
    track(link::INITIATE_FIXED_MEASUREMENT, f0() * 0.994);
    EXPECT_EQ(f64(measure(), 6), 0.0);
    track(link::INITIATE_FIXED_MEASUREMENT, f0() * 0.996);
    EXPECT_NEAR(f64(measure(), 6), f0(), f0() * 0.5e-6);
    EXPECT_NE(f64(measure(), 6), 0.0);  // stays locked
    measure_parms(0, 2.0f);  // level above the amplitude
    EXPECT_EQ(f64(measure(), 6), 0.0);
    measure_parms(0, 2.0f, true);  // AUTO level
    EXPECT_NE(f64(measure(), 6), 0.0);
}

TEST_F(DspSimPhysics, ExternalSourceWaitsForExternalTrigger) {
    connect_probe(40e6, 80e6);
    measure_parms(2);
    track(link::INITIATE_TRACKING, f0());
    EXPECT_EQ(exchange(make_request(link::TRIGGER)).id, link::TRIGGER_ACK);
    clock->step(500ms);
    EXPECT_NE(status_word() & 0x20, 0u);
    dsp->ExternalTrigger();
    EXPECT_NE(status_word() & (1u << 21), 0u);
    clock->step(20ms);
    EXPECT_EQ(status_word() & 0x20, 0u);
    Words q = make_request(link::GET_PW_MEASUREMENT);
    put_f64(q, 2, 1.0);
    EXPECT_NEAR(f64(exchange(q).frame, 4), f0(), f0() * 0.5e-6);
}

TEST_F(DspSimPhysics, AbortStopsSearchAndMeasurement) {
    connect_probe(40e6, 80e6);
    measure_parms(2);
    EXPECT_EQ(exchange(make_request(link::TRIGGER)).id, link::TRIGGER_ACK);
    Words q = make_request(link::INITIATE_SEARCH);
    q[2] = f32(60e6f);
    q[3] = f32(70e6f);
    exchange(q);
    EXPECT_EQ(status_word() & 0x30, 0x30u);
    const Reply r = exchange(make_request(link::ABORT));
    EXPECT_EQ(r.id, link::ABORT_ACK);
    EXPECT_EQ(r.frame[2] & 0x30, 0u);
    EXPECT_EQ(status_word() & 0x30, 0u);
}

TEST_F(DspSimPhysics, TriggerOutEchoAndStatusSettings) {
    Words q = make_request(link::TRIGGER_OUT);
    q[4] = 1;
    Reply r = exchange(q);
    ASSERT_EQ(r.id, link::RETURN_TRIGGER_OUT);
    EXPECT_EQ(r.frame[4], 1u);
    q[4] = 0;
    EXPECT_EQ(exchange(q).frame[4], 0u);

    DspSimSettings s = dsp->settings();
    s.external_reference_detected = true;
    s.external_reference_locked = true;
    dsp->set_settings(s);
    EXPECT_EQ(status_word() & 0x3, 0x3u);
}

TEST_F(DspSimPhysics, SignalArraysLieInDspMemory) {
    const Reply r = exchange(make_request(link::REQUEST_SIGNAL));
    ASSERT_EQ(r.id, link::RETURN_SIGNAL);
    const std::size_t counts[] = {11, 14, 18, 22};
    const std::size_t addresses[] = {10, 13, 17, 21};
    for (int i = 0; i < 4; ++i) {
        const std::uint32_t n = r.frame[counts[i]];
        ASSERT_GT(n, 0u);
        const Words a = read_block(r.frame[addresses[i]], n);
        bool any = false;
        for (std::uint32_t w : a) any = any || (w != 0 && std::isfinite(as_f32(w)));
        EXPECT_TRUE(any) << "array " << i;
    }
    EXPECT_GT(as_f32(r.frame[12]), 0.0f);  // sample rate
    EXPECT_GT(f64(r.frame, 4), 0.0);       // IF frequency
    EXPECT_EQ(exchange(make_request(link::RELEASE_SIGNAL)).id, link::RELEASE_SIGNAL_ACK);
}

}  // namespace
