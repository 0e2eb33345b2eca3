// Enumeration by the simulated host: descriptors byte for byte, standard requests and their
// edge cases, device start and registration failures.
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
    EXPECT_EQ(host.string(2), "0001");
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

}  // namespace
}  // namespace usbtest
