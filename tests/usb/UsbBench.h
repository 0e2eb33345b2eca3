// The whole device stack on the SoC model with the simulated host: the engine's USB device
// object, the S3C2410 controller, the device manager with a LoopbackClass registered and
// started. Every test ends with the model's violation counter at 0.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>

#include "LoopbackClass.h"
#include "engine/os/Allocator.h"
#include "engine/os/OSUsbDevice.h"
#include "platform/gpio/Gpio.h"
#include "platform/irq/Interrupt.h"
#include "platform/soc/UsbdModel.h"
#include "sim/usb_host/UsbHost.h"
#include "usb/device/UsbDeviceManager.h"
#include "usb/s3c2410/S3C2410Controller.h"

namespace usbtest {

class ExceptionRecorder : public Korvex::CUsbExceptionEventObserver {
public:
    void OnUsbException(COSUsbDevice*, std::uint32_t status) override
    {
        last.store(status);
        ++count;
    }
    std::atomic<std::uint32_t> last{0};
    std::atomic<std::uint32_t> count{0};
};

inline Korvex::UsbDeviceSettings MakeSettings()
{
    Korvex::UsbDeviceSettings s;
    s.Init();
    std::uint32_t st = 0;
    s.SetU16Item(0, 0x1A2B, &st);
    s.SetU16Item(1, 0x3C4D, &st);
    s.SetU16Item(2, 0x0102, &st);
    s.SetStringItem(0, "Korvex", &st);
    s.SetStringItem(1, "Teslameter", &st);
    s.SetStringItem(2, "0001234", &st);
    return s;
}

class UsbBench : public ::testing::Test {
protected:
    using Result = sim::UsbHost::Result;

    void SetUp() override
    {
        platform::soc::usbd().power_on();
        platform::soc::usbd().clear_violations();
        platform::soc::usbd().set_flush_reads(1);
        ASSERT_EQ(osManager.CreateDevice(1000, &device), 0u);
        std::uint32_t status = 0;
        controller = ::EngineNew<Korvex::CS3C2410Controller>(device, &exceptions, &status);
        ASSERT_EQ(status, 0u);
        manager = ::EngineNew<Korvex::CUsbDeviceManager>(controller, &status);
        ASSERT_EQ(status, 0u);
        settings = MakeSettings();
        Configure();
        if (registerClass) {
            io = manager->RegisterInterfaceClass(settings, &loopback, &loopback, &status);
            ASSERT_EQ(status, 0u);
            manager->EnableAsynchronousEventDispatching(&status);
            ASSERT_EQ(status, 0u);
        }
        if (start) {
            manager->Start(settings, &status);
            ASSERT_EQ(status, 0u);
        }
    }

    // Runs before registration: tests change the settings or the class here.
    virtual void Configure() {}

    void TearDown() override
    {
        std::uint32_t status = 0;
        if (manager != nullptr) {
            manager->Stop(&status);
            if (io != nullptr) manager->UnregisterInterfaceClass(io, &status);
        }
        ::EngineDelete(manager);
        ::EngineDelete(controller);
        osManager.DestroyObject(device);
        EXPECT_EQ(platform::soc::usbd().violations(), 0u)
            << platform::soc::usbd().last_violation();
    }

    Korvex::CS3C2410Registers* Registers() { return controller->GetRegisters(); }

    // Runs body with dispatching disabled, as engine code does.
    template <class Body>
    void Engine(Body body)
    {
        std::uint32_t status = 0;
        manager->DisableAsynchronousEventDispatching(&status);
        body();
        manager->EnableAsynchronousEventDispatching(&status);
    }

    bool registerClass = true;
    bool start = true;
    COSUsbDeviceManager osManager;
    COSUsbDevice* device = nullptr;
    ExceptionRecorder exceptions;
    Korvex::CS3C2410Controller* controller = nullptr;
    Korvex::CUsbDeviceManager* manager = nullptr;
    Korvex::CUsbInterfaceClassIoManager* io = nullptr;
    LoopbackClass loopback;
    Korvex::UsbDeviceSettings settings{};
    sim::UsbHost host;
};

}  // namespace usbtest
