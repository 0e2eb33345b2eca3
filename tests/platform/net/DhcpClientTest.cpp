// The DHCP client against a scripted server, on 1-ms ticks: message bytes, reply matching,
// retransmission, lease times, renew, rebind, NAK and silence to expiry.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/kernel/Kernel.h"
#include "platform/net/DhcpClient.h"
#include "platform/net/DhcpOptions.h"
#include "support/ScriptedDhcp.h"

namespace {

using namespace platform::net;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t Mac[6] = {0x02, 0x4b, 0x56, 0x00, 0x30, 0x39};
const std::uint32_t Server = inet_addr("192.0.2.1");
const std::uint32_t Offered = inet_addr("192.0.2.50");
constexpr std::uint32_t Broadcast = 0xFFFFFFFFu;

using korvex_test::DhcpReply;
using korvex_test::DhcpTypeOf;
using ScriptedServer = korvex_test::ScriptedDhcp;
using Sent = ScriptedServer::Sent;

std::uint8_t TypeOf(const Bytes& message) { return DhcpTypeOf(message); }

bool Has(const Bytes& message, std::uint8_t code, DhcpOption& o)
{
    return FindDhcpOption(message.data() + 236, message.size() - 236, code, o);
}

Bytes Reply(const Bytes& request, std::uint8_t type, std::uint32_t leaseSeconds = 60, bool times = true)
{
    return DhcpReply(request, type, korvex_test::DhcpLease{Offered, Server, leaseSeconds, times});
}

// Offers and acknowledges every request.
std::vector<Bytes> Willing(const Bytes& m, std::uint32_t lease = 60, bool times = true)
{
    switch (TypeOf(m)) {
        case DhcpClient::MsgDiscover: return {Reply(m, DhcpClient::MsgOffer, lease, times)};
        case DhcpClient::MsgRequest: return {Reply(m, DhcpClient::MsgAck, lease, times)};
        default: return {};
    }
}

class DhcpClientTest : public ::testing::Test {
protected:
    void SetUp() override { kernel::set_tick_ms(1.0); }
    void TearDown() override { kernel::set_tick_ms(10.0); }
    ScriptedServer server;
    DhcpClient client{server, Mac, 7};
    BootpRecord record;
};

TEST_F(DhcpClientTest, DiscoverAndRequestBytes)
{
    server.script = [](const Bytes& m) { return Willing(m); };
    client.SetHostName(std::string(61, 'k'));
    ASSERT_TRUE(client.Run(record));
    ASSERT_EQ(server.sent.size(), 2u);
    for (const Sent& s : server.sent) {
        const Bytes& m = s.bytes;
        EXPECT_GE(m.size(), 300u);
        EXPECT_EQ(Bytes(m.begin(), m.begin() + 3), (Bytes{1, 1, 6}));
        EXPECT_EQ(m[10], 0x80) << "broadcast flag";
        EXPECT_EQ(Bytes(m.begin() + 28, m.begin() + 34), Bytes(Mac, Mac + 6));
        EXPECT_EQ(Bytes(m.begin() + 236, m.begin() + 240), (Bytes{99, 130, 83, 99}));
        EXPECT_EQ(s.to, Broadcast);
        DhcpOption o{};
        ASSERT_TRUE(Has(m, OptHostName, o));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(o.data), o.length), std::string(60, 'k'));
        ASSERT_TRUE(Has(m, OptParameterList, o));
        EXPECT_EQ(Bytes(o.data, o.data + o.length), (Bytes{1, 3, 6, 15, 28, 51, 58, 59}));
    }
    EXPECT_EQ(TypeOf(server.sent[0].bytes), DhcpClient::MsgDiscover);
    EXPECT_EQ(TypeOf(server.sent[1].bytes), DhcpClient::MsgRequest);
    DhcpOption o{};
    ASSERT_TRUE(Has(server.sent[1].bytes, OptRequestedAddress, o));
    EXPECT_EQ(std::memcmp(o.data, &Offered, 4), 0);
    ASSERT_TRUE(Has(server.sent[1].bytes, OptServerId, o));
    EXPECT_EQ(std::memcmp(o.data, &Server, 4), 0);
    EXPECT_EQ(record.yiaddr, Offered);
    EXPECT_EQ(record.siaddr, Server);

    DhcpClient nameless(server, Mac, 8);
    server.sent.clear();
    ASSERT_TRUE(nameless.Run(record));
    EXPECT_FALSE(Has(server.sent[0].bytes, OptHostName, o));
}

