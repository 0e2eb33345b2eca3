// The interface and its class requests: enumeration as 0xFE/3/1, GET_CAPABILITIES,
// malformed and unknown requests, READ_STATUS_BYTE with its notifications, REN_CONTROL,
// GO_TO_LOCAL, LOCAL_LOCKOUT, TRIGGER, INDICATOR_PULSE and endpoint halts.
#include "UsbtmcFixture.h"

namespace usbtmctest {
namespace {

TEST_F(UsbtmcTest, EnumeratesAsUsbtmcUsb488Interface)
{
    ASSERT_EQ(usb.interfaces().size(), 1u);
    const sim::UsbHost::Interface& interface = usb.interfaces()[0];
    EXPECT_EQ(interface.interfaceClass, 0xFE);
    EXPECT_EQ(interface.subClass, 3);
    EXPECT_EQ(interface.protocol, 1);
    ASSERT_EQ(interface.endpoints.size(), 3u);
    EXPECT_EQ(usb.string(interface.stringIndex), "USBTMC-USB488 Interface");
    EXPECT_EQ(host.Query("*IDN?"), Answer("*IDN?"));
}

TEST_F(UsbtmcTest, CapabilitiesAreTheUsb488Block)
{
    const Bytes expected = {0x01, 0, 0x00, 0x01, 0, 0x01, 0, 0, 0, 0, 0, 0,
                            0x00, 0x01, 0x07, 0x04, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(host.Capabilities(), expected);
}

struct CapabilityCase {
    bool trigger;
    bool remoteLocal;
    std::uint8_t byte15;
};

class UsbtmcCapabilities : public UsbtmcTest,
                           public ::testing::WithParamInterface<CapabilityCase> {
protected:
    void BeforeOpen() override
    {
        if (GetParam().trigger) {
            ASSERT_EQ(device->EnableTriggerEvent(), 0u);
        }
        if (GetParam().remoteLocal) {
            ASSERT_EQ(device->EnableRemoteLocalEvent(0), 0u);
        }
    }
};

TEST_P(UsbtmcCapabilities, Byte15FollowsTheEnabledEvents)
{
    const Bytes caps = host.Capabilities();
    ASSERT_EQ(caps.size(), 24u);
    EXPECT_EQ(caps[15], GetParam().byte15);
    EXPECT_EQ(caps[14], 0x07);
}

INSTANTIATE_TEST_SUITE_P(Combinations, UsbtmcCapabilities,
                         ::testing::Values(CapabilityCase{false, false, 0x04},
                                           CapabilityCase{true, false, 0x05},
                                           CapabilityCase{false, true, 0x06},
                                           CapabilityCase{true, true, 0x07}));

struct StallCase {
    const char* what;
    std::uint8_t bmRequestType;
    std::uint8_t bRequest;
    std::uint16_t wValue;
    std::uint16_t wIndex;
    std::uint16_t wLength;
};

TEST_F(UsbtmcTest, MalformedAndUnknownRequestsStallAndChangeNothing)
{
    const StallCase cases[] = {
        {"GET_CAPABILITIES wLength 23", 0xA1, 7, 0, 0, 23},
        {"GET_CAPABILITIES to an endpoint", 0xA2, 7, 0, 0x81, 24},
        {"INITIATE_CLEAR to an endpoint", 0xA2, 5, 0, 0x02, 1},
        {"INITIATE_ABORT_BULK_OUT to the interface", 0xA1, 1, 1, 0, 2},
        {"CHECK_CLEAR_STATUS wLength 1", 0xA1, 6, 0, 0, 1},
        {"READ_STATUS_BYTE tag 0", 0xA1, 128, 0, 0, 3},
        {"READ_STATUS_BYTE tag 1", 0xA1, 128, 1, 0, 3},
        {"READ_STATUS_BYTE tag 0x80", 0xA1, 128, 0x80, 0, 3},
        {"READ_STATUS_BYTE tag 0xFF", 0xA1, 128, 0xFF, 0, 3},
        {"INITIATE_ABORT_BULK_IN tag 0", 0xA2, 3, 0, 0x81, 2},
        {"REN_CONTROL wLength 2", 0xA1, 160, 1, 0, 2},
    };
    for (const StallCase& c : cases) {
        EXPECT_EQ(Refused(c.bmRequestType, c.bRequest, c.wValue, c.wIndex, c.wLength), Result::Stall)
            << c.what;
    }
    for (int bRequest : {0, 8, 63, 65, 127, 129, 159, 163, 255}) {
        EXPECT_EQ(Refused(UsbtmcHost::kInterfaceRequest, static_cast<std::uint8_t>(bRequest), 0, 0, 1),
                  Result::Stall)
            << "bRequest " << bRequest;
    }
    EXPECT_EQ(host.Query("ALIVE?"), Answer("ALIVE?"));
}

TEST_F(UsbtmcTest, ReadStatusByteAnswersEveryValidTagOnInterruptIn)
{
    ASSERT_EQ(device->SetStatusByte(0x10), 0u);
    for (int tag = 2; tag <= 127; ++tag) {
        const auto bTag = static_cast<std::uint8_t>(tag);
        ASSERT_EQ(host.ReadStatusByte(bTag), (Bytes{0x01, bTag, 0})) << tag;
        ASSERT_EQ(host.Notification(), (Bytes{static_cast<std::uint8_t>(0x80 | bTag), 0x10})) << tag;
    }
}

TEST_F(UsbtmcTest, ServiceRequestIsNotifiedWithRqs)
{
    ASSERT_EQ(device->SetStatusByte(0x10), 0u);
    ASSERT_EQ(device->RequestService(), 0u);
    EXPECT_EQ(host.Notification(), (Bytes{0x81, 0x50}));
}

TEST_F(UsbtmcTest, ReadStatusByteDuringABusyPollGetsASecondNotification)
{
    ASSERT_EQ(device->SetStatusByte(0x04), 0u);
    EXPECT_EQ(host.ReadStatusByte(3), (Bytes{0x01, 3, 0}));
    EXPECT_EQ(host.ReadStatusByte(4), (Bytes{0x01, 4, 0}));
    EXPECT_EQ(host.Notification(), (Bytes{0x83, 0x04}));
    EXPECT_EQ(host.Notification(), (Bytes{0x84, 0x04}));
}

// Mend: the notification answers the poll by its tag even when RQS is set, and a refused
// request names no tag.
TEST_F(UsbtmcTest, PollAnsweredByItsTagWhileServiceRequestIsPending)
{
    ASSERT_EQ(device->SetStatusByte(0x10), 0u);
    EXPECT_EQ(host.ReadStatusByte(3), (Bytes{0x01, 3, 0}));
    ASSERT_EQ(device->RequestService(), 0u);  // waits behind the busy poll
    EXPECT_EQ(host.ReadStatusByte(5), (Bytes{0x01, 5, 0}));
    EXPECT_EQ(host.Notification(), (Bytes{0x83, 0x10}));
    EXPECT_EQ(host.Notification(), (Bytes{0x85, 0x50}));
}

TEST_F(UsbtmcTest, RefusedReadStatusByteKeepsTheBusyPollsTag)
{
    EXPECT_EQ(host.ReadStatusByte(6), (Bytes{0x01, 6, 0}));
    EXPECT_EQ(host.ReadStatusByte(7), (Bytes{0x01, 7, 0}));
    EXPECT_EQ(Refused(UsbtmcHost::kInterfaceRequest, 128, 0x81, 0, 3), Result::Stall);
    EXPECT_EQ(Refused(UsbtmcHost::kInterfaceRequest, 128, 1, 0, 3), Result::Stall);
    EXPECT_EQ(host.Notification(), (Bytes{0x86, 0}));
    EXPECT_EQ(host.Notification(), (Bytes{0x87, 0}));
}

class UsbtmcRemoteLocal : public UsbtmcTest {
protected:
    void BeforeOpen() override
    {
        ASSERT_EQ(device->EnableRemoteLocalEvent(1), 0u);
    }

    std::vector<std::uint32_t> Values()
    {
        std::vector<std::uint32_t> values;
        for (const auto& callback : device->Callbacks()) {
            if (callback.kind == 'L') {
                values.push_back(callback.value);
            }
        }
        return values;
    }

    Bytes Simple(std::uint8_t bRequest, std::uint16_t wValue = 0)
    {
        Bytes reply;
        EXPECT_EQ(host.Interface(bRequest, wValue, 1, &reply), Result::Ok);
        return reply;
    }
};

TEST_F(UsbtmcRemoteLocal, RenMessagesLockoutAndGoToLocalFollowTheStateMachine)
{
    EXPECT_EQ(Simple(160, 1), (Bytes{0x01}));  // REN: local with remote enable, silent
    EXPECT_EQ(host.Query("R?"), Answer("R?"));  // addressed: remote
    EXPECT_EQ(Simple(162), (Bytes{0x01}));      // LLO: remote with lockout
    EXPECT_EQ(Simple(161), (Bytes{0x01}));      // GTL: local with lockout
    EXPECT_EQ(Simple(160, 0), (Bytes{0x01}));   // REN off: local
    ASSERT_TRUE(device->WaitCount('L', 4));
    EXPECT_EQ(Values(), (std::vector<std::uint32_t>{1, 3, 2, 0}));
}

TEST_F(UsbtmcRemoteLocal, TriggerWithTriggerDisabledOnlyMovesToRemote)
{
    EXPECT_EQ(Simple(160, 1), (Bytes{0x01}));
    ASSERT_EQ(host.Send(UsbtmcHost::Header(128, host.NextTag(), 0)), Result::Ok);
    ASSERT_TRUE(device->WaitCount('L', 1));
    EXPECT_EQ(Values(), (std::vector<std::uint32_t>{1}));
    EXPECT_EQ(host.Query("AFTER?"), Answer("AFTER?"));
    EXPECT_EQ(device->Count('T'), 0u);
}

TEST_F(UsbtmcRemoteLocal, SuspendGoesToLocal)
{
    EXPECT_EQ(Simple(160, 1), (Bytes{0x01}));
    EXPECT_EQ(host.Query("R?"), Answer("R?"));
    ASSERT_EQ(usb.suspend(), Result::Ok);
    ASSERT_TRUE(device->WaitCount('L', 2));
    EXPECT_EQ(Values(), (std::vector<std::uint32_t>{1, 0}));
    ASSERT_EQ(usb.resume(), Result::Ok);
    EXPECT_EQ(host.Query("AFTER?"), Answer("AFTER?"));
}

TEST_F(UsbtmcTest, EnablingRemoteLocalInARemoteStateReportsItAtOnce)
{
    Bytes reply;
    ASSERT_EQ(host.Interface(160, 1, 1, &reply), Result::Ok);
    EXPECT_EQ(host.Query("R?"), Answer("R?"));
    EXPECT_EQ(device->Count('L'), 0u);
    ASSERT_EQ(device->EnableRemoteLocalEvent(1), 0u);
    ASSERT_TRUE(device->WaitCount('L', 1));
    for (const auto& callback : device->Callbacks()) {
        if (callback.kind == 'L') {
            EXPECT_EQ(callback.value, 1u);
        }
    }
}

class UsbtmcTrigger : public UsbtmcTest {
protected:
    void BeforeOpen() override { ASSERT_EQ(device->EnableTriggerEvent(), 0u); }
};

TEST_F(UsbtmcTrigger, TriggerMessageReachesTheDevice)
{
    ASSERT_EQ(host.Send(UsbtmcHost::Header(128, host.NextTag(), 0)), Result::Ok);
    ASSERT_TRUE(device->WaitCount('T', 1));
    Bytes badTrigger = UsbtmcHost::Header(128, host.NextTag(), 0);
    badTrigger[2] = 0;
    ASSERT_EQ(host.Send(badTrigger), Result::Ok);
    EXPECT_EQ(host.Query("AFTER?"), Answer("AFTER?"));
    EXPECT_EQ(device->Count('T'), 1u);
}

// A query waits in the device (its callback held), the host's REQUEST_DEV_DEP_MSG_IN pending,
// then a TRIGGER. While another interface's FETC? waits, the session gets it at once (to count
// it out of turn) and the query is answered; a message sent behind it runs once the reply is
// read, or a clear drops it. Otherwise the TRIGGER counts once the reply is read.
TEST_F(UsbtmcTrigger, TriggerBehindAPendingRequestCountsForAFetchElsewhere)
{
    struct Case { bool fetchElsewhere, clear; };
    static const Case kCases[] = {{true, false}, {true, true}, {false, false}};
    Latch latches[3];
    struct Release {  // however the test ends: the latches open, the device closes before they go
        Latch* latches;
        Korvex::TestDevice* device;
        ~Release()
        {
            for (int i = 0; i < 3; ++i) latches[i].Open();
            device->Close();
        }
    } release{latches, device.get()};
    std::atomic<int> holding{-1};
    device->messageHook = [&] {
        const int row = holding.exchange(-1);
        if (row >= 0) latches[row].Wait();
    };
    for (int row = 0; row < 3; ++row) {
        const Case& c = kCases[row];
        SCOPED_TRACE(row);
        holding = row;
        ASSERT_EQ(host.Write("HELD?"), Result::Ok);
        ASSERT_TRUE(latches[row].WaitEntered());
        ASSERT_EQ(device->SetFetchElsewhere(c.fetchElsewhere), 0u);
        ASSERT_EQ(host.RequestIn(4096), Result::Ok);
        ASSERT_EQ(host.Send(UsbtmcHost::Header(128, host.NextTag(), 0)), Result::Ok);
        if (c.fetchElsewhere) {
            EXPECT_TRUE(Eventually([&] { return device->TakePendingTrigger() == 0; }, 5000));
            ASSERT_EQ(host.Write(c.clear ? "DROPPED?" : "NEXT?"), Result::Ok);
        }
        latches[row].Open();
        if (c.clear) {
            EXPECT_EQ(host.InitiateClear(), (Bytes{0x01}));
            ASSERT_TRUE(Eventually([&] { return host.CheckClear() == Bytes{0x01, 0}; }));
            ASSERT_EQ(usb.clear_halt(UsbtmcHost::kBulkOut), Result::Ok);
        } else {
            EXPECT_EQ(host.ReadIn().data, Answer("HELD?"));
        }
        if (c.fetchElsewhere && !c.clear) {
            ASSERT_EQ(host.RequestIn(4096), Result::Ok);
            EXPECT_EQ(host.ReadIn().data, Answer("NEXT?"));
        }
        ASSERT_EQ(device->SetFetchElsewhere(false), 0u);
    }
    ASSERT_TRUE(device->WaitCount('T', 1));
    EXPECT_EQ(host.Query("AFTER?"), Answer("AFTER?"));
    EXPECT_EQ(device->Count('T'), 1u);
    for (const auto& callback : device->Callbacks()) EXPECT_NE(callback.text, "DROPPED?");
}

// Mend: the controller's refusal of the indicator pulse is no interface failure.
TEST_F(UsbtmcTest, IndicatorPulseSucceedsAndTheDeviceStays)
{
    Bytes reply;
    EXPECT_EQ(host.Interface(64, 0, 1, &reply), Result::Ok);
    EXPECT_EQ(reply, (Bytes{0x01}));
    EXPECT_TRUE(usb.device_present());
    EXPECT_EQ(host.Query("AFTER?"), Answer("AFTER?"));
    EXPECT_EQ(device->Count('E'), 0u);
}

TEST_F(UsbtmcTest, HostHaltsResumeInData0AfterClearFeature)
{
    for (std::uint8_t endpoint : {UsbtmcHost::kBulkOut, UsbtmcHost::kBulkIn, UsbtmcHost::kInterruptIn}) {
        Bytes none;
        ASSERT_EQ(usb.control(sim::UsbHost::Setup{0x02, 3, 0, endpoint, 0}, &none), Result::Ok);
        std::uint16_t halted = 0;
        ASSERT_EQ(usb.get_status(0x82, endpoint, &halted), Result::Ok);
        EXPECT_EQ(halted, 1) << int(endpoint);
        ASSERT_EQ(usb.clear_halt(endpoint), Result::Ok);
        EXPECT_EQ(host.Query("AFTER?"), Answer("AFTER?")) << int(endpoint);
        EXPECT_EQ(host.ReadStatusByte(9), (Bytes{0x01, 9, 0}));
        EXPECT_EQ(host.Notification(), (Bytes{0x89, 0})) << int(endpoint);
    }
}

} // namespace
} // namespace usbtmctest
