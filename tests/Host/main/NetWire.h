// An in-process wire behind eth0 for the network tests: a driver that records every frame
// sent (with its tick) and hands it to a scripted station, which may answer through the
// receive slot at once (from inside the send) or later from another thread; and, when a test
// gives one, a scripted DHCP server (else DHCP finds no server).
#pragma once

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/kernel/Kernel.h"
#include "platform/net/EthDriver.h"
#include "platform/net/NetBackend.h"
#include "support/ScriptedDhcp.h"

namespace Korvex::test {

using Frame = std::vector<std::uint8_t>;

struct SentFrame {
    Frame bytes;
    kernel::tick_t at;
    std::uint32_t SenderIp() const { return Word(28); }
    std::uint32_t TargetIp() const { return Word(38); }
    std::uint32_t Word(std::size_t at) const
    {
        std::uint32_t v = 0;
        std::memcpy(&v, &bytes[at], 4);
        return v;
    }
};

// An ARP frame (network-order addresses) as another station sends it.
inline Frame ArpFrame(std::uint16_t op, const std::uint8_t sha[6], std::uint32_t spa, std::uint32_t tpa,
                      std::uint16_t etherType = 0x0806)
{
    Frame f(60, 0);
    std::memset(f.data(), 0xFF, 6);
    std::memcpy(&f[6], sha, 6);
    f[12] = static_cast<std::uint8_t>(etherType >> 8);
    f[13] = static_cast<std::uint8_t>(etherType);
    f[15] = 1;
    f[16] = 8;
    f[18] = 6;
    f[19] = 4;
    f[21] = static_cast<std::uint8_t>(op);
    std::memcpy(&f[22], sha, 6);
    std::memcpy(&f[28], &spa, 4);
    std::memcpy(&f[38], &tpa, 4);
    return f;
}

class WireDriver : public platform::net::EthDriver {
public:
    // Called inside Send with the frame and its index among the frames sent.
    std::function<void(WireDriver&, const SentFrame&, std::size_t)> station;

    bool CanSend() override { return true; }
    void Send(const platform::net::ScatterPiece* pieces, int count, std::size_t total, unsigned long) override
    {
        SentFrame frame{{}, kernel::current_time()};
        for (int i = 0; i < count; ++i) {
            const auto* p = static_cast<const std::uint8_t*>(pieces[i].data);
            frame.bytes.insert(frame.bytes.end(), p, p + pieces[i].length);
        }
        frame.bytes.resize(total);
        std::size_t index = 0;
        {
            std::lock_guard<std::mutex> hold(mutex);
            index = sent.size();
            sent.push_back(frame);
        }
        if (station) station(*this, frame, index);
    }
    void Inject(const Frame& frame) { Deliver(frame.data(), frame.size()); }
    std::vector<SentFrame> Sent()
    {
        std::lock_guard<std::mutex> hold(mutex);
        return sent;
    }

private:
    std::mutex mutex;
    std::vector<SentFrame> sent;
};

// A DHCP server on the wire that hands out one address (changed by the test): it offers and
// acknowledges it, and refuses the renewal of any other. Leases of 20 s, T1 and T2 a third
// and a half of it.
class OneAddressDhcp : public korvex_test::ScriptedDhcp {
public:
    std::atomic<std::uint32_t> address{0};

    OneAddressDhcp()
    {
        script = [this](const korvex_test::DhcpBytes& m) {
            std::uint32_t ciaddr = 0;
            std::memcpy(&ciaddr, &m[12], 4);
            const korvex_test::DhcpLease lease{address.load(), inet_addr("192.0.2.1"), 20, true};
            switch (korvex_test::DhcpTypeOf(m)) {
                case 1: return std::vector<korvex_test::DhcpBytes>{korvex_test::DhcpReply(m, 2, lease)};
                case 3: {
                    const std::uint8_t type = ciaddr == 0 || ciaddr == lease.address ? 5 : 6;
                    return std::vector<korvex_test::DhcpBytes>{korvex_test::DhcpReply(m, type, lease)};
                }
                default: return std::vector<korvex_test::DhcpBytes>{};
            }
        };
    }
};

class WireBackend : public platform::net::NetBackend {
public:
    bool SetMac(const std::uint8_t*) override { return true; }
    bool Configure(std::uint32_t address, std::uint32_t, std::uint32_t, std::uint32_t) override
    {
        configured = address;
        return true;
    }
    void Deconfigure() override { configured = 0; }
    bool BringUp() override { return true; }
    bool IsUp() override { return true; }
    bool LoopbackUp() override { return true; }
    std::unique_ptr<platform::net::DhcpTransport> OpenDhcp() override
    {
        if (dhcp == nullptr) return nullptr;
        struct Forward : platform::net::DhcpTransport {
            explicit Forward(platform::net::DhcpTransport& to) : to(to) {}
            bool Send(const std::uint8_t* d, std::size_t n, std::uint32_t a) override { return to.Send(d, n, a); }
            int Receive(std::uint8_t* b, std::size_t c, kernel::tick_t t) override { return to.Receive(b, c, t); }
            platform::net::DhcpTransport& to;
        };
        return std::make_unique<Forward>(*dhcp);
    }
    platform::net::EthDriver* Driver() override { return &wire; }

    WireDriver wire;
    platform::net::DhcpTransport* dhcp = nullptr;
    std::uint32_t configured = 0;
};

}  // namespace Korvex::test
