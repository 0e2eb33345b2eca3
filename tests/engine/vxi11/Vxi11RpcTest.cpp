// The core channel's RPC transport over socketpairs: record reading, call checks, error
// replies, oversized records, credentials and bounded sends.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "engine/os/Allocator.h"
#include "engine/vxi11/InstrumentServer.h"
#include "RpcWire.h"

namespace {

constexpr std::uint32_t kCore = 0x0607AF;

// What the recording handler saw last.
std::atomic<int> gCalls{0};
std::atomic<std::uint32_t> gArgumentBytes{0};
std::atomic<std::uint32_t> gFirstArgument{0};

void RecordingHandler(CCoreChannelRecord& record, CXdrReader& arguments, std::uint32_t xid) {
    gArgumentBytes = arguments.Remaining();
    std::uint32_t first = 0;
    gFirstArgument = arguments.Word(&first) ? first : 0xFFFFFFFFu;
    ++gCalls;
    CInstrumentServer::SendRpcError(record, xid, CInstrumentServer::kProcedureUnavailable);
}

// Sends a reply record of 1 MiB (mark, then bytes 0, 1, 2, ...).
void HugeReplyHandler(CCoreChannelRecord& record, CXdrReader&, std::uint32_t) {
    Bytes reply(1 << 20);
    for (std::size_t i = 4; i < reply.size(); ++i) {
        reply[i] = static_cast<std::uint8_t>(i);
    }
    CInstrumentServer::SendRpcRecord(record, reply.data(), static_cast<std::uint32_t>(reply.size()));
}

class Vxi11RpcFixture : public ::testing::Test {
protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        peer = fds[0];
        COSSocket accepted;
        std::uint32_t status = 1;
        accepted.Adopt(fds[1], &status);
        ASSERT_EQ(status, 0u);
        CInstrumentServer::InitProcedureTable(record, nullptr, accepted);
        ASSERT_EQ(record.initFailed, 0);
        EXPECT_FALSE(accepted.IsOpen());
        gCalls = 0;
    }

    void Start() {
        serving = true;
        server = std::thread([this] {
            CInstrumentServer::ServeRpcRequests(record);
            serving = false;
        });
    }

    void TearDown() override {
        if (peer >= 0) {
            close(peer);
        }
        if (server.joinable()) {
            server.join();
        }
    }

    // Sends one call and returns the reply.
    Bytes Exchange(const Bytes& body) {
        EXPECT_TRUE(WriteAll(peer, Record(body)));
        return ReadRecord(peer);
    }

    static Bytes Error(std::uint32_t xid, std::uint32_t acceptStat) {
        return Words({0x80000018, xid, 1, 0, 0, 0, acceptStat});
    }

    CCoreChannelRecord record;
    int peer = -1;
    std::thread server;
    std::atomic<bool> serving{false};
};

using Vxi11RpcReader = Vxi11RpcFixture;
using Vxi11RpcErrors = Vxi11RpcFixture;
using Vxi11RpcSend = Vxi11RpcFixture;

