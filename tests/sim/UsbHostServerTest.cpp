// The USB host's socket with no device on the bus: the frame format of INFO, the refusals
// (a connection that sends a frame of a bad size is closed after the reply, other bad
// requests keep it), and no device for transfers.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/soc/UsbdModel.h"
#include "sim/UsbHostSocket.h"
#include "sim/usb_host/UsbHostServer.h"

namespace {

using Server = sim::UsbHostServer;
using usbsocket::Bytes;
using usbsocket::Frame;

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
        client.Close();
        server.Close();
        ::rmdir(dir.c_str());
    }

    void Connect() { ASSERT_TRUE(client.Connect(server.SocketPath())); }
    std::int32_t Ask(const Bytes& frame, Bytes* data = nullptr) { return client.Ask(frame, data); }
    bool Closed() { return client.Closed(); }

    Server server;
    std::string dir;
    usbsocket::Client client;
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
        {"unknown op", Frame(10, 0, 0, {}, {}), Server::kBadRequest, false},
        {"bulk OUT to an IN endpoint", Frame(Server::OpBulkOut, 0x81, 0, {}, {1}), Server::kBadRequest, false},
        {"bulk IN from endpoint 0", Frame(Server::OpBulkIn, 0x80, 64, {}, {}), Server::kBadRequest, false},
        {"control OUT, payload not wLength", Frame(Server::OpControl, 0, 0, {0x21, 1, 0, 0, 0, 0, 3, 0}, {1}),
         Server::kBadRequest, false},
        {"control IN, in_len not wLength", Frame(Server::OpControl, 0, 4, {0x80, 6, 0, 1, 0, 0, 18, 0}, {}),
         Server::kBadRequest, false},
        {"a transfer without a device", Frame(Server::OpBulkIn, 0x81, 64, {}, {}), Server::kNoDevice, false},
        {"a reset without a device", Frame(Server::OpReset, 0, 0, {}, {}), Server::kNoDevice, false},
        {"a claim without a device", Frame(Server::OpClaim, 0, 0, {}, {}), Server::kNoDevice, false},
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
