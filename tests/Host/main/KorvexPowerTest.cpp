// Power management on the simulated board (1-ms ticks): power events, the power-down monitor
// with the button and the temperature sensor, the final actions, the fatal stop and the
// keep-alive feeding the watchdog.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Host/main/HostMainFixture.h"
#include "Host/main/KeepAliveThread.h"
#include "Host/main/KorvexPower.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/FileServices.h"
#include "Host/parameters/Logger.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/parameters/SettingsClasses.h"
#include "Host/parameters/StartupSettings.h"
#include "board/board_init.h"
#include "board/bootmon.h"
#include "board/s3c2410_i2c.h"
#include "board/temp_sensor.h"
#include "platform/bootmon/BootMonitor.h"
#include "platform/gpio/Gpio.h"
#include "platform/kernel/Kernel.h"
#include "platform/soc/BoardActions.h"
#include "platform/soc/IicModel.h"
#include "platform/soc/SocBus.h"
#include "platform/soc/Watchdog.h"
#include "sim/board/Board.h"
#include "sim/temp_sensor/TempSensorSim.h"
#include "support/BoardFixture.h"

namespace Korvex::test {
namespace {

namespace gpio = platform::gpio;
namespace soc = platform::soc;
using soc::BoardAction;

std::mutex logMutex;
std::string logText;

void CaptureLog(const char* text, std::size_t length)
{
    std::lock_guard<std::mutex> hold(logMutex);
    logText.append(text, length);
}

std::string Log()
{
    std::lock_guard<std::mutex> hold(logMutex);
    return logText;
}

std::size_t Count(const std::string& text, const std::string& needle)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

std::atomic<int> currentValueCalls{0};
std::atomic<kernel::tick_t> lastCallTick{0};

void CountCurrentValue(CParameterNode*, int event, void*)
{
    if (event != 0) return;
    lastCallTick.store(kernel::current_time());
    currentValueCalls.fetch_add(1);
}

std::int32_t Int32Of(CParameterNode* node)
{
    CRecursiveLock tree(ParameterTreeLock());
    return CParameterNode::GetInt32Attribute(node, eAttrValue);
}

// Runs fn on a kernel thread of its own (a final action or the fatal stop suspends it); the
// handle, to be deleted once the thread is suspended.
template <typename Fn>
kernel::handle_t RunOnOwnThread(Fn* fn)
{
    const kernel::handle_t t = kernel::thread_create(
        10, [](kernel::addrword_t d) { (*reinterpret_cast<Fn*>(d))(); },
        reinterpret_cast<kernel::addrword_t>(fn), "power test", 8192);
    kernel::thread_resume(t);
    return t;
}

bool Suspended(kernel::handle_t t) { return kernel::thread_info(t).suspend_count > 0; }

// Generous: the machine may be loaded.
constexpr int kWaitMs = 20000;

void EndThread(kernel::handle_t t)
{
    EXPECT_TRUE(Eventually([t] { return Suspended(t); }, kWaitMs));
    kernel::thread_delete(t);
}

class Power : public korvex_test::BoardFixture {
protected:
    void SetUp() override
    {
        BoardFixture::SetUp();
        Mount();
        previousTick = kernel::tick_ms();
        kernel::set_tick_ms(1.0);
        static const bool devices = board_register_devices();
        ASSERT_TRUE(devices);
        i2c::bus_init(&s3c2410_i2c_bus);
        soc::iic().clear_faults();
        sim::BoardTempSensor().PowerOn();
        sim::Board::Connect();
        sim::Board::SetTemperature(30.0);
        sim::Board::ButtonUp();
        gpio::power_on();
        soc::clear_recorded_board_actions();
        ASSERT_EQ(KorvexLoadStartupSettings(), 0);
        std::uint32_t stale = 0;
        while (CKorvexPower::WaitForPowerEvent(stale, 0)) {
        }
        {
            std::lock_guard<std::mutex> hold(logMutex);
            logText.clear();
        }
        previousEcho = SetLogEcho(&CaptureLog);
        currentValueCalls = 0;
    }