TEST_F(Vxi11RpcReader, HeaderAndBodyInPiecesOfOneToThreeBytes) {
    Start();
    const Bytes wire = Record(CallBody(0x01020304, kCore, 1, 5));
    std::size_t at = 0;
    for (std::size_t piece = 1; at < wire.size(); piece = piece % 3 + 1) {
        const std::size_t n = std::min(piece, wire.size() - at);
        ASSERT_TRUE(WriteAll(peer, Bytes(wire.begin() + at, wire.begin() + at + n)));
        at += n;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(ReadRecord(peer), Error(0x01020304, 3));
}

TEST_F(Vxi11RpcReader, FragmentsAreJoinedAtTheLastFragmentBit) {
    record.table[12].handler = &RecordingHandler;
    Start();
    const Bytes body = CallBody(77, kCore, 1, 12, {0xCAFE, 9});
    // 7 + 30 + the rest: fragment borders inside words.
    Bytes wire = Words({7});
    wire.insert(wire.end(), body.begin(), body.begin() + 7);
    PutWords(wire, {30});
    wire.insert(wire.end(), body.begin() + 7, body.begin() + 37);
    PutWords(wire, {0x80000000u | static_cast<std::uint32_t>(body.size() - 37)});
    wire.insert(wire.end(), body.begin() + 37, body.end());
    ASSERT_TRUE(WriteAll(peer, wire));
    EXPECT_EQ(ReadRecord(peer), Error(77, 3));
    EXPECT_EQ(gCalls, 1);
    EXPECT_EQ(gArgumentBytes, 8u);
    EXPECT_EQ(gFirstArgument, 0xCAFEu);
}

TEST_F(Vxi11RpcReader, RecordOf4156BytesIsAcceptedAndOneMoreIsAnsweredOnce) {
    record.table[11].handler = &RecordingHandler;
    Start();
    Bytes full = CallBody(11, kCore, 1, 11, {0x1234});
    full.resize(4156, 0xAB);
    EXPECT_EQ(Exchange(full), Error(11, 3));
    EXPECT_EQ(gCalls, 1);
    EXPECT_EQ(gArgumentBytes, 4116u);
    EXPECT_EQ(gFirstArgument, 0x1234u);

    // One byte more, in two fragments: discarded to its end, answered by the oversized
    // handler (GARBAGE_ARGS with its own xid), and the next call is answered right.
    Bytes over = CallBody(12, kCore, 1, 11);
    over.resize(4157, 0xCD);
    Bytes wire = Words({4000});
    wire.insert(wire.end(), over.begin(), over.begin() + 4000);
    PutWords(wire, {0x80000000u | 157});
    wire.insert(wire.end(), over.begin() + 4000, over.end());
    ASSERT_TRUE(WriteAll(peer, wire));
    EXPECT_EQ(ReadRecord(peer), Error(12, 4));
    EXPECT_EQ(gCalls, 1);
    EXPECT_EQ(Exchange(CallBody(13, kCore, 1, 11, {0x77})), Error(13, 3));
    EXPECT_EQ(gCalls, 2);
}

TEST_F(Vxi11RpcReader, OversizedUpTo64KiBIsDiscardedLargerCloses) {
    Start();
    Bytes big = CallBody(21, kCore, 1, 3);
    big.resize(65536, 0x11);
    EXPECT_EQ(Exchange(big), Error(21, 4));
    EXPECT_EQ(Exchange(CallBody(22, kCore, 1, 3)), Error(22, 3));

    // Declares 65537 bytes in all: the connection is given up without a reply.
    Bytes wire = Words({60000});
    wire.resize(4 + 60000, 0);
    PutWords(wire, {0x80000000u | 5537});
    ASSERT_TRUE(WriteAll(peer, wire));
    EXPECT_TRUE(PeerClosed(peer));
    server.join();
    EXPECT_FALSE(serving);
}

// Records written at once are read ahead together; each is still cut at its own bounds,
// also when the read-ahead ends inside a record or inside a mark.
TEST_F(Vxi11RpcReader, RecordsArrivingTogetherAreEachAnsweredInOrder) {
    record.table[11].handler = &RecordingHandler;
    Start();
    Bytes wire;
    for (std::uint32_t xid = 1; xid <= 5; ++xid) {
        Bytes body = CallBody(xid, kCore, 1, 11, {xid});
        body.resize(xid % 2 == 1 ? 4156 : 40 + 4 * xid, 0xEE);
        if (xid == 4) {  // in two fragments
            PutWords(wire, {9});
            wire.insert(wire.end(), body.begin(), body.begin() + 9);
            PutWords(wire, {0x80000000u | static_cast<std::uint32_t>(body.size() - 9)});
            wire.insert(wire.end(), body.begin() + 9, body.end());
        } else {
            const Bytes one = Record(body);
            wire.insert(wire.end(), one.begin(), one.end());
        }
    }
    ASSERT_TRUE(WriteAll(peer, wire));
    for (std::uint32_t xid = 1; xid <= 5; ++xid) {
        EXPECT_EQ(ReadRecord(peer), Error(xid, 3));
    }
    EXPECT_EQ(gCalls, 5);
    EXPECT_EQ(gFirstArgument, 5u);
    EXPECT_EQ(gArgumentBytes, 4116u);
}

TEST_F(Vxi11RpcReader, PeerClosingBetweenRequestsEndsTheLoopWithoutReply) {
    Start();
    EXPECT_EQ(Exchange(CallBody(1, kCore, 1, 0)), Error(1, 3));
    shutdown(peer, SHUT_WR);
    server.join();
    EXPECT_FALSE(serving);
    EXPECT_TRUE(ReadExactly(peer, 1, 100).empty());
}

TEST_F(Vxi11RpcReader, PeerClosingInsideARecordEndsTheLoop) {
    Start();
    ASSERT_TRUE(WriteAll(peer, Words({0x80000040, 1, 0})));
    shutdown(peer, SHUT_WR);
    server.join();
    EXPECT_TRUE(ReadExactly(peer, 1, 100).empty());
}

TEST_F(Vxi11RpcReader, CredentialAndVerifierBodiesAreSkipped) {
    record.table[26].handler = &RecordingHandler;
    Start();
    // AUTH_UNIX credential of 20 bytes, a verifier of 5 bytes (padded to 8), then one word.
    Bytes body = Words({40, 0, 2, kCore, 1, 26, 1, 20, 1, 2, 3, 4, 5, 9, 5, 1, 2, 0x42});
    ASSERT_EQ(body.size(), 72u);
    EXPECT_EQ(Exchange(body), Error(40, 3));
    EXPECT_EQ(gCalls, 1);
    EXPECT_EQ(gArgumentBytes, 4u);
    EXPECT_EQ(gFirstArgument, 0x42u);

    // 401 bytes of credential, or one that runs past the record: GARBAGE_ARGS, no dispatch.
    Bytes tooLong = Words({41, 0, 2, kCore, 1, 26, 1, 401});
    tooLong.resize(tooLong.size() + 404 + 8, 0);
    EXPECT_EQ(Exchange(tooLong), Error(41, 4));
    EXPECT_EQ(Exchange(Words({42, 0, 2, kCore, 1, 26, 1, 16, 0, 0})), Error(42, 4));
    EXPECT_EQ(Exchange(Words({43, 0, 2, kCore, 1, 26, 0, 0, 0})), Error(43, 4));
    EXPECT_EQ(gCalls, 1);
}

TEST_F(Vxi11RpcReader, RecordShorterThanACallHeaderGetsGarbageArgs) {
    Start();
    EXPECT_EQ(Exchange(Words({0x55, 0, 2})), Error(0x55, 4));
    EXPECT_EQ(Exchange(Bytes{}), Error(0, 4));
    EXPECT_EQ(Exchange(CallBody(0x56, kCore, 1, 0)), Error(0x56, 3));
}

TEST_F(Vxi11RpcErrors, FiveErrorRepliesByteExact) {
    Start();
    // RPC version 3: MSG_DENIED, RPC_MISMATCH with the range 0 to 0.
    EXPECT_EQ(Exchange(CallBody(0xA1B2C3D4, kCore, 1, 11, {}, 3)), Words({0x80000018, 0xA1B2C3D4, 1, 1, 0, 0, 0}));
    // Abort program on the core channel: PROG_UNAVAIL.
    EXPECT_EQ(Exchange(CallBody(2, 0x0607B0, 1, 11)), Error(2, 1));
    // Program version 2: PROG_MISMATCH 1 to 1, 36 bytes on the wire.
    EXPECT_EQ(Exchange(CallBody(3, kCore, 2, 11)), Words({0x80000020, 3, 1, 0, 0, 0, 2, 1, 1}));
    // Procedure 27: PROC_UNAVAIL.
    EXPECT_EQ(Exchange(CallBody(4, kCore, 1, 27)), Error(4, 3));
    // Message type REPLY: GARBAGE_ARGS although all else is right.
    EXPECT_EQ(Exchange(CallBody(5, kCore, 1, 11, {}, 2, 1)), Error(5, 4));
    // The program is checked before the RPC version.
    EXPECT_EQ(Exchange(CallBody(6, 0x0607B1, 1, 11, {}, 3)), Error(6, 1));
}

TEST_F(Vxi11RpcErrors, ProcedureUnavailableForUnfilledAndHighProcedures) {
    record.table[26].handler = &RecordingHandler;
    Start();
    for (std::uint32_t procedure : {0u, 1u, 5u, 9u, 21u, 24u, 27u, 28u, 1000u, 0xFFFFFFFFu}) {
        EXPECT_EQ(Exchange(CallBody(procedure, kCore, 1, procedure)), Error(procedure, 3)) << procedure;
    }
    EXPECT_EQ(gCalls, 0);
    EXPECT_EQ(Exchange(CallBody(26, kCore, 1, 26, {7})), Error(26, 3));
    EXPECT_EQ(gCalls, 1);
}

TEST_F(Vxi11RpcSend, PartialSendsAreResumedToTheWholeRecord) {
    record.table[12].handler = &HugeReplyHandler;
    Start();
    ASSERT_TRUE(WriteAll(peer, Record(CallBody(1, kCore, 1, 12))));
    const Bytes reply = ReadRecord(peer);
    ASSERT_EQ(reply.size(), std::size_t{1} << 20);
    EXPECT_EQ(reply[0], 0x80);
    EXPECT_EQ(reply[3], 0xFC);
    bool intact = true;
    for (std::size_t i = 4; i < reply.size(); ++i) {
        intact = intact && reply[i] == static_cast<std::uint8_t>(i);
    }
    EXPECT_TRUE(intact);
}

TEST_F(Vxi11RpcSend, PeerThatNeverReadsIsShutDownAfterTheBound) {
    record.table[12].handler = &HugeReplyHandler;
    record.sendTimeoutMs = 200;
    Start();
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(WriteAll(peer, Record(CallBody(1, kCore, 1, 12))));
    server.join();  // the loop ends although the peer neither reads nor closes
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(190));
    EXPECT_FALSE(serving);
}

