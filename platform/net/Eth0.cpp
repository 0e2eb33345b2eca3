#include "platform/net/Eth0.h"

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/net/DhcpClient.h"
#include "platform/net/DhcpOptions.h"
#include "platform/net/EthDriver.h"
#include "platform/net/LinuxBackend.h"
#include "platform/net/NetBackend.h"

namespace platform::net {

namespace {

constexpr kernel::tick_t AttentionPoll = 100;

// The loopback stand-in: no system call, nothing sent, DHCP answered by Eth0 itself.
class StandInBackend : public NetBackend {
public:
    bool SetMac(const std::uint8_t*) override { return true; }
    bool Configure(std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) override
    {
        up_ = true;
        return true;
    }
    void Deconfigure() override { up_ = false; }
    bool BringUp() override
    {
        up_ = true;
        return true;
    }
    bool IsUp() override { return up_; }
    bool LoopbackUp() override { return true; }
    std::unique_ptr<DhcpTransport> OpenDhcp() override { return nullptr; }
    EthDriver* Driver() override { return nullptr; }

private:
    std::atomic<bool> up_{false};
};

struct Eth0State {
    std::mutex mutex;  // record, flags, back-end, bind address
    BootpRecord record;
    bool configured = false;
    StandInBackend standIn;
    NetBackend* backend = &standIn;
    std::string bind = "127.0.0.1";
    std::uint8_t mac[6] = {};
    std::string hostName;

