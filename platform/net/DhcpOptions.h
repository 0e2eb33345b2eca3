// DHCP options (RFC 2132): the magic cookie, one bounded walk over an options area and a
// bounded writer. An options area begins with the 4-byte cookie; the walk never reads past
// the area, whatever its content.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace platform::net {

enum DhcpOptionCode : std::uint8_t {
    OptPad = 0,
    OptSubnetMask = 1,
    OptRouter = 3,
    OptDnsServer = 6,
    OptHostName = 12,
    OptDomainName = 15,
    OptBroadcast = 28,
    OptRequestedAddress = 50,
    OptLeaseTime = 51,
    OptMessageType = 53,
    OptServerId = 54,
    OptParameterList = 55,
    OptRenewalTime = 58,
    OptRebindingTime = 59,
    OptEnd = 255,
};

constexpr std::uint8_t DhcpMagicCookie[4] = {99, 130, 83, 99};

struct DhcpOption {
    std::uint8_t code;
    std::uint8_t length;
    const std::uint8_t* data;
};

// Visits the options of area (cookie first) in order, skipping pads, until code 255, the end
// of the area or an option whose length byte or data would run past it. An area without the
// cookie has no options. visit returns false to end the walk early. Returns true when the
// walk ended at code 255.
bool WalkDhcpOptions(const std::uint8_t* area, std::size_t size,
                     const std::function<bool(const DhcpOption&)>& visit);

// The first option with that code; false when there is none.
bool FindDhcpOption(const std::uint8_t* area, std::size_t size, std::uint8_t code, DhcpOption& out);
// An option holding one or more IPv4 addresses: the first, in network byte order. false when
// absent or shorter than 4 bytes.
bool FindDhcpAddress(const std::uint8_t* area, std::size_t size, std::uint8_t code, std::uint32_t& out);
// An option of exactly 4 bytes (mask, times): network byte order kept.
bool FindDhcpWord(const std::uint8_t* area, std::size_t size, std::uint8_t code, std::uint32_t& out);

// Writes the cookie, then options; End() adds 255 and clears the rest of the area. An option
// that does not fit (with room left for 255) is refused and the writer stays failed.
class DhcpOptionWriter {
public:
    DhcpOptionWriter(std::uint8_t* area, std::size_t size);

    bool Add(std::uint8_t code, const void* data, std::size_t length);
    bool AddByte(std::uint8_t code, std::uint8_t value);
    bool AddAddress(std::uint8_t code, std::uint32_t networkOrder);
    bool End();

    std::size_t Length() const { return used_; }
    bool Ok() const { return ok_; }

private:
    std::uint8_t* area_;
    std::size_t size_;
    std::size_t used_ = 0;
    bool ok_ = true;
};

}  // namespace platform::net
