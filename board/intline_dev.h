// Interrupt-line event devices: select-only entries of the device table over an external
// interrupt line. A thread opens one and waits for it in select together with other
// descriptors; the device becomes readable once per interrupt. It is never read.
//
// "/dev/dsp-int" sits on EINT0, the DSP's host interrupt, a low-level line: it is readable
// while the DSP holds the interrupt raised and stops being readable once the interrupt is
// acknowledged (hpi_clear_host_interrupt).
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
    IntlineRecord(std::uint32_t vec, std::uint32_t bit, std::uint32_t mode)
        : vector(vec), line_bit(bit), trigger_mode(mode) {}

    std::uint32_t vector;
    std::uint32_t line_bit;      // EINTPEND/EINTMASK bit, kIntlineNoLineBit when none
    std::uint32_t trigger_mode;  // the EXTINT code; 0 = level
    kernel::Mutex mutex;
    irq::Interrupt interrupt;
    devio::SelInfo select_info;
    std::uint8_t select_armed = 0;
    std::int32_t pending = 0;    // interrupts not yet consumed by select
};

bool intline_dev_init(devio::Device* device);
int intline_dev_lookup(devio::Device* device);               // 0, or -22 when not on its vector
int intline_dev_select(devio::Device* device, int which);    // which is ignored

extern const devio::DeviceHandlers IntlineDevHandlers;

extern devio::Device DspIntDevice;  // "/dev/dsp-int": vector 0 (EINT0), no line bit, level
