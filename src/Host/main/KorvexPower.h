// Power events: a reason word under the power mutex and a semaphore the main thread waits on.
// A request returns at once; when several arrive before the main thread looks, the latest
// reason wins.
#pragma once

#include <cstdint>

namespace Korvex {

class CKorvexPower {
public:
    enum Reason : std::uint32_t {
        eSwitchOff = 0,        // switch off after saving the last-power-off settings
        eRestartSaving = 2,    // restart after saving them
        eRestartKeeping = 3,   // restart keeping the stored last-power-off settings (*RST)
        eFirmwareUpdate = 5,   // restart into firmware-update mode
    };

    // Stores the reason (0..5) and posts the power-event semaphore.
    static void RequestShutdown(std::uint32_t reason);
    // RequestShutdown(2).
    static void RequestRestart();
    // Waits for a power event, at most timeoutMs (negative: without limit). true with the
    // reason of the latest request; false on time-out.
    static bool WaitForPowerEvent(std::uint32_t& reason, int timeoutMs = -1);
};

}  // namespace Korvex
