// Endpoint transfers through the whole stack: packet boundaries of IN and control replies,
// receives that end only on a full chain, data left in the FIFO for the next receive, stalls,
// aborts and back-to-back interrupt transfers.
#include <chrono>
#include <thread>
#include <vector>

#include "UsbBench.h"
#include "usb/core/UsbStatus.h"

namespace usbtest {
namespace {

using namespace Korvex;
using Bytes = std::vector<std::uint8_t>;
using Type = LoopbackEvent::Type;

Bytes Pattern(std::size_t n, std::uint8_t seed = 1)
{
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7);
    return b;
}

class UsbEndpoints : public UsbBench {
protected:
    void Configure() override
    {
        loopback.SetEcho(false);
        loopback.SetRearm(false);
    }
    void Enumerated()
    {
        ASSERT_EQ(host.enumerate(), Result::Ok);
        ASSERT_TRUE(loopback.WaitFor(Type::Activate, 1));
    }
    LoopbackEvent Last(Type type)
    {
        LoopbackEvent found{};
        for (const LoopbackEvent& e : loopback.Events())
            if (e.type == type) found = e;
        return found;
    }
    void ReceivesInPieces(const std::vector<std::uint32_t>& sizes);
    // Waits until the firmware has serviced the handshake bit of a stall.
    bool SentStallServiced(std::uint32_t endpoint, std::uint32_t bit)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            const std::uint32_t csr = Registers()->ReadIndexed(
                endpoint, endpoint == 2 ? platform::soc::OUT_CSR1_REG : platform::soc::IN_CSR1_REG);
            if ((csr & bit) == 0) return true;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return false;
    }
};

TEST_F(UsbEndpoints, BulkInEndsWithAShortOrZeroLengthPacket)
{
    Enumerated();
    // {bytes sent, packets the host reads}
    const std::vector<std::pair<std::size_t, std::vector<std::size_t>>> cases = {
        {64, {64, 0}}, {63, {63}}, {0, {0}}, {130, {64, 64, 2}}};
    std::size_t completions = 0;
    for (const auto& c : cases) {
        std::uint32_t status = 0;
        const Bytes data = Pattern(c.first);
        loopback.Send(kUsbEndpointBulkIn, data, &status);
        ASSERT_EQ(status, 0u);
        Bytes all;
        for (std::size_t packet : c.second) {
            Bytes got;
            ASSERT_EQ(host.bulk_in(0x81, 64, &got), Result::Ok) << c.first;
            EXPECT_EQ(got.size(), packet) << c.first;
            all.insert(all.end(), got.begin(), got.end());
        }
        EXPECT_EQ(all, data);
        ASSERT_TRUE(loopback.WaitFor(Type::In, ++completions));
        EXPECT_EQ(Last(Type::In).bytes, c.first);
        EXPECT_EQ(Last(Type::In).code, kUsbCompletionNormal);
    }
    host.set_timeout_ms(50);
    Bytes none;
    EXPECT_EQ(host.bulk_in(0x81, 64, &none), Result::Timeout);  // no packet after the 63
}

TEST_F(UsbEndpoints, ControlRepliesEndAtWLengthOrWithAShortPacket)
{
    Enumerated();
    // The serial-number string is 16 bytes.
    const std::vector<std::pair<std::uint16_t, std::size_t>> cases = {
        {254, 16}, {16, 16}, {8, 8}, {3, 3}};
    for (const auto& c : cases) {
        Bytes reply;
        ASSERT_EQ(host.control({0x80, 6, 0x0302, 0x0409, c.first}, &reply), Result::Ok) << c.first;
        EXPECT_EQ(reply.size(), c.second) << c.first;
    }
    Bytes configuration;
    ASSERT_EQ(host.control({0x80, 6, 0x0200, 0, 16}, &configuration), Result::Ok);
    EXPECT_EQ(configuration, Bytes(host.configuration_descriptor().begin(),
                                   host.configuration_descriptor().begin() + 16));
}

TEST_F(UsbEndpoints, AShortPacketDoesNotEndABulkOutReceive)
{
    loopback.SetReceiveSize(100);
    loopback.SetRearm(true);
    Enumerated();
    const Bytes data = Pattern(100);
    ASSERT_EQ(host.bulk_out(0x02, Bytes(data.begin(), data.begin() + 10)), Result::Ok);
    ASSERT_EQ(host.bulk_out(0x02, Bytes(data.begin() + 10, data.end())), Result::Ok);
    ASSERT_TRUE(loopback.WaitFor(Type::Out, 1));
    const LoopbackEvent out = loopback.Events()[1];
    EXPECT_EQ(out.bytes, 100u);
    EXPECT_EQ(out.data, data);
}

// One 64-byte packet spread over receives of the given sizes: each reports its own bytes.
void UsbEndpoints::ReceivesInPieces(const std::vector<std::uint32_t>& sizes)
{
    loopback.SetReceiveSizes(sizes);
    loopback.SetReceiveSize(64);
    loopback.SetRearm(true);
    Enumerated();
    const Bytes data = Pattern(64);
    ASSERT_EQ(host.bulk_out(0x02, data), Result::Ok);
    ASSERT_TRUE(loopback.WaitFor(Type::Out, sizes.size()));
    Bytes joined;
    std::size_t i = 0;
    for (const LoopbackEvent& e : loopback.Events()) {
        if (e.type != Type::Out) continue;
        ASSERT_LT(i, sizes.size());
        EXPECT_EQ(e.bytes, sizes[i++]);
        EXPECT_EQ(e.code, kUsbCompletionNormal);
        joined.insert(joined.end(), e.data.begin(), e.data.end());
    }
    EXPECT_EQ(joined, data);
}

