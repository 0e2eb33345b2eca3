// The name table and the answers to received requests.
#include <gtest/gtest.h>

#include <string>

#include "Host/main/nbns/NbnsPacket.h"
#include "NbnsFixture.h"

namespace Korvex::nbns::test {
namespace {

class NbnsNames : public NbnsFixture {
protected:
    NbnsNames() { withSockets = false; }
};

// An answer of one NB record named name<type>.
Bytes Answer(std::uint16_t id, std::uint8_t byte2, std::uint8_t byte3, const std::string& name, std::uint8_t type,
             std::uint32_t ttl, std::uint8_t nbFlags, const char* address)
{
    Bytes b;
    Append16(b, id);
    b.insert(b.end(), {byte2, byte3, 0, 0, 0, 1, 0, 0, 0, 0});
    const Bytes encoded = Encoded(name, type);
    b.insert(b.end(), encoded.begin(), encoded.end());
    b.insert(b.end(), {0x00, 0x20, 0x00, 0x01});
    Append32(b, ttl);
    b.insert(b.end(), {0x00, 0x06, nbFlags, 0x00});
    AppendAddress(b, Ip(address));
    return b;
}

int ValidRecords()
{
    int n = 0;
    for (const NameRecord& r : State().names) n += r.valid ? 1 : 0;
    return n;
}

TEST_F(NbnsNames, QueriesAreAnsweredFromTheTable)
{
    struct Row {
        const char* name;
        std::uint8_t type;
        bool broadcast;
        const char* answer;  // nullptr: no answer
    } const rows[] = {
        {"KORVEX_12345", 0x20, true, "192.0.2.50"}, {"KORVEX_12345", 0x00, true, "192.0.2.50"},
        {"korvex_12345", 0x03, true, "192.0.2.50"}, {"__SAMBA__", 0x20, true, "192.0.2.50"},
        {"UNKNOWN", 0x20, false, "192.0.2.50"},     {"UNKNOWN2", 0x20, true, nullptr},
        {"WORKGRP", 0x00, true, nullptr},           {"WORKGRP", 0x00, false, "192.0.2.50"},
        {"WORKGRP", 0x1D, false, nullptr},          {"WORKGRP", 0xF0, false, nullptr},
        {"*", 0x00, true, "192.0.2.50"},            {"UNKNOWN3", 0x1B, false, nullptr},
    };
    std::uint16_t id = 100;
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.name) + (row.broadcast ? " broadcast" : " unicast"));
        Deliver(Query(++id, row.name, row.type, row.broadcast), "192.0.2.1", 50000);
        const std::vector<Sent> out = TakeSent();
        if (row.answer == nullptr) {
            EXPECT_TRUE(out.empty());
            continue;
        }
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].address, Ip("192.0.2.1"));
        EXPECT_EQ(out[0].port, 50000);
        EXPECT_EQ(out[0].data, Answer(id, 0x85, 0x00, row.name, row.type, 0, 0, row.answer));
    }
}

TEST_F(NbnsNames, UnicastLookupIsNotAnsweredToBroadcasts)
{
    Deliver(Query(1, "OTHER", 0x20, false));
    ASSERT_EQ(TakeSent().size(), 1u);
    Deliver(Query(2, "OTHER", 0x20, true));
    EXPECT_TRUE(TakeSent().empty());
    // The lookup record lives 120 s.
    EXPECT_GE(find_name("OTHER", 0x20, false), 0);
    clock.now += 121'000;
    EXPECT_EQ(find_name("OTHER", 0x20, false), -1);
}

TEST_F(NbnsNames, NodeStatusListsTheTable)
{
    Deliver(Request(7, 0x00, 0x00, "KORVEX_12345", 0x20, 0x21));
    const std::vector<Sent> out = TakeSent();
    ASSERT_EQ(out.size(), 1u);
    Bytes expected{0x00, 0x07, 0x84, 0x00, 0, 0, 0, 1, 0, 0, 0, 0};
    const Bytes name = Encoded("KORVEX_12345", 0x20);
    expected.insert(expected.end(), name.begin(), name.end());
    expected.insert(expected.end(), {0x00, 0x21, 0x00, 0x01, 0, 0, 0, 0, 0x00, 155, 6});
    auto entry = [&](const std::string& text, std::uint8_t type, std::uint8_t flags) {
        Bytes e(18, 0);
        std::copy(text.begin(), text.end(), e.begin());
        e[15] = type;
        e[16] = flags;
        expected.insert(expected.end(), e.begin(), e.end());
    };
    entry("WORKGRP", 0xF0, 0x84);
    entry("KORVEX_12345", 0x20, 0x06);
    entry("KORVEX_12345", 0x00, 0x06);
    entry("KORVEX_12345", 0x03, 0x06);
    entry("__SAMBA__", 0x20, 0x04);
    entry("__SAMBA__", 0x00, 0x04);
    Bytes statistics(46, 0);
    AppendAddress(expected, Ip("192.0.2.50"));
    expected.insert(expected.end(), statistics.begin(), statistics.end() - 4);
    EXPECT_EQ(out[0].data, expected);
    EXPECT_EQ(nmb_len(out[0].data.data(), out[0].data.size()), out[0].data.size());

    // Not one of the own names: no answer.
    Deliver(Request(8, 0x00, 0x00, "__SAMBA__", 0x1D, 0x21));
    EXPECT_TRUE(TakeSent().empty());
}