    void TearDown() override
    {
        StopMonitor();
        SetLogEcho(previousEcho);
        soc::iic().clear_faults();
        for (const SettingsBindingRow& row : SettingsBindingTable) *row.pointer = nullptr;
        kernel::set_tick_ms(previousTick);
        BoardFixture::TearDown();
    }

    void Set(CParameterNode* node, std::int32_t value) { CParameterNode::SetValue(node, value); }

    void StartMonitor()
    {
        monitor = std::make_unique<CKorvexPower>();
        monitor->Start();
    }

    // A monitor that still watches is stopped by the button, held until it has stopped (a
    // thread killed in the middle of a pass could keep the tree lock, and a push shorter than
    // a late monitor's look would be missed); then it is deleted.
    void StopMonitor()
    {
        if (!monitor) return;
        if (!Suspended(monitor->GetHandle())) {
            sim::Board::ButtonDown();
            EXPECT_TRUE(Eventually([this] { return Suspended(monitor->GetHandle()); }, kWaitMs));
            sim::Board::ButtonUp();
        }
        monitor.reset();
    }

    // The reason of the next power event, -1 when none comes within the board time.
    long NextEvent(int timeoutMs = kWaitMs)
    {
        std::uint32_t reason = 0;
        return CKorvexPower::WaitForPowerEvent(reason, timeoutMs) ? long(reason) : -1;
    }

    // Waits until the monitor has read the temperature n more times.
    bool ReadsMore(unsigned n)
    {
        const unsigned target = sim::BoardTempSensor().TemperatureReads() + n;
        return Eventually([target] { return sim::BoardTempSensor().TemperatureReads() >= target; }, kWaitMs);
    }

