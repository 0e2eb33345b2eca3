// Boot-monitor service link: the handshake, the operations with and without an entry, the
// watchdog set-up and feeding, and the update mode requested at program exit.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <unistd.h>

#include "board/bootmon.h"
#include "platform/bootmon/BootMonitor.h"
#include "platform/soc/BoardActions.h"
#include "platform/soc/SdramWindow.h"
#include "platform/soc/SocBus.h"
#include "platform/soc/Watchdog.h"

namespace {

namespace soc = platform::soc;
namespace bm = platform::bootmon;
using soc::BoardAction;

class BootmonLink : public ::testing::Test {
protected:
    void SetUp() override {
        soc::sdram_window().power_on();
        soc::watchdog().power_on();
        soc::watchdog().set_manual_clock(true);
        soc::clear_recorded_board_actions();
        bm::clear_record();
        bm::set_boot_condition(0);
    }
    void TearDown() override {
        soc::watchdog().power_on();
        soc::sdram_window().power_on();
        soc::clear_recorded_board_actions();
        bm::clear_record();
        bm::set_boot_condition(0);
    }
};

TEST_F(BootmonLink, WithoutEntryEveryOperationIsRefused) {
    bm::place_entry(false);
    bootmon_link_init();
    EXPECT_EQ(soc::read32(bm::kHandshakeCell), bm::kHandshake);
    bm::set_boot_condition(2);
    std::uint32_t condition = 0xDEADBEEF;
    EXPECT_EQ(bootmon_get_boot_condition(&condition), 0);
    EXPECT_EQ(condition, 0xDEADBEEFu);
    EXPECT_EQ(bootmon_keep_alive(), 0);
    EXPECT_EQ(bootmon_reset(), 0);
    EXPECT_EQ(bootmon_enter_update_mode(), 0);
    bootmon_atexit_handler();
    bm::Record r = bm::record();
    EXPECT_EQ(r.keepAlives + r.resets + r.updateModeRequests, 0u);
    EXPECT_TRUE(soc::recorded_board_actions().empty());
    // The watchdog runs all the same.
    EXPECT_EQ(soc::read16(soc::WTCON), kWatchdogControl);
}

TEST_F(BootmonLink, OperationsReachTheBootMonitor) {
    bootmon_link_init();
    bm::set_boot_condition(2);
    std::uint32_t condition = 0;
    EXPECT_EQ(bootmon_get_boot_condition(&condition), 1);
    EXPECT_EQ(condition, 2u);
    EXPECT_EQ(bootmon_keep_alive(), 1);
    EXPECT_EQ(bootmon_keep_alive(), 1);
    EXPECT_EQ(bootmon_reset(), 1);
    EXPECT_EQ(bootmon_enter_update_mode(), 1);
    bm::Record r = bm::record();
    EXPECT_EQ(r.keepAlives, 2u);
    EXPECT_EQ(r.resets, 1u);
    EXPECT_EQ(r.updateModeRequests, 1u);
    std::vector<BoardAction> expected{BoardAction::Reset, BoardAction::FirmwareUpdateMode};
    EXPECT_EQ(soc::recorded_board_actions(), expected);
}

TEST_F(BootmonLink, EntryIgnoresOperationsBeforeTheHandshake) {
    bm::ServiceEntry entry = bm::entry_at(soc::read32(bm::kEntryCell));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(bm::entry_at(0), nullptr);
    bm::set_boot_condition(2);
    std::uint32_t condition = 7;
    entry(bm::OpGetBootCondition, reinterpret_cast<std::uintptr_t>(&condition));
    entry(bm::OpReset, 0);
    EXPECT_EQ(condition, 7u);
    EXPECT_EQ(bm::record().resets, 0u);
    soc::write32(bm::kHandshakeCell, bm::kHandshake);
    entry(bm::OpGetBootCondition, reinterpret_cast<std::uintptr_t>(&condition));
    EXPECT_EQ(condition, 2u);
}

TEST_F(BootmonLink, StartsTheWatchdogAt60000) {
    bootmon_link_init();
    EXPECT_EQ(soc::read16(soc::WTCON), 0xFF39);
    EXPECT_EQ(soc::read16(soc::WTDAT), 60000);
    EXPECT_EQ(soc::read16(soc::WTCNT), 60000);
}

TEST_F(BootmonLink, WatchdogResetsBoardWithoutKeepAlive) {
    bootmon_link_init();
    soc::watchdog().advance(3931);
    EXPECT_TRUE(soc::recorded_board_actions().empty());
    soc::watchdog().advance(1);
    std::vector<BoardAction> expected{BoardAction::WatchdogReset};
    EXPECT_EQ(soc::recorded_board_actions(), expected);
}

TEST_F(BootmonLink, KeepAliveEvery3000TicksHoldsOffTheWatchdog) {
    bootmon_link_init();
    for (int ticks = 0; ticks < 100000; ticks += 3000) {
        soc::watchdog().advance(3000);
        ASSERT_EQ(bootmon_keep_alive(), 1);
    }
    EXPECT_TRUE(soc::recorded_board_actions().empty());
    EXPECT_EQ(bm::record().keepAlives, 34u);
}

void ReportUpdateMode() {
    bool one = bm::record().updateModeRequests == 1 &&
               soc::recorded_board_actions() ==
                   std::vector<BoardAction>{BoardAction::FirmwareUpdateMode};
    _exit(one ? 3 : 4);
}

TEST(BootmonLinkDeathTest, ExitRequestsUpdateMode) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            bm::clear_record();
            soc::clear_recorded_board_actions();
            std::atexit(&ReportUpdateMode);  // runs after the link's handler
            bootmon_link_init();
            std::exit(0);
        },
        ::testing::ExitedWithCode(3), "");
}

}  // namespace
