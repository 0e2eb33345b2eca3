// The name service's routines driven without its thread: a clock that jumps over every wait
// nothing arrives in, a send hook that records every datagram, eth0 as 192.0.2.50/24, both
// sockets on free loopback ports, host Korvex_12345 of WORKGRP.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "Host/main/nbns/NbnsNames.h"
#include "Host/main/nbns/NbnsService.h"
#include "Host/main/nbns/NbnsState.h"

namespace Korvex::nbns::test {

using Bytes = std::vector<std::uint8_t>;

inline std::uint32_t Ip(const char* text) { return ::inet_addr(text); }

// A waiting select() returns what has arrived, and its time-out passes at once, unless a
// datagram sent to the service is still on its way (then it waits for it in real time).
class JumpingClock : public NbnsClock {
public:
    std::int64_t NowMs() override { return now; }
    void Delay(kernel::tick_t ticks) override { now += static_cast<std::int64_t>(ticks) * 10; }
    int WaitReadable(int nfds, fd_set* readable, std::int64_t timeoutMs) override
    {
        if (nfds == 0) {
            now += timeoutMs;
            return 0;
        }
        timeval wait{0, 0};
        if (inFlight && inFlight()) wait.tv_sec = 10;
        const int ready = ::select(nfds, readable, nullptr, nullptr, &wait);
        if (ready == 0) now += timeoutMs;
        return ready;
    }
    std::int64_t now = 1'700'000'000'000;
    std::function<bool()> inFlight;
};

struct Sent {
    int fd;
    Bytes data;
    std::uint32_t address;
    std::uint16_t port;
};

// RFC 1001 first-level encoding of name<type>, written here independently of the service.
inline Bytes Encoded(const std::string& name, std::uint8_t type)
{
    std::string raw = name;
    raw.resize(15, ' ');
    raw += static_cast<char>(type);
    Bytes out{32};
    for (unsigned char c : raw) {
        out.push_back(static_cast<std::uint8_t>('A' + (c >> 4)));
        out.push_back(static_cast<std::uint8_t>('A' + (c & 15)));
    }
    out.push_back(0);
    return out;
}

inline void Append16(Bytes& b, unsigned v)
{
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}

inline void Append32(Bytes& b, std::uint32_t v)
{
    Append16(b, v >> 16);
    Append16(b, v & 0xFFFF);
}

inline void AppendAddress(Bytes& b, std::uint32_t networkOrder)
{
    const auto* p = reinterpret_cast<const std::uint8_t*>(&networkOrder);
    b.insert(b.end(), p, p + 4);
}

// A request with one question (type 0x20 or 0x21) and, when withRecord, an NB additional
// record given by the pointer 0xC00C.
inline Bytes Request(std::uint16_t id, std::uint8_t byte2, std::uint8_t byte3, const std::string& name,
                     std::uint8_t type, std::uint16_t qtype = 0x20, bool withRecord = false,
                     std::uint32_t ttl = 0, std::uint8_t nbFlags = 0, std::uint32_t address = 0)
{
    Bytes b;
    Append16(b, id);
    b.push_back(byte2);
    b.push_back(byte3);
    Append16(b, 1);
    Append16(b, 0);
    Append16(b, 0);
    Append16(b, withRecord ? 1 : 0);
    const Bytes encoded = Encoded(name, type);
    b.insert(b.end(), encoded.begin(), encoded.end());
    Append16(b, qtype);
    Append16(b, 1);
    if (withRecord) {
        Append16(b, 0xC00C);
        Append16(b, 0x20);
        Append16(b, 1);
        Append32(b, ttl);
        Append16(b, 6);
        b.push_back(nbFlags);
        b.push_back(0);
        AppendAddress(b, address);
    }
    return b;
}

inline Bytes Query(std::uint16_t id, const std::string& name, std::uint8_t type, bool broadcast)
{
    return Request(id, 0x01, broadcast ? 0x10 : 0x00, name, type);
}
inline Bytes Refresh(std::uint16_t id, const std::string& name, std::uint8_t type, std::uint32_t ttl,
                     std::uint32_t address, std::uint8_t nbFlags = 0)
{
    return Request(id, 0x48, 0x00, name, type, 0x20, true, ttl, nbFlags, address);
}

class NbnsFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        nbns_set_clock(&clock);
        clock.inFlight = [this] { return injected > State().numGoodReceives; };
        nbns_set_send_hook([this](int fd, const std::uint8_t* data, std::size_t length, std::uint32_t address,
                                  std::uint16_t port) {
            sent.push_back({fd, Bytes(data, data + length), address, port});
            if (onSend) onSend(sent.back());
            return true;
        });
        nbns_set_interface_reader([this] { return eth0; });
        nbns_set_ports(0, 0);
        nbns_set_arguments(host.c_str(), domain.c_str(), comment.c_str());
        nbns_init_state();
        if (withSockets) {
            ASSERT_TRUE(open_sockets());
        }
    }

    void TearDown() override
    {
        close_sockets();
        State().names.clear();
        nbns_set_clock(nullptr);
        nbns_set_send_hook(nullptr);
        nbns_set_interface_reader(nullptr);
        nbns_set_ports(137, 138);
    }

    // A datagram read from the name-service socket, sent from address:port.
    void Deliver(const Bytes& datagram, const char* from = "192.0.2.1", std::uint16_t port = 137)
    {
        State().lastSenderAddress = Ip(from);
        State().lastSenderPort = port;
        process_datagram(datagram.data(), datagram.size());
    }

    // The datagrams sent since the last call.
    std::vector<Sent> TakeSent()
    {
        std::vector<Sent> taken;
        taken.swap(sent);
        return taken;
    }

    // Sends a datagram from the loopback to one of the service's sockets; one for the
    // datagram socket is waited for until it can be read there.
    void Inject(const Bytes& datagram, bool nameService = true)
    {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(bound_port(nameService));
        ASSERT_EQ(::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(datagram.size()));
        ::close(fd);
        if (nameService) {
            ++injected;
            return;
        }
        const int target = nameService ? State().nameSocket.load() : State().datagramSocket.load();
        fd_set set;
        FD_ZERO(&set);
        FD_SET(target, &set);
        timeval limit{10, 0};
        ASSERT_EQ(::select(target + 1, &set, nullptr, nullptr, &limit), 1);
    }

    JumpingClock clock;
    std::vector<Sent> sent;
    std::function<void(const Sent&)> onSend;
    int injected = 0;  // datagrams sent to the name-service socket
    NbnsInterface eth0{true, Ip("192.0.2.50"), true, Ip("255.255.255.0")};
    std::string host = "Korvex_12345";
    std::string domain = "WORKGRP";
    std::string comment = "Vantrell Korvex";
    bool withSockets = true;
};

}  // namespace Korvex::nbns::test
