// Power management: the power event that ends the main thread's wait, the power-down monitor
// thread (power button and board temperature), the final power actions and the fatal stop.
//
// Power events: a reason word under the power mutex and a semaphore the main thread waits on.
// A request returns at once; when several arrive before the main thread looks, the latest
// reason wins.
//
// The monitor ("Power Down Monitor Thread", priority 10) waits on "/dev/temp-al" and
// "/dev/on-off_rd" for update_interval seconds at a time (at least 1 s), reading the board
// temperature into system/temperature/current_value when it starts and at each time-out, and
// writing a changed
// system/temperature/shutdown_limit to the sensor. A push of the button asks for power-off
// with the settings saved (reason 0), a hold of 5 s for power-off with them forgotten
// (reason 1), and the monitor stops (suspends itself for good); the temperature alarm
// switches the board off at once, saving nothing, and stops the monitor too.
//
// The one monitor object and the boot-monitor link are set up by a static constructor that
// runs after the board's reset path and before any other static object of the instrument;
// they live until the process ends.
#pragma once

#include <cstdint>

#include "Host/parameters/Thread.h"

namespace Korvex {

class CKorvexPower : public CThread {
public:
    enum Reason : std::uint32_t {
        eSwitchOff = 0,        // switch off after saving the last-power-off settings
        eSwitchOffForget = 1,  // switch off after deleting them
        eRestartSaving = 2,    // restart after saving them
        eRestartKeeping = 3,   // restart keeping the stored last-power-off settings (*RST)
        eRestartForget = 4,    // restart after deleting them
        eFirmwareUpdate = 5,   // restart into firmware-update mode
    };
    // Final actions.
    enum PowerAction : std::uint32_t { ePowerOff = 0, eReset = 1, eUpdateMode = 2 };

    static constexpr int Priority = 10;
    static constexpr std::size_t StackSize = 8192;
    static constexpr std::int32_t MinLimit = -55;   // the sensor's range, degrees Celsius
    static constexpr std::int32_t MaxLimit = 125;
    static constexpr std::int32_t LongPushSeconds = 5;
    static constexpr const char* DebugLogPath = "/yaffs/user/DebugLog.txt";

    // A monitor thread, created suspended (tests make their own; the instrument has one).
    CKorvexPower();

    // Calls the shut-down request hook, stores the reason (0..5) and posts the power-event
    // semaphore.
    static void RequestShutdown(std::uint32_t reason);
    // What RequestShutdown first does on the requesting thread (the start-up closes the SCPI
    // parser's input with it); null: nothing.
    static void SetShutdownRequestHook(void (*hook)());
    // RequestShutdown(2).
    static void RequestRestart();
    // Waits for a power event, at most timeoutMs (negative: without limit). true with the
    // reason of the latest request; false on time-out.
    static bool WaitForPowerEvent(std::uint32_t& reason, int timeoutMs = -1);

    // The boot monitor's boot condition; 0 when there is no boot monitor.
    static std::uint32_t GetBootCondition();
    // Starts the instrument's monitor thread and waits until it runs (once; later calls only
    // log).
    static void _StartPowerDownMonitor();
    // 0 power off, 1 reset, 2 firmware-update mode, anything else the fatal stop; then
    // suspends the calling thread.
    [[noreturn]] static void PerformPowerAction(std::uint32_t action);
    // The fatal stop: the log ring saved to DebugLog.txt, the file systems unmounted,
    // firmware-update mode asked of the boot monitor, the calling thread suspended. Safe on
    // any thread, also one holding the tree or a status lock; a second caller, at once or
    // later, only logs and suspends.
    [[noreturn]] static void Panic();
    // True once a reset or firmware-update mode (also the fatal stop's) was asked of a board
    // without boot monitor: nothing restarts the firmware, it stays stopped until the board
    // is switched off.
    static bool Halted();

    // The instrument's monitor object.
    static CKorvexPower& Monitor();

protected:
    void ThreadMain() override;

private:
    // Switches the board off by clearing the power-hold line GPG0.
    static void ReleasePowerHold();
    [[noreturn]] static void SuspendSelf();
    // Reads the board temperature into system/temperature/current_value (nothing when the
    // sensor does not answer).
    static void StoreTemperature();
    // Writes a changed shutdown limit to the sensor; remembered only once written.
    void UpdateShutdownLimit();
    // One pass of the loop: true to go on, false when the thread is to end.
    bool WatchOnce(int alarmFd, int buttonFd);

    bool limitWritten = false;
    std::int32_t lastLimit = 0;
};

}  // namespace Korvex