    std::mutex dhcpMutex;  // the client and its transport
    std::unique_ptr<DhcpTransport> transport;
    std::unique_ptr<DhcpClient> client;
    std::atomic<kernel::tick_t> nextTimer{0};
    std::uint32_t xidSeed = 0x4B565856u;
};

Eth0State& State()
{
    static Eth0State* state = new Eth0State;
    return *state;
}

NetBackend& Backend()
{
    Eth0State& s = State();
    std::lock_guard<std::mutex> hold(s.mutex);
    return *s.backend;
}

}  // namespace

BootpRecord eth0_record()
{
    Eth0State& s = State();
    std::lock_guard<std::mutex> hold(s.mutex);
    return s.record;
}

void eth0_set_record(const BootpRecord& record)
{
    Eth0State& s = State();
    std::lock_guard<std::mutex> hold(s.mutex);
    s.record = record;
}

bool eth0_up() { return Backend().IsUp(); }

bool eth0_configured()
{
    Eth0State& s = State();
    std::lock_guard<std::mutex> hold(s.mutex);
    return s.configured;
}

void eth0_mark_configured()
{
    Eth0State& s = State();
    std::lock_guard<std::mutex> hold(s.mutex);
    s.configured = true;
}

std::string bind_address()
{
    Eth0State& s = State();
    std::lock_guard<std::mutex> hold(s.mutex);
    return s.bind;
}

void set_bind_address(const std::string& address)
{
    Eth0State& s = State();
    std::lock_guard<std::mutex> hold(s.mutex);
    s.bind = address;
}

namespace {
std::atomic<BindAdvice> bindAdvice{nullptr};
}

void set_bind_advice(BindAdvice advice) { bindAdvice.store(advice); }

std::string bind_advice(int error, unsigned port)
{
    const BindAdvice advice = bindAdvice.load();
    return advice != nullptr ? advice(error, port) : std::string();
}

void eth0_use_backend(NetBackend* backend)
{
    Eth0State& s = State();
    std::lock_guard<std::mutex> dhcp(s.dhcpMutex);
    std::lock_guard<std::mutex> hold(s.mutex);
    s.backend = backend != nullptr ? backend : &s.standIn;
    s.transport.reset();
    s.client.reset();
    s.nextTimer.store(0);
    s.configured = false;
    s.record = BootpRecord{};
}

void eth0_use_linux(const std::string& name)
{
    static LinuxBackend* backend = new LinuxBackend(name);
    eth0_use_backend(backend);
}

bool eth0_is_stand_in()
{
    Eth0State& s = State();
    std::lock_guard<std::mutex> hold(s.mutex);
    return s.backend == &s.standIn;
}

bool eth0_set_mac(const std::uint8_t mac[6])
{
    Eth0State& s = State();
    {
        std::lock_guard<std::mutex> hold(s.mutex);
        std::memcpy(s.mac, mac, sizeof s.mac);
    }
    return Backend().SetMac(mac);
}

bool eth0_configure_from_record()
{
    const BootpRecord record = eth0_record();
    if (!Backend().Configure(record.yiaddr, RecordMask(record), RecordBroadcast(record), RecordGateway(record)))
        return false;
    eth0_mark_configured();
    return true;
}

void eth0_halt()
{
    Eth0State& s = State();
    {
        std::lock_guard<std::mutex> dhcp(s.dhcpMutex);
        if (s.client) s.client->Release();
        s.nextTimer.store(0);
    }
    Backend().Deconfigure();
    std::lock_guard<std::mutex> hold(s.mutex);
    s.configured = false;
    s.record = BootpRecord{};
}

bool eth0_bring_up() { return Backend().BringUp(); }

bool loopback_up() { return Backend().LoopbackUp(); }

EthDriver* eth0_driver() { return Backend().Driver(); }

void dhcp_reset()
{
    Eth0State& s = State();
    std::lock_guard<std::mutex> dhcp(s.dhcpMutex);
    s.client.reset();
    s.nextTimer.store(0);
    std::lock_guard<std::mutex> hold(s.mutex);
    s.hostName.clear();
}

void dhcp_set_host_name(const char* name)
{
    Eth0State& s = State();
    std::lock_guard<std::mutex> hold(s.mutex);
    s.hostName = name != nullptr ? std::string(name).substr(0, DhcpClient::MaxHostName) : std::string();
}

bool dhcp_run()
{
    Eth0State& s = State();
    std::lock_guard<std::mutex> dhcp(s.dhcpMutex);
    NetBackend* backend = nullptr;
    std::uint8_t mac[6];
    std::string hostName;
    std::string bind;
    {
        std::lock_guard<std::mutex> hold(s.mutex);
        backend = s.backend;
        std::memcpy(mac, s.mac, sizeof mac);
        hostName = s.hostName;
        bind = s.bind;
    }
    s.nextTimer.store(0);
    if (backend == &s.standIn) {
        BootpRecord record;
        inet_pton(AF_INET, bind.c_str(), &record.yiaddr);
        DhcpOptionWriter writer(record.options, sizeof record.options);
        writer.AddAddress(OptSubnetMask, htonl(0xFF000000u));
        writer.End();
        backend->BringUp();
        eth0_set_record(record);
        return true;
    }
    if (!backend->BringUp()) return false;
    if (!s.transport) s.transport = backend->OpenDhcp();
    if (!s.transport) return false;
    std::uint32_t seed = s.xidSeed;
    for (std::uint8_t byte : mac) seed = seed * 31u + byte;
    s.xidSeed = seed;
    s.client = std::make_unique<DhcpClient>(*s.transport, mac, seed);
    s.client->SetHostName(hostName);
    BootpRecord record;
    if (!s.client->Run(record)) return false;
    eth0_set_record(record);
    s.nextTimer.store(s.client->NextTimer());
    return true;
}

bool dhcp_bind_step()
{
    Eth0State& s = State();
    std::lock_guard<std::mutex> dhcp(s.dhcpMutex);
    if (!s.client) return false;
    BootpRecord record = eth0_record();
    const bool kept = s.client->BindStep(record);
    if (kept) eth0_set_record(record);
    s.nextTimer.store(s.client->NextTimer());
    return kept;
}

void dhcp_decline()
{
    Eth0State& s = State();
    std::lock_guard<std::mutex> dhcp(s.dhcpMutex);
    if (s.client) s.client->Decline();
    s.nextTimer.store(0);
}

void dhcp_wait_attention()
{
    Eth0State& s = State();
    for (;;) {
        const kernel::tick_t due = s.nextTimer.load();
        const kernel::tick_t now = kernel::current_time();
        if (due != 0 && now >= due) return;
        kernel::thread_delay(due != 0 ? std::min(due - now, AttentionPoll) : AttentionPoll);
    }
}

}  // namespace platform::net
