// "/dev/dsp-int": readable while the DSP holds its host interrupt, until the host port
// acknowledges it; counted interrupts; lookup of devices off their vector.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "board/dsp_devices.h"
#include "board/hpi.h"
#include "board/intline_dev.h"
#include "platform/devio/DevIo.h"
#include "platform/hpi/HpiWindow.h"
#include "platform/irq/Interrupt.h"
#include "platform/kernel/Kernel.h"

namespace {

using namespace devio;
namespace hpi = platform::hpi;

// The DSP side of the host interrupt: writing HINT (in both halves) clears it.
class HintDsp : public hpi::HpiDevice {
public:
    void write(std::uint32_t offset, std::uint32_t value) override {
        const std::uint32_t low = value & 0xFFFF;
        if (offset == hpi::HPIC && (value >> 16) == low && (low & 0x4) != 0) {
            hpi::set_host_interrupt(false);
        }
    }
    std::uint32_t read(std::uint32_t) override { return 0; }
    void set_reset(bool) override {}
};

class IntlineDevFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(board_register_dsp_devices());
        hpi::attach(&dsp);
        hpi::set_host_interrupt(false);
        fd = devio_open("/dev/dsp-int", OPEN_READ_WRITE);
        ASSERT_GE(fd, 0);
        while (Select(0) == 1) {  // consume what earlier tests left counted
        }
    }
    void TearDown() override {
        hpi::set_host_interrupt(false);
        while (Select(0) == 1) {
        }
        devio_close(fd);
        hpi::attach(nullptr);
    }
    int Select(std::int64_t ticks) {
        FdSet set;
        devio_fd_set(fd, &set);
        const int result = devio_select(fd + 1, &set, nullptr, ticks);
        if (result == 1) {
            EXPECT_TRUE(devio_fd_isset(fd, &set));
        }
        return result;
    }
    // An interrupt on EINT0 as the controller delivers it, whatever the line level.
    static void Pulse() {
        irq::interrupt_unmask(hpi::kHostInterruptVector);
        irq::raise(hpi::kHostInterruptVector);
        irq::settle();
    }

    HintDsp dsp;
    int fd = -1;
};

using IntlineDev = IntlineDevFixture;

TEST_F(IntlineDev, ReadableUntilAcknowledged) {
    EXPECT_EQ(Select(0), 0);
    hpi::set_host_interrupt(true);
    EXPECT_EQ(Select(0), 1);
    // Not yet acknowledged: still readable, select after select.
    EXPECT_EQ(Select(0), 1);
    EXPECT_EQ(Select(10), 1);
    hpi_clear_host_interrupt();
    EXPECT_FALSE(hpi::host_interrupt_asserted());
    const kernel::tick_t start = kernel::current_time();
    EXPECT_EQ(Select(3), 0);
    EXPECT_GE(kernel::current_time() - start, 3u);
}

TEST_F(IntlineDev, AnInterruptRaisedWhileMaskedIsSeenByTheNextSelect) {
    ASSERT_EQ(Select(0), 0);
    hpi::set_host_interrupt(true);
    ASSERT_EQ(Select(0), 1);  // consumed; the vector stays masked until the next select
    hpi_clear_host_interrupt();
    hpi::set_host_interrupt(true);  // the next reply, while masked
    EXPECT_EQ(Select(0), 1);
}

TEST_F(IntlineDev, ALineDroppedWhileMaskedLeavesNothingStale) {
    hpi::set_host_interrupt(true);
    ASSERT_EQ(Select(0), 1);  // the vector is masked from here to the next select
    hpi_clear_host_interrupt();
    hpi::set_host_interrupt(true);
    hpi_clear_host_interrupt();
    EXPECT_EQ(Select(0), 0);
}

TEST_F(IntlineDev, ABlockedSelectWakesWhenTheDspRaisesItsInterrupt) {
    std::atomic<int> result{-100};
    std::thread selector([&] { result = Select(kWaitForever); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(result.load(), -100);
    std::thread dspThread([] { hpi::set_host_interrupt(true); });
    dspThread.join();
    selector.join();
    EXPECT_EQ(result.load(), 1);
    hpi_clear_host_interrupt();
}

TEST_F(IntlineDev, TwoInterruptsBeforeOneSelectAreTwoReadySelects) {
    ASSERT_EQ(Select(0), 0);
    Pulse();
    Pulse();
    EXPECT_EQ(Select(0), 1);
    EXPECT_EQ(Select(0), 1);
    EXPECT_EQ(Select(0), 0);
}

TEST_F(IntlineDev, EveryInterruptIsCounted) {
    ASSERT_EQ(Select(0), 0);
    for (int i = 0; i < 20; ++i) Pulse();
    for (int i = 0; i < 20; ++i) EXPECT_EQ(Select(0), 1) << i;
    EXPECT_EQ(Select(0), 0);
}

TEST_F(IntlineDev, IsNeverRead) {
    std::uint8_t byte = 0;
    EXPECT_LT(devio_read(fd, &byte, 1), 0);
    EXPECT_LT(devio_write(fd, &byte, 1), 0);
}

TEST(IntlineDevLookup, ADeviceOffItsVectorListDoesNotOpen) {
    IntlineRecord record(3, kIntlineNoLineBit, 0);
    Device device = {"/dev/not-a-line", &IntlineDevHandlers, &record, 0x1000};
    ASSERT_TRUE(devio_register(&device));
    EXPECT_EQ(intline_dev_lookup(&device), -22);
    EXPECT_EQ(devio_open("/dev/not-a-line", OPEN_READ_WRITE), -1);
    EXPECT_TRUE(devio_unregister(&device));
    kernel::mutex_destroy(&record.mutex);
    ASSERT_TRUE(board_register_dsp_devices());
    EXPECT_EQ(intline_dev_lookup(&DspIntDevice), 0);
}

}  // namespace
