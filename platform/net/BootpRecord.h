// The configuration record of an interface, as a BOOTP/DHCP reply carries it: the assigned
// address, the server and gateway fields and the 312-byte options area (cookie first).
// Addresses are in network byte order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::net {

constexpr std::size_t BootpOptionsSize = 312;

struct BootpRecord {
    std::uint32_t yiaddr = 0;
    std::uint32_t siaddr = 0;
    std::uint32_t giaddr = 0;
    std::uint8_t options[BootpOptionsSize] = {};
};

// A record for a fixed address: yiaddr = address, giaddr = gateway, siaddr = DNS server,
// then the cookie, option 1, options 28, 3 and 6 for the ones given (not 0), and 255.
BootpRecord MakeBootpRecord(std::uint32_t address, std::uint32_t mask, std::uint32_t broadcast,
                            std::uint32_t gateway, std::uint32_t dnsServer);

// The mask of the address's class (A, B, C), for a record without a usable option 1.
std::uint32_t NaturalMask(std::uint32_t address);
// Whether address can be a host's own address on the subnet mask gives (network order): not
// 0.0.0.0/8, loopback, link-local (169.254/16), multicast, class E or the limited broadcast,
// not the subnet's network or broadcast address, and a mask that is not 0 and has its ones
// contiguous.
bool UsableHostAddress(std::uint32_t address, std::uint32_t mask);
// Option 1 when it holds exactly 4 bytes, else the natural mask of yiaddr.
std::uint32_t RecordMask(const BootpRecord& record);
// Option 28 when it holds exactly 4 bytes, else yiaddr | ~mask.
std::uint32_t RecordBroadcast(const BootpRecord& record);
// Option 3 when present, else giaddr.
std::uint32_t RecordGateway(const BootpRecord& record);
// Option 6 when present, else siaddr.
std::uint32_t RecordDnsServer(const BootpRecord& record);

}  // namespace platform::net
