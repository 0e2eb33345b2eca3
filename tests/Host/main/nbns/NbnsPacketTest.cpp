// Name-service packets: encoded names, the requests the service builds, byte for byte, and
// the bounded readers of received names and packets.
#include <gtest/gtest.h>

#include <string>

#include "Host/main/nbns/NbnsPacket.h"
#include "NbnsFixture.h"

namespace Korvex::nbns::test {
namespace {

std::string AsText(const std::uint8_t* p, std::size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

std::string Repeat(const char* pair, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i) out += pair;
    return out;
}

TEST(NbnsPacket, NamesEncodeCutAndUpperCase)
{
    struct Row {
        const char* name;
        int type;
        std::string characters;
    } const rows[] = {
        {"LAB1", 0x20, "EMEBECDB" + Repeat("CA", 12)},
        {"lab1", 0x20, "EMEBECDB" + Repeat("CA", 12)},
        {"*", 0x20, "CK" + std::string(30, 'A')},
        {"ABCDEFGHIJKLMNOPQ", 0x1D, "EBECEDEEEFEGEHEIEJEKELEMENEOEPBN"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::uint8_t out[EncodedNameSize];
        ASSERT_EQ(name_mangle(row.name, out, row.type), 34u);
        EXPECT_EQ(out[0], 32);
        EXPECT_EQ(AsText(out + 1, 32), row.characters);
        EXPECT_EQ(out[33], 0);
    }
}

TEST(NbnsPacket, RequestsAreByteExact)
{
    const std::uint32_t own = Ip("192.0.2.50");
    Bytes name = Encoded("KORVEX_12345", 0x20);
    auto request = [&](unsigned id, std::uint8_t byte2, std::uint32_t ttl) {
        Bytes b{static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id), byte2, 0x10, 0, 1, 0, 0, 0, 0, 0, 1};
        b.insert(b.end(), name.begin(), name.end());
        b.insert(b.end(), {0x00, 0x20, 0x00, 0x01, 0xC0, 0x0C, 0x00, 0x20, 0x00, 0x01});
        Append32(b, ttl);
        b.insert(b.end(), {0x00, 0x06, 0x00, 0x00, 192, 0, 2, 50});
        return b;
    };
    std::uint8_t out[MaxDatagram];
    struct Row {
        NameRequest kind;
        std::uint8_t byte2;
        std::uint32_t ttl;
    } const rows[] = {{NameRequest::Registration, 0x29, 300000}, {NameRequest::Refresh, 0x48, 300000},
                      {NameRequest::Release, 0x30, 0}};
    for (const Row& row : rows) {
        const std::size_t n = build_name_request(out, row.kind, 374, "Korvex_12345", own);
        EXPECT_EQ(Bytes(out, out + n), request(374, row.byte2, row.ttl));
        EXPECT_EQ(n, 68u);
        EXPECT_EQ(nmb_len(out, n), n);
    }

    Bytes query{0x62, 0x8F, 0x01, 0x10, 0, 1, 0, 0, 0, 0, 0, 0};
    const Bytes group = Encoded("WORKGRP", 0x1D);
    query.insert(query.end(), group.begin(), group.end());
    query.insert(query.end(), {0x00, 0x20, 0x00, 0x01});
    std::size_t n = build_name_query(out, 25231, "WORKGRP", 0x1D, true);
    EXPECT_EQ(Bytes(out, out + n), query);
    n = build_name_query(out, 25231, "WORKGRP", 0x1D, false);
    query[3] = 0x00;
    EXPECT_EQ(Bytes(out, out + n), query);
    n = build_status_request(out, 25231, "WORKGRP", 0x1D);
    query[2] = 0x00;
    query[47] = 0x21;
    EXPECT_EQ(Bytes(out, out + n), query);
    EXPECT_EQ(n, 50u);
}

// A packet: header with one question, then whatever follows.
Bytes WithQuestion(const Bytes& name, const Bytes& after = {0x00, 0x20, 0x00, 0x01})
{
    Bytes b(12 + name.size() + after.size());
    const std::uint8_t header[12] = {0x12, 0x34, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
    std::copy(header, header + 12, b.begin());
    std::copy(name.begin(), name.end(), b.begin() + 12);
    std::copy(after.begin(), after.end(), b.begin() + 12 + static_cast<std::ptrdiff_t>(name.size()));
    return b;
}

Bytes Prefix(Bytes b, std::size_t n)
{
    b.resize(n);
    return b;
}

TEST(NbnsPacket, NamesAreReadOnlyWithinTheDatagram)
{
    const Bytes lab1 = Encoded("LAB1", 0x20);
    Bytes oddChar = lab1;
    oddChar[5] = 'Q';
    Bytes firstLabel1{1, 'A', 0};
    Bytes firstLabel62(64, 'A');
    firstLabel62[0] = 62;
    firstLabel62[63] = 0;
    Bytes longScope = lab1;
    longScope.pop_back();
    for (int i = 0; i < 4; ++i) {
        longScope.push_back(63);
        longScope.insert(longScope.end(), 63, 'x');
    }
    longScope.push_back(0);  // 34 + 256 bytes: past 255
    Bytes badLabel = lab1;
    badLabel.back() = 0x40;  // neither a label length nor a pointer
    struct Row {
        const char* what;
        Bytes packet;
        std::size_t offset;
        int length;  // name_len; -1 unsound
        int type;    // name_extract
    } const rows[] = {
        {"plain", WithQuestion(lab1), 12, 34, 0x20},
        {"cut inside the name", Prefix(WithQuestion(lab1), 30), 12, -1, -1},
        {"no zero byte", Prefix(WithQuestion(lab1), 45), 12, -1, -1},
        {"character outside A..P", WithQuestion(oddChar), 12, 34, -1},
        {"first label of 1", WithQuestion(firstLabel1), 12, -1, -1},
        {"first label of 62", WithQuestion(firstLabel62), 12, -1, -1},
        {"longer than 255", WithQuestion(longScope), 12, -1, -1},
        {"label byte 0x40", WithQuestion(badLabel), 12, -1, -1},
        {"pointer 38 back", WithQuestion(lab1, {0x00, 0x20, 0x00, 0x01, 0xC0, 0x0C}), 50, 2, 0x20},
        {"pointer past the end", WithQuestion(lab1, {0x00, 0x20, 0x00, 0x01, 0xC1, 0x00}), 50, -1, -1},
        {"pointer to a pointer", WithQuestion(lab1, {0x00, 0x20, 0x00, 0x01, 0xC0, 0x34, 0xC0, 0x32}), 52, -1, -1},
        {"half a pointer", WithQuestion(lab1, {0x00, 0x20, 0x00, 0x01, 0xC0}), 50, -1, -1},
        {"offset at the end", WithQuestion(lab1), 50, -1, -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        char out[DecodedNameSize];
        EXPECT_EQ(name_len(row.packet.data(), row.packet.size(), row.offset), row.length);
        EXPECT_EQ(name_extract(row.packet.data(), row.packet.size(), row.offset, out), row.type);
        EXPECT_LE(std::strlen(out), 30u);
    }
    // A pointer 52 bytes after its target.
    Bytes far = WithQuestion(lab1, Bytes(22, 0));
    far.insert(far.end(), {0xC0, 0x0C});
    char out[DecodedNameSize];
    EXPECT_EQ(name_len(far.data(), far.size(), far.size() - 2), -1);
    EXPECT_EQ(name_extract(far.data(), far.size(), far.size() - 2, out), -1);
    EXPECT_STREQ(out, "");
}

TEST(NbnsPacket, MeasuredLengthNeedsEveryPartInside)
{
    std::uint8_t out[MaxDatagram];
    const std::size_t n = build_name_request(out, NameRequest::Registration, 1, "LAB1", Ip("192.0.2.50"));
    EXPECT_EQ(nmb_len(out, n), 68u);
    EXPECT_EQ(nmb_len(out, n - 1), 0u);  // the address cut short
    EXPECT_EQ(nmb_len(out, 11), 0u);
    out[5] = 101;
    EXPECT_EQ(nmb_len(out, n), 0u);  // qdcount above 100
    out[5] = 1;
    out[61] = 200;  // rdlength past the end
    EXPECT_EQ(nmb_len(out, n), 0u);
}

}  // namespace
}  // namespace Korvex::nbns::test
