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
#include "platform/net/DhcpOptions.h"
#include "platform/net/EthDriver.h"
#include "platform/net/NetBackend.h"

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
// acknowledges it, and refuses the renewal of any other.
class ScriptedDhcp : public platform::net::DhcpTransport {
public:
    std::atomic<std::uint32_t> address{0};
    std::uint32_t leaseSeconds = 20;  // T1 a tenth, T2 a fifth of it

    bool Send(const std::uint8_t* data, std::size_t length, std::uint32_t) override
    {
        const Frame request(data, data + length);
        platform::net::DhcpOption type{};
        if (length < 240 || !platform::net::FindDhcpOption(data + 236, length - 236, 53, type)) return true;
        std::uint32_t ciaddr = 0;
        std::memcpy(&ciaddr, data + 12, 4);
        std::uint8_t answer = 0;
        if (type.data[0] == 1) answer = 2;
        if (type.data[0] == 3) answer = ciaddr == 0 || ciaddr == address.load() ? 5 : 6;
        if (answer == 0) return true;
        std::lock_guard<std::mutex> hold(mutex);
        pending.push_back(Reply(request, answer));
        return true;
    }

    int Receive(std::uint8_t* buffer, std::size_t capacity, kernel::tick_t deadline) override
    {
        for (;;) {
            {
                std::lock_guard<std::mutex> hold(mutex);
                if (!pending.empty()) {
                    const Frame next = pending.front();
                    pending.erase(pending.begin());
                    const std::size_t n = std::min(capacity, next.size());
                    std::memcpy(buffer, next.data(), n);
                    return static_cast<int>(n);
                }
            }
            if (kernel::current_time() >= deadline) return -1;
            kernel::thread_delay(1);
        }
    }

private:
    Frame Reply(const Frame& request, std::uint8_t type) const
    {
        Frame r(236 + 312, 0);
        r[0] = 2;
        r[1] = 1;
        r[2] = 6;
        std::memcpy(&r[4], &request[4], 4);
        const std::uint32_t yiaddr = address.load();
        const std::uint32_t server = inet_addr("192.0.2.1");
        std::memcpy(&r[16], &yiaddr, 4);
        std::memcpy(&r[20], &server, 4);
        std::memcpy(&r[28], &request[28], 16);
        platform::net::DhcpOptionWriter w(&r[236], 312);
        w.AddByte(53, type);
        w.AddAddress(54, server);
        w.AddAddress(51, htonl(leaseSeconds));
        w.AddAddress(58, htonl(leaseSeconds / 10));
        w.AddAddress(59, htonl(leaseSeconds / 5));
        w.AddAddress(1, inet_addr("255.255.255.0"));
        w.End();
        return r;
    }

    std::mutex mutex;
    std::vector<Frame> pending;
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
            explicit Forward(ScriptedDhcp& to) : to(to) {}
            bool Send(const std::uint8_t* d, std::size_t n, std::uint32_t a) override { return to.Send(d, n, a); }
            int Receive(std::uint8_t* b, std::size_t c, kernel::tick_t t) override { return to.Receive(b, c, t); }
            ScriptedDhcp& to;
        };
        return std::make_unique<Forward>(*dhcp);
    }
    platform::net::EthDriver* Driver() override { return &wire; }

    WireDriver wire;
    ScriptedDhcp* dhcp = nullptr;
    std::uint32_t configured = 0;
};

}  // namespace Korvex::test
