// The mini portmapper over 127.0.0.1 on a port of the system's choosing, and the portmapper
// client against it and against fake peers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "engine/vxi11/MiniPortMapper.h"
#include "engine/vxi11/Xdr.h"
#include "RpcWire.h"

namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr std::uint32_t kCore = 0x0607AF;
constexpr std::uint32_t kPmap = 100000;
constexpr std::uint16_t kCorePort = 4242;

int Socket(int type, std::uint16_t port = 0, bool connectIt = false) {
    const int fd = socket(AF_INET, type, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(kLoopback);
    address.sin_port = htons(port);
    if (connectIt) {
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            close(fd);
            return -1;
        }
    } else {
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    }
    return fd;
}

std::uint16_t LocalPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

Bytes Accepted(std::uint32_t xid, std::initializer_list<std::uint32_t> results) {
    Bytes out = Words({xid, 1, 0, 0, 0, 0});
    PutWords(out, results);
    return out;
}

Bytes WithMark(const Bytes& body) { return Record(body); }

class Vxi11PortMapperFixture : public ::testing::Test {
protected:
    void SetUp() override {
        std::uint32_t status = 1;
        mapper = std::make_unique<CMiniPortMapper>(kLoopback, kCorePort, &status, 0, 300);
        ASSERT_EQ(status, 0u);
        port = mapper->Port();
        ASSERT_NE(port, 0);
    }

    // One UDP exchange; an empty result when nothing came back within timeoutMs.
    Bytes Udp(const Bytes& request, int timeoutMs = 30000) {
        const int fd = Socket(SOCK_DGRAM, port, true);
        send(fd, request.data(), request.size(), 0);
        Bytes reply(4200);
        pollfd entry{fd, POLLIN, 0};
        ssize_t got = 0;
        if (poll(&entry, 1, timeoutMs) > 0) {
            got = recv(fd, reply.data(), reply.size(), 0);
        }
        close(fd);
        reply.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        return reply;
    }

    std::unique_ptr<CMiniPortMapper> mapper;
    std::uint16_t port = 0;
};

using Vxi11PortMapperUdp = Vxi11PortMapperFixture;
using Vxi11PortMapperTcp = Vxi11PortMapperFixture;
using Vxi11PortMapperClient = Vxi11PortMapperFixture;

TEST_F(Vxi11PortMapperUdp, StandardVersion2Answers) {
    EXPECT_EQ(Udp(CallBody(0x11223344, kPmap, 2, 3, {kCore, 1, 6, 0})), Accepted(0x11223344, {kCorePort}));
    EXPECT_EQ(Udp(CallBody(2, kPmap, 2, 3, {kPmap, 2, 6, 0})), Accepted(2, {port}));
    EXPECT_EQ(Udp(CallBody(3, kPmap, 2, 3, {kPmap, 2, 17, 0})), Accepted(3, {port}));
    // Not registered: port 0.
    EXPECT_EQ(Udp(CallBody(4, kPmap, 2, 3, {kCore, 1, 17, 0})), Accepted(4, {0}));
    EXPECT_EQ(Udp(CallBody(5, kPmap, 2, 3, {0x0607B0, 1, 6, 0})), Accepted(5, {0}));
    // NULL: empty success.
    EXPECT_EQ(Udp(CallBody(6, kPmap, 2, 0)), Accepted(6, {}));
    // DUMP: the three entries.
    EXPECT_EQ(Udp(CallBody(7, kPmap, 2, 4)),
              Accepted(7, {1, kPmap, 2, 6, port, 1, kPmap, 2, 17, port, 1, kCore, 1, 6, kCorePort, 0}));
}

