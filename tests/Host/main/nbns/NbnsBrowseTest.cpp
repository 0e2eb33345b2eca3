// The browse pass: the master-browser search, host announcements and the table growing
// while a query waits.
#include <gtest/gtest.h>

#include <string>

#include "Host/main/nbns/NbnsBrowse.h"
#include "NbnsFixture.h"

namespace Korvex::nbns::test {
namespace {

class NbnsBrowse : public NbnsFixture {
protected:
    // Answers the service's broadcast queries for name<type> sent to `to` as the master at
    // `master`; before the answer, `before` is sent to the service.
    void AnswerQueries(const std::string& name, std::uint8_t type, const char* to, const char* master,
                       std::vector<Bytes> before = {})
    {
        onSend = [=](const Sent& s) {
            if (s.port != 137 || s.data.size() != 50 || s.data[2] != 0x01 || s.address != Ip(to)) return;
            if (Bytes(s.data.begin() + 12, s.data.begin() + 46) != Encoded(name, type)) return;
            for (const Bytes& b : before) Inject(b);
            Bytes answer{s.data[0], s.data[1], 0x85, 0x00, 0, 0, 0, 1, 0, 0, 0, 0};
            answer.insert(answer.end(), s.data.begin() + 12, s.data.begin() + 46);
            answer.insert(answer.end(), {0x00, 0x20, 0x00, 0x01, 0, 0, 0, 0, 0x00, 0x06, 0x00, 0x00});
            AppendAddress(answer, Ip(master));
            Inject(answer);
        };
    }