TEST_F(NbnsNames, NodeStatusOfThirtyRecordsListsTwentyTwo)
{
    for (int i = 0; i < 24; ++i) Deliver(Refresh(static_cast<std::uint16_t>(i), "PEER" + std::to_string(i), 0x20, 0, Ip("192.0.2.1")));
    ASSERT_EQ(ValidRecords(), 30);
    TakeSent();
    Deliver(Request(9, 0x00, 0x00, "*", 0x00, 0x21));
    const std::vector<Sent> out = TakeSent();
    ASSERT_EQ(out.size(), 1u);
    ASSERT_EQ(out[0].data.size(), 12u + 34 + 10 + 1 + 22 * 18 + 46);
    EXPECT_EQ(out[0].data[56], 22);
    // Statistics: the own address, then the sends before this answer (24 refresh answers).
    EXPECT_EQ(out[0].data[57 + 22 * 18], 192);
    EXPECT_EQ(out[0].data[57 + 22 * 18 + 20], 24);
}

TEST_F(NbnsNames, RefreshKeepsOtherStationsNames)
{
    Deliver(Refresh(20, "PEER", 0x20, 0, Ip("192.0.2.1")), "192.0.2.1", 137);
    std::vector<Sent> out = TakeSent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].data, Answer(20, 0xAD, 0x80, "PEER", 0x20, 900, 0, "192.0.2.1"));
    const int index = find_name("PEER", 0x20, false);
    ASSERT_GE(index, 0);
    EXPECT_EQ(State().names[static_cast<std::size_t>(index)].ttl, 86400);

    Deliver(Query(21, "PEER", 0x20, false));
    out = TakeSent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].data, Answer(21, 0x85, 0x00, "PEER", 0x20, 0, 0, "192.0.2.1"));
    Deliver(Query(22, "PEER", 0x20, true));
    EXPECT_TRUE(TakeSent().empty());

    struct Row {
        const char* name;
        std::uint8_t type;
        std::uint32_t ttl;
        std::uint8_t nbFlags;
        bool answered;
        std::uint32_t answeredTtl;
        std::int32_t recordTtl;  // 0: no record made
    } const rows[] = {
        {"SHORT", 0x20, 100, 0, true, 100, 100},
        {"LONG", 0x20, 200000, 0, true, 900, 86400},
        {"KORVEX_12345", 0x20, 300, 0, false, 0, 0},  // a self name
        {"GROUPED", 0x20, 300, 0x80, true, 300, 0},
        {"MASTER", 0x1D, 300, 0, true, 300, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const int before = ValidRecords();
        Deliver(Refresh(30, row.name, row.type, row.ttl, Ip("192.0.2.9"), row.nbFlags));
        out = TakeSent();
        ASSERT_EQ(out.size(), row.answered ? 1u : 0u);
        if (row.answered) {
            EXPECT_EQ(out[0].data, Answer(30, 0xAD, 0x80, row.name, row.type, row.answeredTtl, row.nbFlags, "192.0.2.9"));
        }
        if (row.recordTtl == 0) {
            EXPECT_EQ(ValidRecords(), before);
        } else {
            const int i = find_name(row.name, row.type, false);
            ASSERT_GE(i, 0);
            EXPECT_EQ(State().names[static_cast<std::size_t>(i)].ttl, row.recordTtl);
        }
    }
}

TEST_F(NbnsNames, ReleaseOnlyByTheRegisteringAddress)
{
    Deliver(Refresh(40, "PEER", 0x20, 0, Ip("192.0.2.1")));
    TakeSent();
    auto release = [](std::uint16_t id, const char* name, const char* address) {
        return Request(id, 0x30, 0x00, name, 0x20, 0x20, true, 0, 0, Ip(address));
    };
    struct Row {
        const char* name;
        const char* address;
        std::uint8_t rcode;
    } const rows[] = {
        {"PEER", "192.0.2.7", 0x05}, {"KORVEX_12345", "192.0.2.50", 0x05}, {"PEER", "192.0.2.1", 0x00},
        {"PEER", "192.0.2.1", 0x05},  // already gone
    };
    std::uint16_t id = 41;
    for (const Row& row : rows) {
        Deliver(release(id, row.name, row.address));
        const std::vector<Sent> out = TakeSent();
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].data, Answer(id, 0xB4, row.rcode, row.name, 0x20, 0, 0, row.address));
        ++id;
    }
    EXPECT_GE(find_name("KORVEX_12345", 0x20, false), 0);
    EXPECT_EQ(find_name("PEER", 0x20, false), -1);
}

