// What stands behind "eth0": the calls that set its hardware address, configure and
// deconfigure it, the DHCP transport and the Ethernet driver. The loopback stand-in (the
// default) makes no system call; LinuxBackend maps them on a Linux interface.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/kernel/Kernel.h"

namespace platform::net {

class EthDriver;

// Datagrams between the DHCP client (port 68) and servers (port 67).
class DhcpTransport {
public:
    virtual ~DhcpTransport() = default;
    // to: network byte order; 0xFFFFFFFF broadcasts.
    virtual bool Send(const std::uint8_t* data, std::size_t length, std::uint32_t to) = 0;
    // One datagram into buffer: its length, or -1 when none came by the deadline (ticks).
    virtual int Receive(std::uint8_t* buffer, std::size_t capacity, kernel::tick_t deadline) = 0;
};

class NetBackend {
public:
    virtual ~NetBackend() = default;

    virtual bool SetMac(const std::uint8_t mac[6]) = 0;
    // Address, mask, broadcast, up, and a default route unless gateway is 0 (network order).
    virtual bool Configure(std::uint32_t address, std::uint32_t mask, std::uint32_t broadcast,
                           std::uint32_t gateway) = 0;
    // Default route deleted, address 0.0.0.0, down.
    virtual void Deconfigure() = 0;
    // Up without an address (for DHCP).
    virtual bool BringUp() = 0;
    virtual bool IsUp() = 0;
    virtual bool LoopbackUp() = 0;
    // A transport for the DHCP client; null: the stand-in answers DHCP itself.
    virtual std::unique_ptr<DhcpTransport> OpenDhcp() = 0;
    // The interface's Ethernet driver; null when there is none.
    virtual EthDriver* Driver() = 0;
};

}  // namespace platform::net
