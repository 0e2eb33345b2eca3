// The engine's USB transport: reconfiguration and bus resets under traffic, the interface
// manager's checks, rebuilding the stack, device-wide events and their races.
#include <atomic>
#include <thread>

#include "UsbtmcFixture.h"
#include "engine/OpenCloseRace.h"
#include "engine/api/ZoDeviceInterface.h"
#include "engine/device/UsbDeviceSettings.h"
#include "usb/device/UsbDeviceManager.h"
#include "usb/transport/UsbPhysicalInterface.h"
#include "usb/transport/UsbPhysicalInterfaceManager.h"

namespace usbtmctest {
namespace {

using Korvex::CUsbPhysicalInterfaceManager;

TEST_F(UsbtmcTest, SetConfigurationZeroThenOneKeepsTheDeviceWorking)
{
    for (std::uint16_t value : {0, 1, 1}) {
        Bytes none;
        ASSERT_EQ(usb.control(sim::UsbHost::Setup{0x00, 9, value, 0, 0}, &none), Result::Ok);
    }
    EXPECT_EQ(host.Query("AFTER?"), Answer("AFTER?"));
}

// The host resets while a long response is going out (its next packet due): the transfer
// ends with code 3, the engine learns what went out, the rest is cleared away and the next
// query works.
TEST_F(UsbtmcTest, ResetInTheMiddleOfAResponseEndsItAndTheNextQueryWorks)
{
    AnswerNextWith(std::string(20000, 'r'));
    ASSERT_EQ(host.Write("BIG"), Result::Ok);
    ASSERT_TRUE(device->WaitCount('M', 1));
    ASSERT_EQ(host.RequestIn(20000), Result::Ok);
    ASSERT_TRUE(Eventually([] { return platform::soc::usbd().in_packet_ready(1); }));
    // The host takes the first packet and resets before the device can write the next one.
    Korvex::CUsbDeviceManager* stack = usb_server_manager()->GetDeviceManager();
    std::uint32_t status = 0;
    stack->DisableAsynchronousEventDispatching(&status);
    const auto first = host.ReadIn(64);
    usb.set_timeout_ms(100);
    EXPECT_EQ(usb.bus_reset(), Result::Timeout);  // seen once dispatching is back
    usb.set_timeout_ms(kTimeoutMs);
    stack->EnableAsynchronousEventDispatching(&status);
    ASSERT_EQ(status, 0u);
    ASSERT_EQ(first.length, 64u);
    ASSERT_EQ(first.transferSize, 20000u);
    ASSERT_EQ(Enumerate(), Result::Ok);
    EXPECT_EQ(host.Query("NEXT?"), Answer("NEXT?"));
    // The response ended with what went out of it (the packet less its 12-byte header),
    // then the clear, before the next message.
    ASSERT_TRUE(device->WaitCount('M', 2));
    const auto callbacks = device->Callbacks();
    EXPECT_EQ(callbacks[1].kind, 'R');
    EXPECT_EQ(callbacks[1].text.size(), 64u - 12u);
    EXPECT_EQ(callbacks[2].kind, 'C');
    EXPECT_EQ(callbacks[3].kind, 'M');
}

TEST_F(UsbtmcTest, ClosingAndOpeningAgainRebuildsTheStack)
{
    CUsbPhysicalInterfaceManager* manager = usb_server_manager();
    ASSERT_NE(manager, nullptr);
    COSUsbDevice* first = manager->GetDevice();
    ASSERT_EQ(device->Close(), 0u);
    EXPECT_EQ(manager->Count(), 0u);
    EXPECT_EQ(manager->GetDevice(), nullptr);
    EXPECT_FALSE(usb.device_present());
    ASSERT_EQ(device->OpenUsb(), 0u);
    EXPECT_NE(manager->GetDevice(), nullptr);
    (void)first;
    ASSERT_EQ(Enumerate(), Result::Ok);
    EXPECT_EQ(host.Query("AGAIN?"), Answer("AGAIN?"));
}

TEST_F(UsbtmcTest, ExceptionStatusesBecomeDeviceEvents)
{
    const struct {
        std::uint32_t status;
        std::uint32_t event;
    } cases[] = {{0x54300, 49}, {0x54302, 49}, {0x54305, 49}, {0x54306, 53},
                 {0x543A4, 53}, {0x543FF, 53}, {0x542FF, 53}};
    for (const auto& c : cases) {
        EXPECT_EQ(CUsbPhysicalInterfaceManager::EventForException(c.status), c.event)
            << std::hex << c.status;
    }
}

// An interrupt-service error closes the interface: the device leaves the bus.
TEST_F(UsbtmcTest, ExceptionClosesTheInterfaceAndTheDeviceLeavesTheBus)
{
    CUsbPhysicalInterfaceManager* manager = usb_server_manager();
    manager->OnUsbException(manager->GetDevice(), 0x543A4);
    EXPECT_FALSE(usb.device_present());
    Korvex::CZoDeviceBuffer buffer(64, nullptr);
    EXPECT_NE(device->EnableInputQueue(&buffer), 0u);
    EXPECT_EQ(device->Close(), 0u);
    EXPECT_EQ(manager->Count(), 0u);
}

TEST_F(UsbtmcTest, DeviceGoneForgetsTheInterfaceAndTakesTheStackDown)
{
    CUsbPhysicalInterfaceManager* manager = usb_server_manager();
    manager->OnUsbDeviceEvent(manager->GetDevice());
    EXPECT_EQ(manager->Count(), 0u);
    EXPECT_EQ(manager->GetDevice(), nullptr);
    EXPECT_FALSE(usb.device_present());
    EXPECT_EQ(device->Close(), 0u);
}

// The manager on its own: its checks, in the order given, and a failure leaves it as it was.
TEST(UsbtmcManager, CreateInterfaceChecksKindIndexAndVersion)
{
    std::uint32_t status = 0;
    CUsbPhysicalInterfaceManager manager(&status);
    ASSERT_EQ(status, 0u);
    const struct {
        Korvex::ZoOpenDescriptor descriptor;
        std::uint32_t index;
        std::uint32_t expected;
    } cases[] = {
        {{32, 0x01040000, 0, 1, "VuREva11"}, 0, 0x543FF},
        {{32, 0x01030000, 0, 1, "VuREva11"}, 1, 0x543FF},
        {{32, 0x01040000, 0, 2, "ViZOda"}, 1, 0x54300},
        {{32, 0x01030000, 0, 2, "ViZOda"}, 1, 0x54300},
        {{32, 0x01030000, 0, 2, "ViZOda"}, 0, 0x54364},
        {{32, 0x01050000, 0, 2, "ViZOda"}, 0, 0x54364},
    };
    for (const auto& c : cases) {
        status = 0;
        EXPECT_EQ(manager.CreateInterface(&c.descriptor, c.index, &status), nullptr);
        EXPECT_EQ(status, c.expected);
        EXPECT_EQ(manager.Count(), 0u);
        EXPECT_EQ(manager.GetDevice(), nullptr);
    }
}

// Exceptions delivered while interfaces are made and destroyed (ASan, TSan).
TEST(UsbtmcManager, DestroyingInterfacesWhileExceptionsArriveIsSafe)
{
    platform::soc::usbd().power_on();
    std::uint32_t status = 0;
    CUsbPhysicalInterfaceManager manager(&status);
    ASSERT_EQ(status, 0u);
    const Korvex::ZoOpenDescriptor descriptor{32, 0x01040000, 0, 2, "ViZOda"};
    std::atomic<bool> stop{false};
    std::atomic<std::uint32_t> delivered{0};
    std::thread exceptions([&] {
        while (!stop.load()) {
            COSUsbDevice* usbDevice = manager.GetDevice();
            if (usbDevice != nullptr) {
                manager.OnUsbException(usbDevice, 0x54302);
                ++delivered;
            }
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 50; ++i) {
        std::uint32_t made = 0;
        Korvex::CPhysicalInterface* first = manager.CreateInterface(&descriptor, 0, &made);
        Korvex::CPhysicalInterface* second = manager.CreateInterface(&descriptor, 0, &made);
        EXPECT_EQ(manager.Count(), 2u);
        manager.DestroyInterface(first, &made);
        manager.DestroyInterface(second, &made);
        EXPECT_EQ(made, 0u);
    }
    stop = true;
    exceptions.join();
    EXPECT_EQ(manager.Count(), 0u);
    EXPECT_EQ(manager.GetDevice(), nullptr);
}

// Interrupt-service errors while sessions open and close: a session is freed only after
// the event has left it (ASan, TSan).
TEST(UsbtmcManager, SessionsCloseWhileExceptionsArrive)
{
    platform::soc::usbd().power_on();
    usb_install_server_builder();
    ASSERT_EQ(Korvex::zo_device_initialize(), 0);
    ASSERT_EQ(Korvex::zo_device_start_usb_server(), 0);
    CUsbPhysicalInterfaceManager* manager = usb_server_manager();
    Korvex::UsbDeviceSettings settings;
    settings.Init();
    std::uint32_t status = 0;
    settings.SetU16Item(0, 0x1234, &status);
    settings.SetStringItem(0, "Maker", &status);
    settings.SetStringItem(1, "Meter", &status);
    ASSERT_EQ(status, 0u);
    const std::uint32_t sent = racetest::OpenCloseWhileNotified(
        300, {32, 0x01040000, 0, 2, "ViZOda"}, 0, &settings, [manager] {
            COSUsbDevice* usbDevice = manager->GetDevice();
            if (usbDevice != nullptr) {
                manager->OnUsbException(usbDevice, 0x54302);
            }
        });
    EXPECT_GT(sent, 0u);
    EXPECT_EQ(manager->Count(), 0u);
    Korvex::zo_device_stop_usb_server();
}

TEST(UsbtmcManager, OpeningTwiceReplacesTheRegistration)
{
    platform::soc::usbd().power_on();
    std::uint32_t status = 0;
    CUsbPhysicalInterfaceManager manager(&status);
    const Korvex::ZoOpenDescriptor descriptor{32, 0x01040000, 0, 2, "ViZOda"};
    Korvex::CPhysicalInterface* made = manager.CreateInterface(&descriptor, 0, &status);
    ASSERT_EQ(status, 0u);
    Korvex::UsbDeviceSettings settings;
    settings.Init();
    settings.SetU16Item(0, 0x1234, &status);
    settings.SetStringItem(0, "Maker", &status);
    settings.SetStringItem(1, "Meter", &status);
    settings.SetStringItem(2, "1", &status);
    ASSERT_EQ(status, 0u);
    made->Open(&settings, &status);
    ASSERT_EQ(status, 0u);
    made->ReleaseTransport(&status);
    made->Open(&settings, &status);
    ASSERT_EQ(status, 0u);
    made->ReleaseTransport(&status);
    sim::UsbHost usb;
    ASSERT_EQ(Enumerate(usb), Result::Ok);
    ASSERT_EQ(usb.interfaces().size(), 1u);
    EXPECT_EQ(usb.interfaces()[0].interfaceClass, 0xFE);
    made->Close(&status);
    EXPECT_EQ(status, 0u);
    EXPECT_FALSE(usb.device_present());
    manager.DestroyInterface(made, &status);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(manager.GetDevice(), nullptr);
    EXPECT_EQ(platform::soc::usbd().violations(), 0u);
}

} // namespace
} // namespace usbtmctest
