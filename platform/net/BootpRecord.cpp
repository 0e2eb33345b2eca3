#include "platform/net/BootpRecord.h"

#include <arpa/inet.h>

#include "platform/net/DhcpOptions.h"

namespace platform::net {

BootpRecord MakeBootpRecord(std::uint32_t address, std::uint32_t mask, std::uint32_t broadcast,
                            std::uint32_t gateway, std::uint32_t dnsServer)
{
    BootpRecord record;
    record.yiaddr = address;
    record.giaddr = gateway;
    record.siaddr = dnsServer;
    DhcpOptionWriter writer(record.options, sizeof record.options);
    writer.AddAddress(OptSubnetMask, mask);
    if (broadcast != 0) writer.AddAddress(OptBroadcast, broadcast);
    if (gateway != 0) writer.AddAddress(OptRouter, gateway);
    if (dnsServer != 0) writer.AddAddress(OptDnsServer, dnsServer);
    writer.End();
    return record;
}

std::uint32_t NaturalMask(std::uint32_t address)
{
    const std::uint32_t first = ntohl(address) >> 24;
    if (first < 128) return htonl(0xFF000000u);
    if (first < 192) return htonl(0xFFFF0000u);
    return htonl(0xFFFFFF00u);
}

bool UsableHostAddress(std::uint32_t address, std::uint32_t mask)
{
    const std::uint32_t a = ntohl(address);
    const std::uint32_t hostBits = ~ntohl(mask);
    if (hostBits == 0xFFFFFFFFu || (hostBits & (hostBits + 1)) != 0) return false;  // 0 or not contiguous
    const std::uint32_t first = a >> 24;
    if (first == 0 || first == 127 || first >= 224) return false;
    // 169.254/16 is link-local: this host picks such an address itself (RFC 3927), a server
    // does not hand it out.
    if ((a >> 16) == 0xA9FEu) return false;
    const std::uint32_t host = a & hostBits;
    return host != 0 && host != hostBits;
}

std::uint32_t RecordMask(const BootpRecord& record)
{
    std::uint32_t mask = 0;
    if (FindDhcpWord(record.options, sizeof record.options, OptSubnetMask, mask)) return mask;
    return NaturalMask(record.yiaddr);
}

std::uint32_t RecordBroadcast(const BootpRecord& record)
{
    std::uint32_t broadcast = 0;
    if (FindDhcpWord(record.options, sizeof record.options, OptBroadcast, broadcast)) return broadcast;
    return record.yiaddr | ~RecordMask(record);
}

std::uint32_t RecordGateway(const BootpRecord& record)
{
    std::uint32_t gateway = 0;
    if (FindDhcpAddress(record.options, sizeof record.options, OptRouter, gateway)) return gateway;
    return record.giaddr;
}

std::uint32_t RecordDnsServer(const BootpRecord& record)
{
    std::uint32_t server = 0;
    if (FindDhcpAddress(record.options, sizeof record.options, OptDnsServer, server)) return server;
    return record.siaddr;
}

}  // namespace platform::net