TEST_F(UsbEndpoints, TheRestOfAPacketGoesToTheNextReceive)
{
    ReceivesInPieces({12, 52});
}

TEST_F(UsbEndpoints, SmallReceivesTakeAPacketPieceByPieceAndIdleRunsNoPass)
{
    ReceivesInPieces(std::vector<std::uint32_t>(16, 4));
    // The next receive is armed with nothing waiting: no pass is raised any more.
    const std::uint64_t passes = controller->GetPassCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(controller->GetPassCount(), passes);
}

TEST_F(UsbEndpoints, BackToBackInterruptTransfersGiveOnePacketEach)
{
    Enumerated();
    for (std::uint8_t round = 1; round <= 2; ++round) {
        std::uint32_t status = 0;
        const Bytes data = {round, static_cast<std::uint8_t>(round + 10)};
        loopback.Send(kUsbEndpointInterruptIn, data, &status);
        ASSERT_EQ(status, 0u);
        Bytes got;
        ASSERT_EQ(host.interrupt_in(0x83, 2, &got), Result::Ok);
        EXPECT_EQ(got, data);
        ASSERT_TRUE(loopback.WaitFor(Type::In, round));
        EXPECT_EQ(Last(Type::In).kind, kUsbEndpointInterruptIn);
        EXPECT_EQ(Last(Type::In).bytes, 2u);
    }
    host.set_timeout_ms(50);
    Bytes none;
    EXPECT_EQ(host.interrupt_in(0x83, 2, &none), Result::Timeout);
}

TEST_F(UsbEndpoints, AHaltStaysUntilClearedAndTheDataToggleRestarts)
{
    Enumerated();
    std::uint32_t status = 0;
    loopback.Send(kUsbEndpointBulkIn, Pattern(5), &status);  // moves the toggle to DATA1
    Bytes got;
    ASSERT_EQ(host.bulk_in(0x81, 64, &got), Result::Ok);
    ASSERT_TRUE(loopback.WaitFor(Type::In, 1));
    ASSERT_EQ(host.control({0x02, 3, 0, 0x81, 0}, nullptr), Result::Ok);  // SET_FEATURE(halt)
    // A transfer waits behind the halt, so the endpoint is serviced after each stall.
    loopback.Send(kUsbEndpointBulkIn, Pattern(7), &status);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(host.bulk_in(0x81, 64, &got), Result::Stall);
        ASSERT_TRUE(SentStallServiced(1, 0x20));
    }
    std::uint16_t halted = 0;
    ASSERT_EQ(host.get_status(2, 0x81, &halted), Result::Ok);
    EXPECT_EQ(halted, 1);
    ASSERT_EQ(host.clear_halt(0x81), Result::Ok);
    ASSERT_EQ(host.get_status(2, 0x81, &halted), Result::Ok);
    EXPECT_EQ(halted, 0);
    // The host expects DATA0 and ignores a DATA1 packet: the transfer arrives only as DATA0.
    ASSERT_EQ(host.bulk_in(0x81, 64, &got), Result::Ok);
    EXPECT_EQ(got, Pattern(7));
}

TEST_F(UsbEndpoints, AHaltSetByTheFunctionIsNotClearedByTheHost)
{
    Enumerated();
    Engine([&] {
        std::uint32_t s = 0;
        loopback.Io()->Halt(kUsbEndpointBulkOut, &s);
        EXPECT_EQ(s, 0u);
    });
    EXPECT_EQ(host.clear_halt(0x02), Result::Stall);
    EXPECT_EQ(host.bulk_out(0x02, Pattern(3)), Result::Stall);
    Engine([&] {
        std::uint32_t s = 0;
        loopback.Io()->ClearHalt(kUsbEndpointBulkOut, &s);
        EXPECT_EQ(s, 0u);
        loopback.Io()->StartReceive(kUsbEndpointBulkOut, nullptr, &s);
    });
    EXPECT_EQ(host.clear_halt(0x02), Result::Ok);
}

TEST_F(UsbEndpoints, AnAbortMidTransferEndsTheReadWithTheBytesTheHostTook)
{
    Enumerated();
    std::uint32_t status = 0;
    loopback.Send(kUsbEndpointBulkIn, Pattern(200), &status);
    Bytes first;
    ASSERT_EQ(host.bulk_in(0x81, 64, &first), Result::Ok);
    EXPECT_EQ(first, Pattern(64));
    EXPECT_EQ(loopback.Abort(kUsbEndpointBulkIn, &status), 64u);
    EXPECT_EQ(status, 0u);
    Bytes rest;
    ASSERT_EQ(host.bulk_in(0x81, 4096, &rest), Result::Ok);
    EXPECT_TRUE(rest.empty());  // the zero-length packet that ends the read
    loopback.Abort(kUsbEndpointBulkIn, &status);
    EXPECT_EQ(status, USB_STATUS_NOTHING_TO_ABORT);
}

}  // namespace
}  // namespace usbtest
