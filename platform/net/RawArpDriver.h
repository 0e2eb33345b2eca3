// The Ethernet driver of a Linux interface for ARP frames: an AF_PACKET raw socket on the
// interface for ETH_P_ARP. Send writes one frame; a receive thread hands every frame the
// interface receives (not the ones it sends) to the receive slot. Can-send: IFF_UP and
// IFF_RUNNING.
#pragma once

#include <string>
#include <thread>

#include "platform/net/EthDriver.h"

namespace platform::net {

class RawArpDriver : public EthDriver {
public:
    explicit RawArpDriver(std::string interfaceName);
    ~RawArpDriver() override;

    bool Open();  // false: no socket on the interface
    bool CanSend() override;
    void Send(const ScatterPiece* pieces, int count, std::size_t total, unsigned long key) override;

private:
    void ReceiveLoop();

    std::string name_;
    int socket_ = -1;
    int stop_ = -1;  // eventfd that ends the receive thread
    int ifindex_ = 0;
    std::thread receiver_;
};

}  // namespace platform::net
