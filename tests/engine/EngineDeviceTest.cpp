// Public device classes: open/close rules, event switches, buffer descriptors, the USB
// settings record and the string rules of CUsbDevice::Open.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "TestDevice.h"
#include "engine/api/ZoDeviceApi.h"
#include "engine/device/UsbDeviceSettings.h"
#include "engine/os/Allocator.h"

namespace Korvex {
namespace {

class engine_device : public ::testing::Test {
protected:
    void SetUp() override
    {
        FakeServers::Install();
        ASSERT_EQ(zo_device_start_tcpip_server(), 0);
        ASSERT_EQ(zo_device_start_usb_server(), 0);
    }
    // Stops the servers: their interfaces go, as a real manager's do.
    void TearDown() override
    {
        zo_device_stop_tcpip_server();
        zo_device_stop_usb_server();
    }
};

TEST_F(engine_device, OpenTwiceAndCloseWhileClosed)
{
    TestDevice device;
    EXPECT_EQ(device.Close(), 0x54318u);
    ASSERT_EQ(device.OpenTcpIp(), 0u);
    EXPECT_EQ(device.CTcpIpDevice::Open(0, nullptr, true), 0x54317u);
    EXPECT_EQ(device.Close(), 0u);
    EXPECT_EQ(device.Close(), 0x54318u);
    EXPECT_EQ(FakeServers::Factory(1).Live(), 0u);
}

TEST_F(engine_device, OperationsWhileClosedReportNotEnabled)
{
    TestDevice device;
    CZoDeviceBuffer buffer(8, nullptr);
    buffer.count = 4;
    EXPECT_EQ(device.EnableInputQueue(&buffer), 0x54318u);
    EXPECT_EQ(device.QueueResponse(&buffer, true), 0x54318u);
    EXPECT_EQ(device.SetStatusByte(1), 0x54318u);
    EXPECT_EQ(device.RequestService(), 0x54318u);
    EXPECT_EQ(device.QueryDetected(), 0x54318u);
    EXPECT_EQ(device.InputProcessed(), 0x54318u);
    EXPECT_EQ(device.ReportUnterminated(), 0x54318u);
}

TEST_F(engine_device, TriggerSwitchWhileClosedThenCallback)
{
    TestDevice device;
    EXPECT_EQ(device.EnableTriggerEvent(), 0u);
    EXPECT_EQ(device.EnableTriggerEvent(), 0x54352u);
    ASSERT_EQ(device.OpenTcpIp(), 0u);
    device.Transport()->HostTrigger();
    EXPECT_TRUE(device.WaitCount('T', 1));
    // Open: the handler is installed at once; a second one is refused by the session.
    EXPECT_EQ(device.EnableTriggerEvent(), 0x54352u);
}

TEST_F(engine_device, TcpIpNameRules)
{
    TestDevice device;
    EXPECT_EQ(device.CTcpIpDevice::Open(0, "0123456789abcdef", true), 0x54312u);
    EXPECT_EQ(device.CTcpIpDevice::Open(0, "", true), 0x54312u);
    EXPECT_EQ(device.CTcpIpDevice::Open(0, "inst0", true), 0u);
}

TEST_F(engine_device, OpenOnAStoppedServerFails)
{
    ASSERT_EQ(zo_device_stop_usb_server(), 0);
    TestDevice device;
    EXPECT_EQ(device.OpenUsb(), publish(0x54361));
    EXPECT_FALSE(device.IsOpen());
}

TEST_F(engine_device, QueueResponseRules)
{
    TestDevice device;
    ASSERT_EQ(device.OpenTcpIp(), 0u);
    CZoDeviceBuffer response(8, nullptr);
    response.count = 0;
    EXPECT_EQ(device.QueueResponse(&response, true), 0x54342u);
    response.count = 9;
    EXPECT_EQ(device.QueueResponse(&response, true), 0x54342u);
    EXPECT_EQ(device.QueueResponse(nullptr, true), 0x54342u);
    std::memcpy(response.data, "ABCD", 4);
    response.count = 4;
    // No query detected: the exchange refuses, the buffer is not kept.
    EXPECT_EQ(device.QueueResponse(&response, true), 0x54335u);
    // The device queues its answer; a second response before its response-done is refused.
    ASSERT_TRUE(device.Transport()->HostWrite("X?", true));
    ASSERT_TRUE(device.WaitCount('M', 1));
    EXPECT_EQ(device.QueueResponse(&response, true), 0x54323u);
    std::uint32_t reason = 0;
    EXPECT_EQ(device.Transport()->HostRead(64, &reason), "X?=OK");
}

TEST_F(engine_device, EnableInputQueueRules)
{
    TestDevice device;
    ASSERT_EQ(device.OpenTcpIp(), 0u);   // posts its own buffer
    CZoDeviceBuffer other(8, nullptr);
    EXPECT_EQ(device.EnableInputQueue(&other), 0x54320u);
    EXPECT_EQ(device.EnableInputQueue(nullptr), 0x54342u);
}

TEST(engine_device_buffer, SizesAndAlignment)
{
    struct Row {
        std::uint32_t size;
        std::uint32_t status;
    };
    for (const Row& row : {Row{0, 0x54344}, Row{1, 0}, Row{2, 0x54344}, Row{3, 0x54344},
                           Row{4, 0}, Row{6, 0x54344}, Row{12, 0}}) {
        CZoDeviceBuffer buffer(row.size, nullptr);
        EXPECT_EQ(buffer.status, row.status) << row.size;
        EXPECT_EQ(buffer.valid, row.status == 0 ? 1 : 0) << row.size;
        if (buffer.valid) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.data) % 4, 0u);
            EXPECT_EQ(buffer.count, 0u);
        }
    }
    alignas(4) std::uint8_t storage[16];
    CZoDeviceBuffer user(8, storage);
    EXPECT_EQ(user.data, storage);
    EXPECT_EQ(user.ownBlock, nullptr);
    CZoDeviceBuffer misaligned(8, storage + 1);
    EXPECT_EQ(misaligned.status, 0x54343u);
    EXPECT_EQ(misaligned.valid, 0);
}

