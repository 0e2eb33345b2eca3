#include "platform/soc/IicModel.h"

#include <utility>

#include "platform/gpio/GpioPortE.h"
#include "platform/irq/Interrupt.h"
#include "platform/soc/Watchdog.h"

namespace platform::soc {

namespace {

constexpr std::uint32_t kConAckEnable = 1u << 7;
constexpr std::uint32_t kConClockPclk512 = 1u << 6;
constexpr std::uint32_t kConInterruptEnable = 1u << 5;
constexpr std::uint32_t kConPending = 1u << 4;
constexpr std::uint32_t kConDividerMask = 0xF;

constexpr std::uint32_t kStatModeMask = 3u << 6;
constexpr std::uint32_t kStatMasterReceive = 2u << 6;
constexpr std::uint32_t kStatBusy = 1u << 5;
constexpr std::uint32_t kStatOutputEnable = 1u << 4;
constexpr std::uint32_t kStatNoAck = 1u << 0;

struct Registry {
    std::mutex lock;
    std::map<std::pair<unsigned, std::uint8_t>, I2cSlave*> slaves;
};

Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

}  // namespace

void i2c_attach(unsigned segment, std::uint8_t address7, I2cSlave* slave) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    if (slave)
        r.slaves[{segment, address7}] = slave;
    else
        r.slaves.erase({segment, address7});
}

void i2c_detach(unsigned segment, std::uint8_t address7) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    r.slaves.erase({segment, address7});
}

I2cSlave* i2c_slave(unsigned segment, std::uint8_t address7) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.slaves.find({segment, address7});
    return it == r.slaves.end() ? nullptr : it->second;
}

IicModel::IicModel() = default;

std::uint32_t IicModel::read(addr_t address, unsigned /*width*/) {
    std::lock_guard<std::mutex> g(lock_);
    switch (address) {
        case IICCON: return iiccon_;
        case IICSTAT: return (iicstat_ & ~kStatBusy) | (busy_locked() ? kStatBusy : 0);
        case IICADD: return iicadd_;
        case IICDS: return iicds_;
        default: return 0;
    }
}

void IicModel::write(addr_t address, std::uint32_t value, unsigned /*width*/) {
    bool raise = false;
    {
        std::lock_guard<std::mutex> g(lock_);
        switch (address) {
            case IICCON: {
                const bool wasPending = (iiccon_ & kConPending) != 0;
                const bool keepPending = wasPending && (value & kConPending) != 0;
                iiccon_ = (value & ~kConPending & 0xFF) | (keepPending ? kConPending : 0);
                if (wasPending && !keepPending) resume_locked(&raise);
                break;
            }
            case IICSTAT:
                iicstat_ = (iicstat_ & kStatNoAck) | (value & (kStatModeMask | kStatOutputEnable));
                if ((value & kStatBusy) != 0) {
                    if ((value & kStatOutputEnable) != 0 && (value & kStatModeMask) >= kStatMasterReceive)
                        start_locked(&raise);
                } else if (transfer_) {
                    stop_locked();
                }
                break;
            case IICADD: iicadd_ = value & 0xFF; break;
            case IICDS:
                iicds_ = static_cast<std::uint8_t>(value);
                dsWritten_ = true;
                break;
            default: break;
        }
    }
    if (raise) irq::raise(kIicVector);
}

bool IicModel::busy_locked() {
    return transfer_ || (busyHeld_ && kernel::current_time() < busyUntil_);
}

void IicModel::start_locked(bool* raise) {
    if (busyHeld_ && kernel::current_time() < busyUntil_) return;  // another master holds it
    busyHeld_ = false;
    const unsigned segment = gpio::port_e_read(kI2cSegmentPin) ? 1 : 0;
    const std::uint8_t address7 = iicds_ >> 1;
    const bool read = (iicds_ & 1) != 0;
    I2cSlave* slave = i2c_slave(segment, address7);
    if (transfer_ && slave_ && slave_ != slave) slave_->Stop();
    bool ack = false;
    auto fault = nacks_.find(address7);
    if (fault != nacks_.end() && fault->second > 0) {
        --fault->second;
    } else if (slave) {
        ack = slave->Start(address7, read);
    }
    lastSegment_ = segment;
    transfer_ = true;
    receiving_ = (iicstat_ & kStatModeMask) == kStatMasterReceive;
    slave_ = ack ? slave : nullptr;
    nacked_ = !ack;
    dsWritten_ = false;
    ++bytes_;
    iicstat_ = ack ? (iicstat_ & ~kStatNoAck) : (iicstat_ | kStatNoAck);
    complete_step_locked(raise);
}

void IicModel::stop_locked() {
    if (slave_) slave_->Stop();
    slave_ = nullptr;
    transfer_ = false;
    nacked_ = false;
}

void IicModel::resume_locked(bool* raise) {
    if (!transfer_ || !slave_ || nacked_) return;
    bool ack;
    if (receiving_) {
        ack = (iiccon_ & kConAckEnable) != 0;
        iicds_ = slave_->Read(ack);
    } else {
        if (!dsWritten_) return;
        ack = slave_->Write(iicds_);
        dsWritten_ = false;
    }
    ++bytes_;
    nacked_ = !ack;
    iicstat_ = ack ? (iicstat_ & ~kStatNoAck) : (iicstat_ | kStatNoAck);
    complete_step_locked(raise);
}

void IicModel::complete_step_locked(bool* raise) {
    iiccon_ |= kConPending;
    if ((iiccon_ & kConInterruptEnable) != 0) *raise = true;
}

std::uint32_t IicModel::scl_hz() {
    std::lock_guard<std::mutex> g(lock_);
    const std::uint32_t source = kPclkHz / ((iiccon_ & kConClockPclk512) != 0 ? 512 : 16);
    return source / ((iiccon_ & kConDividerMask) + 1);
}

std::uint32_t IicModel::bytes_moved() {
    std::lock_guard<std::mutex> g(lock_);
    return bytes_;
}

unsigned IicModel::last_segment() {
    std::lock_guard<std::mutex> g(lock_);
    return lastSegment_;
}

void IicModel::hold_bus_busy(kernel::tick_t ticks) {
    std::lock_guard<std::mutex> g(lock_);
    busyHeld_ = true;
    busyUntil_ = kernel::current_time() + ticks;
}

void IicModel::nack_addresses(std::uint8_t address7, unsigned count) {
    std::lock_guard<std::mutex> g(lock_);
    nacks_[address7] = count;
}

void IicModel::clear_faults() {
    std::lock_guard<std::mutex> g(lock_);
    busyHeld_ = false;
    busyUntil_ = 0;
    nacks_.clear();
}

void IicModel::power_on() {
    std::lock_guard<std::mutex> g(lock_);
    if (transfer_) stop_locked();
    iiccon_ = 0;
    iicstat_ = 0;
    iicadd_ = 0;
    iicds_ = 0;
    dsWritten_ = false;
    receiving_ = false;
    lastSegment_ = 0;
    busyHeld_ = false;
    busyUntil_ = 0;
    nacks_.clear();
    bytes_ = 0;
}

IicModel& iic() {
    static IicModel* model = new IicModel;
    return *model;
}

}  // namespace platform::soc
