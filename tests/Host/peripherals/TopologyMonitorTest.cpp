// The topology monitor: which path-state changes report a plugged peripheral, which a broken
// NMR path, when the subscriber of current_probe/nmr_path_broken is called, and the monitor
// thread noticing changes of the sense input.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "Host/parameters/Logger.h"
#include "Host/peripherals/NmrPathSensor.h"
#include "Host/scpi/status/KorvexScpiStatus.h"
#include "ScriptedAdc.h"
#include "TopologyFixture.h"

namespace korvex_test {
namespace {

using Korvex::CKorvexScpiStatus;
using Korvex::CTopologyMonitorThread;

std::mutex logMutex;
std::string logText;
void CaptureLog(const char* text, std::size_t length) {
    std::lock_guard<std::mutex> hold(logMutex);
    logText.append(text, length);
}

class TopologyMonitor : public TopologyFixture {
protected:
    void SetUp() override {
        TopologyFixture::SetUp();
        for (std::uint32_t row : {CTopologyMonitorThread::RowNmrPathBroken, CTopologyMonitorThread::RowPeripheralPlugged})
            CKorvexScpiStatus::SetInstrumentStatusBit(row, 0, 0);
        Korvex::CParameterNode::Subscribe(Korvex::g_pNmrPathBroken, &Count, &calls);
        {
            std::lock_guard<std::mutex> hold(logMutex);
            logText.clear();
        }
        previousEcho = Korvex::SetLogEcho(&CaptureLog);
    }
    void TearDown() override {
        Korvex::SetLogEcho(previousEcho);
        TopologyFixture::TearDown();
    }
    static void Count(Korvex::CParameterNode*, int event, void* user) {
        if (event == 0) static_cast<std::atomic<int>*>(user)->fetch_add(1);
    }
    // Register 6 (OPERation:BIT12) events of a session block since the last look (the
    // monitor's rows are pulses).
    std::uint16_t Condition() { return CKorvexScpiStatus::ReadAndClearEvent(&session, 6); }
    static std::string Log() {
        std::lock_guard<std::mutex> hold(logMutex);
        return logText;
    }

    CKorvexScpiStatus session{nullptr, nullptr, nullptr};
    std::atomic<int> calls{0};
    Korvex::LogEcho previousEcho = nullptr;
};

TEST_F(TopologyMonitor, ChangesAndTheirReports) {
    CTopologyMonitorThread::ReportChange(0, 1);
    EXPECT_EQ(Condition() & 0x60, 0x40);
    EXPECT_NE(Log().find("TopologyMonitor: Peripheral plugged\n"), std::string::npos);
    EXPECT_FALSE(Broken());

    CTopologyMonitorThread::ReportChange(3, 2);
    EXPECT_EQ(Condition() & 0x20, 0);
    EXPECT_FALSE(Broken());

    CTopologyMonitorThread::ReportChange(1, 2);
    EXPECT_EQ(Condition() & 0x20, 0x20);
    EXPECT_NE(Log().find("TopologyMonitor: NMR Path broken\n"), std::string::npos);
    EXPECT_TRUE(Broken());
    EXPECT_EQ(calls.load(), 1);

    // A second break while the flag is set: reported, no subscriber call.
    CKorvexScpiStatus::SetInstrumentStatusBit(CTopologyMonitorThread::RowNmrPathBroken, 0, 0);
    CTopologyMonitorThread::ReportChange(2, 3);
    EXPECT_EQ(Condition() & 0x20, 0x20);
    EXPECT_EQ(calls.load(), 1);

    // A rebuild clears the flag (one call), so the next break reaches the subscriber again.
    EXPECT_EQ(Build(), "1");
    EXPECT_FALSE(Broken());
    EXPECT_EQ(calls.load(), 2);
    CTopologyMonitorThread::ReportChange(3, 0);  // an unplug is a broken path
    EXPECT_TRUE(Broken());
    EXPECT_EQ(calls.load(), 3);
}

TEST_F(TopologyMonitor, EveryChangeToEmptyIsABreak) {
    for (std::uint32_t from : {1u, 2u, 3u}) {
        Korvex::CParameterNode::SetValue(Korvex::g_pNmrPathBroken, false);
        CTopologyMonitorThread::ReportChange(from, 0);
        EXPECT_TRUE(Broken()) << from;
    }
    EXPECT_EQ(Condition() & 0x40, 0);
}

TEST_F(TopologyMonitor, ThreadNoticesTheSenseInput) {
    ScriptedAdc::Install();
    ScriptedAdc::Level(1000);
    std::uint32_t first = 99;
    ASSERT_EQ(Korvex::ReadNmrPathState(first), 0);
    ASSERT_EQ(first, 0u);
    {
        CTopologyMonitorThread monitor;
        monitor.Start();
        auto waitFor = [](auto condition) {
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            for (;;) {
                if (condition()) return true;
                if (std::chrono::steady_clock::now() > end) return false;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        };
        // Two passes on the empty connector first.
        const unsigned before = ScriptedAdc::Reads();
        EXPECT_TRUE(waitFor([&] { return ScriptedAdc::Reads() >= before + 40; }));
        ScriptedAdc::Level(790);
        EXPECT_TRUE(waitFor([&] { return (Condition() & 0x40) != 0; }));
        EXPECT_EQ(Condition() & 0x20, 0);
        EXPECT_FALSE(Broken());
        ScriptedAdc::Level(565);
        EXPECT_TRUE(waitFor([&] { return Broken(); }));
        EXPECT_EQ(calls.load(), 1);
        monitor.RequestStop();
        EXPECT_TRUE(waitFor([&] { return kernel::thread_info(monitor.GetHandle()).exited; }));
    }
    ScriptedAdc::Remove();
}

}  // namespace
}  // namespace korvex_test
