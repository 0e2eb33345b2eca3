#include "board/s3c2410_i2c.h"

#include "platform/gpio/GpioPortE.h"
#include "platform/hal/HalDelay.h"
#include "platform/kernel/Kernel.h"
#include "platform/soc/SocBus.h"

namespace {

namespace soc = platform::soc;

constexpr soc::addr_t IICCON = 0x54000000;
constexpr soc::addr_t IICSTAT = 0x54000004;
constexpr soc::addr_t IICDS = 0x5400000C;

constexpr std::uint32_t kConAckEnable = 1u << 7;
constexpr std::uint32_t kConClockPclk512 = 1u << 6;
constexpr std::uint32_t kConInterruptEnable = 1u << 5;
constexpr std::uint32_t kConPending = 1u << 4;
constexpr std::uint32_t kConClockMask = kConClockPclk512 | 0xF;

constexpr std::uint32_t kStatMasterReceive = 2u << 6;
constexpr std::uint32_t kStatMasterTransmit = 3u << 6;
constexpr std::uint32_t kStatModeMask = 3u << 6;
constexpr std::uint32_t kStatBusy = 1u << 5;
constexpr std::uint32_t kStatOutputEnable = 1u << 4;
constexpr std::uint32_t kStatNoAck = 1u << 0;

constexpr unsigned kSegmentPin = 8;  // GPE8
constexpr int kInterruptPriority = 1;
constexpr kernel::tick_t kByteWaitTicks = 2;

struct BusState {
    kernel::Mutex mutex;
    irq::Cond cond;
    irq::Interrupt interrupt;
    std::uint32_t delay_ns = 0;  // programmed bit delay
    bool segment1 = false;
};

BusState state;

void LockRetrying(kernel::Mutex* mutex) {
    while (!kernel::mutex_lock(mutex)) {
    }
}

void Settle() {
    for (volatile int i = 0; i < 10; ++i) {
    }
}

void ClearPending(bool ack) {
    std::uint32_t con = soc::read32(IICCON) & ~kConPending;
    con = ack ? (con | kConAckEnable) : (con & ~kConAckEnable);
    soc::write32(IICCON, con);
}

bool Pending() { return (soc::read32(IICCON) & kConPending) != 0; }
bool Busy() { return (soc::read32(IICSTAT) & kStatBusy) != 0; }

// Waits for the controller to finish a byte step: the interrupt's DSR wakes the wait, the
// pending bit tells whether the step completed. Called with the bus mutex held.
bool WaitForByte() {
    const kernel::tick_t deadline = kernel::current_time() + kByteWaitTicks;
    irq::DsrLocked dsrLock;
    irq::interrupt_unmask(kIicVector);
    while (!Pending()) {
        if (!irq::cond_timed_wait(&state.cond, deadline)) return Pending();
    }
    return true;
}

// Polls for the bus-busy bit to clear for up to 2 ticks.
bool WaitForIdle() {
    const kernel::tick_t deadline = kernel::current_time() + kByteWaitTicks;
    while (Busy()) {
        if (kernel::current_time() >= deadline) return false;
        kernel::thread_delay(1);
    }
    return true;
}

// Output disabled, pending cleared, master-transmit mode, stop.
void ResetBus() {
    soc::write32(IICSTAT, soc::read32(IICSTAT) & kStatModeMask);
    ClearPending(false);
    soc::write32(IICSTAT, kStatMasterTransmit);
}

void ProgramDevice(const i2c::Device* device) {
    if (device->delay_ns != state.delay_ns) {
        const std::uint32_t con = soc::read32(IICCON) & ~(kConClockMask | kConPending);
        soc::write32(IICCON, con | kConPending | s3c2410_i2c_clock_bits(device->delay_ns));
        state.delay_ns = device->delay_ns;
    }
    state.segment1 = (device->flags & kI2cFlagSegment1) != 0;
    platform::gpio::port_e_write(kSegmentPin, state.segment1);
}

void StopLocked() {
    ClearPending(false);
    soc::write32(IICSTAT, (soc::read32(IICSTAT) & kStatModeMask) | kStatOutputEnable);
    if (!WaitForIdle()) {
        ResetBus();
        WaitForIdle();
    }
    soc::write32(IICSTAT, (soc::read32(IICSTAT) & kStatModeMask) | kStatOutputEnable);
}

// START with the address byte in the given mode. true when the slave acknowledged.
bool StartLocked(const i2c::Device* device, std::uint32_t mode, bool read, bool* stop_now) {
    *stop_now = false;
    if (Busy() || Pending()) {
        ResetBus();
        if (!WaitForIdle()) {
            *stop_now = true;
            return false;
        }
        soc::write32(IICSTAT, kStatMasterTransmit | kStatOutputEnable);
    }
    soc::write32(IICSTAT, mode | kStatOutputEnable);
    soc::write32(IICDS, static_cast<std::uint32_t>((device->address << 1) | (read ? 1 : 0)));
    Settle();
    if ((soc::read32(IICCON) & kConClockPclk512) == 0) hal_delay_us(200);
    soc::write32(IICSTAT, mode | kStatOutputEnable | kStatBusy);
    return WaitForByte() && (soc::read32(IICSTAT) & kStatNoAck) == 0;
}

}  // namespace

