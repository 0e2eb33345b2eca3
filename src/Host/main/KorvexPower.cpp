#include "Host/main/KorvexPower.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "Host/parameters/Bindings.h"
#include "Host/parameters/FileServices.h"
#include "Host/parameters/Logger.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/parameters/RecursiveMutex.h"
#include "board/bootmon.h"
#include "board/temp_sensor.h"
#include "platform/devio/DevIo.h"
#include "platform/gpio/Gpio.h"
#include "platform/kernel/Kernel.h"
#include "platform/soc/SocBus.h"

namespace Korvex {

namespace {

namespace gpio = platform::gpio;

constexpr std::int64_t TicksPerSecond = 100;
constexpr char ButtonDevice[] = "/dev/on-off_rd";

struct PowerEvents {
    std::mutex mutex;
    std::condition_variable posted;
    unsigned count = 0;
    std::uint32_t reason = 0;
};

PowerEvents& Events() {
    static PowerEvents* events = new PowerEvents;  // used until the process ends
    return *events;
}

// The first fatal stop runs its steps; any later one only logs and stops its thread.
std::atomic<bool> panicking{false};
std::atomic<bool> monitorStarted{false};
std::atomic<bool> halted{false};
std::atomic<void (*)()> shutdownRequestHook{nullptr};

// The monitor object and the boot-monitor link, after the board's reset path (priority 101)
// has set the tick and placed the boot monitor's entry. Never destroyed: its thread may still
// run while the process ends.
struct PowerUnit {
    PowerUnit() : monitor(new CKorvexPower) { bootmon_link_init(); }
    CKorvexPower* monitor;
};
PowerUnit powerUnit __attribute__((init_priority(102)));

// An Int32 value of the tree, read under the tree lock; fallback when the node is not bound.
std::int32_t ReadInt32(CParameterNode* const& node, std::int32_t fallback) {
    CRecursiveLock tree(ParameterTreeLock());
    return node != nullptr ? CParameterNode::GetInt32Attribute(node, eAttrValue) : fallback;
}

bool ButtonPressed() {
    return (platform::soc::read32(gpio::dat_address(gpio::Port::F)) & (1u << gpio::kButtonPin)) == 0;
}

}  // namespace

CKorvexPower::CKorvexPower() : CThread(Priority, "Power Down Monitor Thread", StackSize) {}

CKorvexPower& CKorvexPower::Monitor() { return *powerUnit.monitor; }

void CKorvexPower::SetShutdownRequestHook(void (*hook)()) { shutdownRequestHook.store(hook); }

void CKorvexPower::RequestShutdown(std::uint32_t reason) {
    if (void (*hook)() = shutdownRequestHook.load()) hook();
    PowerEvents& events = Events();
    {
        std::lock_guard<std::mutex> hold(events.mutex);
        events.reason = reason;
        ++events.count;
    }
    events.posted.notify_all();
}

void CKorvexPower::RequestRestart() { RequestShutdown(eRestartSaving); }

bool CKorvexPower::WaitForPowerEvent(std::uint32_t& reason, int timeoutMs) {
    PowerEvents& events = Events();
    std::unique_lock<std::mutex> hold(events.mutex);
    auto posted = [&events] { return events.count > 0; };
    if (timeoutMs < 0) {
        events.posted.wait(hold, posted);
    } else if (!events.posted.wait_for(hold, std::chrono::milliseconds(timeoutMs), posted)) {
        return false;
    }
    // Every request made so far is answered by this one event: the latest reason wins.
    events.count = 0;
    reason = events.reason;
    return true;
}

std::uint32_t CKorvexPower::GetBootCondition() {
    std::uint32_t condition = 0;
    bootmon_get_boot_condition(&condition);
    return condition;
}

void CKorvexPower::_StartPowerDownMonitor() {
    Logger().Printf("Entering _StartPowerDownMonitor\n");
    if (!monitorStarted.exchange(true)) Monitor().Start();
}

void CKorvexPower::SuspendSelf() {
    for (;;) kernel::thread_suspend(kernel::thread_self());
}

void CKorvexPower::ReleasePowerHold() {
    const platform::soc::addr_t gpgdat = gpio::dat_address(gpio::Port::G);
    platform::soc::write32(gpgdat, platform::soc::read32(gpgdat) & ~(1u << gpio::kPowerHoldPin));
}

void CKorvexPower::PerformPowerAction(std::uint32_t action) {
    switch (action) {
        case ePowerOff:
            Logger().Printf("Switching Power Off...\n");
            ReleasePowerHold();
            break;
        case eReset:
            Logger().Printf("Resetting...\n");
            if (bootmon_reset() == 0) halted.store(true);
            break;
        case eUpdateMode:
            Logger().Printf("Entering DFU mode...\n");
            if (bootmon_enter_update_mode() == 0) halted.store(true);
            break;
        default: Panic();
    }
    SuspendSelf();
}

void CKorvexPower::Panic() {
    Logger().Printf("CKorvexPower::Panic !!!\n");
    if (!panicking.exchange(true)) {
        // A fresh flash has no user folder until a host stores a file there.
        KorvexMakePath("/yaffs/user", KorvexDirectoryMode);
        char* log = Logger().GetContents();
        KorvexWriteTextFile(DebugLogPath, log);
        delete[] log;
        KorvexUnmountFileSystems();
        Logger().Printf("Entering DFU mode...\n");
        if (bootmon_enter_update_mode() == 0) halted.store(true);
    }
    SuspendSelf();
}

bool CKorvexPower::Halted() { return halted.load(); }

void CKorvexPower::UpdateShutdownLimit() {
    const std::int32_t limit =
        std::clamp(ReadInt32(g_pTemperatureShutdownLimit, lastLimit), MinLimit, MaxLimit);
    if (limitWritten && limit == lastLimit) return;
    // A limit the sensor did not take is written again at the next pass.
    if (temp_sensor_set_shutdown_limit(static_cast<std::int16_t>(limit)) != 0) return;
    lastLimit = limit;
    limitWritten = true;
}

void CKorvexPower::StoreTemperature() {
    int degrees = 0;
    if (temp_sensor_read_temperature(&degrees) != 0) return;
    CParameterNode* node = nullptr;
    {
        CRecursiveLock tree(ParameterTreeLock());
        node = g_pTemperatureCurrentValue;
    }
    if (node != nullptr) CParameterNode::SetValue(node, static_cast<std::int32_t>(degrees));
}

bool CKorvexPower::WatchOnce(int alarmFd, int buttonFd) {
    UpdateShutdownLimit();
    // An interval below 1 s would make the wait return at once and poll the bus without end.
    const std::int32_t interval = std::max<std::int32_t>(ReadInt32(g_pTemperatureUpdateInterval, 1), 1);
    devio::FdSet lines;
    devio::devio_fd_zero(&lines);
    devio::devio_fd_set(alarmFd, &lines);
    devio::devio_fd_set(buttonFd, &lines);
    const int ready = devio::devio_select(std::max(alarmFd, buttonFd) + 1, &lines, nullptr,
                                          interval * TicksPerSecond);
    if (ready < 0) return true;
    if (ready == 0) {
        StoreTemperature();
        return true;
    }
    if (devio::devio_fd_isset(alarmFd, &lines)) {
        Logger().Printf("PowerDownMonitorThreadMain: Over-temperature shut-down!!!\n");
        Logger().Printf("Switching Power Off...\n");
        ReleasePowerHold();
        SuspendSelf();
    }
    if (!devio::devio_fd_isset(buttonFd, &lines) || !ButtonPressed()) return true;

    Logger().Printf("PowerDownMonitorThreadMain: Power-down\n");
    devio::FdSet button;
    devio::devio_fd_zero(&button);
    devio::devio_fd_set(buttonFd, &button);
    const int released =
        devio::devio_select(buttonFd + 1, &button, nullptr, LongPushSeconds * TicksPerSecond);
    std::uint32_t reason = eSwitchOff;
    if (released == 0 && ButtonPressed()) {
        Logger().Printf("PowerDownMonitorThreadMain: Long Push shut-down\n");
        reason = eSwitchOffForget;
    } else {
        Logger().Printf("PowerDownMonitorThreadMain: Standard shut-down\n");
    }
    RequestShutdown(reason);
    return false;
}

void CKorvexPower::ThreadMain() {
    // The board's temperature from the start, not only after the first interval.
    StoreTemperature();
    const int alarmFd = temp_alarm_open();
    const int buttonFd = devio::devio_open(ButtonDevice, devio::OPEN_READ);
    if (alarmFd >= 0 && buttonFd >= 0) {
        while (WatchOnce(alarmFd, buttonFd)) {
        }
    } else {
        Logger().Printf("PowerDownMonitorThreadMain: no alarm or button line\n");
    }
    if (alarmFd >= 0) devio::devio_close(alarmFd);
    if (buttonFd >= 0) devio::devio_close(buttonFd);
    // The monitor's work is done. It stops rather than ends: nothing joins the thread of the
    // instrument's monitor, and the host keeps an ended thread's resources until then.
    SuspendSelf();
}

}  // namespace Korvex
