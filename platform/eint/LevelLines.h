// Level-triggered external interrupt lines over the interrupt controller (platform/irq):
// while a line is asserted its vector fires as soon as it is unmasked, as a low-level line
// does on the real interrupt controller. Drivers of level lines unmask through unmask()
// below instead of irq::interrupt_unmask.
#pragma once

#include "platform/irq/Interrupt.h"

namespace platform::eint {

// The device drives the line; asserting raises the vector.
void set_level(irq::vector_t vector, bool asserted);
bool level(irq::vector_t vector);
// Unmasks the vector and raises it again when its line is still asserted.
void unmask(irq::vector_t vector);

}  // namespace platform::eint