i2c::Bus s3c2410_i2c_bus{&s3c2410_i2c_init, &s3c2410_i2c_tx, &s3c2410_i2c_rx,
                         &s3c2410_i2c_stop, nullptr, kernel::Mutex{}, false};

std::uint32_t s3c2410_i2c_clock_bits(std::uint32_t delay_ns) {
    const std::uint32_t hz = 1000000000u / (delay_ns == 0 ? 1 : delay_ns);
    const bool fast = hz > 195311;
    const std::uint32_t base = fast ? 3125000 : 97656;
    const std::uint64_t tenths = static_cast<std::uint64_t>(base) * 10 / hz;
    std::uint64_t divider = tenths / 10 + (tenths % 10 >= 5 ? 1 : 0);
    divider = divider == 0 ? 0 : divider - 1;
    if (divider > 14) divider = 15;
    return static_cast<std::uint32_t>(divider) | (fast ? 0 : kConClockPclk512);
}

void s3c2410_i2c_init(i2c::Bus* /*bus*/) {
    kernel::mutex_init(&state.mutex);
    irq::cond_init(&state.cond, &state.mutex);
    irq::interrupt_create(kIicVector, kInterruptPriority, 0, &s3c2410_i2c_isr, &s3c2410_i2c_dsr,
                          &state.interrupt);
    irq::interrupt_attach(&state.interrupt);
    irq::interrupt_mask(kIicVector);
    soc::write32(IICCON, kConClockPclk512);  // interrupt off, pending cleared, divider 0
    soc::write32(IICSTAT, 0);
    state.delay_ns = kI2cDefaultDelayNs;
    soc::write32(IICCON, soc::read32(IICCON) | kConInterruptEnable);
}

std::uint32_t s3c2410_i2c_isr(irq::vector_t vector, irq::data_t /*data*/) {
    irq::interrupt_mask(vector);
    irq::interrupt_acknowledge(vector);
    return irq::ISR_HANDLED | irq::ISR_CALL_DSR;
}

void s3c2410_i2c_dsr(irq::vector_t /*vector*/, std::uint32_t /*count*/, irq::data_t /*data*/) {
    irq::cond_broadcast(&state.cond);
}

std::uint32_t s3c2410_i2c_tx(const i2c::Device* device, bool send_start,
                             const std::uint8_t* buffer, std::uint32_t count, bool send_stop) {
    LockRetrying(&state.mutex);
    ProgramDevice(device);
    std::uint32_t sent = 0;
    bool stop_now = false;
    const bool go = !send_start || StartLocked(device, kStatMasterTransmit, false, &stop_now);
    if (go) {
        while (sent < count) {
            soc::write32(IICDS, buffer[sent]);
            Settle();
            ClearPending(false);
            if (!WaitForByte() || (soc::read32(IICSTAT) & kStatNoAck) != 0) break;
            ++sent;
        }
    }
    if (send_stop || stop_now) StopLocked();
    kernel::mutex_unlock(&state.mutex);
    return sent;
}

std::uint32_t s3c2410_i2c_rx(const i2c::Device* device, bool send_start, std::uint8_t* buffer,
                             std::uint32_t count, bool nack_last, bool send_stop) {
    LockRetrying(&state.mutex);
    ProgramDevice(device);
    std::uint32_t received = 0;
    bool stop_now = false;
    const bool go = !send_start || StartLocked(device, kStatMasterReceive, true, &stop_now);
    if (go) {
        while (received < count) {
            ClearPending(!(nack_last && received + 1 == count));
            if (!WaitForByte()) break;
            buffer[received++] = static_cast<std::uint8_t>(soc::read32(IICDS));
        }
    }
    if (send_stop || stop_now) StopLocked();
    kernel::mutex_unlock(&state.mutex);
    return received;
}

void s3c2410_i2c_stop(const i2c::Device* /*device*/) {
    LockRetrying(&state.mutex);
    StopLocked();
    kernel::mutex_unlock(&state.mutex);
}
