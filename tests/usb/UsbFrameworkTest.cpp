// The controller framework: service order within a pass, alternate settings, a bus reset that
// leaves the configuration, unregistration during traffic, and dispatch exclusion between
// engine threads and the interrupt service.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "UsbBench.h"

namespace usbtest {
namespace {

using namespace Korvex;
using Bytes = std::vector<std::uint8_t>;
using Type = LoopbackEvent::Type;

class UsbFramework : public UsbBench {
protected:
    void Configure() override { loopback.SetReceiveSize(4); }
    void Enumerated(std::size_t activations = 1)
    {
        ASSERT_EQ(host.enumerate(), Result::Ok);
        ASSERT_TRUE(loopback.WaitFor(Type::Activate, activations));
    }
    void Echoes(std::uint8_t seed)
    {
        const Bytes data = {seed, 2, 3, 4};
        ASSERT_EQ(host.bulk_out(0x02, data), Result::Ok);
        Bytes back;
        ASSERT_EQ(host.bulk_in(0x81, 64, &back), Result::Ok);
        EXPECT_EQ(back, data);
    }
};

TEST_F(UsbFramework, APassServesBulkOutBulkInInterruptInAndControlOnceEachInThatOrder)
{
    loopback.SetEcho(false);
    loopback.SetRearm(false);
    Enumerated();
    std::uint32_t status = 0;
    Engine([&] {
        std::uint32_t s = 0;
        loopback.Io()->StartReceive(kUsbEndpointBulkOut, nullptr, &s);  // takes a ZLP
    });
    loopback.Send(kUsbEndpointBulkIn, {1, 2}, &status);
    loopback.Send(kUsbEndpointInterruptIn, {3, 4}, &status);
    ASSERT_EQ(status, 0u);
    // While dispatching is held, the host leaves work on all four endpoints.
    manager->DisableAsynchronousEventDispatching(&status);
    ASSERT_EQ(host.bulk_out(0x02, {}, true), Result::Ok);
    Bytes got;
    ASSERT_EQ(host.bulk_in(0x81, 64, &got), Result::Ok);
    ASSERT_EQ(host.interrupt_in(0x83, 2, &got), Result::Ok);
    std::thread control([&] {
        Bytes reply;
        EXPECT_EQ(host.control({0xA1, 1, 0, 0, 2}, &reply), Result::Ok);
        EXPECT_EQ(reply, (Bytes{'L', 'B'}));
    });
    while (!Registers()->IsEndpointInterruptSet(0)) std::this_thread::yield();
    const std::size_t before = loopback.Events().size();
    manager->EnableAsynchronousEventDispatching(&status);
    control.join();
    const std::vector<LoopbackEvent> events = loopback.Events();
    ASSERT_GE(events.size(), before + 4);
    EXPECT_EQ(events[before].type, Type::Out);
    EXPECT_EQ(events[before + 1].type, Type::In);
    EXPECT_EQ(events[before + 1].kind, kUsbEndpointBulkIn);
    EXPECT_EQ(events[before + 2].type, Type::In);
    EXPECT_EQ(events[before + 2].kind, kUsbEndpointInterruptIn);
    EXPECT_EQ(events[before + 3].type, Type::ClassRequest);
}

TEST_F(UsbFramework, AlternateSettingOfAnInterfaceWithoutActiveEndpointsIs255)
{
    Enumerated();
    EXPECT_EQ(controller->GetAlternateSetting(0), 0);
    EXPECT_EQ(controller->GetAlternateSetting(5), 255);
    Bytes reply;
    ASSERT_EQ(host.control({0x81, 10, 0, 0, 1}, &reply), Result::Ok);  // GET_INTERFACE
    EXPECT_EQ(reply, Bytes{0});
    EXPECT_EQ(host.control({0x81, 10, 0, 5, 1}, &reply), Result::Stall);
}

TEST_F(UsbFramework, ABusResetDeconfiguresAndReportsRunningTransfers)
{
    Enumerated();
    ASSERT_EQ(host.bus_reset(), Result::Ok);
    ASSERT_TRUE(loopback.WaitFor(Type::Deactivate, 1));
    // The receive armed at activation ended with code 3.
    bool aborted = false;
    for (const LoopbackEvent& e : loopback.Events())
        aborted = aborted || (e.type == Type::Out && e.code == kUsbCompletionAborted);
    EXPECT_TRUE(aborted);
    Bytes reply;
    ASSERT_EQ(host.control({0x80, 8, 0, 0, 1}, &reply), Result::Ok);  // GET_CONFIGURATION
    EXPECT_EQ(reply, Bytes{0});
    EXPECT_EQ(loopback.Count(Type::Deactivate), 1u);
    Enumerated(2);
    Echoes(7);
    ASSERT_EQ(host.reset_device(), Result::Ok);  // Linux's reset: same address, same configuration
    ASSERT_TRUE(loopback.WaitFor(Type::Activate, 3));
    Echoes(8);
}

// A bus reset while IN transfers are in flight: nothing is written into the reset FIFOs
// (their maximum packet is 8 again), the transfers end with code 3 and the device enumerates
// again. The first receive takes 64 bytes, the later ones 4.
class UsbResetInFlight : public UsbFramework {
protected:
    void Configure() override
    {
        UsbFramework::Configure();
        loopback.SetReceiveSizes({64});
    }
    void EndedByTheResetThenEchoes(std::vector<std::uint32_t> inCodes)
    {
        ASSERT_TRUE(loopback.WaitFor(Type::Deactivate, 1));
        std::vector<std::uint32_t> codes;
        for (const LoopbackEvent& e : loopback.Events())
            if (e.type == Type::In) codes.push_back(e.code);
        EXPECT_EQ(codes, inCodes);
        Enumerated(2);
        Echoes(9);
    }
};

// From an engine thread: the host took a bulk-IN packet (the next is due) and reset before
// the pass; an interrupt-IN transfer starts while the reset waits for that pass.
TEST_F(UsbResetInFlight, TransfersOfAnEngineThreadEndWithCode3)
{
    Enumerated();
    std::uint32_t status = 0;
    loopback.Send(kUsbEndpointBulkIn, Bytes(1000, 0x5A), &status);
    ASSERT_EQ(status, 0u);
    manager->DisableAsynchronousEventDispatching(&status);
    Bytes got;
    ASSERT_EQ(host.bulk_in(0x81, 64, &got), Result::Ok);
    ASSERT_EQ(got.size(), 64u);
    host.set_timeout_ms(100);
    EXPECT_EQ(host.bus_reset(), Result::Timeout);  // seen once dispatching is back
    host.set_timeout_ms(2000);
    loopback.Send(kUsbEndpointInterruptIn, Bytes(64, 0xA5), &status);
    ASSERT_EQ(status, 0u);
    manager->EnableAsynchronousEventDispatching(&status);
    EndedByTheResetThenEchoes({kUsbCompletionAborted, kUsbCompletionAborted});
}

// In a pass: the reset comes while bulk-OUT is served, before the echo of the 64 bytes is
// written and before the pass reaches its reset check.
TEST_F(UsbResetInFlight, AnEchoStartedInThePassOfTheResetEndsWithCode3)
{
    Enumerated();
    loopback.RunInNextOut([] {
        irq::InterruptsDisabled bus;
        platform::soc::usbd().bus_reset();
    });
    ASSERT_EQ(host.bulk_out(0x02, Bytes(64, 0x33)), Result::Ok);
    EndedByTheResetThenEchoes({kUsbCompletionAborted});
}

TEST_F(UsbFramework, UnregisterDuringTrafficThenRegisterAgainWorks)
{
    Enumerated();
    host.set_timeout_ms(200);
    std::atomic<bool> stop{false};
    std::thread traffic([&] {
        while (!stop.load()) {
            Bytes back;
            host.bulk_out(0x02, {1, 2, 3, 4});
            host.bulk_in(0x81, 64, &back);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::uint32_t status = 0;
    manager->UnregisterInterfaceClass(io, &status);
    io = nullptr;
    EXPECT_EQ(status, 0u);
    EXPECT_FALSE(manager->IsStarted());
    stop.store(true);
    traffic.join();
    io = manager->RegisterInterfaceClass(settings, &loopback, &loopback, &status);
    ASSERT_EQ(status, 0u);
    manager->EnableAsynchronousEventDispatching(&status);
    manager->Start(settings, &status);
    ASSERT_EQ(status, 0u);
    EXPECT_EQ(controller->GetDisableCount(), 0u);
    host.set_timeout_ms(2000);
    Enumerated(2);
    Echoes(5);
}

TEST_F(UsbFramework, AnUnregistrationGivesBackTheHoldOfARegistrationNeverEnabled)
{
    std::uint32_t status = 0;
    manager->UnregisterInterfaceClass(io, &status);
    io = nullptr;
    ASSERT_EQ(controller->GetDisableCount(), 0u);
    LoopbackClass second;
    auto* again = manager->RegisterInterfaceClass(settings, &second, &second, &status);
    ASSERT_EQ(status, 0u);
    EXPECT_EQ(controller->GetDisableCount(), 1u);
    manager->UnregisterInterfaceClass(again, &status);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(controller->GetDisableCount(), 0u);
}

TEST_F(UsbFramework, TransfersAbortsAndConfigurationChangesUnderTrafficKeepTheStackSound)
{
    Enumerated();
    host.set_timeout_ms(100);
    std::atomic<bool> stop{false};
    std::thread bulk([&] {
        for (std::uint8_t i = 0; !stop.load(); ++i) {
            Bytes back;
            host.bulk_out(0x02, {i, 1, 2, 3});
            host.bulk_in(0x81, 64, &back);
        }
    });
    std::thread configuration([&] {
        while (!stop.load()) host.control({0x00, 9, 1, 0, 0}, nullptr);
    });
    std::thread engine([&] {
        while (!stop.load()) {
            std::uint32_t status = 0;
            loopback.Send(kUsbEndpointInterruptIn, {1, 2}, &status);
            status = 0;
            loopback.Abort(kUsbEndpointInterruptIn, &status);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop.store(true);
    bulk.join();
    configuration.join();
    engine.join();
    EXPECT_EQ(controller->GetDisableCount(), 0u);
    host.set_timeout_ms(2000);
    ASSERT_EQ(host.control({0x00, 9, 1, 0, 0}, nullptr), Result::Ok);
    EXPECT_EQ(exceptions.count.load(), 0u);
    const std::size_t activations = loopback.Count(Type::Activate);
    ASSERT_EQ(host.control({0x00, 9, 1, 0, 0}, nullptr), Result::Ok);
    ASSERT_TRUE(loopback.WaitFor(Type::Activate, activations + 1));
    Echoes(3);
}

TEST_F(UsbFramework, AHoldTakenInAPassStopsFurtherPassesUntilReleased)
{
    loopback.SetEcho(false);
    Enumerated();
    loopback.HoldInNextOut();
    ASSERT_EQ(host.bulk_out(0x02, {1, 2, 3, 4}), Result::Ok);
    ASSERT_TRUE(loopback.WaitFor(Type::Out, 1));
    EXPECT_FALSE(controller->IsDispatching());
    const std::uint64_t passes = controller->GetPassCount();
    host.set_timeout_ms(100);
    // The packet is taken by the hardware but nobody services it; the next one is NAKed.
    ASSERT_EQ(host.bulk_out(0x02, {5, 6, 7, 8}), Result::Ok);
    EXPECT_EQ(host.bulk_out(0x02, {9, 9, 9, 9}), Result::Timeout);
    EXPECT_EQ(controller->GetPassCount(), passes);
    std::uint32_t status = 0;
    manager->EnableAsynchronousEventDispatching(&status);
    ASSERT_TRUE(loopback.WaitFor(Type::Out, 2));
    EXPECT_EQ(loopback.Events().back().data, (Bytes{5, 6, 7, 8}));
}

TEST_F(UsbFramework, StopAndUnregistrationAreRefusedInsideAPass)
{
    Enumerated();
    std::uint32_t stopStatus = 0;
    std::uint32_t unregisterStatus = 0;
    loopback.RunInNextOut([&] {
        manager->Stop(&stopStatus);
        manager->UnregisterInterfaceClass(io, &unregisterStatus);
    });
    ASSERT_EQ(host.bulk_out(0x02, {1, 2, 3, 4}), Result::Ok);
    ASSERT_TRUE(loopback.WaitFor(Type::Out, 1));
    EXPECT_EQ(stopStatus, 0x543FFu);
    EXPECT_EQ(unregisterStatus, 0x543FFu);
    EXPECT_TRUE(manager->IsStarted());
    Bytes back;
    ASSERT_EQ(host.bulk_in(0x81, 64, &back), Result::Ok);
    EXPECT_EQ(back, (Bytes{1, 2, 3, 4}));
    Echoes(1);
}

}  // namespace
}  // namespace usbtest
