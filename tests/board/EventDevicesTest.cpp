// The button, temperature-alarm and DSP event devices with a selector blocked in select() on
// another thread, interrupts delivered by the interrupt thread from the GPIO pins.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "board/board_init.h"
#include "board/intline_dev.h"
#include "platform/devio/DevIo.h"
#include "platform/gpio/Gpio.h"
#include "platform/irq/Interrupt.h"
#include "platform/soc/SocBus.h"

namespace {

using namespace devio;
namespace gpio = platform::gpio;
using gpio::Port;

int SelectOn(int fd, std::int64_t ticks) {
    FdSet set;
    devio_fd_set(fd, &set);
    return devio_select(fd + 1, &set, nullptr, ticks);
}

// A select on another thread; Wait() gives its result.
class Selector {
public:
    explicit Selector(int fd) : result_(std::async(std::launch::async, SelectOn, fd, kWaitForever)) {}
    bool Blocked() {
        return result_.wait_for(std::chrono::milliseconds(30)) == std::future_status::timeout;
    }
    int Wait() {
        if (result_.wait_for(std::chrono::seconds(5)) != std::future_status::ready) return -100;
        return result_.get();
    }

private:
    std::future<int> result_;
};

class EventDevices : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(board_register_devices());
        Release();
        onOff = devio_open("/dev/on-off_rd", OPEN_READ_WRITE);
        tempAl = devio_open("/dev/temp-al", OPEN_READ_WRITE);
        ASSERT_GE(onOff, 0);
        ASSERT_GE(tempAl, 0);
        Drain();
    }
    void TearDown() override {
        Release();
        Drain();
        devio_close(onOff);
        devio_close(tempAl);
    }
    void Release() {
        Drive(gpio::kButtonPin, true);
        Drive(gpio::kTempAlarmPin, true);
    }
    void Drain() {
        while (SelectOn(onOff, 0) == 1) {
        }
        while (SelectOn(tempAl, 0) == 1) {
        }
    }
    static void Drive(unsigned pin, bool high) {
        gpio::set_input(Port::F, pin, high);
        irq::settle();
    }
    // Lets the vector fire again, as a select does, without consuming anything.
    static void Reenable(std::uint32_t lineBit, irq::vector_t vector) {
        if (lineBit != kIntlineNoLineBit)
            platform::soc::write32(gpio::EINTMASK,
                                   platform::soc::read32(gpio::EINTMASK) & ~(1u << lineBit));
        irq::interrupt_unmask(vector);
    }

    int onOff = -1;
    int tempAl = -1;
};

TEST_F(EventDevices, AButtonPressWakesABlockedSelectAndEachEdgeCounts) {
    Selector selector(onOff);
    ASSERT_TRUE(selector.Blocked());
    Drive(gpio::kButtonPin, false);  // pressed: falling edge
    EXPECT_EQ(selector.Wait(), 1);
    EXPECT_EQ(SelectOn(onOff, 0), 0);
    Selector release(onOff);
    ASSERT_TRUE(release.Blocked());
    Drive(gpio::kButtonPin, true);  // released: rising edge
    EXPECT_EQ(release.Wait(), 1);
    EXPECT_EQ(SelectOn(onOff, 0), 0);
}

TEST_F(EventDevices, TwoInterruptsBeforeOneSelectAreTwoReadySelects) {
    // The selector arms the line and is woken by the first press.
    Selector selector(onOff);
    ASSERT_TRUE(selector.Blocked());
    irq::dsr_lock();  // the selector is not woken before both edges are in
    Drive(gpio::kButtonPin, false);
    Reenable(7, 4);
    Drive(gpio::kButtonPin, true);
    irq::dsr_unlock();
    EXPECT_EQ(selector.Wait(), 1);
    EXPECT_EQ(SelectOn(onOff, 0), 1);  // the second is still counted
    EXPECT_EQ(SelectOn(onOff, 0), 0);
}

TEST_F(EventDevices, SeventeenInterruptsBetweenTwoDsrRunsAreAllCounted) {
    Selector selector(tempAl);
    ASSERT_TRUE(selector.Blocked());
    const std::uint64_t before = irq::isr_runs(2);
    irq::dsr_lock();
    for (int i = 0; i < 17; ++i) {
        Drive(gpio::kTempAlarmPin, false);
        Drive(gpio::kTempAlarmPin, true);
        Reenable(kIntlineNoLineBit, 2);
        platform::soc::write32(irq::SRCPND, 1u << 2);
    }
    EXPECT_EQ(irq::isr_runs(2) - before, 17u);
    EXPECT_TRUE(selector.Blocked());  // no DSR yet: nobody woken
    irq::dsr_unlock();
    EXPECT_EQ(selector.Wait(), 1);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(SelectOn(tempAl, 0), 1) << i;
    EXPECT_EQ(SelectOn(tempAl, 0), 0);
}

TEST_F(EventDevices, AStillAssertedLevelLineFiresAgain) {
    Drive(gpio::kTempAlarmPin, false);  // alarm asserted and held
    Selector first(tempAl);
    EXPECT_EQ(first.Wait(), 1);
    Selector second(tempAl);
    EXPECT_EQ(second.Wait(), 1);  // re-enabled by the select, still low: fires at once
    Drive(gpio::kTempAlarmPin, true);
    EXPECT_EQ(SelectOn(tempAl, 0), 0);
    Selector third(tempAl);
    EXPECT_TRUE(third.Blocked());
    Drive(gpio::kTempAlarmPin, false);
    EXPECT_EQ(third.Wait(), 1);
}

TEST_F(EventDevices, AnEdgeWhileTheLineIsMaskedIsKept) {
    Selector selector(onOff);
    ASSERT_TRUE(selector.Blocked());
    Drive(gpio::kButtonPin, false);
    ASSERT_EQ(selector.Wait(), 1);
    // The ISR masked EINT7 and the vector; the release edge comes while masked.
    EXPECT_TRUE(irq::interrupt_masked(4));
    EXPECT_NE(platform::soc::read32(gpio::EINTMASK) & (1u << 7), 0u);
    Drive(gpio::kButtonPin, true);
    EXPECT_NE(platform::soc::read32(gpio::EINTPEND) & (1u << 7), 0u);
    Selector next(onOff);
    EXPECT_EQ(next.Wait(), 1);
}

TEST_F(EventDevices, ALevelLineDroppedWhileMaskedLeavesNothing) {
    Drive(gpio::kTempAlarmPin, false);
    ASSERT_EQ(SelectOn(tempAl, 5), 1);
    Drive(gpio::kTempAlarmPin, true);
    EXPECT_EQ(SelectOn(tempAl, 2), 0);
}

TEST(EventDeviceTable, EveryBoardDeviceIsRegisteredAndOpens) {
    ASSERT_TRUE(board_register_devices());
    EXPECT_TRUE(board_register_devices());  // once only
    for (const char* name : {"/dev/on-off_rd", "/dev/temp-al", "/dev/dsp-int", "/dev/adc0",
                             "/dev/pipeHostAcqMsg", "/dev/pipeHostAcqAbort"}) {
        const int fd = devio_open(name, OPEN_READ_WRITE);
        EXPECT_GE(fd, 0) << name;
        devio_close(fd);
    }
    EXPECT_EQ(intline_dev_lookup(&OnOffRdDevice), 0);
    EXPECT_EQ(intline_dev_lookup(&TempAlDevice), 0);
}

}  // namespace
