#include "platform/net/RawArpDriver.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace platform::net {

RawArpDriver::RawArpDriver(std::string interfaceName) : name_(std::move(interfaceName)) {}

RawArpDriver::~RawArpDriver()
{
    if (stop_ >= 0) {
        const std::uint64_t one = 1;
        if (::write(stop_, &one, sizeof one) < 0) {
        }
    }
    if (receiver_.joinable()) receiver_.join();
    if (socket_ >= 0) ::close(socket_);
    if (stop_ >= 0) ::close(stop_);
}

bool RawArpDriver::Open()
{
    if (socket_ >= 0) return true;
    ifindex_ = static_cast<int>(if_nametoindex(name_.c_str()));
    if (ifindex_ == 0) return false;
    const int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ARP));
    if (fd < 0) return false;
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ARP);
    address.sll_ifindex = ifindex_;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return false;
    }
    stop_ = ::eventfd(0, EFD_CLOEXEC);
    if (stop_ < 0) {
        ::close(fd);
        return false;
    }
    socket_ = fd;
    receiver_ = std::thread([this] { ReceiveLoop(); });
    return true;
}

bool RawArpDriver::CanSend()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq request{};
    std::strncpy(request.ifr_name, name_.c_str(), IFNAMSIZ - 1);
    const bool ok = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_UP) != 0 &&
                    (request.ifr_flags & IFF_RUNNING) != 0;
    ::close(fd);
    return ok;
}

void RawArpDriver::Send(const ScatterPiece* pieces, int count, std::size_t total, unsigned long)
{
    if (socket_ < 0 && !Open()) return;
    std::vector<std::uint8_t> frame;
    frame.reserve(total);
    for (int i = 0; i < count; ++i) {
        const auto* bytes = static_cast<const std::uint8_t*>(pieces[i].data);
        frame.insert(frame.end(), bytes, bytes + pieces[i].length);
    }
    frame.resize(total);
    while (::send(socket_, frame.data(), frame.size(), 0) < 0 && errno == EINTR) {
    }
}

void RawArpDriver::ReceiveLoop()
{
    std::uint8_t frame[1600];
    for (;;) {
        pollfd waits[2] = {{socket_, POLLIN, 0}, {stop_, POLLIN, 0}};
        if (::poll(waits, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (waits[1].revents != 0) return;
        if ((waits[0].revents & POLLIN) == 0) continue;
        sockaddr_ll from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = ::recvfrom(socket_, frame, sizeof frame, MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n <= 0) continue;
        if (from.sll_pkttype == PACKET_OUTGOING) continue;
        Deliver(frame, static_cast<std::size_t>(n));
    }
}

}  // namespace platform::net
