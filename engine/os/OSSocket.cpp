#include "engine/os/OSSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace {

constexpr int kBacklog = 128;

sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = htonl(address);
    result.sin_port = htons(port);
    return result;
}

std::int64_t NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

COSSocket::COSSocket() : descriptor(-1), localAddress(0), localPort(0), peerAddress(0), peerPort(0) {}

COSSocket::~COSSocket() { Close(); }

void COSSocket::Create(int type, std::uint32_t* status) {
    if (descriptor.load() >= 0) {
        *status = 7;
        return;
    }
    const int fd = socket(AF_INET, type, 0);
    if (fd < 0) {
        *status = 7;
        return;
    }
    descriptor.store(fd);
    *status = 0;
}

void COSSocket::CreateTcp(std::uint32_t* status) { Create(SOCK_STREAM, status); }

void COSSocket::CreateUdp(std::uint32_t* status) { Create(SOCK_DGRAM, status); }

void COSSocket::ReadLocalAddress() {
    sockaddr_in bound{};
    socklen_t length = sizeof(bound);
    if (getsockname(descriptor.load(), reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
        localAddress = ntohl(bound.sin_addr.s_addr);
        localPort = ntohs(bound.sin_port);
    }
}

void COSSocket::BindTo(std::uint32_t address, std::uint16_t port, std::uint32_t* status) {
    const int fd = descriptor.load();
    const int on = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0) {
        *status = 7;
        return;
    }
    const sockaddr_in local = MakeAddress(address, port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
        *status = 7;
        return;
    }
    ReadLocalAddress();
    *status = 0;
}

void COSSocket::Listen(std::uint16_t port, std::uint32_t* status) {
    Listen(kAnyAddress, port, status);
}

void COSSocket::Listen(std::uint32_t address, std::uint16_t port, std::uint32_t* status) {
    BindTo(address, port, status);
    if (*status != 0) {
        return;
    }
    if (listen(descriptor.load(), kBacklog) != 0) {
        *status = 7;
        return;
    }
    ReadLocalAddress();
    *status = 0;
}

void COSSocket::Bind(std::uint16_t port, std::uint32_t* status) { BindTo(kAnyAddress, port, status); }

void COSSocket::Bind(std::uint32_t address, std::uint16_t port, std::uint32_t* status) {
    BindTo(address, port, status);
}

void COSSocket::Accept(COSSocket& listener, std::uint32_t* status) {
    if (descriptor.load() >= 0) {
        *status = 7;
        return;
    }
    sockaddr_in peer{};
    int fd = -1;
    do {
        socklen_t length = sizeof(peer);
        fd = accept(listener.Descriptor(), reinterpret_cast<sockaddr*>(&peer), &length);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *status = 7;
        return;
    }
    descriptor.store(fd);
    peerAddress = ntohl(peer.sin_addr.s_addr);
    peerPort = ntohs(peer.sin_port);
    ReadLocalAddress();
    *status = 0;
}

void COSSocket::Connect(std::uint32_t address, std::uint16_t port, std::uint32_t* status) {
    const int fd = descriptor.load();
    if (fd < 0) {
        *status = 7;
        return;
    }
    const sockaddr_in remote = MakeAddress(address, port);
    int result = connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof(remote));
    if (result != 0 && errno == EINTR) {
        // The connection goes on in the background; wait for its outcome.
        pollfd entry{fd, POLLOUT, 0};
        while (poll(&entry, 1, -1) < 0 && errno == EINTR) {
        }
        int error = 0;
        socklen_t length = sizeof(error);
        result = (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) ? 0 : -1;
    }
    if (result != 0) {
        int error = 0;
        socklen_t length = sizeof(error);
        const bool read = getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
                          length == sizeof(error);
        *status = read ? 6 : 7;
        return;
    }
    peerAddress = address;
    peerPort = port;
    ReadLocalAddress();
    *status = 0;
}

