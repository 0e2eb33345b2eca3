// Back-pressure from a device that does not keep up, and service requests and status-byte
// changes from another thread while the host polls and queries (run under TSan too).
#include <atomic>
#include <thread>

#include "UsbtmcFixture.h"

namespace usbtmctest {
namespace {

// The device's event thread is stuck in a message callback; the host keeps writing. Bulk-OUT
// is NAKed once nothing can take the bytes, and every message arrives, in order, once the
// device goes on.
TEST_F(UsbtmcTest, BlockedDeviceNaksBulkOutAndLosesNothing)
{
    Latch gate;
    device->messageHook = [&] { gate.Wait(); };
    const int kMessages = 8;
    int sent = 0;
    bool naked = false;
    usb.set_timeout_ms(200);
    while (sent < kMessages) {
        const Result result = host.Send(UsbtmcHost::Message(static_cast<std::uint8_t>(sent + 1),
                                                            "M" + std::to_string(sent)));
        if (result == Result::Timeout) {
            naked = true;
            break;
        }
        ASSERT_EQ(result, Result::Ok);
        ++sent;
    }
    EXPECT_TRUE(naked);
    EXPECT_LT(sent, kMessages);
    gate.Open();
    usb.set_timeout_ms(kTimeoutMs);
    // The NAKed message went nowhere: it is sent again, then the rest.
    for (; sent < kMessages; ++sent) {
        ASSERT_EQ(host.Send(UsbtmcHost::Message(static_cast<std::uint8_t>(sent + 1),
                                                "M" + std::to_string(sent))),
                  Result::Ok);
    }
    ASSERT_TRUE(device->WaitCount('M', kMessages, 10000));
    std::vector<std::string> texts;
    for (const auto& callback : device->Callbacks()) {
        if (callback.kind == 'M') {
            texts.push_back(callback.text);
        }
    }
    ASSERT_EQ(texts.size(), static_cast<std::size_t>(kMessages));
    for (int i = 0; i < kMessages; ++i) {
        EXPECT_EQ(texts[static_cast<std::size_t>(i)], "M" + std::to_string(i));
    }
    EXPECT_EQ(host.Query("AFTER?"), Answer("AFTER?"));
    device->Close();  // before the gate its hook waits on goes
}

// Reads notifications until the one answering tag (service-request notifications may come
// in between); false on a time-out.
bool AwaitPollAnswer(UsbtmcHost& host, std::uint8_t tag)
{
    for (int i = 0; i < 10; ++i) {
        const Bytes notification = host.Notification();
        if (notification.size() != 2) {
            return false;
        }
        if (notification[0] == (0x80 | tag)) {
            return true;
        }
        if (notification[0] != 0x81) {
            return false;
        }
    }
    return false;
}

TEST_F(UsbtmcTest, ServiceRequestsFromAnotherThreadDuringPollsAndQueries)
{
    std::atomic<bool> stop{false};
    std::thread application([&] {
        std::uint8_t stb = 0;
        while (!stop.load()) {
            device->SetStatusByte(stb++ & 0x3F);
            device->RequestService();
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 60; ++i) {
        const auto tag = static_cast<std::uint8_t>(2 + i % 100);
        ASSERT_EQ(host.ReadStatusByte(tag), (Bytes{0x01, tag, 0})) << i;
        ASSERT_TRUE(AwaitPollAnswer(host, tag)) << i;
        const std::string query = "Q" + std::to_string(i) + "?";
        ASSERT_EQ(host.Query(query), Answer(query)) << i;
    }
    stop = true;
    application.join();
}

} // namespace
} // namespace usbtmctest
