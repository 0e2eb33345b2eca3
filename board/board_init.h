// Board set-up from the reset path, before the operating system and any static object of the
// instrument: the MMU section table, the pins and interrupt controller, the system tick, the
// external-interrupt trigger modes, and the device table.
#pragma once

#include <cstdint>

constexpr std::uint32_t kMmuTableBase = 0x30004000;
constexpr std::uint32_t kMmuEntries = 4096;
constexpr std::uint32_t kMmuCached = 0xC1E;    // section, AP 11, cacheable and bufferable
constexpr std::uint32_t kMmuUncached = 0xC12;  // section, AP 11, uncached and unbuffered

// The section table at 0x30004000 (cleared first), with TTB and DACR set before it is written.
void board_mmu_init();
// Interrupt controller, GPIO ports A-H, system tick, then board_extint_init.
void board_hardware_init();
// EXTINT0 trigger codes of EINT0/1/2/7; EINT7 masked and its pending bit cleared.
void board_extint_init();
// The device-table init walk: every board device is registered and its init run, once.
// false when a device could not be registered.
bool board_register_devices();
// The reset path: board_mmu_init, board_hardware_init, board_register_devices.
bool board_start();
