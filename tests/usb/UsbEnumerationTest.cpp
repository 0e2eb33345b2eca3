// Enumeration by the simulated host: descriptors byte for byte, standard requests and their
// edge cases, device start and registration failures.
#include <array>
#include <vector>

#include "UsbBench.h"

namespace usbtest {
namespace {

using Bytes = std::vector<std::uint8_t>;

class UsbEnumeration : public UsbBench {};

TEST_F(UsbEnumeration, DeviceAndConfigurationDescriptorsAreByteExact)
{
    ASSERT_EQ(host.enumerate(), Result::Ok);
    const Bytes device = {18, 1, 0x00, 0x02, 0, 0, 0, 8, 0x2B, 0x1A, 0x4D, 0x3C, 0x02, 0x01, 3, 1, 2, 1};
    EXPECT_EQ(host.device_descriptor(), device);
    const Bytes configuration = {9, 2, 39, 0, 1, 1, 0, 0xC0, 50,
                                 9, 4, 0, 0, 3, 0xFF, 0, 0, 4,
                                 7, 5, 0x81, 2, 64, 0, 0,
                                 7, 5, 0x02, 2, 64, 0, 0,
                                 7, 5, 0x83, 3, 2, 0, 1};
    EXPECT_EQ(host.configuration_descriptor(), configuration);
    EXPECT_EQ(host.string(1), "Teslameter");
    EXPECT_EQ(host.string(2), "0001234");
    EXPECT_EQ(host.string(3), "Korvex");
    EXPECT_EQ(host.string(4), "Loopback");
    EXPECT_EQ(controller->GetConfiguration(), 1);
    EXPECT_TRUE(loopback.WaitFor(LoopbackEvent::Activate, 1));
}

TEST_F(UsbEnumeration, BulkDataIsEchoed)
{
    ASSERT_EQ(host.enumerate(), Result::Ok);
    ASSERT_TRUE(loopback.WaitFor(LoopbackEvent::Activate, 1));
    Bytes data(64);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 3);
    ASSERT_EQ(host.bulk_out(0x02, data), Result::Ok);
    Bytes back;
    ASSERT_EQ(host.bulk_in(0x81, 4096, &back), Result::Ok);
    EXPECT_EQ(back, data);
}

// {setup, result, reply}: standard and class requests on the enumerated device.
struct RequestCase {
    const char* what;
    sim::UsbHost::Setup setup;
    sim::UsbHost::Result result;
    Bytes reply;
};

TEST_F(UsbEnumeration, StandardRequestEdgeCases)
{
    ASSERT_EQ(host.enumerate(), Result::Ok);
    const Bytes device = host.device_descriptor();
    const std::vector<RequestCase> cases = {
        {"device descriptor, wLength 8", {0x80, 6, 0x0100, 0, 8}, Result::Ok, Bytes(device.begin(), device.begin() + 8)},
        {"descriptor type 0x21 is 1", {0x80, 6, 0x2100, 0, 18}, Result::Ok, device},
        {"wLength 0: no data stage", {0x80, 6, 0x0100, 0, 0}, Result::Ok, {}},
        {"language ids, any wIndex", {0x80, 6, 0x0300, 0x1234, 255}, Result::Ok, {4, 3, 0x09, 0x04}},
        {"unknown string", {0x80, 6, 0x0309, 0x0409, 255}, Result::Stall, {}},
        {"device qualifier", {0x80, 6, 0x0600, 0, 10}, Result::Stall, {}},
        {"second configuration", {0x80, 6, 0x0201, 0, 9}, Result::Stall, {}},
        {"GET_STATUS device: self-powered", {0x80, 0, 0, 0, 2}, Result::Ok, {1, 0}},
        {"GET_STATUS interface", {0x81, 0, 0, 0, 2}, Result::Ok, {0, 0}},
        {"GET_STATUS unknown endpoint", {0x82, 0, 0, 0x85, 2}, Result::Stall, {}},
        {"GET_CONFIGURATION", {0x80, 8, 0, 0, 1}, Result::Ok, {1}},
        {"SET_ADDRESS 128", {0x00, 5, 128, 0, 0}, Result::Stall, {}},
        {"SET_FEATURE halt of endpoint 0", {0x02, 3, 0, 0x00, 0}, Result::Stall, {}},
        {"SET_FEATURE halt of endpoint 0x80", {0x02, 3, 0, 0x80, 0}, Result::Stall, {}},
        {"SET_DESCRIPTOR", {0x00, 7, 0x0100, 0, 0}, Result::Stall, {}},
        {"SYNCH_FRAME", {0x82, 12, 0, 0x81, 2}, Result::Stall, {}},
        {"SET_CONFIGURATION 2 (none)", {0x00, 9, 2, 0, 0}, Result::Stall, {}},
        {"vendor request", {0xC0, 1, 0, 0, 2}, Result::Stall, {}},
        {"class request to the interface", {0xA1, 1, 0, 0, 2}, Result::Ok, {'L', 'B'}},
        {"class request to an endpoint", {0xA2, 1, 0, 0x81, 2}, Result::Ok, {'L', 'B'}},
        {"class request to another interface", {0xA1, 1, 0, 3, 2}, Result::Stall, {}},
        {"SET_CONFIGURATION 0", {0x00, 9, 0, 0, 0}, Result::Ok, {}},
        {"GET_CONFIGURATION after it", {0x80, 8, 0, 0, 1}, Result::Ok, {0}},
    };
    for (const RequestCase& c : cases) {
        Bytes reply;
        EXPECT_EQ(host.control(c.setup, &reply), c.result) << c.what;
        if (c.result == Result::Ok) {
            EXPECT_EQ(reply, c.reply) << c.what;
        }
    }
    ASSERT_EQ(host.control({0x00, 5, 127, 0, 0}, nullptr), Result::Ok);  // SET_ADDRESS 127
    EXPECT_EQ(platform::soc::usbd().address(), 127);
}

TEST_F(UsbEnumeration, SetConfigurationToTheCurrentValueConfiguresAgain)
{
    ASSERT_EQ(host.enumerate(), Result::Ok);
    ASSERT_TRUE(loopback.WaitFor(LoopbackEvent::Activate, 1));
    ASSERT_EQ(host.control({0x00, 9, 1, 0, 0}, nullptr), Result::Ok);
    ASSERT_TRUE(loopback.WaitFor(LoopbackEvent::Activate, 2));
    EXPECT_EQ(loopback.Count(LoopbackEvent::Deactivate), 1u);
}

class UsbDeviceStart : public UsbBench {
protected:
    void Configure() override { start = false; }
    std::uint32_t StartWith(std::uint32_t selfPowered, std::uint32_t power)
    {
        settings.flagItems[0] = static_cast<std::uint8_t>(selfPowered);
        settings.byteItems[1] = static_cast<std::uint8_t>(power);
        std::uint32_t status = 0;
        manager->Start(settings, &status);
        return status;
    }
};

TEST_F(UsbDeviceStart, PowerSettingsOutOfRangeAreRefused)
{
    // {self-powered, bMaxPower, status}
    const std::vector<std::array<std::uint32_t, 3>> cases = {
        {1, 51, 0x54370}, {0, 0, 0x54370}, {1, 0, 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(StartWith(c[0], c[1]), c[2]) << c[0] << " " << c[1];
        std::uint32_t status = 0;
        manager->Stop(&status);
    }
    EXPECT_EQ(controller->GetDisableCount(), 0u);
}

TEST_F(UsbDeviceStart, StartingTwiceOrRegisteringWhenStartedIsRefused)
{
    ASSERT_EQ(StartWith(1, 50), 0u);
    EXPECT_EQ(StartWith(1, 50), 0x54311u);
    LoopbackClass second;
    std::uint32_t status = 0;
    EXPECT_EQ(manager->RegisterInterfaceClass(settings, &second, &second, &status), nullptr);
    EXPECT_EQ(status, 0x54311u);
    EXPECT_EQ(controller->GetDisableCount(), 0u);
    EXPECT_TRUE(host.device_present());
}

class UsbDeviceNumbering : public UsbBench {
protected:
    void Configure() override
    {
        start = false;
        settings.byteItems[2] = 1;  // interface 1 without an interface 0
    }
};

TEST_F(UsbDeviceNumbering, InterfacesNotNumberedFromZeroAreRefused)
{
    std::uint32_t status = 0;
    manager->Start(settings, &status);
    EXPECT_EQ(status, 0x543A1u);
    EXPECT_FALSE(host.device_present());
}

TEST(UsbDescriptors, StringsLanguagesAndInterfaceCounts)
{
    std::uint32_t status = 0;
    Korvex::CUsbDescriptorSet set;
    set.SetVendorInfo(0x1234, "", &status);
    set.SetProductInfo(1, 2, "AB", nullptr, &status);
    set.AddConfiguration(2, 1, false, false, 50, nullptr, &status);
    set.AddInterface(2, 1, 0, 0, 0xFF, 0, 0, nullptr, &status);
    set.AddInterface(2, 1, 0, 1, 0xFF, 0, 0, nullptr, &status);
    set.Validate(&status);
    ASSERT_EQ(status, 0u);
    Korvex::CByteBuffer buffer(64);
    auto written = [&](auto write) {
        buffer.SetWindow(0, 64, &status);
        const std::uint32_t n = write();
        return Bytes(buffer.GetStorage(), buffer.GetStorage() + n);
    };
    EXPECT_EQ(written([&] { return set.WriteStringDescriptor(1, 0x0409, &buffer, &status); }),
              (Bytes{6, 3, 'A', 0, 'B', 0}));
    EXPECT_EQ(written([&] { return set.WriteStringDescriptor(0, 0, &buffer, &status); }),
              (Bytes{4, 3, 0x09, 0x04}));
    const Bytes device = written([&] { return set.WriteDeviceDescriptor(2, &buffer, &status); });
    EXPECT_EQ(device[14], 0);  // no manufacturer string
    EXPECT_EQ(device[15], 1);
    const Bytes configuration =
        written([&] { return set.WriteConfigurationDescriptor(2, 0, &buffer, &status); });
    EXPECT_EQ(configuration[4], 2);  // both alternate settings count
    EXPECT_EQ(configuration[7], 0x80);
    EXPECT_EQ(set.GetDeviceStatus(2, 0), 0);
    set.AddInterface(2, 1, 2, 0, 0xFF, 0, 0, nullptr, &status);  // skips interface 1
    set.Validate(&status);
    EXPECT_EQ(status, 0x543A1u);
}

}  // namespace
}  // namespace usbtest