    std::unique_ptr<CKorvexPower> monitor;
    LogEcho previousEcho = nullptr;
    double previousTick = 10.0;
};

// ---- power events ----

TEST_F(Power, RestartAndCommunicationSettingsLoadPostARestart)
{
    CKorvexPower::RequestRestart();
    EXPECT_EQ(NextEvent(0), 2);

    std::uint32_t comm = 0;
    ASSERT_EQ(KorvexFindSettingsClass("COMMunication", comm), 0);
    ASSERT_EQ(KorvexSaveSettings("c.xml", static_cast<int>(comm)), 0);
    ASSERT_EQ(KorvexLoadSettings("/yaffs/settings/comm_parms/c.xml"), 0);
    EXPECT_EQ(NextEvent(0), 2);
}

// ---- the power-down monitor ----

// The button is released once the monitor has seen it pressed: before its 5 s, or after.
TEST_F(Power, PushSwitchesOffAndAHoldOf5sForgetsTheSettings)
{
    struct Row {
        const char* seen;  // released once the log holds this
        long reason;
        const char* lines;
    };
    const Row rows[] = {
        {"PowerDownMonitorThreadMain: Power-down\n", 0,
         "PowerDownMonitorThreadMain: Power-down\nPowerDownMonitorThreadMain: Standard shut-down\n"},
        {"PowerDownMonitorThreadMain: Long Push shut-down\n", 1,
         "PowerDownMonitorThreadMain: Power-down\nPowerDownMonitorThreadMain: Long Push shut-down\n"},
    };
    Set(g_pTemperatureUpdateInterval, 3600);
    for (const Row& row : rows) {
        {
            std::lock_guard<std::mutex> hold(logMutex);
            logText.clear();
        }
        StartMonitor();
        sim::Board::ButtonDown();
        ASSERT_TRUE(Eventually([&row] { return Log().find(row.seen) != std::string::npos; }, kWaitMs));
        sim::Board::ButtonUp();
        EXPECT_EQ(NextEvent(), row.reason);
        EXPECT_NE(Log().find(row.lines), std::string::npos) << row.reason;
        EXPECT_TRUE(Eventually([this] { return Suspended(monitor->GetHandle()); }, kWaitMs));
        monitor.reset();
    }
}

TEST_F(Power, ButtonEventWhileReleasedChangesNothing)
{
    // Both edges come before the monitor first looks: the line fires, and reads released.
    sim::Board::ButtonDown();
    sim::Board::ButtonUp();
    Set(g_pTemperatureUpdateInterval, 1);
    StartMonitor();
    ASSERT_TRUE(ReadsMore(2));
    EXPECT_EQ(NextEvent(0), -1);
    EXPECT_EQ(Log().find("Power-down"), std::string::npos);
}

TEST_F(Power, OverTemperatureSwitchesOffAtOnceAndSavesNothing)
{
    Set(g_pTemperatureUpdateInterval, 3600);
    Set(g_pTemperatureShutdownLimit, 60);
    StartMonitor();
    ASSERT_TRUE(Eventually([] { return sim::BoardTempSensor().Register(kTempRegShutdown) == 60 * 256; }, kWaitMs));
    sim::Board::SetTemperature(61.0);
    ASSERT_TRUE(Eventually([] { return !gpio::pin_level(gpio::Port::G, gpio::kPowerHoldPin); }, kWaitMs));
    EXPECT_EQ(soc::read32(gpio::dat_address(gpio::Port::G)) & 0x0F, 0x0Cu);  // GPG2, GPG3 kept
    EXPECT_EQ(soc::recorded_board_actions(), std::vector<BoardAction>{BoardAction::PowerOff});
    EXPECT_NE(Log().find("PowerDownMonitorThreadMain: Over-temperature shut-down!!!\n"
                         "Switching Power Off...\n"),
              std::string::npos);
    EXPECT_TRUE(Eventually([this] { return Suspended(monitor->GetHandle()); }, kWaitMs));
    sim::Board::ButtonPush(1000);
    EXPECT_EQ(NextEvent(1500), -1);
}

TEST_F(Power, NewShutdownLimitReachesTheSensorWithinOneInterval)
{
    Set(g_pTemperatureUpdateInterval, 1);
    StartMonitor();
    ASSERT_TRUE(ReadsMore(1));
    ASSERT_EQ(temp_sensor_write_config(&s3c2410_i2c_bus, TempSensorConfig{2, false, false, false}), 0);
    Set(g_pTemperatureShutdownLimit, 42);
    EXPECT_TRUE(ReadsMore(2));
    sim::TempSensorSim& sensor = sim::BoardTempSensor();
    EXPECT_EQ(sensor.Register(kTempRegShutdown), 42 * 256);
    EXPECT_EQ(sensor.Register(kTempRegHysteresis), 42 * 256);
    EXPECT_EQ(sensor.Register(kTempRegConfig), 0);
}

TEST_F(Power, TemperatureIsStoredAtStartThenOnceEveryInterval)
{
    CParameterNode::Subscribe(g_pTemperatureCurrentValue, &CountCurrentValue, nullptr);
    Set(g_pTemperatureUpdateInterval, 10);
    const kernel::tick_t start = kernel::current_time();
    StartMonitor();
    ASSERT_TRUE(Eventually([] { return currentValueCalls.load() == 1; }, kWaitMs));
    const kernel::tick_t first = lastCallTick.load();
    EXPECT_LT(first - start, 100u);
    EXPECT_EQ(Int32Of(g_pTemperatureCurrentValue), 30);
    sim::Board::SetTemperature(31.5);  // truncated to whole degrees
    ASSERT_TRUE(Eventually([] { return currentValueCalls.load() == 2; }, kWaitMs));
    EXPECT_GE(lastCallTick.load() - first, 1000u);
    EXPECT_EQ(Int32Of(g_pTemperatureCurrentValue), 31);
}

// Without a floor the wait returns at once and the monitor polls the bus without end.
TEST_F(Power, IntervalBelowOneSecondCountsAsOne)
{
    Set(g_pTemperatureUpdateInterval, 0);
    StartMonitor();
    const unsigned before = sim::BoardTempSensor().TemperatureReads();
    kernel::thread_delay(300);
    EXPECT_LE(sim::BoardTempSensor().TemperatureReads() - before, 4u);
}

// A failed read leaves nothing to store.
TEST_F(Power, SensorNotAnsweringStoresNothing)
{
    CParameterNode::Subscribe(g_pTemperatureCurrentValue, &CountCurrentValue, nullptr);
    Set(g_pTemperatureCurrentValue, 99);
    currentValueCalls = 0;
    Set(g_pTemperatureUpdateInterval, 1);
    soc::iic().nack_addresses(sim::TempSensorSim::kAddress, 1000000);
    StartMonitor();
    kernel::thread_delay(350);  // three time-outs of board time
    EXPECT_EQ(Int32Of(g_pTemperatureCurrentValue), 99);
    EXPECT_EQ(currentValueCalls.load(), 0);
    soc::iic().clear_faults();
    EXPECT_TRUE(ReadsMore(1));
    EXPECT_TRUE(Eventually([] { return currentValueCalls.load() == 1; }, kWaitMs));
}

// The Int32 limit is clamped to the sensor's range before it is narrowed: 65561 would be 25.
TEST_F(Power, OversizedLimitIsClampedAndDoesNotTripAWarmBoard)
{
    Set(g_pTemperatureShutdownLimit, 65561);
    Set(g_pTemperatureUpdateInterval, 1);
    StartMonitor();
    ASSERT_TRUE(Eventually([] { return sim::BoardTempSensor().Register(kTempRegShutdown) == 125 * 256; }, kWaitMs));
    ASSERT_TRUE(ReadsMore(2));
    EXPECT_FALSE(sim::BoardTempSensor().OsAsserted());
    EXPECT_TRUE(gpio::pin_level(gpio::Port::G, gpio::kPowerHoldPin));
    EXPECT_TRUE(soc::recorded_board_actions().empty());
}

// A limit the sensor did not take is not remembered: the next pass writes it again.
TEST_F(Power, FailedLimitWriteIsRetried)
{
    Set(g_pTemperatureShutdownLimit, 50);
    Set(g_pTemperatureUpdateInterval, 1);
    // Every attempt of the read at start and of one write.
    soc::iic().nack_addresses(sim::TempSensorSim::kAddress, 10);
    StartMonitor();
    EXPECT_TRUE(Eventually([] { return sim::BoardTempSensor().Register(kTempRegShutdown) == 50 * 256; }, kWaitMs));
    EXPECT_GE(sim::BoardTempSensor().TemperatureReads(), 1u);  // only after a whole interval
}

// ---- final actions ----

TEST_F(Power, FinalActionsReachTheBoardAndSuspendTheCaller)
{
    struct Row {
        std::uint32_t action;
        BoardAction recorded;
        const char* line;
    };
    const Row rows[] = {{0, BoardAction::PowerOff, "Switching Power Off...\n"},
                        {1, BoardAction::Reset, "Resetting...\n"},
                        {2, BoardAction::FirmwareUpdateMode, "Entering DFU mode...\n"}};
    for (const Row& row : rows) {
        soc::clear_recorded_board_actions();
        gpio::power_on();
        auto act = [&row] { CKorvexPower::PerformPowerAction(row.action); };
        EndThread(RunOnOwnThread(&act));
        EXPECT_EQ(soc::recorded_board_actions(), std::vector<BoardAction>{row.recorded}) << row.action;
        EXPECT_NE(Log().find(row.line), std::string::npos) << row.action;
    }
}

TEST_F(Power, UnknownFinalActionIsAFatalStop)
{
    auto act = [] { CKorvexPower::PerformPowerAction(7); };
    EndThread(RunOnOwnThread(&act));
    EXPECT_EQ(platform::bootmon::record().updateModeRequests, 1u);
    EXPECT_NE(Log().find("CKorvexPower::Panic !!!\n"), std::string::npos);
}

// ---- the fatal stop ----

std::atomic<bool> logFileAtUpdateMode{false};
std::atomic<bool> mountedAtUpdateMode{true};
std::string debugLogHostPath;

void CheckingSink(BoardAction action)
{
    if (action != BoardAction::FirmwareUpdateMode) return;
    logFileAtUpdateMode = std::ifstream(debugLogHostPath).good();
    mountedAtUpdateMode = platform::fs::mounted("/yaffs");
}

// A fresh flash has no /yaffs/user: the fatal stop makes it, so the log is kept.
TEST_F(Power, PanicOnAFreshFlashKeepsTheLog)
{
    ASSERT_FALSE(std::filesystem::exists(state + "/yaffs/user"));
    debugLogHostPath = state + "/yaffs/user/DebugLog.txt";
    soc::set_board_action_sink(&CheckingSink);
    Logger().Printf("before the fatal stop\n");
    auto panic = [] { CKorvexPower::Panic(); };
    EndThread(RunOnOwnThread(&panic));
    soc::set_board_action_sink(nullptr);
    EXPECT_TRUE(logFileAtUpdateMode.load());
    EXPECT_FALSE(mountedAtUpdateMode.load());
    EXPECT_EQ(platform::bootmon::record().updateModeRequests, 1u);

    std::ifstream in(debugLogHostPath, std::ios::binary);
    const std::string saved((std::istreambuf_iterator<char>(in)), {});
    char* ring = Logger().GetContents();
    const std::string now(ring);
    delete[] ring;
    // The file is the ring as it was when written: what came after is the unmount and exit.
    ASSERT_FALSE(saved.empty());
    EXPECT_EQ(now.compare(0, saved.size(), saved), 0);
    EXPECT_NE(saved.find("before the fatal stop\n"), std::string::npos);
    EXPECT_EQ(saved.substr(saved.size() - 24), "CKorvexPower::Panic !!!\n");
    EXPECT_NE(now.find("Entering DFU mode...\n", saved.size()), std::string::npos);
}

TEST_F(Power, TwoPanicsAtOnceStopOnce)
{
    auto panic = [] { CKorvexPower::Panic(); };
    const kernel::handle_t first = RunOnOwnThread(&panic);
    const kernel::handle_t second = RunOnOwnThread(&panic);
    EndThread(first);
    EndThread(second);
    const std::string log = Log();
    EXPECT_EQ(Count(log, "CKorvexPower::Panic !!!\n"), 2u);
    EXPECT_EQ(Count(log, "Unmounting YAFFS...\n"), 1u);
    EXPECT_EQ(Count(log, "Entering DFU mode...\n"), 1u);
    EXPECT_EQ(platform::bootmon::record().updateModeRequests, 1u);
}

// ---- boot condition and keep-alive ----

TEST_F(Power, BootConditionComesFromTheBootMonitor)
{
    platform::bootmon::set_boot_condition(5);
    EXPECT_EQ(CKorvexPower::GetBootCondition(), 5u);
    platform::bootmon::place_entry(false);
    bootmon_link_init();
    EXPECT_EQ(CKorvexPower::GetBootCondition(), 0u);
    platform::bootmon::place_entry(true);
    bootmon_link_init();
    soc::watchdog().power_on();
    platform::bootmon::set_boot_condition(0);
}

TEST_F(Power, KeepAliveFeedsTheWatchdogUntilItStops)
{
    kernel::set_tick_ms(0.2);
    soc::watchdog().set_manual_clock(true);
    bootmon_link_init();  // starts the watchdog
    CKeepAliveThread keepAlive;
    keepAlive.Start();
    // Each keep-alive reloads the watchdog; the next one comes 3000 ticks later, before the
    // watchdog's 3932.
    for (unsigned n = 1; n <= 7; ++n) {
        ASSERT_TRUE(Eventually([n] { return platform::bootmon::record().keepAlives >= n; }, kWaitMs));
        EXPECT_EQ(platform::bootmon::record().keepAlives, n);
        soc::watchdog().advance(CKeepAliveThread::PeriodTicks);
    }
    EXPECT_TRUE(soc::recorded_board_actions().empty());  // 21000 ticks fed

    kernel::thread_delete(keepAlive.GetHandle());  // in its delay: it feeds no more
    const unsigned fed = platform::bootmon::record().keepAlives;
    soc::watchdog().advance(3931 - CKeepAliveThread::PeriodTicks);  // 3931 since the last reload
    EXPECT_TRUE(soc::recorded_board_actions().empty());
    soc::watchdog().advance(1);
    EXPECT_EQ(soc::recorded_board_actions(), std::vector<BoardAction>{BoardAction::WatchdogReset});
    EXPECT_EQ(platform::bootmon::record().keepAlives, fed);
    soc::watchdog().power_on();
}

}  // namespace
}  // namespace Korvex::test
