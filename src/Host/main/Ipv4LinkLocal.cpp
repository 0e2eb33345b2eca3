#include "Host/main/Ipv4LinkLocal.h"

#include <arpa/inet.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "Host/parameters/Logger.h"
#include "platform/kernel/Kernel.h"
#include "platform/net/Eth0.h"
#include "platform/net/EthDriver.h"

namespace Korvex {

namespace {

constexpr int MonitorPriority = 10;
constexpr std::size_t MonitorStackSize = 8016;
constexpr kernel::tick_t StartWait = 100;
constexpr kernel::tick_t ConflictWait = 100;
constexpr kernel::tick_t LastProbeWait = 200;
constexpr kernel::tick_t AnnounceWait = 200;
constexpr kernel::tick_t RateLimitedWait = 6000;
constexpr std::uint32_t RateLimitAfter = 9;
constexpr int InUseProbes = 2;
constexpr kernel::tick_t InUseWait = 50;
constexpr std::uint32_t ConflictBit = 1;
constexpr std::uint32_t StopBit = 2;
constexpr std::uint32_t EndedBit = 4;  // the monitor has ended (kept until the next start)

constexpr std::uint32_t StateDone = 6;
constexpr std::uint32_t StateConflict = 7;

struct LinkLocal {
    kernel::Flag events;  // ConflictBit from the hook, StopBit from a stop request, EndedBit
    std::atomic<bool> armed{false};
    std::atomic<bool> acquiring{false};
    std::atomic<std::uint32_t> watched{0};  // candidate or address in use
    std::uint8_t ownMac[6] = {};            // written before arming
    std::mutex macMutex;

    std::mutex monitorMutex;  // the monitor's handle
    kernel::handle_t monitor = 0;
    std::atomic<std::uint32_t> running{0};
    std::atomic<std::uint32_t> stopRequested{0};
    std::atomic<std::uint32_t> stopped{0};