TEST_F(DhcpClientTest, OnlyOwnRepliesOfTheAwaitedTypeCount)
{
    server.script = [](const Bytes& m) {
        std::vector<Bytes> replies;
        if (TypeOf(m) == DhcpClient::MsgDiscover) {
            Bytes xid = Reply(m, DhcpClient::MsgOffer);
            xid[7] ^= 1;
            Bytes chaddr = Reply(m, DhcpClient::MsgOffer);
            chaddr[33] ^= 1;
            Bytes op = Reply(m, DhcpClient::MsgOffer);
            op[0] = 1;
            Bytes truncated = Reply(m, DhcpClient::MsgOffer);
            truncated.resize(200);
            replies = {xid, chaddr, op, truncated, Reply(m, DhcpClient::MsgAck), Reply(m, DhcpClient::MsgOffer)};
        } else {
            replies = {Reply(m, DhcpClient::MsgOffer), Reply(m, DhcpClient::MsgAck)};
        }
        return replies;
    };
    ASSERT_TRUE(client.Run(record));
    EXPECT_EQ(server.sent.size(), 2u) << "no retransmission: the good replies were taken";
}

TEST_F(DhcpClientTest, SendsThreeTimesThenGivesUp)
{
    const kernel::tick_t start = kernel::current_time();
    EXPECT_FALSE(client.Run(record));
    const kernel::tick_t end = kernel::current_time();
    ASSERT_EQ(server.sent.size(), 3u);
    EXPECT_GE(server.sent[1].at - server.sent[0].at, DhcpClient::FirstRetry);
    EXPECT_GE(server.sent[2].at - server.sent[1].at, DhcpClient::SecondRetry);
    EXPECT_GE(end - start, DhcpClient::GiveUp);
    EXPECT_FALSE(client.Leased());
}

TEST_F(DhcpClientTest, LeaseTimesFromTheOptionsOrTheLease)
{
    for (bool times : {true, false}) {
        server.script = [times](const Bytes& m) { return Willing(m, 60, times); };
        const kernel::tick_t before = kernel::current_time();
        ASSERT_TRUE(client.Run(record));
        const kernel::tick_t after = kernel::current_time();
        const kernel::tick_t t1 = times ? 2000 : 3000;
        EXPECT_GE(client.NextTimer(), before + t1);
        EXPECT_LE(client.NextTimer(), after + t1);
        EXPECT_GE(client.Expiry(), before + 6000);
    }
}

// Renewal at T1 goes unicast to the server and keeps the lease; a NAK loses it.
TEST_F(DhcpClientTest, RenewsByUnicastAndLosesOnNak)
{
    server.script = [](const Bytes& m) { return Willing(m, 6); };  // T1 2 s, T2 3 s
    ASSERT_TRUE(client.Run(record));
    kernel::thread_delay(client.NextTimer() - kernel::current_time());
    ASSERT_TRUE(client.BindStep(record));
    const Sent& renew = server.sent.back();
    EXPECT_EQ(TypeOf(renew.bytes), DhcpClient::MsgRequest);
    EXPECT_EQ(renew.to, Server);
    EXPECT_EQ(renew.bytes[10], 0) << "no broadcast flag";
    EXPECT_EQ(std::memcmp(&renew.bytes[12], &Offered, 4), 0) << "ciaddr";
    DhcpOption o{};
    EXPECT_FALSE(Has(renew.bytes, OptRequestedAddress, o));
    EXPECT_GE(client.NextTimer(), renew.at + 100);

    server.script = [](const Bytes& m) { return std::vector<Bytes>{Reply(m, DhcpClient::MsgNak)}; };
    kernel::thread_delay(client.NextTimer() - kernel::current_time());
    EXPECT_FALSE(client.BindStep(record));
    EXPECT_FALSE(client.Leased());
}

// Silence: kept until expiry; before T2 the server is asked, after it everyone.
TEST_F(DhcpClientTest, SilenceKeepsTheLeaseUntilItExpires)
{
    server.script = [](const Bytes& m) { return Willing(m, 20); };  // T1 6 s, T2 10 s, end 20 s
    const kernel::tick_t before = kernel::current_time();
    ASSERT_TRUE(client.Run(record));
    const kernel::tick_t after = kernel::current_time();
    server.script = [](const Bytes&) { return std::vector<Bytes>{}; };
    std::size_t steps = 0;
    while (steps++ < 10) {
        kernel::thread_delay(client.NextTimer() - kernel::current_time());
        const kernel::tick_t at = kernel::current_time();
        if (!client.BindStep(record)) break;
        EXPECT_LT(at, client.Expiry());
        const Sent& asked = server.sent.back();
        if (asked.at < before + 1000) {
            EXPECT_EQ(asked.to, Server);
        } else if (asked.at >= after + 1000) {
            EXPECT_EQ(asked.to, Broadcast);
        }
    }
    EXPECT_FALSE(client.Leased());
    EXPECT_GE(kernel::current_time(), client.Expiry());
    EXPECT_GE(server.sent.size(), 3u) << "at least one request after the lease was taken";
}

