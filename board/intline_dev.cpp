// Interrupt-line event devices over the simulated interrupt controller. On this board the
// DSRs run with the interrupt lock held, right after their ISR, so holding the interrupt lock
// both disables interrupts and locks the DSRs; the ring and the per-device counters are only
// touched under it.
#include "board/intline_dev.h"

#include "platform/eint/LevelLines.h"

namespace {

constexpr int kEINVAL = 22;
constexpr int kInterruptPriority = 1;

IntlineRecord dspIntRecord(0 /* EINT0 */, kIntlineNoLineBit, 0 /* low level */);

// The devices of every vector (a vector's list: the entries with that vector, in order).
devio::Device* const intlineDevices[] = {&DspIntDevice};

// Devices whose interrupt came and whose selector is still to be woken; per vector.
struct Ring {
    devio::Device* entries[kIntlineRingSize];
    std::uint32_t count;
    std::uint32_t read_index;
    std::uint32_t write_index;
};
Ring rings[kIntlineVectors];  // guarded by the interrupt lock

IntlineRecord* RecordOf(devio::Device* device) {
    return static_cast<IntlineRecord*>(device->priv);
}

bool OnVectorList(devio::Device* device, std::uint32_t vector) {
    for (devio::Device* listed : intlineDevices) {
        if (listed == device) return RecordOf(listed)->vector == vector;
    }
    return false;
}

bool FirstOnVectorList(devio::Device* device) {
    const std::uint32_t vector = RecordOf(device)->vector;
    for (devio::Device* listed : intlineDevices) {
        if (RecordOf(listed)->vector == vector) return listed == device;
    }
    return false;
}

std::uint32_t intline_isr(irq::vector_t vector, irq::data_t /*data*/) {
    irq::interrupt_mask(vector);
    for (devio::Device* device : intlineDevices) {
        IntlineRecord* record = RecordOf(device);
        if (record->vector != vector) continue;
        ++record->pending;
        Ring& ring = rings[vector];
        if (ring.count < kIntlineRingSize) {
            ring.entries[ring.write_index] = device;
            ring.write_index = (ring.write_index + 1) % kIntlineRingSize;
            ++ring.count;
        }
    }
    irq::interrupt_acknowledge(vector);
    return irq::ISR_HANDLED | irq::ISR_CALL_DSR;
}

void intline_dsr(irq::vector_t vector, std::uint32_t /*count*/, irq::data_t /*data*/) {
    Ring& ring = rings[vector];
    while (ring.count > 0) {
        devio::Device* device = ring.entries[ring.read_index];
        ring.read_index = (ring.read_index + 1) % kIntlineRingSize;
        --ring.count;
        IntlineRecord* record = RecordOf(device);
        if (record->select_armed != 0) {
            record->select_armed = 0;
            devio::devio_selwakeup(&record->select_info);
        }
    }
}

}  // namespace

const devio::DeviceHandlers IntlineDevHandlers = {
    nullptr, nullptr, &intline_dev_select, nullptr, nullptr, &intline_dev_init,
    &intline_dev_lookup,
};

devio::Device DspIntDevice = {"/dev/dsp-int", &IntlineDevHandlers, &dspIntRecord, 0x1000};

bool intline_dev_init(devio::Device* device) {
    IntlineRecord* record = RecordOf(device);
    kernel::mutex_init(&record->mutex);
    devio::devio_selinit(&record->select_info);
    {
        irq::InterruptsDisabled lock;
        record->select_armed = 0;
        record->pending = 0;
    }
    if (!FirstOnVectorList(device)) {
        return true;
    }
    irq::interrupt_create(record->vector, kInterruptPriority, record->vector, &intline_isr,
                          &intline_dsr, &record->interrupt);
    if (!irq::interrupt_attach(&record->interrupt)) {
        return false;  // the vector belongs to someone else: the device could never fire
    }
    irq::interrupt_mask(record->vector);
    irq::interrupt_acknowledge(record->vector);
    return true;
}

int intline_dev_lookup(devio::Device* device) {
    return OnVectorList(device, RecordOf(device)->vector) ? 0 : -kEINVAL;
}

int intline_dev_select(devio::Device* device, int /*which*/) {
    IntlineRecord* record = RecordOf(device);
    while (!kernel::mutex_lock(&record->mutex)) {
    }
    int ready = 0;
    {
        irq::InterruptsDisabled lock;
        if (record->pending >= 1) {
            --record->pending;
            ready = 1;
        } else {
            if (record->select_armed == 0) {
                devio::devio_selrecord(&record->select_info);
                record->select_armed = 1;
            }
            if (record->trigger_mode == 0) {
                // A level line: drop the stale pending state; a still-asserted line fires
                // again as soon as it is unmasked.
                irq::interrupt_acknowledge(record->vector);
                platform::eint::unmask(record->vector);
            } else {
                irq::interrupt_unmask(record->vector);
            }
        }
    }  // a re-raised level line is delivered here, and its DSR wakes the selector
    kernel::mutex_unlock(&record->mutex);
    return ready;
}
