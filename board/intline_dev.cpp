// The ISR runs on the interrupt thread with interrupts disabled; the DSR under the DSR lock.
// The ring and the pending counts are touched only with interrupts disabled, the armed flags
// only with the DSR lock held.
#include "board/intline_dev.h"

#include "platform/gpio/Gpio.h"
#include "platform/soc/SocBus.h"

namespace {

namespace soc = platform::soc;
namespace gpio = platform::gpio;

constexpr int kEINVAL = 22;
constexpr int kInterruptPriority = 1;

IntlineRecord onOffRecord(4 /* EINT4_7 */, 7, 6 /* both edges */);
IntlineRecord tempAlRecord(2 /* EINT2 */, kIntlineNoLineBit, 0 /* low level */);
IntlineRecord dspIntRecord(0 /* EINT0 */, kIntlineNoLineBit, 0 /* low level */);

// Every device, in table order; a vector's list is its devices in this order.
devio::Device* const intlineDevices[] = {&OnOffRdDevice, &TempAlDevice, &DspIntDevice};

// Devices whose interrupt came and whose selector is still to be woken; per vector.
struct Ring {
    devio::Device* entries[kIntlineRingSize];
    std::uint32_t count;
    std::uint32_t read_index;
    std::uint32_t write_index;
};
Ring rings[kIntlineVectors] = {};

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
        if (record->line_bit != kIntlineNoLineBit) {
            const std::uint32_t bit = 1u << record->line_bit;
            if ((soc::read32(gpio::EINTPEND) & bit) == 0) continue;
            soc::write32(gpio::EINTPEND, bit);
            soc::write32(gpio::EINTMASK, soc::read32(gpio::EINTMASK) | bit);
        }
        irq::InterruptsDisabled lock;
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

// The next device of the vector's ring, or nullptr when it is empty.
devio::Device* TakeFromRing(irq::vector_t vector) {
    irq::InterruptsDisabled lock;
    Ring& ring = rings[vector];
    if (ring.count == 0) return nullptr;
    devio::Device* device = ring.entries[ring.read_index];
    ring.read_index = (ring.read_index + 1) % kIntlineRingSize;
    --ring.count;
    return device;
}

void intline_dsr(irq::vector_t vector, std::uint32_t /*count*/, irq::data_t /*data*/) {
    while (devio::Device* device = TakeFromRing(vector)) {
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

devio::Device OnOffRdDevice = {"/dev/on-off_rd", &IntlineDevHandlers, &onOffRecord, 0x1000};
devio::Device TempAlDevice = {"/dev/temp-al", &IntlineDevHandlers, &tempAlRecord, 0x1000};
devio::Device DspIntDevice = {"/dev/dsp-int", &IntlineDevHandlers, &dspIntRecord, 0x1000};

bool intline_dev_init(devio::Device* device) {
    IntlineRecord* record = RecordOf(device);
    kernel::mutex_init(&record->mutex);
    devio::devio_selinit(&record->select_info);
    {
        irq::DsrLocked dsrs;
        irq::InterruptsDisabled lock;
        record->select_armed = 0;
        record->pending = 0;
    }
    if (!FirstOnVectorList(device)) return true;
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

// The re-enabling runs with interrupts disabled, from the pending check to the unmask: an
// interrupt taken in between would be counted, and a level line still asserted would then be
// counted a second time on the unmask.
int intline_dev_select(devio::Device* device, int /*which*/) {
    IntlineRecord* record = RecordOf(device);
    while (!kernel::mutex_lock(&record->mutex)) {
    }
    irq::dsr_lock();
    irq::disable_interrupts();
    int ready = 0;
    if (record->pending >= 1) {
        --record->pending;
        ready = 1;
    } else {
        if (record->select_armed == 0) {
            devio::devio_selrecord(&record->select_info);
            record->select_armed = 1;
        }
        const bool lineBit = record->line_bit != kIntlineNoLineBit;
        const std::uint32_t bit = lineBit ? 1u << record->line_bit : 0;
        if (record->trigger_mode == 0) {
            // A level line: drop the stale pending state; a still-asserted line is pending
            // again at once.
            if (lineBit)
                soc::write32(gpio::EINTPEND, bit);
            else
                soc::write32(irq::SRCPND, 1u << record->vector);
        }
        if (lineBit) soc::write32(gpio::EINTMASK, soc::read32(gpio::EINTMASK) & ~bit);
        irq::interrupt_unmask(record->vector);
    }
    irq::enable_interrupts();  // a line that fires on the unmask is taken here
    irq::dsr_unlock();         // and its DSR wakes the selector here
    kernel::mutex_unlock(&record->mutex);
    return ready;
}
