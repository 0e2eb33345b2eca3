#include "platform/soc/UsbdModel.h"

#include <cinttypes>
#include <cstdio>

#include "platform/gpio/Gpio.h"
#include "platform/irq/Interrupt.h"

namespace platform::soc {

namespace {

constexpr std::uint32_t kUsbIntSuspend = 1;
constexpr std::uint32_t kUsbIntResume = 2;
constexpr std::uint32_t kUsbIntReset = 4;

}  // namespace

UsbdModel::UsbdModel() {
    reset_locked();
    gpio::add_listener(gpio::Port::E, kUsbdPullUpPin, &UsbdModel::pull_up_changed, this);
    pullUp_.store(gpio::pin_level(gpio::Port::E, kUsbdPullUpPin));
}

void UsbdModel::pull_up_changed(unsigned, bool high, void* context) {
    // Called on the writing thread, which holds the interrupt-disable lock: only the flag.
    static_cast<UsbdModel*>(context)->pullUp_.store(high);
}

void UsbdModel::violation_locked(const char* what, addr_t address) {
    ++violations_;
    char text[128];
    std::snprintf(text, sizeof text, "%s at 0x%08" PRIX32 " (index %" PRIu32 ")", what, address,
                  index_);
    lastViolation_ = text;
}

void UsbdModel::reset_locked() {
    for (Endpoint& e : ep_) e = Endpoint{};
    funcAddr_ = 0;
    address_ = 0;
    pendingAddress_ = -1;
    epInt_ = 0;
    epIntEn_ = 0x1F;
    usbIntEn_ = 0x04;
    index_ = 0;
    controlOpen_ = false;
    controlIn_ = false;
    dataStageDone_ = false;
    ep0Stalled_ = false;
    suspended_ = false;
}

void UsbdModel::update_level_locked() {
    irq::set_level(kUsbdVector, ((epInt_ & epIntEn_) | (usbInt_ & usbIntEn_)) != 0);
}

std::uint32_t UsbdModel::read(addr_t address, unsigned) {
    std::lock_guard<std::mutex> g(lock_);
    if (!irq::interrupts_disabled_by_caller()) violation_locked("read without the lock", address);
    const std::uint32_t value = read_locked(address);
    update_level_locked();
    return value;
}

void UsbdModel::write(addr_t address, std::uint32_t value, unsigned) {
    std::lock_guard<std::mutex> g(lock_);
    if (!irq::interrupts_disabled_by_caller())
        violation_locked("write without the lock", address);
    write_locked(address, value);
    update_level_locked();
}

std::uint32_t UsbdModel::read_locked(addr_t address) {
    Endpoint& e = ep_[index_ < kUsbdEndpoints ? index_ : kUsbdEndpoints - 1];
    if (address >= EP0_FIFO_REG && address < EP0_FIFO_REG + 4 * kUsbdEndpoints) {
        Endpoint& f = ep_[(address - EP0_FIFO_REG) / 4];
        if (f.outFifo.empty()) {
            violation_locked("FIFO read past the count", address);
            return 0;
        }
        const std::uint8_t byte = f.outFifo.front();
        f.outFifo.pop_front();
        return byte;
    }
    switch (address) {
        case FUNC_ADDR_REG: return funcAddr_;
        case PWR_REG: {
            std::uint32_t value = suspended_ ? 0x02 : 0;
            if (resetReads_ > 0) {
                --resetReads_;
                value |= 0x08;
            }
            return value;
        }
        case EP_INT_REG: return epInt_;
        case USB_INT_REG: return usbInt_;
        case EP_INT_EN_REG: return epIntEn_;
        case USB_INT_EN_REG: return usbIntEn_;
        case INDEX_REG: return index_;
        case MAXP_REG: return e.maxp;
        case IN_CSR1_REG: {
            if (index_ == 0) return e.inCsr1 | (ep0Stalled_ ? kEp0SendStall : 0);
            std::uint32_t value = e.inCsr1;
            if (e.inFlushReads > 0) {
                --e.inFlushReads;
                value |= kInFlush;
            }
            return value;
        }
        case IN_CSR2_REG: return e.inCsr2;
        case OUT_CSR1_REG: {
            std::uint32_t value = e.outCsr1;
            if (e.outFlushReads > 0) {
                --e.outFlushReads;
                value |= kOutFlush;
            }
            return value;
        }
        case OUT_CSR2_REG: return e.outCsr2;
        case OUT_FIFO_CNT1_REG: return static_cast<std::uint32_t>(e.outFifo.size() & 0xFF);
        default: return 0;
    }
}

void UsbdModel::write_locked(addr_t address, std::uint32_t value) {
    Endpoint& e = ep_[index_ < kUsbdEndpoints ? index_ : kUsbdEndpoints - 1];
    if (address >= EP0_FIFO_REG && address < EP0_FIFO_REG + 4 * kUsbdEndpoints) {
        const unsigned n = (address - EP0_FIFO_REG) / 4;
        Endpoint& f = ep_[n];
        const std::uint32_t ready = n == 0 ? kEp0InPktRdy : kInPktRdy;
        if ((f.inCsr1 & ready) != 0) {
            violation_locked("FIFO write while IN_PKT_RDY", address);
            return;
        }
        if (f.inFifo.size() >= f.maxp * 8) {
            violation_locked("FIFO write past the maximum packet", address);
            return;
        }
        f.inFifo.push_back(static_cast<std::uint8_t>(value));
        return;
    }
    switch (address) {
        case FUNC_ADDR_REG:
            funcAddr_ = value & 0xFF;
            if ((value & 0x80) != 0) pendingAddress_ = static_cast<std::int32_t>(value & 0x7F);
            break;
        case EP_INT_REG: epInt_ &= ~(value & 0x1F); break;
        case USB_INT_REG: usbInt_ &= ~(value & 0x07); break;
        case EP_INT_EN_REG: epIntEn_ = value & 0x1F; break;
        case USB_INT_EN_REG: usbIntEn_ = value & 0x07; break;
        case INDEX_REG: index_ = value & 0xFF; break;
        case MAXP_REG: e.maxp = value & 0xFF; break;
        case IN_CSR1_REG:
            if (index_ == 0) {
                write_ep0_csr_locked(value);
                break;
            }
            if ((value & kInPktRdy) != 0) e.inCsr1 |= kInPktRdy;
            // A flush drops the packet, also one a read-modify-write marks ready again.
            if ((value & kInFlush) != 0) {
                e.inFifo.clear();
                e.inCsr1 &= ~kInPktRdy;
                e.inFlushReads = flushReads_;
            }
            e.inCsr1 = (e.inCsr1 & ~kInSendStall) | (value & kInSendStall);
            if ((value & kInSentStall) == 0) e.inCsr1 &= ~kInSentStall;
            if ((value & kInClrToggle) != 0) e.inToggle = false;
            break;
        case IN_CSR2_REG: e.inCsr2 = value & 0xFF; break;
        case OUT_CSR1_REG:
            if ((value & kOutFlush) != 0) {
                e.outFifo.clear();
                e.outCsr1 &= ~kOutPktRdy;
                e.outFlushReads = flushReads_;
            }
            if ((value & kOutPktRdy) == 0 && (e.outCsr1 & kOutPktRdy) != 0) {
                e.outFifo.clear();
                e.outCsr1 &= ~kOutPktRdy;
            }
            e.outCsr1 = (e.outCsr1 & ~kOutSendStall) | (value & kOutSendStall);
            if ((value & kOutSentStall) == 0) e.outCsr1 &= ~kOutSentStall;
            if ((value & kOutClrToggle) != 0) e.outToggle = false;
            break;
        case OUT_CSR2_REG: e.outCsr2 = value & 0xFF; break;
        default: break;
    }
}

void UsbdModel::write_ep0_csr_locked(std::uint32_t value) {
    Endpoint& e = ep_[0];
    if ((value & kEp0ServicedOut) != 0) {
        e.outFifo.clear();
        e.inCsr1 &= ~kEp0OutPktRdy;
    }
    if ((value & kEp0ServicedSetupEnd) != 0) e.inCsr1 &= ~kEp0SetupEnd;
    if ((value & kEp0InPktRdy) != 0) e.inCsr1 |= kEp0InPktRdy;
    if ((value & kEp0DataEnd) != 0) e.inCsr1 |= kEp0DataEnd;
    if ((value & kEp0SendStall) != 0) ep0Stalled_ = true;
    if ((value & kEp0SentStall) == 0) e.inCsr1 &= ~kEp0SentStall;
}

bool UsbdModel::answers_locked(std::uint8_t address) const {
    return pullUp_.load() && address == address_ && !suspended_;
}

void UsbdModel::end_control_locked() {
    controlOpen_ = false;
    dataStageDone_ = false;
    ep_[0].inCsr1 &= ~kEp0DataEnd;
    if (pendingAddress_ >= 0) {
        address_ = static_cast<std::uint8_t>(pendingAddress_);
        pendingAddress_ = -1;
    }
    epInt_ |= 1;
}

bool UsbdModel::reset_pending() {
    std::lock_guard<std::mutex> g(lock_);
    return (usbInt_ & kUsbIntReset) != 0;
}

void UsbdModel::bus_reset() {
    std::lock_guard<std::mutex> g(lock_);
    if (!pullUp_.load()) return;
    reset_locked();
    resetReads_ = 2;
    usbInt_ |= kUsbIntReset;
    update_level_locked();
}

void UsbdModel::bus_suspend() {
    std::lock_guard<std::mutex> g(lock_);
    if (!pullUp_.load() || suspended_) return;
    suspended_ = true;
    usbInt_ |= kUsbIntSuspend;
    update_level_locked();
}

void UsbdModel::bus_resume() {
    std::lock_guard<std::mutex> g(lock_);
    if (!pullUp_.load() || !suspended_) return;
    suspended_ = false;
    usbInt_ |= kUsbIntResume;
    update_level_locked();
}

UsbdModel::Handshake UsbdModel::bus_setup(std::uint8_t address, const std::uint8_t setup[8]) {
    std::lock_guard<std::mutex> g(lock_);
    if (!answers_locked(address)) return Handshake::Timeout;
    Endpoint& e = ep_[0];
    if (controlOpen_ || (e.inCsr1 & kEp0OutPktRdy) != 0) e.inCsr1 |= kEp0SetupEnd;
    ep0Stalled_ = false;
    e.inCsr1 &= ~(kEp0InPktRdy | kEp0DataEnd);
    e.inFifo.clear();
    e.outFifo.assign(setup, setup + 8);
    e.inCsr1 |= kEp0OutPktRdy;
    const std::uint32_t wLength = setup[6] | (std::uint32_t{setup[7]} << 8);
    controlOpen_ = true;
    controlIn_ = (setup[0] & 0x80) != 0 && wLength > 0;
    dataStageDone_ = false;
    epInt_ |= 1;
    update_level_locked();
    return Handshake::Ack;
}

UsbdModel::Handshake UsbdModel::bus_in(std::uint8_t address, unsigned endpoint,
                                       std::vector<std::uint8_t>* data, bool* toggle) {
    std::lock_guard<std::mutex> g(lock_);
    if (!answers_locked(address) || endpoint >= kUsbdEndpoints) return Handshake::Timeout;
    Endpoint& e = ep_[endpoint];
    data->clear();
    Handshake result = Handshake::Nak;
    if (endpoint == 0) {
        if (ep0Stalled_) {
            e.inCsr1 |= kEp0SentStall;
            epInt_ |= 1;
            controlOpen_ = false;
            result = Handshake::Stall;
        } else if (controlIn_) {
            if ((e.inCsr1 & kEp0InPktRdy) != 0 && (e.inCsr1 & kEp0OutPktRdy) == 0) {
                data->swap(e.inFifo);
                e.inFifo.clear();
                e.inCsr1 &= ~kEp0InPktRdy;
                if ((e.inCsr1 & kEp0DataEnd) != 0) dataStageDone_ = true;
                epInt_ |= 1;
                result = Handshake::Ack;
            }
        } else if (controlOpen_ && (e.inCsr1 & kEp0DataEnd) != 0 &&
                   (e.inCsr1 & (kEp0OutPktRdy | kEp0InPktRdy)) == 0) {
            // Status stage of a request without IN data: a zero-length packet.
            end_control_locked();
            result = Handshake::Ack;
        }
    } else if ((e.inCsr1 & kInSendStall) != 0) {
        e.inCsr1 |= kInSentStall;
        epInt_ |= 1u << endpoint;
        result = Handshake::Stall;
    } else if ((e.inCsr1 & kInPktRdy) != 0) {
        data->swap(e.inFifo);
        e.inFifo.clear();
        e.inCsr1 &= ~kInPktRdy;
        *toggle = e.inToggle;
        e.inToggle = !e.inToggle;
        epInt_ |= 1u << endpoint;
        result = Handshake::Ack;
    }
    update_level_locked();
    return result;
}

UsbdModel::Handshake UsbdModel::bus_out(std::uint8_t address, unsigned endpoint,
                                        const std::uint8_t* data, std::uint32_t length,
                                        bool toggle) {
    std::lock_guard<std::mutex> g(lock_);
    if (!answers_locked(address) || endpoint >= kUsbdEndpoints) return Handshake::Timeout;
    Endpoint& e = ep_[endpoint];
    Handshake result = Handshake::Nak;
    if (endpoint == 0) {
        if (ep0Stalled_) {
            e.inCsr1 |= kEp0SentStall;
            epInt_ |= 1;
            controlOpen_ = false;
            result = Handshake::Stall;
        } else if (controlIn_) {
            // Status stage of an IN request: once the last data packet was taken.
            if (dataStageDone_ && (e.inCsr1 & kEp0InPktRdy) == 0) {
                end_control_locked();
                result = Handshake::Ack;
            }
        } else if (controlOpen_ && (e.inCsr1 & kEp0OutPktRdy) == 0 &&
                   (e.inCsr1 & kEp0DataEnd) == 0) {
            e.outFifo.assign(data, data + length);
            e.inCsr1 |= kEp0OutPktRdy;
            epInt_ |= 1;
            result = Handshake::Ack;
        }
    } else if ((e.outCsr1 & kOutSendStall) != 0) {
        e.outCsr1 |= kOutSentStall;
        epInt_ |= 1u << endpoint;
        result = Handshake::Stall;
    } else if ((e.outCsr1 & kOutPktRdy) != 0) {
        result = Handshake::Nak;
    } else if (toggle != e.outToggle) {
        result = Handshake::Ack;  // a repeated packet: acknowledged and dropped
    } else {
        e.outFifo.assign(data, data + length);
        e.outCsr1 |= kOutPktRdy;
        e.outToggle = !e.outToggle;
        epInt_ |= 1u << endpoint;
        result = Handshake::Ack;
    }
    update_level_locked();
    return result;
}

std::uint32_t UsbdModel::violations() {
    std::lock_guard<std::mutex> g(lock_);
    return violations_;
}

std::string UsbdModel::last_violation() {
    std::lock_guard<std::mutex> g(lock_);
    return lastViolation_;
}

void UsbdModel::clear_violations() {
    std::lock_guard<std::mutex> g(lock_);
    violations_ = 0;
    lastViolation_.clear();
}

void UsbdModel::set_flush_reads(unsigned reads) {
    std::lock_guard<std::mutex> g(lock_);
    flushReads_ = reads;
}

std::uint8_t UsbdModel::address() {
    std::lock_guard<std::mutex> g(lock_);
    return address_;
}

bool UsbdModel::suspended() {
    std::lock_guard<std::mutex> g(lock_);
    return suspended_;
}

bool UsbdModel::in_packet_ready(unsigned endpoint) {
    std::lock_guard<std::mutex> g(lock_);
    return endpoint != 0 && endpoint < kUsbdEndpoints && (ep_[endpoint].inCsr1 & kInPktRdy) != 0;
}

void UsbdModel::power_on() {
    std::lock_guard<std::mutex> g(lock_);
    reset_locked();
    usbInt_ = 0;
    resetReads_ = 0;
    update_level_locked();
}

UsbdModel& usbd() {
    static UsbdModel* model = new UsbdModel;
    return *model;
}

}  // namespace platform::soc
