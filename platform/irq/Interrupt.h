// Interrupt controller of the simulated board, in the shape of the operating system's driver
// interrupt API: interrupt objects {vector, priority, ISR, DSR, data} attached to vectors,
// per-vector mask and pending state, and one process-wide recursive interrupt lock that
// stands for "IRQ and FIQ masked".
//
// Device models raise a vector with raise(). Delivery happens on the raising thread with the
// interrupt lock held: the ISR, then (when the ISR asked for it) the DSR. Vectors start
// masked; a raised vector that is masked or has no object attached stays pending and is
// delivered when it is unmasked (or attached). A vector that becomes deliverable while the
// caller holds the interrupt lock is delivered when that thread releases its outermost hold.
#pragma once

#include <cstdint>

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
void interrupt_detach(Interrupt* object);
void interrupt_delete(Interrupt* object);  // detaches

void interrupt_mask(vector_t vector);
void interrupt_unmask(vector_t vector);
void interrupt_acknowledge(vector_t vector);  // clears the pending state
bool interrupt_masked(vector_t vector);
bool interrupt_pending(vector_t vector);

// The process-wide recursive interrupt lock.
void disable_interrupts();
void enable_interrupts();

class InterruptsDisabled {
public:
    InterruptsDisabled() { disable_interrupts(); }
    ~InterruptsDisabled() { enable_interrupts(); }
    InterruptsDisabled(const InterruptsDisabled&) = delete;
    InterruptsDisabled& operator=(const InterruptsDisabled&) = delete;
};

// For device models: the vector's line fires.
void raise(vector_t vector);

}  // namespace irq