TEST(engine_device_buffer, MisalignedBlockIsReallocatedAndAllocationFailureReported)
{
    EngineMisalignNextBlock();
    CZoDeviceBuffer buffer(8, nullptr);
    ASSERT_EQ(buffer.valid, 1);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.data) % 4, 0u);
    EngineFailAllocation(1);
    CZoDeviceBuffer failed(8, nullptr);
    EngineResetAllocatorHooks();
    EXPECT_EQ(failed.status, 0x543F0u);
    EXPECT_EQ(failed.valid, 0);
}

TEST(engine_device_settings, ByteImage)
{
    UsbDeviceSettings settings;
    settings.Init();
    const auto* image = reinterpret_cast<const std::uint8_t*>(&settings);
    EXPECT_EQ(sizeof(settings), 680u);
    EXPECT_EQ(image[0] | image[1] << 8, 680);
    EXPECT_EQ(image[4], 0);                              // not complete
    EXPECT_EQ(image[12], 1);
    EXPECT_EQ(image[13], 50);
    EXPECT_EQ(image[14], 0);
    EXPECT_EQ(image[15], 1);
    EXPECT_EQ(image[16], 1);
    for (int i = 652; i < 655; ++i) {
        EXPECT_EQ(image[i], 0) << i;                    // u16 items not present
    }
    for (int i = 655; i < 665; ++i) {
        EXPECT_EQ(image[i], 1) << i;
    }
    for (int i = 665; i < 678; ++i) {
        EXPECT_EQ(image[i], 0) << i;
    }
    std::uint32_t status = 1;
    settings.SetU16Item(0, 0x1234, &status);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(image[6], 0x34);
    EXPECT_EQ(image[7], 0x12);
    EXPECT_EQ(image[652], 1);
    EXPECT_EQ(image[665], 1);
    EXPECT_EQ(image[4], 0);
    settings.SetU16Item(1, 2, &status);
    settings.SetU16Item(2, 3, &status);
    EXPECT_EQ(image[4], 1);                              // complete now
    settings.SetStringItem(2, "SN1", &status);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(image + 17)), "SN1");
    EXPECT_EQ(image[673], 1);                            // set flag of string item 2
    settings.SetStringItem(0, "Maker", &status);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(image + 144)), "Maker");
    settings.SetStringItem(1, "Meter", &status);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(image + 271)), "Meter");
    settings.SetStringItem(4, "Four", &status);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(image + 525)), "Four");
    EXPECT_EQ(image[677], 1);
}