TEST_F(Vxi11PortMapperUdp, ErrorsAndDroppedDatagrams) {
    // SET, UNSET, CALLIT: PROC_UNAVAIL.
    for (std::uint32_t procedure : {1u, 2u, 5u}) {
        EXPECT_EQ(Udp(CallBody(procedure, kPmap, 2, procedure, {kCore, 1, 6, 99})), Words({procedure, 1, 0, 0, 0, 3}));
    }
    // Version 3 and 4: PROG_MISMATCH 2 to 2; RPC version 1: MSG_DENIED 0 to 0.
    EXPECT_EQ(Udp(CallBody(8, kPmap, 3, 3, {kCore, 1, 6, 0})), Words({8, 1, 0, 0, 0, 2, 2, 2}));
    EXPECT_EQ(Udp(CallBody(9, kPmap, 4, 3)), Words({9, 1, 0, 0, 0, 2, 2, 2}));
    EXPECT_EQ(Udp(CallBody(10, kPmap, 2, 3, {}, 1)), Words({10, 1, 1, 0, 0, 0}));
    EXPECT_EQ(Udp(CallBody(11, kCore, 1, 3)), Words({11, 1, 0, 0, 0, 1}));
    EXPECT_EQ(Udp(CallBody(12, kPmap, 2, 3, {}, 2, 1)), Words({12, 1, 0, 0, 0, 4}));
    // GETPORT arguments cut short: GARBAGE_ARGS.
    EXPECT_EQ(Udp(CallBody(13, kPmap, 2, 3, {kCore, 1, 6})), Words({13, 1, 0, 0, 0, 4}));
    // Shorter than a call header: dropped; the service goes on.
    EXPECT_TRUE(Udp(Words({14, 0, 2, kPmap, 2}), 300).empty());
    EXPECT_EQ(Udp(CallBody(15, kPmap, 2, 0)), Accepted(15, {}));
}

TEST_F(Vxi11PortMapperTcp, SeveralRequestsOnOneConnectionAsRpcinfoSendsThem) {
    const int fd = Socket(SOCK_STREAM, port, true);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WriteAll(fd, WithMark(CallBody(1, kPmap, 4, 4))));
    EXPECT_EQ(ReadRecord(fd), WithMark(Words({1, 1, 0, 0, 0, 2, 2, 2})));
    ASSERT_TRUE(WriteAll(fd, WithMark(CallBody(2, kPmap, 3, 4))));
    EXPECT_EQ(ReadRecord(fd), WithMark(Words({2, 1, 0, 0, 0, 2, 2, 2})));
    // Two calls in one write, the second split into two fragments.
    Bytes wire = WithMark(CallBody(3, kPmap, 2, 3, {kCore, 1, 6, 0}));
    const Bytes body = CallBody(4, kPmap, 2, 0);
    PutWords(wire, {10});
    wire.insert(wire.end(), body.begin(), body.begin() + 10);
    PutWords(wire, {0x80000000u | static_cast<std::uint32_t>(body.size() - 10)});
    wire.insert(wire.end(), body.begin() + 10, body.end());
    ASSERT_TRUE(WriteAll(fd, wire));
    const Bytes reply = ReadRecord(fd);
    EXPECT_EQ(reply, WithMark(Accepted(3, {kCorePort})));
    ASSERT_EQ(reply.size(), 32u);
    EXPECT_EQ(XdrGetWord(reply.data()), 0x8000001Cu);
    EXPECT_EQ(ReadRecord(fd), WithMark(Accepted(4, {})));
    close(fd);
}

TEST_F(Vxi11PortMapperTcp, ClosedAfterSixteenRequests) {
    const int fd = Socket(SOCK_STREAM, port, true);
    Bytes wire;
    for (std::uint32_t xid = 0; xid < 17; ++xid) {
        const Bytes call = WithMark(CallBody(xid, kPmap, 2, 0));
        wire.insert(wire.end(), call.begin(), call.end());
    }
    ASSERT_TRUE(WriteAll(fd, wire));
    for (std::uint32_t xid = 0; xid < 16; ++xid) {
        EXPECT_EQ(ReadRecord(fd), WithMark(Accepted(xid, {})));
    }
    EXPECT_TRUE(PeerClosed(fd));
    close(fd);
}

