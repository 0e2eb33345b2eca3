// Link-local acquisition and monitor on an in-process wire, 1-ms ticks: frame bytes,
// candidates, the probe and announcement windows, conflicts as RFC 3927 counts them (also
// when the answer comes from inside the send, among ARP noise, or from a simultaneous
// prober), the rate limit, and the monitor's conflict, own-MAC and stop paths.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "Host/main/Ipv4LinkLocal.h"
#include "Host/main/NetWire.h"
#include "platform/net/Eth0.h"

namespace Korvex::test {
namespace {

constexpr std::uint8_t OwnMac[6] = {0x02, 0x4b, 0x56, 0x00, 0x30, 0x39};
constexpr std::uint8_t OtherMac[6] = {0x06, 0x4c, 0x56, 0x00, 0x30, 0x39};
const std::uint32_t Unrelated = inet_addr("169.254.255.9");

std::uint32_t Candidate(int n)
{
    CLinkLocalCandidates candidates(OwnMac);
    std::uint32_t c = 0;
    for (int i = 0; i <= n; ++i) c = candidates.Next();
    return c;
}

class LinkLocal : public ::testing::Test {
protected:
    void SetUp() override
    {
        kernel::set_tick_ms(1.0);
        platform::net::eth0_use_backend(&backend);
    }
    void TearDown() override
    {
        ipv4ll_stop_monitor();
        platform::net::eth0_use_backend(nullptr);
        kernel::set_tick_ms(10.0);
    }
    WireBackend backend;
    WireDriver& wire = backend.wire;
};

TEST(LinkLocalFrame, ProbeFrameBytes)
{
    std::uint8_t frame[ArpProbeFrameSize];
    ipv4ll_fill_frame(frame, OwnMac, inet_addr("169.254.1.2"), inet_addr("169.254.3.4"));
    const Frame expected = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x4b, 0x56, 0x00, 0x30, 0x39, 0x08, 0x06,
                            0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01, 0x02, 0x4b, 0x56, 0x00, 0x30, 0x39,
                            169, 254, 1, 2, 0, 0, 0, 0, 0, 0, 169, 254, 3, 4};
    EXPECT_EQ(Frame(frame, frame + 42), expected);
}

// glibc's srand/rand sequence, seeded with MAC bytes 2-5; 169.254.1.0 to 169.254.253.255.
TEST(LinkLocalFrame, CandidatesFollowTheRandSequence)
{
    CLinkLocalCandidates candidates(OwnMac);
    std::srand(0x56003039u);
    for (int i = 0; i < 2000; ++i) {
        const std::uint32_t c = ntohl(candidates.Next());
        EXPECT_EQ(c, 0xA9FE0000u + static_cast<std::uint32_t>(std::rand() % 64768 + 256));
        ASSERT_GE(c, 0xA9FE0100u);
        ASSERT_LE(c, 0xA9FEFDFFu);
    }
}

// Three probes from 0.0.0.0, three announcements 200 ticks apart, each window run out.
TEST_F(LinkLocal, QuietLinkTakesTheFirstCandidate)
{
    EXPECT_EQ(ipv4ll_acquire_address(OwnMac), Candidate(0));
    const auto sent = wire.Sent();
    ASSERT_EQ(sent.size(), 6u);
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(sent[i].TargetIp(), Candidate(0));
        EXPECT_EQ(sent[i].SenderIp(), i < 3 ? 0u : Candidate(0)) << i;
        if (i >= 3) {
            EXPECT_GE(sent[i].at - sent[i - 1].at, 200u) << i;
        }
    }
    EXPECT_EQ(wire.Receive(), wire.OwnReceive()) << "hook removed";
}

// Each frame arrives from inside the first probe's send; does the first candidate stand?
TEST_F(LinkLocal, ConflictsAsTheRfcCountsThem)
{
    kernel::set_tick_ms(0.5);
    const std::uint32_t c0 = Candidate(0);
    struct Case {
        const char* what;
        Frame frame;
        bool conflict;
    } cases[] = {
        {"reply from the candidate", ArpFrame(2, OtherMac, c0, c0), true},
        {"reply aimed elsewhere", ArpFrame(2, OtherMac, c0, Unrelated), true},
        {"announcement of the candidate", ArpFrame(1, OtherMac, c0, c0), true},
        {"another station's probe", ArpFrame(1, OtherMac, 0, c0), true},
        {"reply from another address", ArpFrame(2, OtherMac, Unrelated, c0), false},
        {"own MAC", ArpFrame(2, OwnMac, c0, c0), false},
        {"not ARP", ArpFrame(2, OtherMac, c0, c0, 0x0800), false},
    };
    for (const Case& c : cases) {
        WireBackend fresh;
        platform::net::eth0_use_backend(&fresh);
        fresh.wire.station = [&](WireDriver& w, const SentFrame&, std::size_t index) {
            if (index == 0) w.Inject(c.frame);
        };
        EXPECT_EQ(ipv4ll_acquire_address(OwnMac), c.conflict ? Candidate(1) : c0) << c.what;
        platform::net::eth0_use_backend(&backend);
    }
}

