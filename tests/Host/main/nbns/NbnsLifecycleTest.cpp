// The service thread started and stopped for real (board clock sped up): start results,
// stop on a running or failed service, descriptors, the communication subscriber and the
// signal handlers.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <mutex>
#include <string>

#include "Host/main/CommunicationModules.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/ParameterNode.h"
#include "NbnsFixture.h"
#include "support/FactoryTree.h"

namespace Korvex::nbns::test {
namespace {

class NbnsLifecycle : public ::testing::Test {
protected:
    void SetUp() override
    {
        previousTick = kernel::tick_ms();
        kernel::set_tick_ms(0.1);
        nbns_set_send_hook([this](int, const std::uint8_t* data, std::size_t length, std::uint32_t address,
                                  std::uint16_t port) {
            std::lock_guard<std::mutex> hold(mutex);
            sent.push_back({0, Bytes(data, data + length), address, port});
            if (onSend) onSend(sent.back());
            return true;
        });
        nbns_set_interface_reader([] { return NbnsInterface{true, Ip("192.0.2.50"), true, Ip("255.255.255.0")}; });
        nbns_set_ports(0, 0);
    }

    void TearDown() override
    {
        if (nbns_thread_exists()) nbns_stop();
        nbns_set_send_hook(nullptr);
        nbns_set_interface_reader(nullptr);
        nbns_set_ports(137, 138);
        kernel::set_tick_ms(previousTick);
    }

    std::vector<Sent> Sends()
    {
        std::lock_guard<std::mutex> hold(mutex);
        return sent;
    }

    // Opcode byte (byte 2) of every 68-byte request sent, in order.
    std::string Requests()
    {
        std::string out;
        for (const Sent& s : Sends())
            if (s.data.size() == 68) out += s.data[2] == 0x29 ? 'R' : s.data[2] == 0x30 ? 'X' : '?';
        return out;
    }

    static std::uint8_t Start() { return nbns_start("Korvex_12345", "WORKGRP", "Vantrell Korvex"); }

    double previousTick = 10.0;
    std::mutex mutex;
    std::vector<Sent> sent;
    std::function<void(const Sent&)> onSend;
};

TEST_F(NbnsLifecycle, TwentyStartStopCycles)
{
    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(Start(), 0);
        EXPECT_TRUE(nbns_thread_exists());
        EXPECT_EQ(nbns_stop(), 0);
        EXPECT_FALSE(nbns_thread_exists());
        EXPECT_EQ(State().nameSocket.load(), -1);
        EXPECT_EQ(State().datagramSocket.load(), -1);
        // The release closes each run, with its own counter from 374.
        const std::vector<Sent> out = Sends();
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(out.back().data[2], 0x30);
        EXPECT_EQ(out.back().data[0] << 8 | out.back().data[1], 374);
        EXPECT_EQ(out.back().address, Ip("192.0.2.255"));
    }
}

// Shutting the sockets down wakes the loop's 10-s wait: the stop takes about one poll.
TEST_F(NbnsLifecycle, StopDoesNotWaitForTheLoopTimeOut)
{
    kernel::set_tick_ms(2.0);
    ASSERT_EQ(Start(), 0);
    const kernel::tick_t begin = kernel::current_time();
    EXPECT_EQ(nbns_stop(), 0);
    EXPECT_LT(kernel::current_time() - begin, 1000u);
}

TEST_F(NbnsLifecycle, HeldPortGivesTwoThenEleven)
{
    const int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    socklen_t length = sizeof at;
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&at), &length);
    nbns_set_ports(ntohs(at.sin_port), 0);
    EXPECT_EQ(Start(), 2);
    EXPECT_EQ(nbns_stop(), 11);
    EXPECT_FALSE(nbns_thread_exists());
    EXPECT_TRUE(Sends().empty());
    ::close(holder);
}