    LinkLocal()
    {
        kernel::flag_init(&events);
    }
};

LinkLocal& Ll()
{
    static LinkLocal* ll = new LinkLocal;
    return *ll;
}

std::uint32_t Get32(const std::uint8_t* at)
{
    std::uint32_t value = 0;
    std::memcpy(&value, at, 4);
    return value;
}

void Arm(std::uint32_t address, bool acquiring)
{
    LinkLocal& ll = Ll();
    ll.armed.store(false);
    ll.watched.store(address);
    ll.acquiring.store(acquiring);
    kernel::flag_maskbits(&ll.events, ~ConflictBit);
    ll.armed.store(true);
}

void Disarm() { Ll().armed.store(false); }

void SetOwnMac(const std::uint8_t mac[6])
{
    LinkLocal& ll = Ll();
    std::lock_guard<std::mutex> hold(ll.macMutex);
    std::memcpy(ll.ownMac, mac, sizeof ll.ownMac);
}

void SendFrame(platform::net::EthDriver& driver, const std::uint8_t frame[ArpProbeFrameSize])
{
    const platform::net::ScatterPiece pieces[2] = {{frame, 14}, {frame + 14, ArpProbeFrameSize - 14}};
    driver.Send(pieces, 2, ArpProbeFrameSize, 0);
}

std::string Dotted(std::uint32_t address)
{
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

void MonitorEntry(kernel::addrword_t data)
{
    auto callback = reinterpret_cast<void (*)()>(data);
    LinkLocal& ll = Ll();
    platform::net::eth0_mark_configured();
    platform::net::EthDriver* driver = platform::net::eth0_driver();
    std::uint32_t bits = 0;
    if (driver != nullptr) {
        Arm(ll.watched.load(), false);
        driver->SetReceive(&ipv4ll_arp_hook);
        bits = kernel::flag_wait(&ll.events, ConflictBit | StopBit, kernel::FLAG_WAITMODE_OR);
        driver->SetReceive(driver->OwnReceive());
        Disarm();
    } else {
        bits = kernel::flag_wait(&ll.events, StopBit, kernel::FLAG_WAITMODE_OR);
    }
    ll.running.store(0);
    if ((bits & ConflictBit) != 0 && ll.stopRequested.load() == 0) {
        Logger().Printf("IPv4LL: conflict on %s\n", Dotted(ll.watched.load()).c_str());
        if (callback != nullptr) callback();
    }
    ll.stopped.store(1);
    kernel::flag_setbits(&ll.events, EndedBit);
}

}  // namespace

struct CLinkLocalCandidates::State {
    random_data data;
    char buffer[128];
};

CLinkLocalCandidates::CLinkLocalCandidates(const std::uint8_t mac[6])
{
    static_assert(sizeof(State) <= sizeof state_, "candidate state");
    auto* s = new (state_) State;
    std::memset(s, 0, sizeof *s);
    const unsigned seed = (unsigned{mac[2]} << 24) | (unsigned{mac[3]} << 16) | (unsigned{mac[4]} << 8) | mac[5];
    initstate_r(seed, s->buffer, sizeof s->buffer, &s->data);
}

std::uint32_t CLinkLocalCandidates::Next()
{
    auto* s = reinterpret_cast<State*>(state_);
    std::int32_t r = 0;
    random_r(&s->data, &r);
    return htonl(0xA9FE0000u + static_cast<std::uint32_t>(r % 64768 + 256));
}

std::uint32_t CProbeDelays::Next()
{
    state_ = state_ * 1103515245u + 12345u;
    return (state_ / 6253u) % 200u;
}

void ipv4ll_fill_frame(std::uint8_t frame[ArpProbeFrameSize], const std::uint8_t mac[6], std::uint32_t senderIp,
                       std::uint32_t targetIp)
{
    std::memset(frame, 0, ArpProbeFrameSize);
    std::memset(frame, 0xFF, 6);
    std::memcpy(frame + 6, mac, 6);
    frame[12] = 0x08;
    frame[13] = 0x06;
    frame[15] = 1;     // Ethernet
    frame[16] = 0x08;  // IPv4
    frame[18] = 6;
    frame[19] = 4;
    frame[21] = 1;  // request
    std::memcpy(frame + 22, mac, 6);
    std::memcpy(frame + 28, &senderIp, 4);
    std::memcpy(frame + 38, &targetIp, 4);
}

void ipv4ll_arp_hook(platform::net::EthDriver& driver, const std::uint8_t* frame, std::size_t length)
{
    driver.OwnReceive()(driver, frame, length);
    LinkLocal& ll = Ll();
    if (length < 42 || frame[12] != 0x08 || frame[13] != 0x06 || !ll.armed.load()) return;
    const std::uint8_t* arp = frame + 14;
    {
        std::lock_guard<std::mutex> hold(ll.macMutex);
        if (std::memcmp(arp + 8, ll.ownMac, 6) == 0) return;
    }
    const std::uint32_t address = ll.watched.load();
    const std::uint32_t sender = Get32(arp + 14);
    const std::uint32_t target = Get32(arp + 24);
    const bool probeForIt = ll.acquiring.load() && arp[6] == 0 && arp[7] == 1 && sender == 0 && target == address;
    if (sender == address || probeForIt) kernel::flag_setbits(&ll.events, ConflictBit);
}

std::uint32_t ipv4ll_acquire_address(const std::uint8_t mac[6])
{
    LinkLocal& ll = Ll();
    platform::net::eth0_mark_configured();
    platform::net::EthDriver* driver = platform::net::eth0_driver();
    if (driver == nullptr) return 0;
    SetOwnMac(mac);
    Logger().Printf("IPv4LL: link-local probing starts\n");
    CProbeDelays delays;
    CLinkLocalCandidates candidates(mac);
    std::uint32_t candidate = candidates.Next();
    std::uint32_t state = 0;
    std::uint32_t conflicts = 0;
    bool rateLimited = false;
    Arm(candidate, true);
    driver->SetReceive(&ipv4ll_arp_hook);
    kernel::thread_delay(StartWait);

    std::uint8_t frame[ArpProbeFrameSize];
    for (;;) {
        if (state <= 5) {
            kernel::tick_t timeout = AnnounceWait;
            if (state <= 2) {
                if (conflicts > RateLimitAfter) rateLimited = true;
                timeout = rateLimited ? RateLimitedWait : state == 2 ? LastProbeWait : delays.Next();
            }
            ipv4ll_fill_frame(frame, mac, state <= 2 ? 0 : candidate, candidate);
            while (!driver->CanSend()) kernel::thread_delay(1);
            SendFrame(*driver, frame);
            const std::uint32_t bits = kernel::flag_timed_wait(&ll.events, ConflictBit, kernel::FLAG_WAITMODE_OR,
                                                               kernel::current_time() + timeout);
            state = (bits & ConflictBit) != 0 ? StateConflict : state + 1;
        } else if (state == StateDone) {
            Disarm();
            driver->SetReceive(driver->OwnReceive());
            ll.watched.store(candidate);
            Logger().Printf("IPv4LL: link-local probing ends: %s after %u conflict(s)\n", Dotted(candidate).c_str(),
                            static_cast<unsigned>(conflicts));
            return candidate;
        } else {
            candidate = candidates.Next();
            Arm(candidate, true);
            kernel::thread_delay(ConflictWait);
            ++conflicts;
            state = 0;
        }
    }
}

bool ipv4ll_address_in_use(const std::uint8_t mac[6], std::uint32_t address)
{
    platform::net::EthDriver* driver = platform::net::eth0_driver();
    if (driver == nullptr) return false;
    LinkLocal& ll = Ll();
    SetOwnMac(mac);
    Arm(address, true);
    driver->SetReceive(&ipv4ll_arp_hook);
    std::uint8_t frame[ArpProbeFrameSize];
    ipv4ll_fill_frame(frame, mac, 0, address);
    bool taken = false;
    for (int probe = 0; probe < InUseProbes && !taken; ++probe) {
        for (kernel::tick_t waited = 0; !driver->CanSend() && waited < InUseWait; ++waited) kernel::thread_delay(1);
        SendFrame(*driver, frame);
        const std::uint32_t bits = kernel::flag_timed_wait(&ll.events, ConflictBit, kernel::FLAG_WAITMODE_OR,
                                                           kernel::current_time() + InUseWait);
        taken = (bits & ConflictBit) != 0;
    }
    Disarm();
    driver->SetReceive(driver->OwnReceive());
    return taken;
}

void ipv4ll_start_monitor(void (*conflictCallback)())
{
    ipv4ll_stop_monitor();
    LinkLocal& ll = Ll();
    std::lock_guard<std::mutex> hold(ll.monitorMutex);
    ll.running.store(1);
    ll.stopRequested.store(0);
    ll.stopped.store(0);
    kernel::flag_maskbits(&ll.events, ~(StopBit | EndedBit));
    ll.monitor = kernel::thread_create(MonitorPriority, &MonitorEntry,
                                       reinterpret_cast<kernel::addrword_t>(conflictCallback),
                                       "IPv4LL Monitoring Thread", MonitorStackSize);
    kernel::thread_resume(ll.monitor);
}

void ipv4ll_stop_monitor()
{
    LinkLocal& ll = Ll();
    kernel::handle_t monitor = 0;
    {
        std::lock_guard<std::mutex> hold(ll.monitorMutex);
        monitor = ll.monitor;
        if (monitor == 0) return;
        ll.stopRequested.store(1);
        kernel::flag_setbits(&ll.events, StopBit);
    }
    if (kernel::thread_self() == monitor) return;  // it ends after this callback
    kernel::flag_wait(&ll.events, EndedBit, kernel::FLAG_WAITMODE_OR);
    std::lock_guard<std::mutex> hold(ll.monitorMutex);
    if (ll.monitor != monitor) return;  // joined by a concurrent stop
    kernel::thread_delete(monitor);
    ll.monitor = 0;
    ll.running.store(0);
}

bool ipv4ll_monitor_running() { return Ll().running.load() != 0; }

}  // namespace Korvex
