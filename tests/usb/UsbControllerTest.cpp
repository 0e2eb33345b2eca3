// The S3C2410 controller's register level and FIFO chains, the consistency check that raises
// SIGBUS, and a soak of enumerate / reset / detach cycles.
#include <cstdlib>
#include <vector>

#include "UsbBench.h"
#include "engine/os/Allocator.h"
#include "support/ThreadCount.h"

namespace usbtest {
namespace {

using namespace Korvex;
using Bytes = std::vector<std::uint8_t>;
using Type = LoopbackEvent::Type;
namespace soc = platform::soc;

class UsbRegisters : public UsbBench {
protected:
    void Configure() override { start = false; }
    // On the bus with vector 25 masked: the registers are read here, not by a service.
    void Attached()
    {
        Registers()->Attach();
        Registers()->DisableInterrupts();
    }
    std::uint32_t Read(soc::addr_t address)
    {
        irq::InterruptsDisabled lock;
        return soc::read32(address);
    }
};

TEST_F(UsbRegisters, ASuspendIsReportedBeforeAResumePendingWithIt)
{
    Attached();
    ASSERT_EQ(host.suspend(), Result::Ok);
    ASSERT_EQ(host.resume(), Result::Ok);
    EXPECT_EQ(Read(soc::USB_INT_REG) & 3, 3u);
    EXPECT_TRUE(Registers()->CheckSuspendResume());
    EXPECT_EQ(Read(soc::USB_INT_REG) & 3, 2u);
    EXPECT_FALSE(Registers()->CheckSuspendResume());
    EXPECT_EQ(Read(soc::USB_INT_REG) & 3, 0u);
    Registers()->Detach();
}

TEST_F(UsbRegisters, ABusResetRestoresTheEndpointEnablesFromTheShadow)
{
    Attached();
    Registers()->DisableEndpointInterrupt(0);
    Registers()->EnableEndpointInterrupt(1);
    Registers()->DisableEndpointInterrupt(2);
    Registers()->DisableEndpointInterrupt(3);
    Registers()->ClearEndpointInterrupt(5);  // no such endpoint: nothing written
    ASSERT_EQ(Read(soc::EP_INT_EN_REG) & 0x0F, 0x02u);
    {
        irq::InterruptsDisabled bus;
        soc::usbd().bus_reset();
    }
    EXPECT_EQ(Read(soc::EP_INT_EN_REG), 0x1Fu);
    EXPECT_TRUE(Registers()->CheckReset());
    EXPECT_EQ(Read(soc::EP_INT_EN_REG) & 0x0F, Registers()->GetShadow() & 0x0F);
    EXPECT_FALSE(Registers()->CheckReset());
    Registers()->Detach();
}

class UsbChains : public UsbBench {
protected:
    void Configure() override
    {
        loopback.SetEcho(false);
        loopback.SetRearm(false);
    }
};

TEST_F(UsbChains, ChainsOfSeveralBuffersMoveInBothDirections)
{
    ASSERT_EQ(host.enumerate(), Result::Ok);
    ASSERT_TRUE(loopback.WaitFor(Type::Activate, 1));
    const std::uint32_t sizes[3] = {5, 0, 70};
    CByteBuffer a(5), b(0), c(70);
    a.SetNext(&b);
    b.SetNext(&c);
    Bytes data;
    for (CByteBuffer* buffer : {&a, &b, &c}) {
        for (std::uint32_t i = 0; i < buffer->GetLength(); ++i) {
            buffer->GetStorage()[i] = static_cast<std::uint8_t>(data.size() * 5 + 1);
            data.push_back(buffer->GetStorage()[i]);
        }
    }
    (void)sizes;
    Engine([&] {
        std::uint32_t s = 0;
        loopback.Io()->StartSend(kUsbEndpointBulkIn, &a, &s);
        EXPECT_EQ(s, 0u);
    });
    Bytes got;
    ASSERT_EQ(host.bulk_in(0x81, 4096, &got), Result::Ok);
    EXPECT_EQ(got, data);
    ASSERT_TRUE(loopback.WaitFor(Type::In, 1));
    // The same chain receives: the window of each buffer is filled in turn.
    Engine([&] {
        std::uint32_t s = 0;
        for (CByteBuffer* buffer : {&a, &b, &c}) std::fill_n(buffer->GetStorage(), buffer->GetLength(), 0);
        loopback.Io()->StartReceive(kUsbEndpointBulkOut, &a, &s);
        EXPECT_EQ(s, 0u);
    });
    ASSERT_EQ(host.bulk_out(0x02, data), Result::Ok);
    ASSERT_TRUE(loopback.WaitFor(Type::Out, 1));
    Bytes back;
    for (CByteBuffer* buffer : {&a, &b, &c})
        back.insert(back.end(), buffer->GetStorage(), buffer->GetStorage() + buffer->GetCursor());
    EXPECT_EQ(back, data);
    a.SetNext(nullptr);
    b.SetNext(nullptr);
}

using UsbSigbusDeathTest = UsbBench;

TEST_F(UsbSigbusDeathTest, EnablingInsideThePassPrintsTheDumpAndASecondFaultEnds)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            loopback.SetEcho(false);
            loopback.SetReceiveSize(4);
            ASSERT_EQ(host.enumerate(), Result::Ok);
            for (int i = 0; i < 2; ++i) {
                loopback.EnableInNextOut();
                host.bulk_out(0x02, {1, 2, 3, 4});
                loopback.WaitFor(Type::Out, static_cast<std::size_t>(i + 1));
            }
            loopback.WaitFor(Type::Activate, 2, 10000);  // the fault ends the program meanwhile
        },
        "Test failed at line 434\n(.|\n)* >`\\)  \n(.|\n)*Registers:\nR0: 00000000 (.|\n)*"
        "FP: 00000000, SP: 00000000, LR: 00000000, PC: 00000000, PSR: 00000000\n(.|\n)*"
        "Test failed at line 434\n");
}

using testsupport::ThreadCount;
using testsupport::ThreadCountOnceAt;

using UsbSoak = UsbBench;

TEST_F(UsbSoak, EnumerateResetDetachCycles)
{
    const char* fromEnvironment = std::getenv("KORVEX_USB_SOAK_CYCLES");
    const int cycles = fromEnvironment != nullptr ? std::atoi(fromEnvironment) : 200;
    std::int64_t live = 0;
    std::size_t threads = 0;
    for (int i = 0; i < cycles; ++i) {
        ASSERT_EQ(host.enumerate(), Result::Ok) << i;
        const Bytes data = {static_cast<std::uint8_t>(i), 1, 2};
        ASSERT_EQ(host.bulk_out(0x02, data), Result::Ok) << i;
        ASSERT_EQ(host.reset_device(), Result::Ok) << i;
        std::uint32_t status = 0;
        manager->Stop(&status);  // detach
        ASSERT_EQ(status, 0u);
        ASSERT_FALSE(host.device_present());
        manager->Start(settings, &status);
        ASSERT_EQ(status, 0u);
        if (i == 0) {
            live = EngineLiveBlocks();
            threads = ThreadCount();
        }
    }
    EXPECT_EQ(EngineLiveBlocks(), live);
    EXPECT_EQ(ThreadCountOnceAt(threads), threads);
    EXPECT_EQ(controller->GetDisableCount(), 0u);
}

}  // namespace
}  // namespace usbtest
