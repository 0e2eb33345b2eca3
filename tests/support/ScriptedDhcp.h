// A scripted DHCP server as a DhcpTransport for the network tests: each message the client
// sends is recorded (bytes, destination, tick) and handed to the script, whose replies the
// client then receives. DhcpReply builds a server's answer to a request.
#pragma once

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/kernel/Kernel.h"
#include "platform/net/DhcpOptions.h"
#include "platform/net/NetBackend.h"

namespace korvex_test {

using DhcpBytes = std::vector<std::uint8_t>;

struct DhcpLease {
    std::uint32_t address = inet_addr("192.0.2.50");
    std::uint32_t server = inet_addr("192.0.2.1");
    std::uint32_t seconds = 60;
    bool times = true;  // options 58 and 59: a third and a half of the lease
};

// The message type (option 53) of a message, 0 when it has none.
inline std::uint8_t DhcpTypeOf(const DhcpBytes& message)
{
    platform::net::DhcpOption o{};
    if (message.size() < 240 ||
        !platform::net::FindDhcpOption(message.data() + 236, message.size() - 236, platform::net::OptMessageType, o) ||
        o.length != 1)
        return 0;
    return o.data[0];
}

inline DhcpBytes DhcpReply(const DhcpBytes& request, std::uint8_t type, const DhcpLease& lease)
{
    DhcpBytes r(236 + 312, 0);
    r[0] = 2;
    r[1] = 1;
    r[2] = 6;
    std::memcpy(&r[4], &request[4], 4);
    std::memcpy(&r[16], &lease.address, 4);
    std::memcpy(&r[20], &lease.server, 4);
    std::memcpy(&r[28], &request[28], 16);
    platform::net::DhcpOptionWriter w(&r[236], 312);
    w.AddByte(platform::net::OptMessageType, type);
    w.AddAddress(platform::net::OptServerId, lease.server);
    w.AddAddress(platform::net::OptLeaseTime, htonl(lease.seconds));
    if (lease.times) {
        w.AddAddress(platform::net::OptRenewalTime, htonl(lease.seconds / 3));
        w.AddAddress(platform::net::OptRebindingTime, htonl(lease.seconds / 2));
    }
    w.AddAddress(platform::net::OptSubnetMask, inet_addr("255.255.255.0"));
    w.End();
    return r;
}

class ScriptedDhcp : public platform::net::DhcpTransport {
public:
    struct Sent {
        DhcpBytes bytes;
        std::uint32_t to;
        kernel::tick_t at;
    };

    // Replies to each message; the default answers nothing.
    std::function<std::vector<DhcpBytes>(const DhcpBytes&)> script = [](const DhcpBytes&) {
        return std::vector<DhcpBytes>{};
    };

    bool Send(const std::uint8_t* data, std::size_t length, std::uint32_t to) override
    {
        const DhcpBytes message(data, data + length);
        std::function<std::vector<DhcpBytes>(const DhcpBytes&)> answer;
        {
            std::lock_guard<std::mutex> hold(mutex);
            sent.push_back({message, to, kernel::current_time()});
            answer = script;
        }
        std::vector<DhcpBytes> replies = answer(message);
        std::lock_guard<std::mutex> hold(mutex);
        for (DhcpBytes& reply : replies) pending.push_back(std::move(reply));
        return true;
    }

    int Receive(std::uint8_t* buffer, std::size_t capacity, kernel::tick_t deadline) override
    {
        for (;;) {
            {
                std::lock_guard<std::mutex> hold(mutex);
                if (!pending.empty()) {
                    const DhcpBytes next = std::move(pending.front());
                    pending.pop_front();
                    const std::size_t n = std::min(capacity, next.size());
                    std::memcpy(buffer, next.data(), n);
                    return static_cast<int>(n);
                }
            }
            const kernel::tick_t now = kernel::current_time();
            if (now >= deadline) return -1;
            kernel::thread_delay(std::min<kernel::tick_t>(deadline - now, 1));
        }
    }

    void SetScript(std::function<std::vector<DhcpBytes>(const DhcpBytes&)> next)
    {
        std::lock_guard<std::mutex> hold(mutex);
        script = std::move(next);
    }
    std::vector<Sent> sent;  // for tests that run the client on their own thread

private:
    std::mutex mutex;
    std::deque<DhcpBytes> pending;
};

}  // namespace korvex_test