TEST_F(Vxi11PortMapperTcp, ClosedWhenIdleAndOversizedAnsweredOnce) {
    const int fd = Socket(SOCK_STREAM, port, true);
    Bytes big = CallBody(5, kPmap, 2, 3, {kCore, 1, 6, 0});
    big.resize(5000, 0);
    ASSERT_TRUE(WriteAll(fd, WithMark(big)));
    EXPECT_EQ(ReadRecord(fd), WithMark(Words({5, 1, 0, 0, 0, 4})));
    // Half a request, then nothing: closed after the idle bound (300 ms here).
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(WriteAll(fd, Words({0x80000028, 6})));
    EXPECT_TRUE(PeerClosed(fd));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(290));
    close(fd);
    // The service goes on.
    const int next = Socket(SOCK_STREAM, port, true);
    ASSERT_TRUE(WriteAll(next, WithMark(CallBody(7, kPmap, 2, 3, {kCore, 1, 6, 0}))));
    EXPECT_EQ(ReadRecord(next), WithMark(Accepted(7, {kCorePort})));
    close(next);
}

TEST(Vxi11PortMapperTcpConcurrency, IdleConnectionsDelayNobodyAndTheOldestGivesWay) {
    // Idle connections are kept for a minute: served one after the other, the last request
    // would wait for all of them.
    std::uint32_t status = 1;
    CMiniPortMapper mapper(kLoopback, kCorePort, &status, 0, 60000);
    ASSERT_EQ(status, 0u);
    std::vector<int> idle;
    for (std::uint32_t i = 0; i < CMiniPortMapper::kMaxConnections + 2; ++i) {
        idle.push_back(Socket(SOCK_STREAM, mapper.Port(), true));
        ASSERT_GE(idle.back(), 0);
    }
    const int fd = Socket(SOCK_STREAM, mapper.Port(), true);
    ASSERT_TRUE(WriteAll(fd, WithMark(CallBody(9, kPmap, 2, 3, {kCore, 1, 6, 0}))));
    EXPECT_EQ(ReadRecord(fd, 5000), WithMark(Accepted(9, {kCorePort})));
    close(fd);
    // Past the bound the oldest were dropped; the newest still are served.
    EXPECT_TRUE(PeerClosed(idle.front()));
    ASSERT_TRUE(WriteAll(idle.back(), WithMark(CallBody(10, kPmap, 2, 3, {kCore, 1, 6, 0}))));
    EXPECT_EQ(ReadRecord(idle.back(), 5000), WithMark(Accepted(10, {kCorePort})));
    for (int connection : idle) {
        close(connection);
    }
}

TEST_F(Vxi11PortMapperTcp, DestructionEndsAServedConnection) {
    const int fd = Socket(SOCK_STREAM, port, true);
    ASSERT_TRUE(WriteAll(fd, Words({0x80000028})));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    mapper.reset();
    EXPECT_TRUE(PeerClosed(fd));
    close(fd);
}

TEST_F(Vxi11PortMapperTcp, PortInUseFailsConstruction) {
    std::uint32_t status = 0;
    CMiniPortMapper second(kLoopback, kCorePort, &status, port);
    EXPECT_EQ(status, 0x543FFu);
}

TEST_F(Vxi11PortMapperClient, AgainstTheMiniPortMapper) {
    CPortMapperClient client(kLoopback, port);
    std::uint32_t status = 1;
    CMiniPortMapper::GetPort(client, kCore, 1, 6, &status);
    EXPECT_EQ(status, 0x54311u);
    CMiniPortMapper::GetPort(client, kCore, 1, 17, &status);
    EXPECT_EQ(status, 0u);
    // SET and UNSET are refused (PROC_UNAVAIL): not an accepted reply.
    CMiniPortMapper::Set(client, kCore, 1, 6, 99, &status);
    EXPECT_EQ(status, 0x54394u);
    CMiniPortMapper::Unset(client, kCore, 1, 99, &status);
    EXPECT_EQ(status, 0x54394u);
}

TEST(Vxi11PortMapperClientPeers, RefusedConnect) {
    const int fd = Socket(SOCK_STREAM);
    const std::uint16_t closedPort = LocalPort(fd);  // bound, not listening: refused
    CPortMapperClient client(kLoopback, closedPort);
    std::uint32_t status = 0;
    CMiniPortMapper::GetPort(client, kCore, 1, 6, &status);
    EXPECT_EQ(status, 0x54393u);
    CMiniPortMapper::Set(client, kCore, 1, 6, 5, &status);
    EXPECT_EQ(status, 0x543FFu);
    CMiniPortMapper::Unset(client, kCore, 1, 5, &status);
    EXPECT_EQ(status, 0x54394u);
    close(fd);
}

