// Byte helpers for the RPC tests: building calls and reading replies on raw descriptors.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

inline void PutWords(Bytes& out, std::initializer_list<std::uint32_t> words) {
    for (std::uint32_t w : words) {
        out.push_back(static_cast<std::uint8_t>(w >> 24));
        out.push_back(static_cast<std::uint8_t>(w >> 16));
        out.push_back(static_cast<std::uint8_t>(w >> 8));
        out.push_back(static_cast<std::uint8_t>(w));
    }
}

inline Bytes Words(std::initializer_list<std::uint32_t> words) {
    Bytes out;
    PutWords(out, words);
    return out;
}

// A call header with AUTH_NONE credential and verifier (40 bytes), then the argument words.
inline Bytes CallBody(std::uint32_t xid, std::uint32_t program, std::uint32_t version, std::uint32_t procedure,
                      std::initializer_list<std::uint32_t> arguments = {}, std::uint32_t rpcVersion = 2,
                      std::uint32_t type = 0) {
    Bytes out = Words({xid, type, rpcVersion, program, version, procedure, 0, 0, 0, 0});
    PutWords(out, arguments);
    return out;
}

// body as one last fragment.
inline Bytes Record(const Bytes& body) {
    Bytes out = Words({0x80000000u | static_cast<std::uint32_t>(body.size())});
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

inline bool WriteAll(int fd, const Bytes& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads exactly n bytes within timeoutMs in all; returns what arrived (fewer on EOF/time-out).
inline Bytes ReadExactly(int fd, std::size_t n, int timeoutMs = 30000) {
    Bytes out(n);
    std::size_t done = 0;
    while (done < n) {
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, timeoutMs) <= 0) {
            break;
        }
        const ssize_t got = recv(fd, out.data() + done, n - done, 0);
        if (got <= 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    out.resize(done);
    return out;
}

// Reads one reply record (mark included) of a single fragment.
inline Bytes ReadRecord(int fd, int timeoutMs = 30000) {
    Bytes mark = ReadExactly(fd, 4, timeoutMs);
    if (mark.size() < 4) {
        return mark;
    }
    const std::uint32_t length = ((static_cast<std::uint32_t>(mark[0]) & 0x7F) << 24) |
                                 (static_cast<std::uint32_t>(mark[1]) << 16) |
                                 (static_cast<std::uint32_t>(mark[2]) << 8) | mark[3];
    Bytes body = ReadExactly(fd, length, timeoutMs);
    mark.insert(mark.end(), body.begin(), body.end());
    return mark;
}

// True when the peer closed (EOF) within timeoutMs, no data before it.
inline bool PeerClosed(int fd, int timeoutMs = 30000) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, timeoutMs) <= 0) {
        return false;
    }
    std::uint8_t byte = 0;
    return recv(fd, &byte, 1, 0) == 0;
}
