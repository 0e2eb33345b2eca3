// The USB host's socket with no device on the bus: the frame format of INFO, the refusals
// (a connection that sends a frame of a bad size is closed after the reply, other bad
// requests keep it), and no device for transfers.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/soc/UsbdModel.h"
#include "sim/usb_host/UsbHostServer.h"

namespace {

using Server = sim::UsbHostServer;
using Bytes = std::vector<std::uint8_t>;

void Put32(Bytes& b, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::uint32_t Get32(const Bytes& b, std::size_t at)
{
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

// A request frame; n: the length field (default: the real one).
Bytes Frame(std::uint8_t op, std::uint8_t endpoint, std::uint32_t inLength, const Bytes& setup,
            const Bytes& payload, long n = -1)
{
    Bytes body = {op, endpoint, 0, 0};
    Put32(body, 100);
    Put32(body, inLength);
    Bytes s = setup;
    s.resize(8);
    body.insert(body.end(), s.begin(), s.end());
    body.insert(body.end(), payload.begin(), payload.end());
    Bytes frame;
    Put32(frame, n < 0 ? static_cast<std::uint32_t>(body.size()) : static_cast<std::uint32_t>(n));
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

class UsbHostServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::soc::usbd().power_on();
        char folder[] = "/tmp/korvex-usbsock-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        dir = folder;
        ASSERT_TRUE(server.Listen(dir + "/usb.sock"));
    }
    void TearDown() override
    {
        if (fd >= 0) ::close(fd);
        server.Close();
        ::rmdir(dir.c_str());
    }

    void Connect()
    {
        if (fd >= 0) ::close(fd);
        fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        server.SocketPath().copy(a.sun_path, server.SocketPath().size());
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }

    // Sends a frame; the reply's status and data (status 1: no reply, the socket closed).
    std::int32_t Ask(const Bytes& frame, Bytes* data = nullptr)
    {
        if (::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size()))
            return 1;
        Bytes head(4);
        if (!Read(head)) return 1;
        Bytes reply(Get32(head, 0));
        if (reply.size() < 4 || !Read(reply)) return 1;
        if (data != nullptr) data->assign(reply.begin() + 4, reply.end());
        return static_cast<std::int32_t>(Get32(reply, 0));
    }

    bool Read(Bytes& into)
    {
        std::size_t got = 0;
        while (got < into.size()) {
            const ssize_t n = ::recv(fd, into.data() + got, into.size() - got, 0);
            if (n <= 0) return false;
            got += static_cast<std::size_t>(n);
        }
        return true;
    }

    bool Closed()
    {
        char byte;
        return ::recv(fd, &byte, 1, 0) <= 0;  // a reset when the frame's rest went unread
    }

    Server server;
    std::string dir;
    int fd = -1;
};

TEST_F(UsbHostServer, InfoWithoutADevice)
{
    Connect();
    Bytes data;
    ASSERT_EQ(Ask(Frame(Server::OpInfo, 0, 0, {}, {}), &data), Server::kOk);
    EXPECT_EQ(data, (Bytes{0, 0, 0, 2, 1, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(server.Attached());
}

TEST_F(UsbHostServer, Refusals)
{
    struct Row {
        const char* what;
        Bytes frame;
        std::int32_t status;
        bool closes;
    };
    const Row rows[] = {
        {"unknown op", Frame(9, 0, 0, {}, {}), Server::kBadRequest, false},
        {"bulk OUT to an IN endpoint", Frame(Server::OpBulkOut, 0x81, 0, {}, {1}), Server::kBadRequest, false},
        {"bulk IN from endpoint 0", Frame(Server::OpBulkIn, 0x80, 64, {}, {}), Server::kBadRequest, false},
        {"control OUT, payload not wLength", Frame(Server::OpControl, 0, 0, {0x21, 1, 0, 0, 0, 0, 3, 0}, {1}),
         Server::kBadRequest, false},
        {"control IN, in_len not wLength", Frame(Server::OpControl, 0, 4, {0x80, 6, 0, 1, 0, 0, 18, 0}, {}),
         Server::kBadRequest, false},
        {"a transfer without a device", Frame(Server::OpBulkIn, 0x81, 64, {}, {}), Server::kNoDevice, false},
        {"a reset without a device", Frame(Server::OpReset, 0, 0, {}, {}), Server::kNoDevice, false},
        {"in_len over 2 MiB", Frame(Server::OpBulkIn, 0x81, Server::kMaxData + 1, {}, {}), Server::kBadRequest,
         true},
        {"n below the header", Frame(Server::OpInfo, 0, 0, {}, {}, 19), Server::kBadRequest, true},
        {"n over 2 MiB + 20", Frame(Server::OpInfo, 0, 0, {}, {}, Server::kMaxData + 21), Server::kBadRequest,
         true},
    };
    for (const Row& row : rows) {
        Connect();
        EXPECT_EQ(Ask(row.frame), row.status) << row.what;
        if (row.closes) {
            EXPECT_TRUE(Closed()) << row.what;
        } else {
            EXPECT_EQ(Ask(Frame(Server::OpInfo, 0, 0, {}, {})), Server::kOk) << row.what;
        }
    }
}

}  // namespace
