// The VXI-11 core channel, abort channel and interrupt channel end to end: raw RPC calls
// against the engine's VXI-11 server with the test device as "inst0".
#include <poll.h>

#include <chrono>
#include <future>
#include <thread>

#include "Vxi11ServerSupport.h"
#include "engine/vxi11/InstrumentServer.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(Vxi11ServerErrorMap, EveryStatusHasItsCode) {
    const std::pair<std::uint32_t, std::uint32_t> rows[] = {
        {0, 0},        {0x5434F, 5},  {0x54390, 4},  {0x54391, 6},  {0x54392, 29}, {0x54395, 8}, {0x54396, 23},
        {0x543F0, 9},  {0x54315, 11}, {0x54316, 12}, {0x54324, 15}, {0x54310, 21}, {0x54303, 3}, {0x543FF, 3},
        {0x54301, 3},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(CInstrumentServer::Vxi11Error(row.first), row.second) << std::hex << row.first;
    }
}

using Vxi11ServerCore = Vxi11ServerFixture;

TEST_F(Vxi11ServerCore, LinkWriteReadAndTheirLimits) {
    CoreClient client;
    const auto link = client.CreateLink();
    ASSERT_EQ(link.error, 0u);
    EXPECT_NE(link.lid, 0u);
    EXPECT_NE(link.abortPort, 0u);
    EXPECT_EQ(client.CreateLink("inst9").error, 21u);
    EXPECT_EQ(client.CreateLink("inst9").lid, 0u);

    EXPECT_EQ(client.Write(link.lid, "*IDN?\n"), (std::vector<std::uint32_t>{0, 6}));
    const auto whole = client.Read(link.lid, 100);
    EXPECT_EQ(whole.error, 0u);
    EXPECT_EQ(whole.reason, 4u);  // END
    EXPECT_EQ(whole.data, "KORVEX-TEST,VXI11,0,0\n");
    // A short read ends at the request count; above 4096 it never reports it.
    client.Write(link.lid, "*IDN?\n");
    const auto part = client.Read(link.lid, 4);
    EXPECT_EQ(part.reason, 1u);
    EXPECT_EQ(part.data, "KORV");
    const auto rest = client.Read(link.lid, 5000);
    EXPECT_EQ(rest.reason, 4u);
    EXPECT_EQ(rest.data, "EX-TEST,VXI11,0,0\n");

    // 4096 data bytes are taken; 4097 are refused whole and the connection goes on.
    EXPECT_EQ(client.Write(link.lid, std::string(4095, 'x') + "?"), (std::vector<std::uint32_t>{0, 4096}));
    EXPECT_EQ(client.Read(link.lid).data, "4096\n");
    EXPECT_EQ(client.Write(link.lid, std::string(4097, 'x')), (std::vector<std::uint32_t>{5, 0}));
    EXPECT_EQ(client.Query(link.lid, "TRG?"), "0\n");

    // device_docmd: error 8 in a reply of 4128 bytes.
    const Bytes docmd = client.Call(22, Words({link.lid, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(docmd.size(), 4128u);
    EXPECT_EQ(WordAt(docmd, 28), 8u);
    // Procedure 24 is not served.
    EXPECT_EQ(WordAt(client.Call(24, Words({link.lid})), 24), 3u);

    EXPECT_EQ(client.DestroyLink(link.lid), 0u);
    EXPECT_EQ(client.Write(link.lid, "*IDN?\n")[0], 4u);
    EXPECT_EQ(client.DestroyLink(0), 4u);
}

TEST_F(Vxi11ServerCore, LinksBelongToTheirConnection) {
    CoreClient a;
    CoreClient b;
    const auto linkA = a.CreateLink();
    const auto linkB = b.CreateLink();
    ASSERT_EQ(linkA.error, 0u);
    ASSERT_EQ(linkB.error, 0u);
    EXPECT_NE(linkA.lid, linkB.lid);
    EXPECT_NE(linkA.abortPort, linkB.abortPort);
    EXPECT_EQ(b.Write(linkA.lid, "*IDN?\n")[0], 4u);
    EXPECT_EQ(b.ReadStb(linkA.lid), (std::vector<std::uint32_t>{4, 0}));
    EXPECT_EQ(b.Lock(linkA.lid), 4u);
    // A connection that goes without destroy_link leaves no link behind.
    a.Close();
    EXPECT_EQ(b.Query(linkB.lid, "*IDN?\n"), "KORVEX-TEST,VXI11,0,0\n");
}

TEST_F(Vxi11ServerCore, LockStatusByteTriggerAndClear) {
    CoreClient a;
    CoreClient b;
    const auto linkA = a.CreateLink();
    const auto linkB = b.CreateLink();
    EXPECT_EQ(a.Unlock(linkA.lid), 12u);
    EXPECT_EQ(a.Lock(linkA.lid), 0u);
    EXPECT_EQ(a.Lock(linkA.lid), 11u);
    EXPECT_EQ(b.Write(linkB.lid, "TRG?\n")[0], 11u);  // another link holds the lock
    EXPECT_EQ(b.Lock(linkB.lid, 1, 100), 11u);
    EXPECT_EQ(a.Unlock(linkA.lid), 0u);
    EXPECT_EQ(b.Lock(linkB.lid, 1, 1000), 0u);
    EXPECT_EQ(b.Unlock(linkB.lid), 0u);

    EXPECT_EQ(a.ReadStb(linkA.lid), (std::vector<std::uint32_t>{0, 0}));
    EXPECT_EQ(a.Write(linkA.lid, "SRQ\n")[0], 0u);
    EXPECT_EQ(a.ReadStbSet(linkA.lid), (std::vector<std::uint32_t>{0, 0x41}));
    EXPECT_EQ(a.ReadStb(linkA.lid), (std::vector<std::uint32_t>{0, 0x01}));

    EXPECT_EQ(a.Generic(14, linkA.lid), 0u);
    EXPECT_EQ(a.Generic(15, linkA.lid), 0u);
    EXPECT_EQ(a.Query(linkA.lid, "TRG?\n"), "1\n");
    EXPECT_EQ(a.Query(linkA.lid, "CLR?\n"), "1\n");
    EXPECT_EQ(a.Generic(14, 0), 4u);
}

TEST_F(Vxi11ServerCore, AbortEndsABlockedReadOfItsOwnConnectionOnly) {
    CoreClient client;
    CoreClient other;
    const auto link = client.CreateLink();
    const auto otherLink = other.CreateLink();
    RpcClient abort(static_cast<std::uint16_t>(link.abortPort), kAbortProgram);
    ASSERT_GE(abort.fd, 0);
    // Wrong procedure / version, and a link of another connection.
    EXPECT_EQ(WordAt(abort.Call(2, Words({link.lid})), 24), 3u);
    const Bytes mismatch = abort.Call(1, Words({link.lid}), 5000, 2);
    EXPECT_EQ(mismatch.size(), 36u);
    EXPECT_EQ(WordAt(mismatch, 24), 2u);
    EXPECT_EQ(WordAt(mismatch, 28), 1u);
    EXPECT_EQ(WordAt(mismatch, 32), 1u);
    EXPECT_EQ(abort.Results(1, Words({otherLink.lid})), (std::vector<std::uint32_t>{4}));
    EXPECT_EQ(abort.Results(1, Words({link.lid})), (std::vector<std::uint32_t>{0}));  // nothing runs

    ASSERT_EQ(client.Write(link.lid, "SLOW?\n")[0], 0u);
    auto read = std::async(std::launch::async, [&] { return client.Read(link.lid, 4096, 10000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto start = Clock::now();
    EXPECT_EQ(abort.Results(1, Words({link.lid})), (std::vector<std::uint32_t>{0}));
    ASSERT_EQ(read.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(read.get().error, 23u);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
}

// A controller's interrupt server: a TCP listener or a UDP socket on loopback.
struct InterruptServer {
    explicit InterruptServer(int type) : fd(socket(AF_INET, type | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(kLoopback);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        if (type == SOCK_STREAM) {
            listen(fd, 4);
        }
        socklen_t length = sizeof(address);
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~InterruptServer() {
        close(fd);
        if (connection >= 0) {
            close(connection);
        }
    }
    // The next call (without record mark), or empty within timeoutMs.
    Bytes NextCall(int timeoutMs = 30000) {
        pollfd entry{fd, POLLIN, 0};
        if (connection < 0 && port != 0 && poll(&entry, 1, 0) >= 0) {
            int type = 0;
            socklen_t length = sizeof(type);
            getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length);
            if (type == SOCK_DGRAM) {
                Bytes datagram(200);
                if (poll(&entry, 1, timeoutMs) <= 0) {
                    return Bytes();
                }
                datagram.resize(static_cast<std::size_t>(recv(fd, datagram.data(), datagram.size(), 0)));
                return datagram;
            }
            if (poll(&entry, 1, timeoutMs) <= 0) {
                return Bytes();
            }
            connection = accept(fd, nullptr, nullptr);
        }
        Bytes record = ReadRecord(connection, timeoutMs);
        return record.size() > 4 ? Bytes(record.begin() + 4, record.end()) : Bytes();
    }
    int fd;
    int connection = -1;
    std::uint16_t port = 0;
};

TEST_F(Vxi11ServerCore, ServiceRequestReachesTheInterruptChannel) {
    for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
        SCOPED_TRACE(type == SOCK_STREAM ? "tcp" : "udp");
        CoreClient client;
        InterruptServer controller(type);
        const auto link = client.CreateLink();
        EXPECT_EQ(client.DestroyIntrChan(), 6u);
        const std::uint32_t family = type == SOCK_STREAM ? 0 : 1;
        ASSERT_EQ(client.CreateIntrChan(controller.port, family), 0u);
        EXPECT_EQ(client.CreateIntrChan(controller.port, family), 29u);
        ASSERT_EQ(client.EnableSrq(link.lid, true, "handle"), 0u);
        ASSERT_EQ(client.Write(link.lid, "SRQ\n")[0], 0u);
        const Bytes call = controller.NextCall();
        Bytes expected = Words({47, 0, 2, kIntrProgram, 1, 30, 0, 0, 0, 0});
        PutOpaque(expected, "handle");
        EXPECT_EQ(call, expected);  // 52 bytes of record: the handle and 2 zero bytes
        client.ReadStb(link.lid);  // releases the request
        EXPECT_EQ(client.DestroyIntrChan(), 0u);
        EXPECT_EQ(client.DestroyIntrChan(), 6u);
    }
}

TEST_F(Vxi11ServerCore, InterruptChannelArgumentsAndHandleLimits) {
    CoreClient client;
    const auto link = client.CreateLink();
    // Wrong program or version: RPC-level answers; family 2: not supported.
    EXPECT_EQ(WordAt(client.CreateIntrChanReply(1, 0, 0x0607B2), 24), 1u);
    EXPECT_EQ(WordAt(client.CreateIntrChanReply(1, 0, kIntrProgram, 2), 24), 2u);
    EXPECT_EQ(client.CreateIntrChan(1, 2), 8u);
    // Nobody listens there: not established.
    EXPECT_EQ(client.CreateIntrChan(1, 0), 6u);
    EXPECT_EQ(client.EnableSrq(link.lid, true, std::string(41, 'h')), 5u);
    EXPECT_EQ(client.EnableSrq(link.lid, true, std::string(40, 'h')), 0u);
    // A request with the channel closed sends nothing and harms nothing.
    EXPECT_EQ(client.Write(link.lid, "SRQ\n")[0], 0u);
    EXPECT_EQ(client.ReadStbSet(link.lid), (std::vector<std::uint32_t>{0, 0x41}));
}

}  // namespace
