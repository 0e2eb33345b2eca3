// The interrupt controller: the interrupt thread, the DSR lock, driver conditions that
// release it, level and edge sources, and the controller's registers.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/irq/Interrupt.h"
#include "platform/kernel/Kernel.h"
#include "platform/soc/SocBus.h"

namespace {

constexpr irq::vector_t kVector = 30;

struct Driver {
    irq::Interrupt object;
    irq::Cond cond;
    kernel::Mutex mutex;
    std::atomic<int> isrs{0};
    std::atomic<int> dsrs{0};
    std::atomic<bool> isrHeldLock{false};
    int done = 0;  // DSR lock

    static std::uint32_t Isr(irq::vector_t vector, irq::data_t data) {
        auto* self = reinterpret_cast<Driver*>(data);
        ++self->isrs;
        // The interrupt-disable lock is the interrupt thread's: taking it again nests.
        irq::InterruptsDisabled nested;
        self->isrHeldLock = irq::on_interrupt_thread();
        irq::interrupt_acknowledge(vector);
        return irq::ISR_HANDLED | irq::ISR_CALL_DSR;
    }
    static void Dsr(irq::vector_t, std::uint32_t, irq::data_t data) {
        auto* self = reinterpret_cast<Driver*>(data);
        ++self->dsrs;
        ++self->done;
        irq::cond_signal(&self->cond);
    }

    Driver() {
        kernel::mutex_init(&mutex);
        irq::cond_init(&cond, &mutex);
        irq::interrupt_create(kVector, 2, reinterpret_cast<irq::data_t>(this), &Isr, &Dsr, &object);
        EXPECT_TRUE(irq::interrupt_attach(&object));
        irq::interrupt_unmask(kVector);
    }
    ~Driver() {
        irq::interrupt_mask(kVector);
        irq::interrupt_delete(&object);
        irq::interrupt_acknowledge(kVector);
        irq::set_level(kVector, false);
        kernel::mutex_destroy(&mutex);
    }
};

TEST(Interrupts, IsrAtOnceDsrOnlyWhenNoThreadHoldsTheDsrLock) {
    Driver d;
    irq::dsr_lock();
    irq::raise(kVector);
    irq::settle();
    EXPECT_EQ(d.isrs.load(), 1);
    EXPECT_TRUE(d.isrHeldLock.load());
    EXPECT_EQ(d.dsrs.load(), 0);
    irq::raise(kVector);
    irq::settle();
    EXPECT_EQ(d.isrs.load(), 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(d.dsrs.load(), 0);
    irq::dsr_unlock();  // both requests in one DSR run
    EXPECT_EQ(d.dsrs.load(), 1);
}

TEST(Interrupts, ConditionWaitReleasesTheDsrLockAndTheMutex) {
    Driver d;
    kernel::mutex_lock(&d.mutex);
    irq::dsr_lock();
    std::thread model([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        irq::raise(kVector);
    });
    while (d.done == 0) irq::cond_wait(&d.cond);
    model.join();
    EXPECT_EQ(d.dsrs.load(), 1);
    // Held again: a DSR now waits.
    irq::raise(kVector);
    irq::settle();
    EXPECT_EQ(d.dsrs.load(), 1);
    irq::dsr_unlock();
    kernel::mutex_unlock(&d.mutex);
    EXPECT_EQ(d.dsrs.load(), 2);
}

TEST(Interrupts, TimedWaitEndsAfterItsTicksWithoutASignal) {
    Driver d;
    irq::DsrLocked dsrs;
    kernel::mutex_lock(&d.mutex);
    const kernel::tick_t start = kernel::current_time();
    EXPECT_FALSE(irq::cond_timed_wait(&d.cond, start + 3));
    EXPECT_GE(kernel::current_time(), start + 3);
    kernel::mutex_unlock(&d.mutex);
}

// A byte step of a bus driver: the model raises from the driver's own register write with the
// DSR lock held, the driver waits 2 ticks for the DSR. At 1 ms a tick none may time out.
TEST(Interrupts, TwoTickByteWaitHoldsAtOneMillisecondTicks) {
    const double previous = kernel::tick_ms();
    kernel::set_tick_ms(1.0);
    Driver d;
    int timeouts = 0;
    kernel::mutex_lock(&d.mutex);
    irq::dsr_lock();
    for (int i = 0; i < 500; ++i) {
        d.done = 0;
        irq::raise(kVector);
        const kernel::tick_t deadline = kernel::current_time() + 2;
        while (d.done == 0) {
            if (!irq::cond_timed_wait(&d.cond, deadline)) {
                ++timeouts;
                break;
            }
        }
    }
    irq::dsr_unlock();
    kernel::mutex_unlock(&d.mutex);
    kernel::set_tick_ms(previous);
    EXPECT_EQ(timeouts, 0);
}

TEST(Interrupts, LevelStaysPendingEdgeLatchesWhileMasked) {
    Driver d;
    irq::interrupt_mask(kVector);
    irq::raise(kVector);
    EXPECT_TRUE(irq::interrupt_pending(kVector));
    irq::interrupt_unmask(kVector);
    EXPECT_EQ(d.isrs.load(), 1);  // the latched edge, taken on unmask
    EXPECT_FALSE(irq::interrupt_pending(kVector));

    irq::interrupt_mask(kVector);
    irq::set_level(kVector, true);
    irq::interrupt_acknowledge(kVector);
    EXPECT_TRUE(irq::interrupt_pending(kVector));  // still asserted
    irq::set_level(kVector, false);
    EXPECT_FALSE(irq::interrupt_pending(kVector));
}

TEST(Interrupts, RegistersShowAndSetTheControllerState) {
    Driver d;
    namespace soc = platform::soc;
    irq::interrupt_mask(kVector);
    const std::uint32_t bit = 1u << kVector;
    EXPECT_NE(soc::read32(irq::INTMSK) & bit, 0u);
    irq::raise(kVector);
    EXPECT_NE(soc::read32(irq::SRCPND) & bit, 0u);
    soc::write32(irq::SRCPND, bit);
    EXPECT_EQ(soc::read32(irq::SRCPND) & bit, 0u);
    irq::raise(kVector);
    soc::write32(irq::INTMSK, soc::read32(irq::INTMSK) & ~bit);  // unmasked: taken at once
    EXPECT_EQ(d.isrs.load(), 1);
    EXPECT_EQ(soc::read32(irq::INTPND), 0u);  // acknowledged by the ISR
}

}  // namespace