TEST(engine_device_settings, RangesAndRefusals)
{
    UsbDeviceSettings settings;
    settings.Init();
    struct Row {
        char group;
        std::uint32_t index;
        std::uint32_t value;
        std::uint32_t status;
    };
    for (const Row& row : {Row{'u', 0, 65535, 0}, Row{'u', 0, 65536, 0x54370},
                           Row{'u', 3, 1, 0x54370}, Row{'b', 0, 0, 0x54370},
                           Row{'b', 0, 255, 0}, Row{'b', 1, 250, 0}, Row{'b', 1, 251, 0x54370},
                           Row{'b', 2, 0, 0}, Row{'b', 3, 0, 0x54370}, Row{'f', 1, 255, 0},
                           Row{'f', 2, 0, 0x54370}}) {
        std::uint32_t status = 1;
        if (row.group == 'u') {
            settings.SetU16Item(row.index, row.value, &status);
        } else if (row.group == 'b') {
            settings.SetByteItem(row.index, row.value, &status);
        } else {
            settings.SetFlagItem(row.index, row.value, &status);
        }
        EXPECT_EQ(status, row.status) << row.group << row.index << " " << row.value;
    }
    std::uint32_t status = 0;
    settings.SetStringItem(3, nullptr, &status);
    EXPECT_EQ(status, 0x54342u);
    settings.SetStringItem(3, std::string(127, 'x').c_str(), &status);
    EXPECT_EQ(status, 0x54370u);
    settings.SetStringItem(3, std::string(126, 'x').c_str(), &status);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(settings.string3[125], 'x');
    EXPECT_EQ(settings.string3[126], 0);
}

TEST_F(engine_device, UsbOpenStringRules)
{
    struct Row {
        const char* product;
        const char* string4;
        std::uint32_t status;
    };
    const std::string longest(63, 'p');
    const std::string tooLong(64, 'p');
    for (const Row& row : {Row{" Meter", nullptr, 0x54312}, Row{"Meter ", nullptr, 0x54312},
                           Row{"Me:ter", nullptr, 0x54312}, Row{"Me*ter", nullptr, 0x54312},
                           Row{"Me\"ter", nullptr, 0x54312}, Row{"Me/ter", nullptr, 0x54312},
                           Row{"Me\\ter", nullptr, 0x54312}, Row{"Me?ter", nullptr, 0x54312},
                           Row{"Me\tter", nullptr, 0x54312}, Row{"", nullptr, 0x54312},
                           Row{nullptr, nullptr, 0x54312}, Row{tooLong.c_str(), nullptr, 0x54312},
                           Row{longest.c_str(), nullptr, 0}, Row{"Meter", "Extra:", 0x54312},
                           Row{"Meter", "Extra", 0}}) {
        TestDevice device;
        EXPECT_EQ(device.CUsbDevice::Open(1, 2, 3, "Maker", row.product, "0000001", nullptr,
                                          row.string4, 50, 1, 0, true),
                  row.status)
            << (row.product != nullptr ? row.product : "(null)");
    }
    TestDevice device;
    EXPECT_EQ(device.CUsbDevice::Open(1, 2, 3, "Maker", "Meter", "1", nullptr, nullptr, 251, 1, 0,
                                      true),
              0x54312u);
}

} // namespace
} // namespace Korvex

namespace Korvex {
namespace {

// A device that overrides nothing: every callback reaches a default that does nothing.
class BareDevice : public CTcpIpDevice {
};

TEST_F(engine_device, CallbackDefaultsDoNothing)
{
    BareDevice device;
    ASSERT_EQ(device.EnableTriggerEvent(), 0u);
    ASSERT_EQ(device.EnableStatusByteRequestEvent(), 0u);
    ASSERT_EQ(device.EnableRemoteLocalEvent(0), 0u);
    ASSERT_EQ(device.Open(0, nullptr, true), 0u);
    FakeTransport* host = FakeServers::Factory(1).Last();
    CZoDeviceBuffer input(16, nullptr);
    ASSERT_EQ(device.EnableInputQueue(&input), 0u);
    ASSERT_TRUE(host->HostWrite("X", true));
    host->HostTrigger();
    host->HostRemoteLocal(2);
    EXPECT_TRUE(host->HostDeviceClearAndWait());
    // Nobody answers the status-byte request: the poll waits for its time-out.
    EXPECT_EQ(host->HostSerialPoll(20), -1);
    EXPECT_EQ(device.Close(), 0u);
}

} // namespace
} // namespace Korvex