TEST_F(DhcpClientTest, ReleaseGoesToTheServer)
{
    server.script = [](const Bytes& m) { return Willing(m); };
    ASSERT_TRUE(client.Run(record));
    client.Release();
    const Sent& release = server.sent.back();
    EXPECT_EQ(TypeOf(release.bytes), DhcpClient::MsgRelease);
    EXPECT_EQ(release.to, Server);
    EXPECT_EQ(std::memcmp(&release.bytes[12], &Offered, 4), 0);
    const std::size_t count = server.sent.size();
    client.Release();
    EXPECT_EQ(server.sent.size(), count) << "nothing to release twice";
}

TEST(DhcpLeaseAddress, OnlyAUsableHostAddressOnItsSubnet)
{
    struct Case {
        const char* address;
        const char* mask;
        bool usable;
    } cases[] = {
        {"192.0.2.50", "255.255.255.0", true},    {"10.1.2.3", "255.0.0.0", true},
        {"192.0.2.1", "255.255.255.252", true},   {"0.0.0.0", "255.255.255.0", false},
        {"0.1.2.3", "255.0.0.0", false},          {"255.255.255.255", "255.255.255.0", false},
        {"224.0.0.1", "255.255.255.0", false},    {"239.1.2.3", "255.0.0.0", false},
        {"127.0.0.1", "255.0.0.0", false},        {"127.0.0.1", "0.0.0.0", false},
        {"240.0.0.1", "255.255.255.0", false},    {"192.0.2.0", "255.255.255.0", false},
        {"192.0.2.255", "255.255.255.0", false},  {"192.0.2.50", "0.0.0.0", false},
        {"192.0.2.50", "255.0.255.0", false},     {"192.0.2.50", "255.255.255.255", false},
        {"192.0.2.3", "255.255.255.252", false},  {"192.0.3.0", "255.255.254.0", true},
        {"169.254.1.2", "255.255.0.0", false},    {"169.254.255.9", "255.255.255.0", false},
        {"169.253.1.2", "255.255.0.0", true},     {"169.255.1.2", "255.255.0.0", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(UsableHostAddress(inet_addr(c.address), inet_addr(c.mask)), c.usable) << c.address << " " << c.mask;
}

// An OFFER or ACK with an unusable address or mask is ignored like a malformed reply: the
// message goes again and the next, sound, answer is taken.
TEST_F(DhcpClientTest, UnusableAddressesAreIgnored)
{
    struct Case {
        std::uint8_t spoiled;
        const char* address;
        const char* mask;
    } cases[] = {
        {DhcpClient::MsgOffer, "224.0.0.1", "255.255.255.0"}, {DhcpClient::MsgOffer, "192.0.2.0", "255.255.255.0"},
        {DhcpClient::MsgAck, "255.255.255.255", "255.255.255.0"}, {DhcpClient::MsgAck, "127.0.0.1", "0.0.0.0"},
        {DhcpClient::MsgAck, "192.0.2.50", "255.0.255.0"},    {DhcpClient::MsgOffer, "169.254.1.2", "255.255.0.0"},
        {DhcpClient::MsgAck, "169.254.3.4", "255.255.0.0"},
    };
    for (const Case& c : cases) {
        int spoilt = 0;
        server.script = [&](const Bytes& m) {
            std::vector<Bytes> replies = Willing(m);
            DhcpOption o{};
            if (!replies.empty() && TypeOf(replies[0]) == c.spoiled && spoilt++ == 0 &&
                Has(replies[0], OptSubnetMask, o)) {
                const std::uint32_t address = inet_addr(c.address);
                const std::uint32_t mask = inet_addr(c.mask);
                std::memcpy(&replies[0][16], &address, 4);
                std::memcpy(const_cast<std::uint8_t*>(o.data), &mask, 4);
            }
            return replies;
        };
        server.sent.clear();
        ASSERT_TRUE(client.Run(record)) << c.address;
        EXPECT_EQ(record.yiaddr, Offered) << c.address;
        EXPECT_EQ(server.sent.size(), 3u) << c.address << ": the spoiled answer's message went again";
    }
}

}  // namespace