TEST_F(NbnsLifecycle, DescriptorZeroIsNeverShutDown)
{
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const int savedStdin = ::dup(0);
    ASSERT_EQ(::dup2(pair[0], 0), 0);
    ASSERT_EQ(Start(), 0);
    EXPECT_EQ(nbns_stop(), 0);
    EXPECT_EQ(nbns_stop(), 11);  // nothing open any more
    ASSERT_EQ(::write(pair[1], "x", 1), 1);
    char c = 0;
    EXPECT_EQ(::read(0, &c, 1), 1);
    EXPECT_EQ(c, 'x');
    ::dup2(savedStdin, 0);
    ::close(savedStdin);
    ::close(pair[0]);
    ::close(pair[1]);
}

// After a start met a refusal of the name, the next change stops that thread (its release
// goes out) before the new one registers.
TEST_F(NbnsLifecycle, RefusedStartIsStoppedBeforeTheNextStart)
{
    kernel::set_tick_ms(2.0);  // the refusal has to arrive within the start's 500 ticks
    CParameterNode* root = korvex_test::LoadFactoryTree();
    ASSERT_NE(root, nullptr);
    onSend = [](const Sent& s) {
        if (s.data.size() != 68 || s.data[2] != 0x29 || s.data[1] != 0x76) return;
        Bytes refusal = s.data;
        refusal[2] = 0xAD;
        refusal[3] = 0x86;
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(bound_port(true));
        ::sendto(fd, refusal.data(), refusal.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        ::close(fd);
    };
    CParameterNode::SetValue(g_pNbnsEnabled, true);
    CParameterNode::SetValue(g_pEthernetActive, true);
    KorvexUpdateNbns(g_pEthernetDomain, 0, nullptr);
    kernel::thread_delay(600);  // past the start's settle
    {
        CRecursiveLock tree(ParameterTreeLock());
        EXPECT_FALSE(CParameterNode::GetBooleanAttribute(g_pNbnsActive, eAttrValue));
    }
    EXPECT_TRUE(nbns_thread_exists());
    const std::string first = Requests();
    EXPECT_EQ(first.find('X'), std::string::npos);
    {
        std::lock_guard<std::mutex> hold(mutex);
        onSend = nullptr;
    }
    CParameterNode::SetStringAttribute(g_pEthernetId, eAttrValue, "LAB2");
    KorvexUpdateNbns(g_pEthernetId, 0, nullptr);
    // Set once the start has settled, 500 ticks on, without a refusal.
    const kernel::tick_t begin = kernel::current_time();
    while (kernel::current_time() - begin < 2000) {
        {
            CRecursiveLock tree(ParameterTreeLock());
            if (CParameterNode::GetBooleanAttribute(g_pNbnsActive, eAttrValue)) break;
        }
        kernel::thread_delay(1);
    }
    const std::string all = Requests();
    ASSERT_GT(all.size(), first.size());
    EXPECT_EQ(all[first.size()], 'X');
    EXPECT_EQ(all.substr(first.size() + 1, 1), "R");
    {
        CRecursiveLock tree(ParameterTreeLock());
        EXPECT_TRUE(CParameterNode::GetBooleanAttribute(g_pNbnsActive, eAttrValue));
        EXPECT_GE(kernel::current_time() - begin, 450u);
    }
    CParameterNode::SetValue(g_pEthernetActive, false);
    KorvexUpdateNbns(g_pNbnsEnabled, 0, nullptr);
    EXPECT_FALSE(nbns_thread_exists());
    korvex_test::UnloadFactoryTree(root);
}

TEST_F(NbnsLifecycle, SignalHandlersOnlyWriteTheirText)
{
    ASSERT_EQ(Start(), 0);
    testing::internal::CaptureStdout();
    std::raise(SIGHUP);
    std::raise(SIGHUP);  // installed again by the first
    std::raise(SIGPIPE);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Got SIGHUP - not implemented\nGot SIGHUP - not implemented\nGot SIGPIPE\n");
    // A standard output whose reader is gone: one SIGPIPE does not raise the next for ever.
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    ::close(pipeEnds[0]);
    const int savedStdout = ::dup(1);
    ::dup2(pipeEnds[1], 1);
    std::raise(SIGPIPE);
    std::raise(SIGHUP);
    ::dup2(savedStdout, 1);
    ::close(savedStdout);
    ::close(pipeEnds[1]);
    EXPECT_EQ(nbns_stop(), 0);
}

}  // namespace
}  // namespace Korvex::nbns::test
