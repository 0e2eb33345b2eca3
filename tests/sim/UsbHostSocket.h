// A client of the simulated USB host's socket for tests: request frames, one connection.
#pragma once

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace usbsocket {

using Bytes = std::vector<std::uint8_t>;

inline void Put32(Bytes& b, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

inline std::uint32_t Get32(const Bytes& b, std::size_t at)
{
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

// A request frame; n: the length field (default: the real one).
inline Bytes Frame(std::uint8_t op, std::uint8_t endpoint, std::uint32_t inLength, const Bytes& setup,
                   const Bytes& payload, long n = -1, std::uint32_t timeoutMs = 100)
{
    Bytes body = {op, endpoint, 0, 0};
    Put32(body, timeoutMs);
    Put32(body, inLength);
    Bytes s = setup;
    s.resize(8);
    body.insert(body.end(), s.begin(), s.end());
    body.insert(body.end(), payload.begin(), payload.end());
    Bytes frame;
    Put32(frame, n < 0 ? static_cast<std::uint32_t>(body.size()) : static_cast<std::uint32_t>(n));
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

class Client {
public:
    Client() = default;
    ~Client() { Close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // A reply that takes longer than replySeconds counts as none.
    bool Connect(const std::string& path, int replySeconds = 10)
    {
        Close();
        fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        path.copy(a.sun_path, sizeof a.sun_path - 1);
        timeval t{replySeconds, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
        return ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    void Close()
    {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    bool Send(const Bytes& frame)
    {
        return ::send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size());
    }
    // The reply's status and data (status 1: no reply, the socket closed or timed out).
    std::int32_t Reply(Bytes* data = nullptr)
    {
        Bytes head(4);
        if (!Read(head)) return 1;
        Bytes reply(Get32(head, 0));
        if (reply.size() < 4 || !Read(reply)) return 1;
        if (data != nullptr) data->assign(reply.begin() + 4, reply.end());
        return static_cast<std::int32_t>(Get32(reply, 0));
    }
    std::int32_t Ask(const Bytes& frame, Bytes* data = nullptr) { return Send(frame) ? Reply(data) : 1; }

    // The connection has ended (a reset when the frame's rest went unread).
    bool Closed()
    {
        char byte;
        return ::recv(fd_, &byte, 1, 0) <= 0;
    }

private:
    bool Read(Bytes& into)
    {
        std::size_t got = 0;
        while (got < into.size()) {
            const ssize_t n = ::recv(fd_, into.data() + got, into.size() - got, 0);
            if (n <= 0) return false;
            got += static_cast<std::size_t>(n);
        }
        return true;
    }

    int fd_ = -1;
};

}  // namespace usbsocket