TEST(Vxi11PortMapperClientPeers, ConnectThatHangsIsBounded) {
    // A listener whose accept queue is full drops further SYNs: the connect hangs.
    const int listener = Socket(SOCK_STREAM);
    listen(listener, 0);
    int fillers[3];
    for (int& filler : fillers) {
        filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(kLoopback);
        address.sin_port = htons(LocalPort(listener));
        connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    CPortMapperClient client(kLoopback, LocalPort(listener), 200);
    std::uint32_t status = 0;
    const auto begin = std::chrono::steady_clock::now();
    CMiniPortMapper::GetPort(client, kCore, 1, 6, &status);
    EXPECT_EQ(status, 0x54393u);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(190));
    for (int filler : fillers) {
        close(filler);
    }
    close(listener);
}

// A fake portmapper that accepts one connection, keeps the call and answers with reply.
class FakePeer {
public:
    explicit FakePeer(Bytes reply) : listener(Socket(SOCK_STREAM)), reply(std::move(reply)) {
        listen(listener, 4);
        thread = std::thread([this] {
            const int fd = accept(listener, nullptr, nullptr);
            call = ReadExactly(fd, 60, 3000);
            WriteAll(fd, this->reply);
            ReadExactly(fd, 1, 3000);  // until the client closes
            close(fd);
        });
    }
    ~FakePeer() {
        thread.join();
        close(listener);
    }
    std::uint16_t Port() const { return LocalPort(listener); }

    int listener;
    Bytes reply;
    Bytes call;
    std::thread thread;
};

TEST(Vxi11PortMapperClientPeers, CallBytesAndReplyJudgement) {
    const Bytes xid = {0x06, 0x29, 0x00, 0x00};
    Bytes good = Words({0x8000001C});
    good.insert(good.end(), xid.begin(), xid.end());
    PutWords(good, {1, 0, 0, 0, 0, 1234});
    {
        FakePeer peer(good);
        CPortMapperClient client(kLoopback, peer.Port());
        std::uint32_t status = 0;
        CMiniPortMapper::Set(client, kCore, 1, 6, 4321, &status);
        EXPECT_EQ(status, 0u);
        peer.thread.join();
        Bytes expected = Words({0x80000038});
        expected.insert(expected.end(), xid.begin(), xid.end());
        PutWords(expected, {0, 2, kPmap, 2, 1, 0, 0, 0, 0, kCore, 1, 6, 4321});
        EXPECT_EQ(peer.call, expected);
        peer.thread = std::thread([] {});
    }
    // The xid is not echoed: not accepted.
    Bytes wrongXid = good;
    wrongXid[4] = 0x07;
    {
        FakePeer peer(wrongXid);
        CPortMapperClient client(kLoopback, peer.Port());
        std::uint32_t status = 0;
        CMiniPortMapper::GetPort(client, kCore, 1, 6, &status);
        EXPECT_EQ(status, 0x54394u);
    }
}

TEST(Vxi11PortMapperClientPeers, ShortAndSilentRepliesAreBounded) {
    {
        FakePeer peer(Words({0x8000001C, 0x06290000}));  // 8 bytes, then the peer waits
        CPortMapperClient client(kLoopback, peer.Port(), 200);
        std::uint32_t status = 0;
        const auto begin = std::chrono::steady_clock::now();
        CMiniPortMapper::GetPort(client, kCore, 1, 6, &status);
        EXPECT_EQ(status, 0x54394u);
        EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(190));
    }
    {
        FakePeer peer(Bytes{});  // says nothing
        CPortMapperClient client(kLoopback, peer.Port(), 200);
        std::uint32_t status = 0;
        CMiniPortMapper::Unset(client, kCore, 1, 5, &status);
        EXPECT_EQ(status, 0x54394u);
    }
}

}  // namespace
