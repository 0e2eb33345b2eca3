// Back-pressure from a device that does not keep up, and service requests and status-byte
// changes from another thread while the host polls and queries (run under TSan too).
#include <atomic>
#include <random>
#include <thread>

#include "UsbtmcFixture.h"
#include "support/TestSeed.h"

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

// *IDN? step by step, so that a failure names the step that did not go through.
void QueryStepByStep(UsbtmcHost& host)
{
    ASSERT_EQ(host.Write("*IDN?"), Result::Ok);
    ASSERT_EQ(host.RequestIn(4096), Result::Ok);
    const UsbtmcHost::InTransfer in = host.ReadIn(4096 + 12);
    ASSERT_EQ(in.result, Result::Ok);
    ASSERT_EQ(in.data, Answer("*IDN?"));
}

// About 300 kB: "*CLS;" 60 000 times and a newline, long enough for any deadline to cut it.
std::string LongMessage()
{
    std::string text;
    for (int i = 0; i < 60000; ++i) {
        text += "*CLS;";
    }
    return text + "\n";
}

// Seeded soak (KORVEX_SOAK_SEED replays a printed seed): each round one thread writes a
// message of about 300 kB under a Bulk-OUT deadline of 1, 3, 6 or 9 s, 0-30 ms after the
// round began, while this thread resets the bus 1-30 ms after it began, so resets, writes
// cut by their deadline and complete writes come in every order. After each round the next query is answered, every
// third round after the host's INITIATE_CLEAR recovery first.
TEST_F(UsbtmcTest, ResetsAndWritesCutByTheirDeadlineLeaveTheNextQueryAnswered)
{
    std::mt19937 random(testsupport::TestSeed("KORVEX_SOAK_SEED"));
    const std::string text = LongMessage();
    static const std::uint32_t kDeadlinesMs[] = {1000, 3000, 6000, 9000};
    for (int round = 0; round < 20; ++round) {
        const std::uint32_t deadline = kDeadlinesMs[random() % 4];
        // The writer's first packet may come before or after the reset.
        const int writeDelayMs = static_cast<int>(random() % 30);
        const int delayMs = 1 + static_cast<int>(random() % 30);
        const bool clearFirst = round % 3 == 2;
        SCOPED_TRACE(testing::Message() << "round " << round << ", deadline " << deadline
                                        << " ms, write after " << writeDelayMs
                                        << " ms, reset after " << delayMs << " ms");
        const Bytes message = UsbtmcHost::Message(host.NextTag(), text);
        std::thread writer([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(writeDelayMs));
            sim::UsbHost::set_thread_timeout_ms(deadline);
            usb.bulk_out(UsbtmcHost::kBulkOut, message);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        Result reset = usb.reset_device();
        writer.join();
        for (int attempt = 0; attempt < 3 && reset != Result::Ok; ++attempt) {
            reset = usb.reset_device();
        }
        ASSERT_EQ(reset, Result::Ok);
        if (clearFirst) {
            ASSERT_EQ(host.InitiateClear(), (Bytes{0x01}));
            Bytes status;
            ASSERT_TRUE(Eventually(
                [&] {
                    status = host.CheckClear();
                    if (status == Bytes{0x02, 1}) {
                        Bytes packet;
                        usb.bulk_in(UsbtmcHost::kBulkIn, 4096 + 12, &packet);
                    }
                    return status.empty() || status[0] != 0x02;
                },
                static_cast<int>(kTimeoutMs)));
            ASSERT_EQ(status, (Bytes{0x01, 0}));
            ASSERT_EQ(usb.clear_halt(UsbtmcHost::kBulkOut), Result::Ok);
        }
        ASSERT_NO_FATAL_FAILURE(QueryStepByStep(host));
    }
}

// Seeded soak, no bus reset (KORVEX_SOAK_SEED replays it): each round a message of about
// 300 kB is written under a deadline of 5-400 ms, so the cut falls anywhere in it; sometimes a
// query follows the cut at once. The host then recovers as host libraries do after a write
// time-out: the USBTMC clear, or the abort of Bulk-OUT under the cut message's tag, each
// ended by clearing the halt. The next query is answered.
TEST_F(UsbtmcTest, AClearOrAbortAfterACutWriteLeavesTheNextQueryAnswered)
{
    std::mt19937 random(testsupport::TestSeed("KORVEX_SOAK_SEED"));
    const std::string text = LongMessage();
    for (int round = 0; round < 24; ++round) {
        const std::uint32_t deadline = 5 + random() % 400;
        const bool queryBetween = random() % 3 == 0;
        const bool clear = random() % 2 == 0;
        SCOPED_TRACE(testing::Message() << "round " << round << ", deadline " << deadline
                                        << " ms, " << (clear ? "clear" : "abort")
                                        << (queryBetween ? " after a query" : ""));
        const std::uint8_t tag = host.NextTag();
        usb.set_timeout_ms(deadline);
        usb.bulk_out(UsbtmcHost::kBulkOut, UsbtmcHost::Message(tag, text));
        usb.set_timeout_ms(kTimeoutMs);
        if (queryBetween) {
            usb.set_timeout_ms(200);
            host.Write("*IDN?");
            host.RequestIn(4096);
            host.ReadIn();
            usb.set_timeout_ms(kTimeoutMs);
        }
        Bytes status;
        if (clear) {
            ASSERT_EQ(host.InitiateClear(), (Bytes{0x01}));
            ASSERT_TRUE(Eventually([&] {
                status = host.CheckClear();
                return status.empty() || status[0] != 0x02;
            }));
            ASSERT_EQ(status, (Bytes{0x01, 0}));
        } else {
            // A message already over (or never begun) has nothing to abort.
            status = host.InitiateAbortBulkOut(tag);
            ASSERT_FALSE(status.empty());
            if (status[0] == 0x01) {
                ASSERT_TRUE(Eventually([&] {
                    status = host.CheckAbortBulkOut();
                    return status.empty() || status[0] != 0x02;
                }));
                ASSERT_FALSE(status.empty());
                ASSERT_EQ(status[0], 0x01);
            }
        }
        ASSERT_EQ(usb.clear_halt(UsbtmcHost::kBulkOut), Result::Ok);
        ASSERT_NO_FATAL_FAILURE(QueryStepByStep(host));
    }
}

// Seeded (KORVEX_SOAK_SEED replays it), no bus reset: the host's Bulk-OUT transfer of a long
// message stops after a chosen number of bytes (inside the header packet, after whole packets
// anywhere in its first 77 kB or about the end of the device's first buffer), as a write does when
// its time-out ends it; sometimes a query follows at once. Then the clear as the host does it:
// INITIATE_CLEAR, CHECK_CLEAR_STATUS until not PENDING (no Bulk-IN read), then
// CLEAR_FEATURE(ENDPOINT_HALT) on Bulk-OUT as a plain control request. The next query is
// answered whatever data toggle the cut transfer left.
TEST_F(UsbtmcTest, TheClearAfterAWriteCutAnywhereLeavesTheNextQueryAnswered)
{
    std::mt19937 random(testsupport::TestSeed("KORVEX_SOAK_SEED"));
    const std::string text = LongMessage();
    for (int round = 0; round < 16; ++round) {
        const Bytes message = UsbtmcHost::Message(host.NextTag(), text);
        std::size_t cut = 0;
        switch (round % 4) {
        case 0: cut = 1 + random() % 11; break;
        case 1: cut = 64 * (1 + random() % 1200); break;
        case 2: cut = 64 * (1 + random() % 3); break;
        default: cut = 64 * (63 + random() % 4); break;
        }
        const bool queryBetween = random() % 2 == 0;
        SCOPED_TRACE(testing::Message() << "round " << round << ", cut after " << cut
                                        << " bytes" << (queryBetween ? ", then a query" : ""));
        // The device may NAK for a while (a slow sanitizer build): no deadline cuts this one.
        usb.set_timeout_ms(60000);
        ASSERT_EQ(host.Send(Bytes(message.begin(), message.begin() + static_cast<long>(cut))),
                  Result::Ok);
        usb.set_timeout_ms(kTimeoutMs);
        if (queryBetween && cut >= 12) {
            ASSERT_NO_FATAL_FAILURE(QueryStepByStep(host));
        } else if (queryBetween) {
            // The header receive takes the query's first bytes after the short ones.
            usb.set_timeout_ms(300);
            host.Query("*IDN?");
            usb.set_timeout_ms(kTimeoutMs);
        }
        ASSERT_EQ(host.InitiateClear(), (Bytes{0x01}));
        Bytes status;
        ASSERT_TRUE(Eventually([&] {
            status = host.CheckClear();
            return status.empty() || status[0] != 0x02;
        }));
        ASSERT_EQ(status, (Bytes{0x01, 0}));
        Bytes none;
        ASSERT_EQ(usb.control(sim::UsbHost::Setup{0x02, 1, 0, UsbtmcHost::kBulkOut, 0}, &none),
                  Result::Ok);
        ASSERT_NO_FATAL_FAILURE(QueryStepByStep(host));
    }
}

} // namespace
} // namespace usbtmctest
