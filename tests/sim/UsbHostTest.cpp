// Simulated USB host against the device block model with no firmware behind it: no device
// without the pull-up, NAKs run into the deadline, an oversized packet is an overflow, and
// the descriptor parser.
#include <gtest/gtest.h>

#include <cstdint>
#include <future>
#include <thread>
#include <vector>

#include "platform/irq/Interrupt.h"
#include "platform/soc/SocBus.h"
#include "platform/soc/UsbdModel.h"
#include "sim/usb_host/UsbHost.h"

namespace {

namespace soc = platform::soc;
using Result = sim::UsbHost::Result;

void PullUp(bool on) {
    irq::InterruptsDisabled lock;
    const std::uint32_t v = soc::read32(soc::GPEDAT);
    soc::write32(soc::GPEDAT, on ? (v | 0x200) : (v & ~0x200u));
}

class UsbHost : public ::testing::Test {
protected:
    void SetUp() override {
        soc::usbd().power_on();
        soc::usbd().clear_violations();
        host.set_timeout_ms(50);
    }
    void TearDown() override {
        PullUp(false);
        EXPECT_EQ(soc::usbd().violations(), 0u) << soc::usbd().last_violation();
    }
    sim::UsbHost host;
};

TEST_F(UsbHost, NoDeviceWithoutThePullUp) {
    PullUp(false);
    EXPECT_EQ(host.enumerate(), Result::NoDevice);
    std::vector<std::uint8_t> data;
    EXPECT_EQ(host.bulk_in(0x81, 64, &data), Result::NoDevice);
}

TEST_F(UsbHost, ATransferTheDeviceNaksTimesOut) {
    PullUp(true);
    std::vector<std::uint8_t> data;
    EXPECT_EQ(host.control({0x80, 6, 0x0100, 0, 18}, &data), Result::Timeout);
    EXPECT_EQ(host.bulk_in(0x81, 64, &data), Result::Timeout);
}

// A bus reset does not wait for a transfer under way: a Bulk-IN read the device NAKs ends at
// once with NoDevice. The read is under way when its abandon check is asked the second time.
TEST_F(UsbHost, ABusResetEndsATransferUnderWay) {
    PullUp(true);
    std::promise<void> underWay;
    Result read = Result::Ok;
    std::thread reader([&] {
        sim::UsbHost::set_thread_timeout_ms(10000);
        int checks = 0;
        sim::UsbHost::set_thread_abandon_check([&] {
            if (++checks == 2) underWay.set_value();
            return false;
        });
        std::vector<std::uint8_t> data;
        read = host.bulk_in(0x81, 64, &data);
    });
    underWay.get_future().wait();
    host.bus_reset();  // no firmware sees it: it ends at its deadline
    reader.join();
    EXPECT_EQ(read, Result::NoDevice);
}

TEST_F(UsbHost, APacketLargerThanTheRoomLeftIsAnOverflow) {
    PullUp(true);
    {
        irq::InterruptsDisabled lock;
        soc::write32(soc::INDEX_REG, 1);
        soc::write32(soc::MAXP_REG, 8);
        for (int i = 0; i < 20; ++i) soc::write32(soc::EP0_FIFO_REG + 4, static_cast<std::uint32_t>(i));
        soc::write32(soc::IN_CSR1_REG, 0x01);
    }
    std::vector<std::uint8_t> data;
    EXPECT_EQ(host.bulk_in(0x81, 10, &data), Result::Overflow);
}

TEST_F(UsbHost, ParsesInterfacesAndEndpoints) {
    const std::vector<std::uint8_t> bytes = {9, 2, 32, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 2, 0xFE,
                                             3, 1, 0, 7, 5, 0x81, 2, 64, 0, 0, 7, 5, 0x02, 2, 64, 0, 0};
    std::vector<sim::UsbHost::Interface> interfaces;
    ASSERT_EQ(sim::UsbHost::parse_configuration(bytes, &interfaces), Result::Ok);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(interfaces[0].interfaceClass, 0xFE);
    ASSERT_EQ(interfaces[0].endpoints.size(), 2u);
    EXPECT_EQ(interfaces[0].endpoints[0].address, 0x81);
    EXPECT_EQ(interfaces[0].endpoints[1].maxPacket, 64);
    std::vector<std::uint8_t> cut(bytes.begin(), bytes.end() - 3);
    EXPECT_EQ(sim::UsbHost::parse_configuration(cut, &interfaces), Result::Overflow);
}

}  // namespace
