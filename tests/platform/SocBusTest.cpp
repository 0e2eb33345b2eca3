// Register bus routing and the SoC models behind it: SDRAM window, watchdog, ADC.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>

#include "platform/bootmon/BootMonitor.h"
#include "platform/soc/AdcModel.h"
#include "platform/soc/BoardActions.h"
#include "platform/soc/SdramWindow.h"
#include "platform/soc/SocBus.h"
#include "platform/soc/Watchdog.h"

namespace {

namespace soc = platform::soc;

class Scratch : public soc::RegisterModel {
public:
    std::uint32_t read(soc::addr_t address, unsigned width) override {
        lastAddress = address;
        lastWidth = width;
        return value;
    }
    void write(soc::addr_t address, std::uint32_t v, unsigned width) override {
        lastAddress = address;
        lastWidth = width;
        value = v;
    }
    soc::addr_t lastAddress = 0;
    unsigned lastWidth = 0;
    std::uint32_t value = 0;
};

TEST(SocBusRouting, RoutesByRangeWithWidth) {
    Scratch a, b;
    ASSERT_TRUE(soc::map(0x48000000, 0x10, &a));
    ASSERT_TRUE(soc::map(0x48000010, 0x10, &b));
    soc::write32(0x4800000C, 0x12345678);
    EXPECT_EQ(a.value, 0x12345678u);
    EXPECT_EQ(a.lastAddress, 0x4800000Cu);
    EXPECT_EQ(a.lastWidth, 4u);
    soc::write16(0x48000010, 0xBEEF);
    EXPECT_EQ(b.value, 0xBEEFu);
    EXPECT_EQ(b.lastWidth, 2u);
    EXPECT_EQ(soc::read16(0x4800001E), 0xBEEF);
    EXPECT_EQ(soc::owner(0x48000020), nullptr);
    soc::unmap(&a);
    soc::unmap(&b);
    EXPECT_EQ(soc::owner(0x48000000), nullptr);
}

TEST(SocBusRouting, RefusesOverlapsAndEmptyRanges) {
    Scratch a, b;
    ASSERT_TRUE(soc::map(0x49000000, 0x100, &a));
    EXPECT_FALSE(soc::map(0x490000FF, 4, &b));
    EXPECT_FALSE(soc::map(0x48FFFFFC, 8, &b));
    EXPECT_FALSE(soc::map(0x49000100, 0, &b));
    EXPECT_FALSE(soc::map(0xFFFFFFF0, 0x20, &b));
    EXPECT_FALSE(soc::map(soc::kSdramWindowBase + 0x100, 4, &b));  // built-in
    EXPECT_TRUE(soc::map(0x49000100, 4, &b));
    soc::unmap(&soc::watchdog());  // built-in ranges stay
    EXPECT_EQ(soc::owner(soc::WTCNT), &soc::watchdog());
    soc::unmap(&a);
    soc::unmap(&b);
}

TEST(SocBusRoutingDeathTest, UnownedAddressAbortsNamingIt) {
    EXPECT_DEATH(soc::read32(0x4A000123), "0x4A000123");
    EXPECT_DEATH(soc::write16(0x30008000, 1), "0x30008000");
    EXPECT_DEATH(soc::read32(0x30007FFE), "0x30008000");  // straddles the window's end
}

TEST(SocBusSdram, LittleEndianCellsAndBootMonitorToken) {
    soc::sdram_window().power_on();
    EXPECT_EQ(soc::read32(platform::bootmon::kEntryCell), platform::bootmon::kEntryToken);
    EXPECT_EQ(soc::read32(platform::bootmon::kHandshakeCell), 0u);
    soc::write32(0x30004000, 0x11223344);
    EXPECT_EQ(soc::read16(0x30004000), 0x3344);
    EXPECT_EQ(soc::read16(0x30004002), 0x1122);
    soc::write16(0x30004002, 0xAABB);
    EXPECT_EQ(soc::read32(0x30004000), 0xAABB3344u);
    EXPECT_EQ(soc::read32(0x30007FFC), 0u);
    soc::sdram_window().power_on();
    EXPECT_EQ(soc::read32(0x30004000), 0u);
}

class SocBusWatchdog : public ::testing::Test {
protected:
    void SetUp() override {
        soc::watchdog().power_on();
        soc::watchdog().set_manual_clock(true);
        soc::clear_recorded_board_actions();
    }
    void TearDown() override {
        soc::watchdog().power_on();
        soc::clear_recorded_board_actions();
    }
    static std::size_t Resets() { return soc::recorded_board_actions().size(); }
};

TEST_F(SocBusWatchdog, CountsAtPclkOverPrescalerAndDivision) {
    soc::write16(soc::WTDAT, 60000);
    soc::write16(soc::WTCNT, 60000);
    soc::write16(soc::WTCON, 0xFF39);
    soc::watchdog().advance(100);
    // 100 ticks = 5e7 PCLK cycles; / 256 / 128 = 1525 counts.
    EXPECT_EQ(soc::read16(soc::WTCNT), 60000 - 1525);
    soc::write16(soc::WTCON, 0x0039);  // prescaler 0, /128: 3906 counts a tick
    soc::watchdog().advance(1);
    EXPECT_EQ(soc::read16(soc::WTCNT), 60000 - 1525 - 3906);
    EXPECT_EQ(Resets(), 0u);
}

TEST_F(SocBusWatchdog, ExpiresInTheTickTheCountRunsOut) {
    soc::write16(soc::WTDAT, 60000);
    soc::write16(soc::WTCNT, 60000);
    soc::write16(soc::WTCON, 0xFF39);
    EXPECT_EQ(soc::watchdog().ticks_left(), 3932u);
    soc::watchdog().advance(3931);
    EXPECT_EQ(Resets(), 0u);
    EXPECT_GT(soc::read16(soc::WTCNT), 0);
    soc::watchdog().advance(1);
    ASSERT_EQ(Resets(), 1u);
    EXPECT_EQ(soc::recorded_board_actions()[0], soc::BoardAction::WatchdogReset);
    EXPECT_EQ(soc::read16(soc::WTCNT), 60000);  // reloaded from WTDAT
    soc::watchdog().advance(3932 * 2);
    EXPECT_EQ(Resets(), 3u);
}

TEST_F(SocBusWatchdog, StoppedOrWithoutResetOutputNeverResets) {
    soc::write16(soc::WTCNT, 100);
    soc::write16(soc::WTCON, 0xFF19);  // reset output on, not enabled
    soc::watchdog().advance(100000);
    EXPECT_EQ(soc::read16(soc::WTCNT), 100);
    EXPECT_EQ(soc::watchdog().ticks_left(), 0u);
    soc::write16(soc::WTCON, 0xFF38);  // enabled, no reset output
    soc::watchdog().advance(100000);
    EXPECT_EQ(Resets(), 0u);
}

TEST_F(SocBusWatchdog, StopFreezesTheCount) {
    soc::write16(soc::WTCNT, 60000);
    soc::write16(soc::WTCON, 0xFF39);
    soc::watchdog().advance(100);
    soc::write16(soc::WTCON, 0xFF19);
    soc::watchdog().advance(5000);
    EXPECT_EQ(soc::read16(soc::WTCNT), 60000 - 1525);
    EXPECT_EQ(Resets(), 0u);
}

TEST(SocBusWatchdogRealClock, ExpiresOnKernelTicks) {
    soc::watchdog().power_on();
    soc::clear_recorded_board_actions();
    soc::write16(soc::WTCNT, 16);  // prescaler 0, /16: a tick's worth
    soc::write16(soc::WTCON, 0x0021);
    for (int i = 0; i < 3000 && soc::recorded_board_actions().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    soc::watchdog().power_on();
    EXPECT_FALSE(soc::recorded_board_actions().empty());
    soc::clear_recorded_board_actions();
}

std::uint16_t Level(unsigned input) { return static_cast<std::uint16_t>(100 + input); }

TEST(SocBusAdc, StartConvertsSelectedInputAfterThreeBusyReads) {
    soc::AdcModel& adc = soc::adc();
    adc.power_on();
    adc.set_source(&Level);
    soc::write32(soc::ADCCON, (5u << 3) | 1u);
    EXPECT_EQ(adc.conversions(), 1u);
    EXPECT_EQ(adc.last_input(), 5u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(soc::read32(soc::ADCCON) & 0x8001u, 0u) << i;
    EXPECT_EQ(soc::read32(soc::ADCCON) & 0x8001u, 0x8000u);
    EXPECT_EQ(soc::read32(soc::ADCDAT0), 105u);
    soc::write32(soc::ADCCON, 5u << 3);  // no start: nothing converted
    EXPECT_EQ(adc.conversions(), 1u);
    adc.set_source(nullptr);
    soc::write32(soc::ADCCON, 1u);
    EXPECT_EQ(soc::read32(soc::ADCDAT0), 1023u);
    adc.power_on();
}

}  // namespace
