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
        {"GET_CAPABILITIES host to device", 0x21, 7, 0, 0, 24},
        {"GET_CAPABILITIES to an endpoint", 0xA2, 7, 0, 0x81, 24},
        {"INITIATE_CLEAR to an endpoint", 0xA2, 5, 0, 0x02, 1},
        {"INITIATE_ABORT_BULK_OUT to the interface", 0xA1, 1, 1, 0, 2},
        {"CHECK_CLEAR_STATUS wLength 1", 0xA1, 6, 0, 0, 1},
        {"READ_STATUS_BYTE tag 0", 0xA1, 128, 0, 0, 3},
        {"READ_STATUS_BYTE tag 1", 0xA1, 128, 1, 0, 3},
        {"READ_STATUS_BYTE tag 0x80", 0xA1, 128, 0x80, 0, 3},
        {"READ_STATUS_BYTE tag 0xFF", 0xA1, 128, 0xFF, 0, 3},
        {"INITIATE_ABORT_BULK_IN tag 0", 0xA2, 3, 0, 0x81, 2},
        {"REN_CONTROL wLength 0", 0xA1, 160, 1, 0, 0},
    };
    for (const StallCase& c : cases) {
        Bytes reply;
        EXPECT_EQ(host.ClassIn(c.bmRequestType, c.bRequest, c.wValue, c.wIndex, c.wLength, &reply),
                  Result::Stall)
            << c.what;
    }
    for (int bRequest : {0, 8, 63, 65, 127, 129, 159, 163, 255}) {
        Bytes reply;
        EXPECT_EQ(host.Interface(static_cast<std::uint8_t>(bRequest), 0, 1, &reply), Result::Stall)
            << "bRequest " << bRequest;
    }
    EXPECT_EQ(host.Query("ALIVE?"), Answer("ALIVE?"));
}

} // namespace
} // namespace usbtmctest
