// The service's main loop driven pass by pass: registrations, refreshes, the pass count, the
// datagram socket before the third pass, and the start-up texts.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <string>

#include "NbnsFixture.h"

namespace Korvex::nbns::test {
namespace {

using NbnsService = NbnsFixture;

TEST_F(NbnsService, ThreeRegistrationsThenRefreshes)
{
    std::vector<std::int64_t> times;
    onSend = [&](const Sent& s) {
        if (s.port == 137 && s.data.size() == 68) times.push_back(clock.now);
    };
    std::uint8_t buffer[MaxDatagram] = {};
    while (times.size() < 4 && clock.now < 1'700'000'000'000 + 700'000) main_loop_pass(buffer);
    std::vector<Sent> out = TakeSent();
    std::vector<Sent> requests;
    for (const Sent& s : out)
        if (s.data.size() == 68) requests.push_back(s);
    ASSERT_EQ(requests.size(), 4u);
    const std::uint8_t byte2[] = {0x29, 0x29, 0x29, 0x48};  // registration x3, then refresh
    for (std::size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(requests[i].address, Ip("192.0.2.255"));
        EXPECT_EQ(requests[i].port, 137);
        EXPECT_EQ(requests[i].data[0] << 8 | requests[i].data[1], 374 + static_cast<int>(i));
        EXPECT_EQ(requests[i].data[2], byte2[i]);
    }
    EXPECT_EQ(times[1] - times[0], 10'250);
    EXPECT_EQ(times[2] - times[1], 10'250);
    EXPECT_GE(times[3] - times[2], 600'000);
    EXPECT_LT(times[3] - times[2], 620'000);
    // The browse pass follows the third registration: three broadcast queries for WORKGRP<1D>,
    // 250 ms apart.
    std::size_t third = 0;
    while (out[third].data.size() != 68 || out[third].data[1] != 0x78) ++third;
    ASSERT_GT(out.size(), third + 3);
    for (std::size_t i = third + 1; i <= third + 3; ++i) {
        EXPECT_EQ(out[i].data.size(), 50u);
        EXPECT_EQ(out[i].data[3], 0x10);
        EXPECT_EQ(out[i].address, Ip("192.0.2.255"));
        EXPECT_EQ(Bytes(out[i].data.begin() + 12, out[i].data.begin() + 46), Encoded("WORKGRP", 0x1D));
    }
}

TEST_F(NbnsService, PassCountRollsOverToFive)
{
    State().regHookCount = 65534;
    State().lastRegTime = now_seconds();
    do_registration_hook();
    EXPECT_EQ(State().regHookCount, 5);
    EXPECT_TRUE(TakeSent().empty());
}

TEST_F(NbnsService, DatagramSocketIsNotReadBeforeTheThirdPass)
{
    Inject({0x11, 0x02, 0, 1}, false);
    auto queued = [] {
        int bytes = 0;
        ::ioctl(State().datagramSocket.load(), FIONREAD, &bytes);
        return bytes;
    };
    std::uint8_t buffer[MaxDatagram] = {};
    main_loop_pass(buffer);
    main_loop_pass(buffer);
    EXPECT_EQ(queued(), 4);
    main_loop_pass(buffer);
    EXPECT_EQ(queued(), 0);
}

TEST_F(NbnsService, StartUpTextsAndNames)
{
    struct Row {
        std::string host, domain, comment;
        const char* myname;
        const char* expandedComment;
    } const rows[] = {
        {"", "WORKGRP", "", "192", "Samba 1.9.14"},
        {"Lab", "", "%h runs %v", "Lab", "192 runs 1.9.14"},
        {std::string(2000, 'h'), std::string(2000, 'd'), std::string(2000, 'c'), nullptr, nullptr},
    };
    for (const Row& row : rows) {
        nbns_set_arguments(row.host.c_str(), row.domain.c_str(), row.comment.c_str());
        nbns_init_state();
        if (row.myname == nullptr) {
            EXPECT_EQ(std::strlen(State().myname), 1023u);
            EXPECT_EQ(std::strlen(State().comment), 1023u);
            EXPECT_EQ(std::strlen(State().names[0].name), 99u);
            continue;
        }
        EXPECT_STREQ(State().myname, row.myname);
        EXPECT_STREQ(State().comment, row.expandedComment);
        ASSERT_EQ(State().names.size(), 6u);
        EXPECT_TRUE(State().names[0].group);
        EXPECT_EQ(State().names[0].address, Ip("192.0.2.255"));
        EXPECT_STREQ(State().names[1].name, row.myname);
    }
}

}  // namespace
}  // namespace Korvex::nbns::test
