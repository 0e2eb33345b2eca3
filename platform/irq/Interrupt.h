// Interrupt controller of the simulated board, in the shape of the operating system's driver
// interrupt API: interrupt objects {vector, priority, ISR, DSR, data} attached to vectors,
// per-vector mask and pending state, the interrupt-disable lock, the DSR lock and driver
// condition variables.
//
// Delivery. One interrupt thread delivers. As soon as a vector is pending, unmasked and has
// an object attached, and no other thread holds the interrupt-disable lock, the interrupt
// thread runs its ISR with that lock held; a DSR the ISR asks for runs on the same thread as
// soon as no thread holds the DSR lock (a thread waiting in cond_wait does not hold it).
// ISRs come before DSRs; among several vectors the lowest priority number (then the lowest
// vector) goes first.
//
// Settling. A driver call that can make an ISR or DSR due (unmask, attach, the outermost
// enable_interrupts or dsr_unlock, a write to the controller's registers) returns only once
// the interrupt thread has run what became due, as the CPU would take the interrupt at once,
// unless the caller holds the interrupt-disable lock (DSRs: the DSR lock) or is the interrupt
// thread. Model calls (raise,
// set_level) return at once: models may call them with their own locks held, so ISRs may
// read the models' registers. A model that holds no lock an ISR could need may call settle()
// afterwards to have the interrupt taken at once.
//
// Level and edge. raise() latches a vector's pending bit (an edge, or a pulse); the latch is
// kept while the vector is masked and cleared by acknowledge. set_level() drives a vector's
// level input: while asserted the vector stays pending whatever is acknowledged.
//
// Registers (on the SoC bus at 0x4A000000): SRCPND (the pending bits of vectors 0-31; writing
// 1 clears a latch), INTMOD, INTMSK (the mask bits), PRIORITY, INTPND (the vector being
// delivered; writing 1 clears), INTOFFSET, SUBSRCPND, INTSUBMSK (stored only).
#pragma once

#include <cstdint>

#include "platform/kernel/Kernel.h"

namespace platform::soc {
class RegisterModel;
}

namespace irq {

using vector_t = std::uint32_t;
using data_t = std::uintptr_t;

constexpr vector_t kVectorCount = 64;

// ISR return bits.
enum : std::uint32_t {
    ISR_HANDLED = 1,
    ISR_CALL_DSR = 2,
};

using isr_t = std::uint32_t (*)(vector_t vector, data_t data);
using dsr_t = void (*)(vector_t vector, std::uint32_t count, data_t data);

// An interrupt object; its storage belongs to the caller and must outlive its attachment.
struct Interrupt {
    vector_t vector = 0;
    int priority = 0;
    isr_t isr = nullptr;
    dsr_t dsr = nullptr;
    data_t data = 0;
    bool attached = false;
};

void interrupt_create(vector_t vector, int priority, data_t data, isr_t isr, dsr_t dsr,
                      Interrupt* object);
// false: vector out of range, or another object is attached to the vector.
bool interrupt_attach(Interrupt* object);
// Returns once no ISR or DSR of the object runs (except when called from one); DSRs it still
// owed are dropped.
void interrupt_detach(Interrupt* object);
void interrupt_delete(Interrupt* object);  // detaches

void interrupt_mask(vector_t vector);
void interrupt_unmask(vector_t vector);
void interrupt_acknowledge(vector_t vector);  // clears the latched pending state
bool interrupt_masked(vector_t vector);
bool interrupt_pending(vector_t vector);

// The process-wide recursive interrupt-disable lock ("IRQ and FIQ masked").
void disable_interrupts();
void enable_interrupts();

// True while the calling thread holds the interrupt-disable lock (always so in an ISR).
bool interrupts_disabled_by_caller();

class InterruptsDisabled {
public:
    InterruptsDisabled() { disable_interrupts(); }
    ~InterruptsDisabled() { enable_interrupts(); }
    InterruptsDisabled(const InterruptsDisabled&) = delete;
    InterruptsDisabled& operator=(const InterruptsDisabled&) = delete;
};

// The recursive DSR lock: no DSR runs while a thread holds it.
void dsr_lock();
void dsr_unlock();

class DsrLocked {
public:
    DsrLocked() { dsr_lock(); }
    ~DsrLocked() { dsr_unlock(); }
    DsrLocked(const DsrLocked&) = delete;
    DsrLocked& operator=(const DsrLocked&) = delete;
};

// Driver condition variable, signalled from DSRs. A waiter holds the DSR lock (and the bound
// mutex, when there is one); the wait releases both and takes them again before it returns
// (the mutex first). Spurious returns are possible: wait in a loop on the driver's state.
struct Cond {
    kernel::Mutex* mutex = nullptr;
    std::uint64_t signals = 0;  // guarded by the controller
};
void cond_init(Cond* cond, kernel::Mutex* mutex);  // mutex may be null
void cond_wait(Cond* cond);
// false: the absolute tick count passed without a signal (ISRs and DSRs already due at the
// deadline run first, as the CPU would take them before it).
bool cond_timed_wait(Cond* cond, kernel::tick_t abstime);
void cond_signal(Cond* cond);
void cond_broadcast(Cond* cond);

// ---- for device models ----------------------------------------------------------------------
// The vector's line fires: latches its pending bit.
void raise(vector_t vector);
// The vector's level input; asserting it also latches the pending bit.
void set_level(vector_t vector, bool asserted);
bool level(vector_t vector);

// The controller's registers, mapped on the SoC bus.
constexpr std::uint32_t kRegisterBase = 0x4A000000;
constexpr std::uint32_t kRegisterSize = 0x20;
constexpr std::uint32_t SRCPND = 0x4A000000;
constexpr std::uint32_t INTMOD = 0x4A000004;
constexpr std::uint32_t INTMSK = 0x4A000008;
constexpr std::uint32_t PRIORITY = 0x4A00000C;
constexpr std::uint32_t INTPND = 0x4A000010;
constexpr std::uint32_t INTOFFSET = 0x4A000014;
constexpr std::uint32_t SUBSRCPND = 0x4A000018;
constexpr std::uint32_t INTSUBMSK = 0x4A00001C;
platform::soc::RegisterModel& register_model();

// Waits until nothing is due that the interrupt thread could deliver now (returns at once on
// the interrupt thread and while the caller holds the interrupt-disable lock).
void settle();

// ---- tests ------------------------------------------------------------------------------------
bool on_interrupt_thread();
// ISRs run on a vector since the process started.
std::uint64_t isr_runs(vector_t vector);

}  // namespace irq