std::uint32_t COSSocket::Send(const void* data, std::uint32_t length, std::uint32_t* status) {
    ssize_t sent = -1;
    do {
        sent = send(descriptor.load(), data, length, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        *status = 7;
        return 0;
    }
    *status = 0;
    return static_cast<std::uint32_t>(sent);
}

std::uint32_t COSSocket::Receive(void* data, std::uint32_t length, std::uint32_t* status) {
    ssize_t received = -1;
    do {
        received = recv(descriptor.load(), data, length, 0);
    } while (received < 0 && errno == EINTR);
    if (received <= 0) {
        *status = 7;
        return 0;
    }
    *status = 0;
    return static_cast<std::uint32_t>(received);
}

std::uint32_t COSSocket::SendTo(const void* data, std::uint32_t length, std::uint32_t address,
                                std::uint16_t port, std::uint32_t* status) {
    const sockaddr_in remote = MakeAddress(address, port);
    ssize_t sent = -1;
    do {
        sent = sendto(descriptor.load(), data, length, MSG_NOSIGNAL,
                      reinterpret_cast<const sockaddr*>(&remote), sizeof(remote));
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        *status = 7;
        return 0;
    }
    *status = 0;
    return static_cast<std::uint32_t>(sent);
}

std::uint32_t COSSocket::ReceiveFrom(void* buffer, std::uint32_t length, std::uint32_t timeoutMs,
                                     std::uint32_t* addressOut, std::uint16_t* portOut,
                                     std::uint32_t* status) {
    const int fd = descriptor.load();
    if (fd < 0) {
        *status = 7;
        return 0;
    }
    const std::int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        int waitMs = -1;
        if (timeoutMs != kWaitForever) {
            const std::int64_t left = deadline - NowMs();
            waitMs = left > 0 ? static_cast<int>(left) : 0;
        }
        pollfd entry{fd, POLLIN, 0};
        const int ready = poll(&entry, 1, waitMs);
        if (ready > 0) {
            break;
        }
        if (ready == 0) {
            *status = 6;
            return 0;
        }
        if (errno != EINTR) {
            *status = 7;
            return 0;
        }
    }
    sockaddr_in peer{};
    ssize_t received = -1;
    do {
        socklen_t peerLength = sizeof(peer);
        received = recvfrom(fd, buffer, length, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&peer),
                            &peerLength);
    } while (received < 0 && errno == EINTR);
    // 0 bytes from a shut-down socket is the interrupt; an empty datagram has a sender.
    if (received < 0 || (received == 0 && peer.sin_family != AF_INET)) {
        *status = 7;
        return 0;
    }
    if (addressOut != nullptr) {
        *addressOut = ntohl(peer.sin_addr.s_addr);
    }
    if (portOut != nullptr) {
        *portOut = ntohs(peer.sin_port);
    }
    *status = 0;
    return static_cast<std::uint32_t>(received);
}

void COSSocket::Adopt(int fd, std::uint32_t* status) {
    if (fd < 0 || descriptor.load() >= 0) {
        *status = 7;
        return;
    }
    descriptor.store(fd);
    ReadLocalAddress();
    sockaddr_in peer{};
    socklen_t length = sizeof(peer);
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
        peer.sin_family == AF_INET) {
        peerAddress = ntohl(peer.sin_addr.s_addr);
        peerPort = ntohs(peer.sin_port);
    }
    *status = 0;
}

int COSSocket::Release() { return descriptor.exchange(-1); }

void COSSocket::Interrupt() {
    const int fd = descriptor.load();
    if (fd >= 0) {
        shutdown(fd, SHUT_RDWR);
    }
}

void COSSocket::Close() {
    const int fd = descriptor.exchange(-1);
    if (fd < 0) {
        return;
    }
    shutdown(fd, SHUT_RDWR);
    close(fd);
}

void COSSocket::EnableKeepAlive(std::uint32_t idleS, std::uint32_t intervalS, std::uint32_t count) {
    const int fd = descriptor.load();
    if (fd < 0) {
        return;
    }
    const int on = 1;
    const int idle = static_cast<int>(idleS);
    const int interval = static_cast<int>(intervalS);
    const int probes = static_cast<int>(count);
    // Unacknowledged data is given up after the same time as unanswered probes.
    const unsigned int userTimeoutMs = (idleS + intervalS * count) * 1000u;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof(probes));
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof(userTimeoutMs));
}
