// The line levels are guarded by the interrupt lock, so a level change and the vector's
// mask state are seen together by the interrupt controller.
#include "platform/eint/LevelLines.h"

namespace platform::eint {

namespace {

bool levels[irq::kVectorCount];  // guarded by the interrupt lock

}  // namespace

void set_level(irq::vector_t vector, bool asserted) {
    if (vector >= irq::kVectorCount) {
        return;
    }
    irq::InterruptsDisabled lock;
    levels[vector] = asserted;
    if (asserted) {
        irq::raise(vector);
    }
}

bool level(irq::vector_t vector) {
    if (vector >= irq::kVectorCount) {
        return false;
    }
    irq::InterruptsDisabled lock;
    return levels[vector];
}

void unmask(irq::vector_t vector) {
    if (vector >= irq::kVectorCount) {
        return;
    }
    irq::InterruptsDisabled lock;
    irq::interrupt_unmask(vector);
    if (levels[vector]) {
        irq::raise(vector);
    }
}

}  // namespace platform::eint
