// Board set-up from the reset path: the MMU table and CP15, pins, interrupt controller and
// external-interrupt modes, from the SoC's reset values.
#include <gtest/gtest.h>

#include "board/board_init.h"
#include "platform/gpio/Gpio.h"
#include "platform/hal/HalClock.h"
#include "platform/irq/Interrupt.h"
#include "platform/soc/BoardActions.h"
#include "platform/soc/Cp15.h"
#include "platform/soc/SocBus.h"

namespace {

namespace soc = platform::soc;
namespace gpio = platform::gpio;
using gpio::Port;

std::uint32_t Entry(std::uint32_t va) { return soc::read32(kMmuTableBase + 4 * (va >> 20)); }

TEST(BoardSetUp, MmuTableMapsTheBoardAndFaultsTheRest) {
    soc::cp15_reset();
    soc::write32(kMmuTableBase + 4 * 0x123, 0xDEADBEEF);  // stale content is cleared
    board_mmu_init();
    EXPECT_EQ(soc::cp15_read_ttb(), 0x30004000u);
    EXPECT_EQ(soc::cp15_read_dacr(), 3u);
    EXPECT_EQ(Entry(0x70000000), 0x00000C12u);
    EXPECT_EQ(Entry(0x707FFFFF), 0x00700C12u);  // last MB of the 8 MB view
    EXPECT_EQ(Entry(0x70800000), 0u);
    EXPECT_EQ(Entry(0x90000000), 0x30000C12u);
    EXPECT_EQ(Entry(0x90F00000), 0x30F00C12u);
    EXPECT_EQ(Entry(0x00000000), 0x30000C1Eu);
    EXPECT_EQ(Entry(0x08000000), 0x08000C12u);
    EXPECT_EQ(Entry(0x48000000), 0x48000C12u);
    EXPECT_EQ(Entry(0x67F00000), 0x67F00C12u);  // 512 MB of registers
    EXPECT_EQ(Entry(0x68000000), 0u);
    EXPECT_EQ(Entry(0x80000000), 0x00000C1Eu);
    EXPECT_EQ(Entry(0x12300000), 0u);
    EXPECT_EQ(Entry(0xFFF00000), 0u);
}

TEST(BoardSetUp, PinsInterruptsAndTickFromTheResetValues) {
    gpio::chip_reset();
    soc::write32(irq::INTMOD, 0x5);
    board_hardware_init();
    EXPECT_EQ(soc::read32(irq::INTMOD), 0u);
    EXPECT_EQ(soc::read32(irq::INTMSK), 0xFFFFFFFFu);
    EXPECT_EQ(soc::read32(irq::INTSUBMSK), 0x7FFu);
    EXPECT_EQ(soc::read32(gpio::con_address(Port::E)), 0xA0950154u);
    EXPECT_EQ(soc::read32(gpio::dat_address(Port::E)) & 0x1E, 0x18u);  // outputs GPE1-4
    EXPECT_EQ(soc::read32(gpio::con_address(Port::G)), 0x51u);
    EXPECT_EQ(soc::read32(gpio::dat_address(Port::G)) & 0x0D, 0x0Du);   // outputs GPG0/2/3
    EXPECT_EQ(soc::read32(gpio::con_address(Port::F)), 0x802Au);
    EXPECT_EQ(soc::read32(gpio::con_address(Port::H)), 0x2ACAAAu);
    EXPECT_EQ(soc::read32(gpio::up_address(Port::B)), 0x7FFu);
    EXPECT_EQ(gpio::pin_function(Port::E, 14), gpio::Function2);  // IICSCL
    EXPECT_EQ(gpio::pin_function(Port::F, 7), gpio::Function2);   // EINT7
    EXPECT_EQ(hal_clock_period(), 62500u);
    const std::uint32_t extint0 = soc::read32(gpio::EXTINT0);
    EXPECT_EQ(extint0 & 0x7, 0u);                 // EINT0 low level
    EXPECT_EQ((extint0 >> 4) & 0x7, 4u);          // EINT1 rising edge
    EXPECT_EQ((extint0 >> 8) & 0x7, 0u);          // EINT2 low level
    EXPECT_EQ((extint0 >> 28) & 0x7, 6u);         // EINT7 both edges
    EXPECT_NE(soc::read32(gpio::EINTMASK) & 0x80, 0u);
    EXPECT_EQ(soc::read32(gpio::EINTPEND) & 0x80, 0u);
    gpio::power_on();
}

TEST(BoardSetUp, Eint7PendingIsClearedAndPowerHoldFallIsPowerOff) {
    gpio::power_on();
    // A button edge while nobody listens leaves EINT7 pending; the set-up clears it.
    gpio::set_input(Port::F, gpio::kButtonPin, false);
    gpio::set_input(Port::F, gpio::kButtonPin, true);
    EXPECT_NE(soc::read32(gpio::EINTPEND) & 0x80, 0u);
    board_extint_init();
    EXPECT_EQ(soc::read32(gpio::EINTPEND) & 0x80, 0u);

    soc::clear_recorded_board_actions();
    soc::write32(gpio::dat_address(Port::G), 0x0C);  // GPG0 low: power off
    EXPECT_EQ(soc::recorded_board_actions(),
              std::vector<soc::BoardAction>{soc::BoardAction::PowerOff});
    gpio::power_on();
    EXPECT_EQ(soc::recorded_board_actions().size(), 1u);
    soc::clear_recorded_board_actions();
}

}  // namespace