    std::vector<Sent> Announcements()
    {
        std::vector<Sent> out;
        for (const Sent& s : sent)
            if (s.port == 138) out.push_back(s);
        return out;
    }
};

// The announcement as a browser expects it, built here field by field.
Bytes ExpectedAnnouncement(std::uint16_t id, const std::string& comment)
{
    Bytes data{1, 6, 0x60, 0xEA, 0x02, 0x00};
    const std::string server = "KORVEX_12345";
    data.insert(data.end(), server.begin(), server.end());
    data.resize(22, 0);
    data.insert(data.end(), {1, 0x33, 0x03, 0x0B, 0x00, 0x00, 0x0B, 0x03, 0x55, 0xAA});
    data.insert(data.end(), comment.begin(), comment.end());
    data.push_back(0);

    Bytes b{0x11, 0x02};
    Append16(b, id);
    AppendAddress(b, Ip("192.0.2.50"));
    Append16(b, 138);
    Append16(b, static_cast<unsigned>(168 + data.size() - 14));
    Append16(b, 0);
    const Bytes source = Encoded("KORVEX_12345", 0x00);
    const Bytes group = Encoded("WORKGRP", 0x1D);
    b.insert(b.end(), source.begin(), source.end());
    b.insert(b.end(), group.begin(), group.end());
    Bytes smb(32, 0);
    smb[0] = 0xFF;
    smb[1] = 'S';
    smb[2] = 'M';
    smb[3] = 'B';
    smb[4] = 0x25;
    b.insert(b.end(), smb.begin(), smb.end());
    b.push_back(17);
    const unsigned n = static_cast<unsigned>(data.size());
    const unsigned words[17] = {0, n, 0, 0, 0, 0, 0, 0, 0, 0, 0, n, 86, 3, 1, 1, 2};
    for (unsigned w : words) b.insert(b.end(), {static_cast<std::uint8_t>(w), static_cast<std::uint8_t>(w >> 8)});
    b.insert(b.end(), {static_cast<std::uint8_t>(n + 17), 0});
    const char mailslot[] = "\\MAILSLOT\\BROWSE";
    b.insert(b.end(), mailslot, mailslot + sizeof mailslot);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

TEST_F(NbnsBrowse, MasterGetsAnAnnouncementEverySecondPass)
{
    AnswerQueries("WORKGRP", 0x1D, "192.0.2.255", "192.0.2.1");
    do_browse_hook();
    EXPECT_TRUE(State().names[0].found_master);
    EXPECT_EQ(State().names[0].master_address, Ip("192.0.2.1"));
    std::vector<Sent> announced = Announcements();
    ASSERT_EQ(announced.size(), 1u);
    EXPECT_EQ(announced[0].address, Ip("192.0.2.255"));
    EXPECT_EQ(announced[0].data.size(), 216u);
    EXPECT_EQ(announced[0].data, ExpectedAnnouncement(1, "Vantrell Korvex"));

    // Later passes query the master itself.
    AnswerQueries("WORKGRP", 0x1D, "192.0.2.1", "192.0.2.1");
    for (int pass = 2; pass <= 5; ++pass) {
        sent.clear();
        clock.now += 10'000;
        do_browse_hook();
        EXPECT_EQ(Announcements().size(), pass % 2 == 0 ? 1u : 0u) << "pass " << pass;
        if (pass == 2) {
            EXPECT_EQ(Announcements()[0].data, ExpectedAnnouncement(2, "Vantrell Korvex"));
        }
    }
}

TEST_F(NbnsBrowse, LongCommentIsCutTo47Characters)
{
    const std::string sixty(60, 'c');
    std::strcpy(State().comment, sixty.c_str());
    AnswerQueries("WORKGRP", 0x1D, "192.0.2.255", "192.0.2.1");
    do_browse_hook();
    const std::vector<Sent> announced = Announcements();
    ASSERT_EQ(announced.size(), 1u);
    EXPECT_EQ(announced[0].data, ExpectedAnnouncement(1, sixty.substr(0, 47)));
    EXPECT_EQ(std::strlen(State().comment), 47u);
}

TEST_F(NbnsBrowse, SilentMasterIsSearchedAgainInTheSamePass)
{
    State().names[0].found_master = true;
    State().names[0].master_address = Ip("192.0.2.77");
    AnswerQueries("WORKGRP", 0x1D, "192.0.2.255", "192.0.2.1");
    do_browse_hook();
    std::vector<std::uint32_t> queried;
    for (const Sent& s : sent)
        if (s.port == 137) queried.push_back(s.address);
    ASSERT_GE(queried.size(), 4u);
    EXPECT_EQ(queried[0], Ip("192.0.2.77"));
    EXPECT_EQ(queried[2], Ip("192.0.2.77"));
    EXPECT_EQ(queried[3], Ip("192.0.2.255"));
    EXPECT_TRUE(State().names[0].found_master);
    EXPECT_EQ(State().names[0].master_address, Ip("192.0.2.1"));
}

TEST_F(NbnsBrowse, TableGrowingDuringAWaitKeepsTheGroupRecord)
{
    std::vector<Bytes> refreshes;
    for (int i = 0; i < 40; ++i) refreshes.push_back(Refresh(static_cast<std::uint16_t>(i), "PEER" + std::to_string(i), 0x20, 0, Ip("192.0.2.9")));
    AnswerQueries("WORKGRP", 0x1D, "192.0.2.255", "192.0.2.1", refreshes);
    const std::size_t capacity = State().names.capacity();
    do_browse_hook();
    EXPECT_GT(State().names.capacity(), capacity);
    EXPECT_EQ(State().names.size(), 46u);
    EXPECT_TRUE(State().names[0].found_master);
    EXPECT_EQ(State().names[0].master_address, Ip("192.0.2.1"));
    EXPECT_EQ(Announcements().size(), 1u);
}

TEST_F(NbnsBrowse, StarGroupLearnsItsNameFromTheMastersStatus)
{
    std::strcpy(State().names[0].name, "*");
    AnswerQueries("\x01\x02__MSBROWSE__\x02", 0x01, "192.0.2.255", "192.0.2.1");
    auto browseAnswer = onSend;
    onSend = [=](const Sent& s) {
        browseAnswer(s);
        if (s.port != 137 || s.data.size() != 50 || s.data[2] != 0x00 || s.address != Ip("192.0.2.1")) return;
        Bytes status{s.data[0], s.data[1], 0x84, 0x00, 0, 0, 0, 1, 0, 0, 0, 0};
        status.insert(status.end(), s.data.begin() + 12, s.data.begin() + 46);
        status.insert(status.end(), {0x00, 0x21, 0x00, 0x01, 0, 0, 0, 0, 0, 1 + 2 * 18 + 46, 2});
        for (const auto& [name, type] : {std::pair<std::string, int>{"MASTER", 0x20}, {"LABGROUP", 0x1D}}) {
            Bytes entry(name.begin(), name.end());
            entry.resize(15, ' ');
            entry.push_back(static_cast<std::uint8_t>(type));
            entry.insert(entry.end(), {0x04, 0x00});
            status.insert(status.end(), entry.begin(), entry.end());
        }
        status.resize(status.size() + 46, 0);
        Inject(status);
    };
    do_browse_hook();
    EXPECT_STREQ(State().names[0].name, "LABGROUP");
    EXPECT_TRUE(State().names[0].found_master);

    // A status answer whose names run past its data is refused.
    Bytes bad{0, 1, 0x84, 0, 0, 0, 0, 1, 0, 0, 0, 0};
    const Bytes name = Encoded("X", 0x01);
    bad.insert(bad.end(), name.begin(), name.end());
    bad.insert(bad.end(), {0x00, 0x21, 0x00, 0x01, 0, 0, 0, 0, 0, 47, 200});
    bad.resize(bad.size() + 47, 0);
    char group[RecordNameSize] = "unchanged";
    EXPECT_EQ(read_status_answer(bad.data(), bad.size(), 1, group), Awaited::Refused);
    EXPECT_STREQ(group, "unchanged");
}

}  // namespace
}  // namespace Korvex::nbns::test
