// The bounded option walk and the records built on it.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

#include "platform/net/BootpRecord.h"
#include "platform/net/DhcpOptions.h"

namespace {

using namespace platform::net;

std::vector<std::uint8_t> Area(std::vector<std::uint8_t> body)
{
    body.insert(body.begin(), {99, 130, 83, 99});
    return body;
}

std::string Walk(const std::vector<std::uint8_t>& area, bool* ended = nullptr)
{
    std::string seen;
    const bool end = WalkDhcpOptions(area.data(), area.size(), [&](const DhcpOption& o) {
        seen += std::to_string(o.code) + "/" + std::to_string(o.length) + " ";
        return true;
    });
    if (ended != nullptr) *ended = end;
    return seen;
}

TEST(DhcpOptionWalk, StopsWithinTheArea)
{
    struct Case {
        const char* what;
        std::vector<std::uint8_t> area;
        std::string seen;
        bool ended;
    } cases[] = {
        {"pads and 255", Area({0, 0, 1, 4, 255, 255, 255, 0, 255, 3, 4, 1, 2, 3, 4}), "1/4 ", true},
        {"nothing after the end", Area({1, 4, 255, 255, 255, 0, 255, 9, 1, 7}), "1/4 ", true},
        {"no 255 at all", Area({3, 4, 10, 0, 0, 1, 6, 0}), "3/4 6/0 ", false},
        {"length runs past", Area({3, 4, 10, 0, 0, 1, 15, 9, 'a', 'b'}), "3/4 ", false},
        {"length byte missing", Area({3, 4, 10, 0, 0, 1, 15}), "3/4 ", false},
        {"no cookie", {1, 2, 3, 4, 1, 4, 255, 0, 0, 0, 255}, "", false},
        {"cookie only", Area({}), "", false},
    };
    for (const Case& c : cases) {
        bool ended = !c.ended;
        EXPECT_EQ(Walk(c.area, &ended), c.seen) << c.what;
        EXPECT_EQ(ended, c.ended) << c.what;
    }
}

TEST(DhcpOptionWalk, FindsTypedValuesOnlyWithTheirLength)
{
    const auto area = Area({1, 3, 255, 255, 0, 3, 8, 10, 0, 0, 1, 10, 0, 0, 2, 58, 4, 0, 0, 0, 20, 255});
    std::uint32_t value = 0;
    EXPECT_FALSE(FindDhcpWord(area.data(), area.size(), OptSubnetMask, value));  // 3 bytes
    ASSERT_TRUE(FindDhcpAddress(area.data(), area.size(), OptRouter, value));
    EXPECT_EQ(value, inet_addr("10.0.0.1"));
    ASSERT_TRUE(FindDhcpWord(area.data(), area.size(), OptRenewalTime, value));
    EXPECT_EQ(ntohl(value), 20u);
    EXPECT_FALSE(FindDhcpAddress(area.data(), area.size(), OptDnsServer, value));
}

TEST(DhcpOptionWriter, RefusesWhatDoesNotFitAndEnds)
{
    std::uint8_t area[12];
    DhcpOptionWriter writer(area, sizeof area);
    EXPECT_TRUE(writer.AddAddress(OptSubnetMask, inet_addr("255.255.0.0")));
    EXPECT_FALSE(writer.AddByte(OptMessageType, 1));  // 10 + 3 > 12 - 1
    EXPECT_FALSE(writer.End());
    DhcpOptionWriter fresh(area, sizeof area);
    EXPECT_TRUE(fresh.AddByte(OptMessageType, 1));
    EXPECT_TRUE(fresh.End());
    EXPECT_EQ(std::vector<std::uint8_t>(area, area + 12),
              (std::vector<std::uint8_t>{99, 130, 83, 99, 53, 1, 1, 255, 0, 0, 0, 0}));
}

TEST(BootpRecord, FixedRecordBytesAndDerivedValues)
{
    const BootpRecord r = MakeBootpRecord(inet_addr("192.0.2.77"), inet_addr("255.255.255.0"), 0,
                                          inet_addr("192.0.2.1"), 0);
    EXPECT_EQ(std::vector<std::uint8_t>(r.options, r.options + 18),
              (std::vector<std::uint8_t>{99, 130, 83, 99, 1, 4, 255, 255, 255, 0, 3, 4, 192, 0, 2, 1, 255, 0}));
    EXPECT_EQ(r.giaddr, inet_addr("192.0.2.1"));
    EXPECT_EQ(RecordBroadcast(r), inet_addr("192.0.2.255"));
    EXPECT_EQ(RecordDnsServer(r), 0u);
}

TEST(BootpRecord, MaskGatewayAndServerFallBacks)
{
    struct Case {
        const char* address;
        std::vector<std::uint8_t> body;
        const char* mask;
        const char* gateway;
        const char* dns;
    } cases[] = {
        {"10.1.2.3", {255}, "255.0.0.0", "0.0.0.1", "0.0.0.2"},
        {"172.16.2.3", {1, 3, 255, 255, 0, 255}, "255.255.0.0", "0.0.0.1", "0.0.0.2"},
        {"192.0.2.50", {3, 4, 192, 0, 2, 1, 6, 8, 192, 0, 2, 53, 1, 1, 1, 1, 255}, "255.255.255.0", "192.0.2.1",
         "192.0.2.53"},
        {"192.0.2.50", {1, 4, 255, 255, 255, 128, 3, 2, 1, 1, 255}, "255.255.255.128", "0.0.0.1", "0.0.0.2"},
    };
    for (const Case& c : cases) {
        BootpRecord r;
        r.yiaddr = inet_addr(c.address);
        r.giaddr = inet_addr("0.0.0.1");
        r.siaddr = inet_addr("0.0.0.2");
        const auto area = Area(c.body);
        std::copy(area.begin(), area.end(), r.options);
        EXPECT_EQ(RecordMask(r), inet_addr(c.mask)) << c.address;
        EXPECT_EQ(RecordGateway(r), inet_addr(c.gateway)) << c.address;
        EXPECT_EQ(RecordDnsServer(r), inet_addr(c.dns)) << c.address;
    }
}

}  // namespace
