// Service link to the resident boot monitor, and the hardware watchdog it feeds.
//
// bootmon_link_init writes the handshake word, keeps the service entry the boot monitor left
// in SDRAM, registers bootmon_atexit_handler with atexit (once per process), and reloads and
// starts the watchdog. Every operation returns 1 when there is an entry, else 0 and does
// nothing. Without keep-alives the watchdog resets the board about 39.3 s (3932 ticks) after
// the last reload.
#pragma once

#include <cstdint>

constexpr std::uint16_t kWatchdogControl = 0xFF39;  // prescaler 255, /128, enabled, reset out
constexpr std::uint16_t kWatchdogReload = 60000;

void bootmon_link_init();
int bootmon_keep_alive();          // reloads the watchdog, then operation 0
int bootmon_reset();               // operation 1
int bootmon_enter_update_mode();   // operation 2
int bootmon_get_boot_condition(std::uint32_t* condition);  // operation 3
void bootmon_atexit_handler();     // operation 2 when there is an entry

void watchdog_reset();             // WTCNT := 60000
void watchdog_start();             // WTCON := 0xFF39, WTDAT := WTCNT := 60000
