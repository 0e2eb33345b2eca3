// Engine start-up and session functions with fake server builders.
#include <gtest/gtest.h>

#include "TestDevice.h"
#include "engine/api/FunctionCallInterface.h"
#include "engine/api/ZoDeviceApi.h"
#include "engine/os/Allocator.h"

namespace Korvex {
namespace {

class engine_api : public ::testing::Test {
protected:
    void SetUp() override { FakeServers::Install(); }
    void TearDown() override { FakeServers::Install(); }

    static ZoOpenDescriptor Descriptor(std::uint32_t kind)
    {
        return ZoOpenDescriptor{32, 0x01040000, kind == 1 ? 1u : 0u, kind, "x"};
    }

    static void RoundTrip(TestDevice& device)
    {
        ASSERT_TRUE(device.Transport()->HostWrite("Q?", true));
        std::uint32_t reason = 0;
        EXPECT_EQ(device.Transport()->HostRead(64, &reason), "Q?=OK");
    }
};

TEST_F(engine_api, WithoutABuilderAStartFailsAndChangesNothing)
{
    zo_device_set_server_builder(kServerKindVxi11, nullptr);
    EXPECT_EQ(zo_device_start_tcpip_server(), -1);
    EXPECT_EQ(zo_device_stop_tcpip_server(), 0);   // not running: nothing
    ASSERT_EQ(zo_device_start_usb_server(), 0);
    TestDevice device;
    EXPECT_EQ(device.OpenUsb(), 0u);
}

TEST_F(engine_api, SecondStartFailsAndTheFirstKeepsServing)
{
    ASSERT_EQ(zo_device_start_tcpip_server(), 0);
    TestDevice device;
    ASSERT_EQ(device.OpenTcpIp(), 0u);
    EXPECT_EQ(zo_device_start_tcpip_server(), -1);
    RoundTrip(device);
    EXPECT_EQ(zo_device_stop_tcpip_server(), 0);
    EXPECT_EQ(zo_device_stop_tcpip_server(), 0);
    EXPECT_EQ(zo_device_start_tcpip_server(), 0);
}

TEST_F(engine_api, FailureAtEachStartStepLeavesTheOtherServerWorking)
{
    ASSERT_EQ(zo_device_start_usb_server(), 0);
    TestDevice device;
    ASSERT_EQ(device.OpenUsb(), 0u);
    const std::int64_t blocks = EngineLiveBlocks();
    for (std::uint32_t step : {1u, 2u}) {
        FakeServers::FailStart(kServerKindVxi11, step);
        EXPECT_EQ(zo_device_start_tcpip_server(), -1) << step;
        RoundTrip(device);
    }
    EXPECT_EQ(EngineLiveBlocks(), blocks);
    FakeServers::FailStart(kServerKindVxi11, 0);
    EXPECT_EQ(zo_device_start_tcpip_server(), 0);
    RoundTrip(device);
}

TEST_F(engine_api, CreateSessionChecks)
{
    ZoOpenDescriptor descriptor = Descriptor(1);
    std::uint32_t status = 0;
    EXPECT_EQ(zo_device_create_session(0x01030000, &descriptor, 0, &status), nullptr);
    EXPECT_EQ(status, 0x54363u);
    EXPECT_EQ(zo_device_create_session(0x01050000, nullptr, 0, &status), nullptr);
    EXPECT_EQ(status, 0x54341u);
    // Kind 2 while the USB server is stopped.
    descriptor = Descriptor(2);
    EXPECT_EQ(zo_device_create_session(0x01050000, &descriptor, 0, &status), nullptr);
    EXPECT_EQ(status, 0x54361u);
    zo_device_check_internal_version(0x010600FF, &status);
    EXPECT_EQ(status, 0u);
    zo_device_check_internal_version(0x01050000, &status);
    EXPECT_EQ(status, 0x54362u);
}

TEST_F(engine_api, RemoveSessionChecks)
{
    std::uint32_t status = 0;
    zo_device_remove_session(nullptr, &status);
    EXPECT_EQ(status, 0x54341u);
    ASSERT_EQ(zo_device_start_tcpip_server(), 0);
    ZoOpenDescriptor descriptor = Descriptor(1);
    CZoDeviceInterface* deviceInterface =
        zo_device_create_session(0x01040000, &descriptor, 0, &status);
    ASSERT_NE(deviceInterface, nullptr);
    EXPECT_EQ(FakeServers::Factory(1).Live(), 1u);
    zo_device_remove_session(deviceInterface, &status);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(FakeServers::Factory(1).Live(), 0u);
    // A forgotten interface (manager destroyed) goes to no factory.
    deviceInterface = zo_device_create_session(0x01040000, &descriptor, 0, &status);
    ASSERT_NE(deviceInterface, nullptr);
    FakeTransport* transport = FakeServers::Factory(1).Last();
    transport->ManagerDeviceEvent(52);
    const std::uint32_t destroyed = FakeServers::Factory(1).Destroyed();
    zo_device_remove_session(deviceInterface, &status);
    EXPECT_EQ(FakeServers::Factory(1).Destroyed(), destroyed);
    EXPECT_EQ(FakeServers::Factory(1).Live(), 1u);
    FakeServers::Factory(1).DestroyInterface(transport, &status);
}

TEST_F(engine_api, RegisterServerChecks)
{
    FakeFactory factory;
    std::uint32_t status = 0;
    zo_device_register_server(5, kInternalVersion, nullptr, &status);
    EXPECT_EQ(status, 0x54341u);
    zo_device_register_server(5, 0x01050000, &factory, &status);
    EXPECT_EQ(status, 0x54363u);
    zo_device_register_server(5, kInternalVersion, &factory, &status);
    EXPECT_EQ(status, 0u);
    zo_device_register_server(5, kInternalVersion, &factory, &status);
    EXPECT_EQ(status, 0x54360u);
    zo_device_unregister_server(5);
    zo_device_register_server(5, kInternalVersion, &factory, &status);
    EXPECT_EQ(status, 0u);
    zo_device_unregister_server(5);
}

TEST_F(engine_api, ForwardersOnAnUnknownHandle)
{
    std::uint32_t status = 0;
    zo_device_session_request_service(0xBA5700 + 40, &status);
    EXPECT_EQ(status, 0x54310u);
    zo_device_close_session(0xBA5700, &status);
    EXPECT_EQ(status, 0x54310u);
    EventRecord record{};
    zo_device_session_get_event(0x1234, 0, &record, &status);
    EXPECT_EQ(status, 0x54310u);
}

TEST_F(engine_api, EventSlotsOfTheInterface)
{
    ASSERT_EQ(zo_device_start_tcpip_server(), 0);
    ZoOpenDescriptor descriptor = Descriptor(1);
    std::uint32_t status = 0;
    CZoDeviceInterface* deviceInterface =
        zo_device_create_session(0x01050000, &descriptor, 0, &status);
    ASSERT_NE(deviceInterface, nullptr);
    EventRecord record{CEventQueue::kNoEvent, 0, nullptr, nullptr, nullptr, 0};
    // A failed GetEvent leaves code 127: running it is refused.
    deviceInterface->GetEvent(0, &record, &status);
    EXPECT_EQ(status, 0x54356u);
    deviceInterface->RunEventHandler(&record, &status);
    EXPECT_EQ(status, 0x54345u);
    deviceInterface->RunEventHandler(nullptr, &status);
    EXPECT_EQ(status, 0x54341u);
    // An aborted wait reports 0x54357 once.
    deviceInterface->AbortEventWait(&status);
    deviceInterface->GetEvent(1, &record, &status);
    EXPECT_EQ(status, 0x54357u);
    deviceInterface->GetEvent(0, &record, &status);
    EXPECT_EQ(status, 0x54356u);
    deviceInterface->SetEventHandler(16, [](std::uint32_t, std::uint32_t, void*, void*) {
        return 0u;
    }, nullptr, &status);
    EXPECT_EQ(status, 0x54345u);
    deviceInterface->Open(nullptr, &status);
    EXPECT_EQ(status, 0x54341u);
    std::uint8_t data[8];
    deviceInterface->SetInputBuffer(data + 1, 4, &status);
    EXPECT_EQ(status, 0x54343u);
    deviceInterface->SetInputBuffer(nullptr, 4, &status);
    EXPECT_EQ(status, 0x54342u);
    deviceInterface->StartEventDispatching(&status);
    EXPECT_EQ(status, 0u);
    deviceInterface->StartEventDispatching(&status);
    EXPECT_EQ(status, 0x54350u);
    zo_device_remove_session(deviceInterface, &status);
    EXPECT_EQ(status, 0u);
}

TEST_F(engine_api, InitializeStopsEverythingInterfacesFirst)
{
    ASSERT_EQ(zo_device_start_tcpip_server(), 0);
    ZoOpenDescriptor descriptor = Descriptor(1);
    std::uint32_t status = 0;
    CZoDeviceInterface* deviceInterface =
        zo_device_create_session(0x01050000, &descriptor, 0, &status);
    ASSERT_NE(deviceInterface, nullptr);
    deviceInterface->StartEventDispatching(&status);
    ASSERT_EQ(status, 0u);
    EXPECT_EQ(zo_device_initialize(), 0);
    EXPECT_EQ(FakeServers::Factory(1).Live(), 0u);
    ZoOpenDescriptor usb = Descriptor(2);
    EXPECT_EQ(zo_device_create_session(0x01050000, &usb, 0, &status), nullptr);
    EXPECT_EQ(status, 0x54361u);
}

} // namespace
} // namespace Korvex
