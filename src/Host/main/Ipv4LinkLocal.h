// IPv4 link-local addressing (RFC 3927) on eth0: choosing an address in 169.254.1.0 -
// 169.254.253.255 from the MAC, probing and announcing it with raw ARP frames through the
// Ethernet driver, and a monitor thread ("IPv4LL Monitoring Thread") that watches the link
// for another station using it.
//
// The ARP hook stays in the driver's receive slot while an acquisition or the monitor runs
// and tests every ARP frame as it arrives: a conflict is a frame from another MAC whose
// sender address is the candidate (or the address in use), or, while acquiring, a probe for
// the candidate from another MAC. The hook is armed before a frame is sent, so an answer
// that comes while the send is still under way counts; a window without a conflict runs its
// full time.
//
// The monitor calls its conflict callback on its own thread and then ends; the callback must
// not wait for the monitor (it asks for a new configuration run, which stops the monitor and
// joins it). ipv4ll_stop_monitor wakes the monitor at once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::net {
class EthDriver;
}

namespace Korvex {

constexpr std::size_t ArpProbeFrameSize = 56;

// The 56-byte ARP request: broadcast, own MAC, sender and target IP (network order).
void ipv4ll_fill_frame(std::uint8_t frame[ArpProbeFrameSize], const std::uint8_t mac[6],
                       std::uint32_t senderIp, std::uint32_t targetIp);

// The candidate addresses of a MAC (network order), in the order they are tried: glibc's
// srand/rand sequence seeded with MAC bytes 2-5 (big-endian), r = rand() % 64768 + 256,
// 169.254.0.0 + r (so 169.254.1.0 to 169.254.253.255). A private generator: the process's
// rand() is not touched.
class CLinkLocalCandidates {
public:
    explicit CLinkLocalCandidates(const std::uint8_t mac[6]);
    std::uint32_t Next();

private:
    struct State;
    alignas(8) unsigned char state_[192];
};

// The probe delays: (next / 6253) % 200 ticks of state*1103515245+12345, seeded 0xB176D2CD.
class CProbeDelays {
public:
    std::uint32_t Next();

private:
    std::uint32_t state_ = 0xB176D2CDu;
};

// Chooses, probes and announces an address for eth0; returns it (network order), or 0 when
// eth0 has no Ethernet driver.
std::uint32_t ipv4ll_acquire_address(const std::uint8_t mac[6]);
// Whether another station uses address (network order): up to two ARP probes from 0.0.0.0,
// each awaited half a second; an ARP frame from another MAC whose sender is the address, or
// another station's probe for it, answers yes. false when eth0 has no Ethernet driver.
bool ipv4ll_address_in_use(const std::uint8_t mac[6], std::uint32_t address);
// Starts the monitor of the address last acquired.
void ipv4ll_start_monitor(void (*conflictCallback)());
// Stops the monitor and joins it; on the monitor's own thread it only asks it to stop.
void ipv4ll_stop_monitor();
bool ipv4ll_monitor_running();
// The driver's receive hook.
void ipv4ll_arp_hook(platform::net::EthDriver& driver, const std::uint8_t* frame, std::size_t length);

}  // namespace Korvex
