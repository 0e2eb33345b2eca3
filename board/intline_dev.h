// Interrupt-line event devices: select-only entries of the device table over an external
// interrupt line. A thread opens one and waits for it in select together with other
// descriptors; the device becomes readable once per interrupt. It is never read.
//
//   "/dev/on-off_rd"  the on/off button, EINT7 (vector 4, EINT4_7), both edges
//   "/dev/temp-al"    the temperature sensor's alarm output, EINT2 (vector 2), low level
//   "/dev/dsp-int"    the DSP's host interrupt, EINT0 (vector 0), low level: readable while
//                     the DSP holds it raised, until hpi_clear_host_interrupt acknowledges it
//
// The ISR masks the vector (and the line's EINTMASK bit) and counts the interrupt; the DSR
// wakes the selectors; a select consumes one counted interrupt, or re-enables the line. An
// edge while the line is masked is kept; a level line still asserted fires again at once.
#pragma once

#include <cstdint>

#include "platform/devio/DevIo.h"
#include "platform/irq/Interrupt.h"
#include "platform/kernel/Kernel.h"

constexpr std::uint32_t kIntlineNoLineBit = 255;
constexpr std::uint32_t kIntlineRingSize = 16;
constexpr std::uint32_t kIntlineVectors = 6;

// One per device, in the device's private data.
struct IntlineRecord {
    constexpr IntlineRecord(std::uint32_t vec, std::uint32_t bit, std::uint32_t mode)
        : vector(vec), line_bit(bit), trigger_mode(mode) {}

    std::uint32_t vector;
    std::uint32_t line_bit;      // EINTPEND/EINTMASK bit, kIntlineNoLineBit when none
    std::uint32_t trigger_mode;  // the EXTINT code; 0 = level
    kernel::Mutex mutex;
    irq::Interrupt interrupt;
    devio::SelInfo select_info;
    std::uint8_t select_armed = 0;  // guarded by the DSR lock
    std::int32_t pending = 0;       // interrupts not yet consumed by select; interrupt lock
};

bool intline_dev_init(devio::Device* device);
int intline_dev_lookup(devio::Device* device);               // 0, or -22 when not on its vector
int intline_dev_select(devio::Device* device, int which);    // which is ignored

extern const devio::DeviceHandlers IntlineDevHandlers;

extern devio::Device OnOffRdDevice;  // "/dev/on-off_rd": vector 4, line bit 7, both edges
extern devio::Device TempAlDevice;   // "/dev/temp-al": vector 2, no line bit, low level
extern devio::Device DspIntDevice;   // "/dev/dsp-int": vector 0, no line bit, low level