TEST_F(NbnsNames, OwnNameIsDefended)
{
    auto registration = [](const char* name, std::uint8_t type, const char* address) {
        return Request(50, 0x29, 0x10, name, type, 0x20, true, 300000, 0x60, Ip(address));
    };
    Deliver(registration("KORVEX_12345", 0x20, "192.0.2.1"), "192.0.2.1", 50001);
    std::vector<Sent> out = TakeSent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].address, Ip("192.0.2.1"));
    EXPECT_EQ(out[0].port, 50001);
    EXPECT_EQ(out[0].data, Answer(50, 0xAD, 0x86, "KORVEX_12345", 0x20, 0, 0x60, "192.0.2.50"));

    Deliver(registration("KORVEX_12345", 0x20, "192.0.2.50"));  // our own broadcast
    Deliver(registration("KORVEX_12345", 0x1B, "192.0.2.1"));
    Deliver(registration("SOMEONE", 0x20, "192.0.2.1"));
    EXPECT_TRUE(TakeSent().empty());
    EXPECT_EQ(ValidRecords(), 6);
}

TEST_F(NbnsNames, NegativeRegistrationResponseIsAConflict)
{
    struct Row {
        std::uint8_t byte2, byte3;
        bool conflict;
    } const rows[] = {{0xAD, 0x86, true}, {0xAD, 0x87, false}, {0xAD, 0x80, false}, {0xAC, 0x86, false},
                      {0xB5, 0x86, false}, {0xAD, 0x96, false}};
    for (const Row& row : rows) {
        State().conflict = false;
        Bytes response = Answer(374, row.byte2, row.byte3, "KORVEX_12345", 0x20, 0, 0, "192.0.2.1");
        response.resize(4);  // the header's first bytes decide
        Deliver(response);
        EXPECT_EQ(State().conflict.load(), row.conflict) << std::hex << int(row.byte2) << " " << int(row.byte3);
    }
    EXPECT_TRUE(TakeSent().empty());
}

TEST_F(NbnsNames, TableStopsAt512Records)
{
    for (int i = 0; i < 506; ++i) Deliver(Refresh(1, "N" + std::to_string(i), 0x20, 0, Ip("192.0.2.1")));
    ASSERT_EQ(State().names.size(), MaxNameRecords);
    TakeSent();
    testing::internal::CaptureStdout();
    Deliver(Refresh(2, "ONEMORE", 0x20, 0, Ip("192.0.2.1")));
    Deliver(Query(3, "LOOKUP", 0x20, false));
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(log, "Can't malloc more names space!\nCan't malloc more names space!\n");
    // The refresh is not answered, the query is.
    const std::vector<Sent> out = TakeSent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].data[2], 0x85);
    EXPECT_EQ(State().names.size(), MaxNameRecords);
}

TEST_F(NbnsNames, MalformedRequestsAreDropped)
{
    const Bytes query = Query(60, "OTHER", 0x20, false);
    const Bytes refresh = Refresh(61, "PEER", 0x20, 0, Ip("192.0.2.1"));
    Bytes pointerQuestion{0, 62, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0, 0xC0, 0x0C, 0x00, 0x20, 0x00, 0x01};
    Bytes outsideAP = query;
    outsideAP[20] = 'Z';
    Bytes shortData = refresh;
    shortData[61] = 4;
    shortData.resize(shortData.size() - 2);
    Bytes phantomAnswers = refresh;
    phantomAnswers[7] = 3;  // ancount 3, none there
    Bytes hugeCounts = query;
    hugeCounts[4] = 0xFF;
    Bytes scopedPastEnd = query;
    scopedPastEnd[45] = 40;  // a scope label running past the end
    struct Row {
        const char* what;
        Bytes datagram;
    } const rows[] = {
        {"query cut inside the name", Bytes(query.begin(), query.begin() + 30)},
        {"query without type and class", Bytes(query.begin(), query.begin() + 46)},
        {"header only", Bytes(query.begin(), query.begin() + 12)},
        {"eleven bytes", Bytes(query.begin(), query.begin() + 11)},
        {"question given as a pointer", pointerQuestion},
        {"character outside A..P", outsideAP},
        {"refresh without its address", Bytes(refresh.begin(), refresh.end() - 1)},
        {"refresh with 4 data bytes", shortData},
        {"refresh with phantom answers", phantomAnswers},
        {"qdcount 65280", hugeCounts},
        {"scope past the end", scopedPastEnd},
    };
    const std::vector<NameRecord> before = State().names;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Deliver(row.datagram);
        EXPECT_TRUE(TakeSent().empty());
        ASSERT_EQ(State().names.size(), before.size());
        for (std::size_t i = 0; i < before.size(); ++i) {
            EXPECT_EQ(State().names[i].valid, before[i].valid);
            EXPECT_STREQ(State().names[i].name, before[i].name);
        }
    }
}

}  // namespace
}  // namespace Korvex::nbns::test