TEST(Vxi11RpcRecord, InitTakesTheSocketAndBuffersAndReportsFailure) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    close(fds[0]);
    COSSocket accepted;
    std::uint32_t status = 1;
    accepted.Adopt(fds[1], &status);
    EngineFailAllocation(2);
    {
        CCoreChannelRecord record;
        CInstrumentServer::InitProcedureTable(record, nullptr, accepted);
        EXPECT_EQ(record.initFailed, 1);
        EXPECT_TRUE(record.socket.IsOpen());
        for (const RpcProcedure& entry : record.table) {
            EXPECT_EQ(entry.handler, &CInstrumentServer::ProcedureUnavailable);
            EXPECT_EQ(entry.oversized, &CInstrumentServer::GarbageArguments);
        }
    }
    EngineResetAllocatorHooks();
}

TEST(Vxi11RpcXdr, ReaderStaysInsideAndWriterPads) {
    const Bytes data = Words({5, 0x41424344, 0x45000000, 7});
    CXdrReader reader(data.data(), 16);
    const std::uint8_t* bytes = nullptr;
    std::uint32_t length = 0;
    EXPECT_FALSE(reader.Opaque(&bytes, &length, 4));  // above the maximum
    ASSERT_TRUE(reader.Opaque(&bytes, &length, 8));
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(bytes[4], 0x45);
    std::uint32_t word = 0;
    EXPECT_TRUE(reader.Word(&word));
    EXPECT_EQ(word, 7u);
    EXPECT_FALSE(reader.Word(&word));

    const Bytes huge = Words({0xFFFFFFFF, 0});
    CXdrReader past(huge.data(), 8);
    EXPECT_FALSE(past.Opaque(&bytes, &length, 0xFFFFFFFF));
    EXPECT_EQ(past.Position(), 0u);
    const Bytes six = Words({6, 0});
    CXdrReader cut(six.data(), 8);
    EXPECT_FALSE(cut.Opaque(&bytes, &length, 100));  // 6 bytes padded to 8, only 4 left

    std::uint8_t out[12];
    CXdrWriter writer(out, sizeof(out));
    EXPECT_TRUE(writer.Opaque("abcde", 5));
    EXPECT_EQ(Bytes(out, out + 12), (Bytes{0, 0, 0, 5, 'a', 'b', 'c', 'd', 'e', 0, 0, 0}));
    EXPECT_FALSE(writer.Word(1));
    EXPECT_TRUE(writer.Overflowed());
    EXPECT_EQ(writer.Length(), 12u);
}

}  // namespace
