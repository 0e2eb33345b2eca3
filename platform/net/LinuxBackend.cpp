#include "platform/net/LinuxBackend.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <net/route.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

namespace platform::net {

namespace {

class Socket {
public:
    Socket() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~Socket()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

ifreq Request(const std::string& name)
{
    ifreq request{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    return request;
}

void PutAddress(sockaddr* to, std::uint32_t address)
{
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = address;
    std::memcpy(to, &in, sizeof in);
}

bool SetAddress(int fd, const std::string& name, unsigned long call, std::uint32_t address)
{
    ifreq request = Request(name);
    PutAddress(&request.ifr_addr, address);
    return ::ioctl(fd, call, &request) == 0;
}

bool ChangeFlags(int fd, const std::string& name, short set, short clear)
{
    ifreq request = Request(name);
    if (::ioctl(fd, SIOCGIFFLAGS, &request) != 0) return false;
    request.ifr_flags = static_cast<short>((request.ifr_flags | set) & ~clear);
    return ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
}

bool DefaultRoute(int fd, const std::string& name, unsigned long call, std::uint32_t gateway)
{
    rtentry route{};
    PutAddress(&route.rt_dst, 0);
    PutAddress(&route.rt_genmask, 0);
    PutAddress(&route.rt_gateway, gateway);
    route.rt_flags = RTF_UP | RTF_GATEWAY;
    std::string device = name;
    route.rt_dev = device.data();
    return ::ioctl(fd, call, &route) == 0 || (call == SIOCADDRT && errno == EEXIST);
}

// UDP 0.0.0.0:68 on the interface, broadcasts allowed.
class UdpDhcpTransport : public DhcpTransport {
public:
    explicit UdpDhcpTransport(int fd) : fd_(fd) {}
    ~UdpDhcpTransport() override { ::close(fd_); }

    bool Send(const std::uint8_t* data, std::size_t length, std::uint32_t to) override
    {
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(67);
        server.sin_addr.s_addr = to;
        return ::sendto(fd_, data, length, 0, reinterpret_cast<sockaddr*>(&server), sizeof server) ==
               static_cast<ssize_t>(length);
    }

    int Receive(std::uint8_t* buffer, std::size_t capacity, kernel::tick_t deadline) override
    {
        for (;;) {
            const kernel::tick_t now = kernel::current_time();
            if (now >= deadline) return -1;
            const double ms = static_cast<double>(deadline - now) * kernel::tick_ms();
            pollfd wait{fd_, POLLIN, 0};
            const int ready = ::poll(&wait, 1, static_cast<int>(std::ceil(std::min(ms, 1000.0))));
            if (ready < 0 && errno != EINTR) return -1;
            if (ready <= 0) continue;
            const ssize_t n = ::recv(fd_, buffer, capacity, MSG_DONTWAIT);
            if (n >= 0) return static_cast<int>(n);
        }
    }

private:
    int fd_;
};

}  // namespace

LinuxBackend::LinuxBackend(std::string name) : name_(std::move(name)), driver_(name_) {}

bool LinuxBackend::SetMac(const std::uint8_t mac[6])
{
    std::lock_guard<std::mutex> hold(mutex_);
    Socket s;
    ifreq request = Request(name_);
    if (s.fd() >= 0 && ::ioctl(s.fd(), SIOCGIFHWADDR, &request) == 0 &&
        std::memcmp(request.ifr_hwaddr.sa_data, mac, 6) == 0)
        return true;
    request = Request(name_);
    request.ifr_hwaddr.sa_family = ARPHRD_ETHER;
    std::memcpy(request.ifr_hwaddr.sa_data, mac, 6);
    return s.fd() >= 0 && ::ioctl(s.fd(), SIOCSIFHWADDR, &request) == 0;
}

bool LinuxBackend::Configure(std::uint32_t address, std::uint32_t mask, std::uint32_t broadcast,
                             std::uint32_t gateway)
{
    std::lock_guard<std::mutex> hold(mutex_);
    Socket s;
    if (s.fd() < 0 || !SetAddress(s.fd(), name_, SIOCSIFADDR, address) ||
        !SetAddress(s.fd(), name_, SIOCSIFNETMASK, mask) || !SetAddress(s.fd(), name_, SIOCSIFBRDADDR, broadcast) ||
        !ChangeFlags(s.fd(), name_, IFF_UP, 0))
        return false;
    gateway_ = 0;
    if (gateway != 0) {
        if (!DefaultRoute(s.fd(), name_, SIOCADDRT, gateway)) return false;
        gateway_ = gateway;
    }
    return true;
}

void LinuxBackend::Deconfigure()
{
    std::lock_guard<std::mutex> hold(mutex_);
    Socket s;
    if (s.fd() < 0) return;
    if (gateway_ != 0) DefaultRoute(s.fd(), name_, SIOCDELRT, gateway_);
    gateway_ = 0;
    SetAddress(s.fd(), name_, SIOCSIFADDR, 0);
    ChangeFlags(s.fd(), name_, 0, IFF_UP);
}

bool LinuxBackend::BringUp()
{
    std::lock_guard<std::mutex> hold(mutex_);
    Socket s;
    return s.fd() >= 0 && ChangeFlags(s.fd(), name_, IFF_UP, 0);
}

bool LinuxBackend::IsUp()
{
    Socket s;
    ifreq request = Request(name_);
    return s.fd() >= 0 && ::ioctl(s.fd(), SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_UP) != 0;
}

bool LinuxBackend::LoopbackUp()
{
    Socket s;
    return s.fd() >= 0 && ChangeFlags(s.fd(), "lo", IFF_UP, 0);
}

std::unique_ptr<DhcpTransport> LinuxBackend::OpenDhcp()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    const int on = 1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(68);
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name_.c_str(), static_cast<socklen_t>(name_.size())) != 0 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<UdpDhcpTransport>(fd);
}

EthDriver* LinuxBackend::Driver()
{
    std::lock_guard<std::mutex> hold(mutex_);
    return driver_.Open() ? &driver_ : nullptr;
}

}  // namespace platform::net