// ARP noise every 5 ticks neither ends a window early nor hides a conflict.
TEST_F(LinkLocal, NoiseShortensNoWindow)
{
    std::atomic<bool> stop{false};
    std::thread noise([&] {
        while (!stop.load()) {
            wire.Inject(ArpFrame(1, OtherMac, Unrelated, inet_addr("169.254.255.1")));
            kernel::thread_delay(5);
        }
    });
    const std::uint32_t chosen = ipv4ll_acquire_address(OwnMac);
    stop.store(true);
    noise.join();
    EXPECT_EQ(chosen, Candidate(0));
    const auto sent = wire.Sent();
    ASSERT_EQ(sent.size(), 6u);
    for (std::size_t i = 3; i < 6; ++i) EXPECT_GE(sent[i].at - sent[i - 1].at, 200u);
}

// Ten conflicts and more: every probe window lasts 6000 ticks.
TEST_F(LinkLocal, ElevenConflictsSlowProbing)
{
    kernel::set_tick_ms(0.1);
    std::atomic<int> conflicts{0};
    wire.station = [&](WireDriver& w, const SentFrame& f, std::size_t) {
        if (conflicts.load() < 11 && f.SenderIp() == 0) {
            ++conflicts;
            w.Inject(ArpFrame(2, OtherMac, f.TargetIp(), 0));
        }
    };
    EXPECT_EQ(ipv4ll_acquire_address(OwnMac), Candidate(11));
    const auto sent = wire.Sent();
    ASSERT_EQ(sent.size(), 11u + 6u);
    EXPECT_GE(sent[12].at - sent[11].at, 6000u);
    EXPECT_GE(sent[13].at - sent[12].at, 6000u);
    EXPECT_GE(sent[14].at - sent[13].at, 6000u);
}

std::atomic<int> callbacks{0};
void CountConflict() { callbacks.fetch_add(1); }
void StopFromCallback()
{
    callbacks.fetch_add(1);
    ipv4ll_stop_monitor();  // on the monitor's own thread: must not wait for it
}

TEST_F(LinkLocal, MonitorEndsOnAConflictAndIgnoresItsOwnMac)
{
    const std::uint32_t address = ipv4ll_acquire_address(OwnMac);
    for (void (*callback)() : {&CountConflict, &StopFromCallback}) {
        callbacks.store(0);
        ipv4ll_start_monitor(callback);
        while (wire.Receive() == wire.OwnReceive()) kernel::thread_delay(1);  // hook in place
        wire.Inject(ArpFrame(2, OwnMac, address, address));
        wire.Inject(ArpFrame(1, OtherMac, Unrelated, address));
        EXPECT_TRUE(ipv4ll_monitor_running());
        wire.Inject(ArpFrame(1, OtherMac, address, address));
        const auto limit = kernel::current_time() + 5000;
        while (ipv4ll_monitor_running() && kernel::current_time() < limit) kernel::thread_delay(1);
        ipv4ll_stop_monitor();
        EXPECT_EQ(callbacks.load(), 1);
        EXPECT_EQ(wire.Receive(), wire.OwnReceive());
    }
}

// Start and stop while frames arrive: a stop wakes the monitor at once, no callback.
TEST_F(LinkLocal, FiftyMonitorCycles)
{
    ipv4ll_acquire_address(OwnMac);
    callbacks.store(0);
    std::atomic<bool> stop{false};
    std::thread noise([&] {
        while (!stop.load()) {
            wire.Inject(ArpFrame(1, OtherMac, Unrelated, Unrelated));
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 50; ++i) {
        ipv4ll_start_monitor(&CountConflict);
        ipv4ll_stop_monitor();
        EXPECT_FALSE(ipv4ll_monitor_running());
    }
    stop.store(true);
    noise.join();
    EXPECT_EQ(callbacks.load(), 0);
}

}  // namespace
}  // namespace Korvex::test
