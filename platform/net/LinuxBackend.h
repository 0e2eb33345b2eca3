// A Linux interface of the process's network namespace behind eth0, driven by ioctl calls
// (no netlink): SIOCSIFHWADDR while down, SIOCSIFADDR, SIOCSIFNETMASK, SIOCSIFBRDADDR, the
// IFF_UP flag and the default route (SIOCADDRT/SIOCDELRT). DHCP goes through a UDP socket on
// 0.0.0.0:68 bound to the interface; ARP frames through a RawArpDriver.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/net/NetBackend.h"
#include "platform/net/RawArpDriver.h"

namespace platform::net {

class LinuxBackend : public NetBackend {
public:
    explicit LinuxBackend(std::string name);

    bool SetMac(const std::uint8_t mac[6]) override;
    bool Configure(std::uint32_t address, std::uint32_t mask, std::uint32_t broadcast,
                   std::uint32_t gateway) override;
    void Deconfigure() override;
    bool BringUp() override;
    bool IsUp() override;
    bool LoopbackUp() override;
    std::unique_ptr<DhcpTransport> OpenDhcp() override;
    EthDriver* Driver() override;

private:
    std::string name_;
    std::mutex mutex_;
    std::uint32_t gateway_ = 0;  // of the default route we added
    RawArpDriver driver_;
};

}  // namespace platform::net
