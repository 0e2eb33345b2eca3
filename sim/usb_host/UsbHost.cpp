#include "sim/usb_host/UsbHost.h"

#include <chrono>
#include <thread>

#include "platform/irq/Interrupt.h"

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadline_after(std::uint32_t ms) {
    return Clock::now() + std::chrono::milliseconds(ms);
}

constexpr std::uint8_t kGetStatus = 0;
constexpr std::uint8_t kClearFeature = 1;
constexpr std::uint8_t kSetAddress = 5;
constexpr std::uint8_t kGetDescriptor = 6;
constexpr std::uint8_t kSetConfiguration = 9;
constexpr std::uint8_t kSetInterface = 11;
constexpr std::uint16_t kEp0Packet = 8;

// The calling thread's own transfer deadline: -1 none set, 0 no deadline, else ms.
thread_local std::int64_t threadTimeoutMs = -1;

}  // namespace

void UsbHost::set_thread_timeout_ms(std::uint32_t ms) { threadTimeoutMs = ms; }

Clock::time_point UsbHost::transfer_deadline() const {
    if (threadTimeoutMs == 0) return Clock::time_point::max();
    return deadline_after(threadTimeoutMs > 0 ? static_cast<std::uint32_t>(threadTimeoutMs)
                                              : timeoutMs_);
}

// The device has seen a reset within 100 ms; a loaded machine gets the transfer deadline.
Clock::time_point UsbHost::reset_deadline() const {
    const std::uint32_t ms = threadTimeoutMs == 0  ? 5000
                             : threadTimeoutMs > 0 ? static_cast<std::uint32_t>(threadTimeoutMs)
                                                   : timeoutMs_;
    return deadline_after(ms > 100 ? ms : 100);
}

UsbHost::UsbHost(platform::soc::UsbdModel& model) : model_(model) {}

// Between two NAKed tries: the device's interrupt thread usually answers within a few
// scheduler turns; a device that stays busy gets polled more slowly.
void UsbHost::Backoff::wait() {
    if (++tries < 100) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(50));
}

std::mutex& UsbHost::transfer_lock(std::uint8_t endpoint) { return transfers_[endpoint & 0x0F]; }

UsbHost::Result UsbHost::failure(Handshake handshake) const {
    switch (handshake) {
        case Handshake::Stall: return Result::Stall;
        case Handshake::Timeout: return model_.pull_up() ? Result::Timeout : Result::NoDevice;
        default: return Result::Timeout;
    }
}

UsbHost::Handshake UsbHost::setup_packet(const Setup& setup) {
    const std::uint8_t bytes[8] = {setup.bmRequestType,
                                   setup.bRequest,
                                   static_cast<std::uint8_t>(setup.wValue & 0xFF),
                                   static_cast<std::uint8_t>(setup.wValue >> 8),
                                   static_cast<std::uint8_t>(setup.wIndex & 0xFF),
                                   static_cast<std::uint8_t>(setup.wIndex >> 8),
                                   static_cast<std::uint8_t>(setup.wLength & 0xFF),
                                   static_cast<std::uint8_t>(setup.wLength >> 8)};
    irq::InterruptsDisabled bus;
    std::lock_guard<std::mutex> g(state_);
    return model_.bus_setup(address_, bytes);
}

UsbHost::Handshake UsbHost::in_packet(std::uint8_t endpoint, std::vector<std::uint8_t>* data,
                                      bool checkToggle, bool* duplicate) {
    irq::InterruptsDisabled bus;
    std::lock_guard<std::mutex> g(state_);
    bool toggle = false;
    const Handshake result = model_.bus_in(address_, endpoint, data, &toggle);
    *duplicate = false;
    if (result == Handshake::Ack && checkToggle) {
        if (toggle != inToggle_[endpoint]) {
            *duplicate = true;  // a packet seen before: acknowledged and ignored
        } else {
            inToggle_[endpoint] = !inToggle_[endpoint];
        }
    }
    return result;
}

UsbHost::Handshake UsbHost::out_packet(std::uint8_t endpoint, const std::uint8_t* data,
                                       std::uint32_t length, bool useToggle) {
    irq::InterruptsDisabled bus;
    std::lock_guard<std::mutex> g(state_);
    const Handshake result =
        model_.bus_out(address_, endpoint, data, length, useToggle && outToggle_[endpoint]);
    if (result == Handshake::Ack && useToggle) outToggle_[endpoint] = !outToggle_[endpoint];
    return result;
}

bool UsbHost::expected_in_toggle(std::uint8_t endpoint) {
    std::lock_guard<std::mutex> g(state_);
    return inToggle_[endpoint & 0x0F];
}

UsbHost::Result UsbHost::control(const Setup& setup, std::vector<std::uint8_t>* data) {
    const Result result = control_transfer(setup, data);
    // SET_CONFIGURATION and SET_INTERFACE put every data toggle back to DATA0.
    if (result == Result::Ok && setup.bmRequestType <= 1 &&
        (setup.bRequest == kSetConfiguration || setup.bRequest == kSetInterface)) {
        std::lock_guard<std::mutex> g(state_);
        for (int i = 1; i < 16; ++i) inToggle_[i] = outToggle_[i] = false;
    }
    return result;
}

UsbHost::Result UsbHost::control_transfer(const Setup& setup, std::vector<std::uint8_t>* data) {
    Backoff backoff;
    std::lock_guard<std::mutex> transfer(transfer_lock(0));
    if (!model_.pull_up()) return Result::NoDevice;
    const auto deadline = transfer_deadline();
    Handshake h = setup_packet(setup);
    if (h != Handshake::Ack) return failure(h);
    const bool in = (setup.bmRequestType & 0x80) != 0;
    if (in) {
        std::vector<std::uint8_t> received;
        if (setup.wLength > 0) {
            for (;;) {
                std::vector<std::uint8_t> packet;
                bool duplicate = false;
                h = in_packet(0, &packet, false, &duplicate);
                if (h == Handshake::Nak) {
                    if (Clock::now() >= deadline) return Result::Timeout;
                    backoff.wait();
                    continue;
                }
                if (h != Handshake::Ack) return failure(h);
                if (received.size() + packet.size() > setup.wLength) return Result::Overflow;
                received.insert(received.end(), packet.begin(), packet.end());
                if (packet.size() < kEp0Packet || received.size() == setup.wLength) break;
            }
        }
        if (data != nullptr) *data = received;
        // Status stage: a zero-length OUT (no data stage: a zero-length IN).
        for (;;) {
            if (setup.wLength > 0) {
                h = out_packet(0, nullptr, 0, false);
            } else {
                std::vector<std::uint8_t> none;
                bool duplicate = false;
                h = in_packet(0, &none, false, &duplicate);
            }
            if (h == Handshake::Ack) return Result::Ok;
            if (h != Handshake::Nak) return failure(h);
            if (Clock::now() >= deadline) return Result::Timeout;
            backoff.wait();
        }
    }
    const std::vector<std::uint8_t> empty;
    const std::vector<std::uint8_t>& out = data != nullptr ? *data : empty;
    std::size_t sent = 0;
    while (sent < out.size() && sent < setup.wLength) {
        const std::uint32_t length = static_cast<std::uint32_t>(
            std::min<std::size_t>(kEp0Packet, std::min<std::size_t>(out.size(), setup.wLength) - sent));
        h = out_packet(0, out.data() + sent, length, false);
        if (h == Handshake::Ack) {
            sent += length;
            continue;
        }
        if (h != Handshake::Nak) return failure(h);
        if (Clock::now() >= deadline) return Result::Timeout;
        backoff.wait();
    }
    for (;;) {
        std::vector<std::uint8_t> none;
        bool duplicate = false;
        h = in_packet(0, &none, false, &duplicate);
        if (h == Handshake::Ack) return Result::Ok;
        if (h != Handshake::Nak) return failure(h);
        if (Clock::now() >= deadline) return Result::Timeout;
        backoff.wait();
    }
}

std::uint16_t UsbHost::max_packet(std::uint8_t endpointAddress) const {
    for (const Interface& i : interfaces_)
        for (const Endpoint& e : i.endpoints)
            if (e.address == endpointAddress) return e.maxPacket;
    return 64;
}

UsbHost::Result UsbHost::bulk_out(std::uint8_t endpoint, const std::vector<std::uint8_t>& data,
                                  bool zlp) {
    Backoff backoff;
    const std::uint8_t number = endpoint & 0x0F;
    std::lock_guard<std::mutex> transfer(transfer_lock(number));
    if (!model_.pull_up()) return Result::NoDevice;
    const std::uint16_t max = max_packet(number);
    const auto deadline = transfer_deadline();
    std::size_t sent = 0;
    bool zeroLengthDone = !(zlp && (data.empty() || data.size() % max == 0));
    while (sent < data.size() || !zeroLengthDone) {
        const std::uint32_t length =
            static_cast<std::uint32_t>(std::min<std::size_t>(max, data.size() - sent));
        const Handshake h = out_packet(number, data.data() + sent, length, true);
        if (h == Handshake::Ack) {
            if (length == 0) zeroLengthDone = true;
            sent += length;
            continue;
        }
        if (h != Handshake::Nak) return failure(h);
        if (Clock::now() >= deadline) return Result::Timeout;
        backoff.wait();
    }
    return Result::Ok;
}

UsbHost::Result UsbHost::in_transfer(std::uint8_t endpoint, std::uint32_t max,
                                     std::vector<std::uint8_t>* data) {
    Backoff backoff;
    const std::uint8_t number = endpoint & 0x0F;
    std::lock_guard<std::mutex> transfer(transfer_lock(number));
    data->clear();
    if (!model_.pull_up()) return Result::NoDevice;
    const std::uint16_t packetMax = max_packet(static_cast<std::uint8_t>(number | 0x80));
    const auto deadline = transfer_deadline();
    for (;;) {
        std::vector<std::uint8_t> packet;
        bool duplicate = false;
        const Handshake h = in_packet(number, &packet, true, &duplicate);
        if (h == Handshake::Nak) {
            if (Clock::now() >= deadline) return Result::Timeout;
            backoff.wait();
            continue;
        }
        if (h != Handshake::Ack) return failure(h);
        if (duplicate) continue;
        if (data->size() + packet.size() > max) return Result::Overflow;
        data->insert(data->end(), packet.begin(), packet.end());
        if (packet.size() < packetMax || data->size() == max) return Result::Ok;
    }
}

UsbHost::Result UsbHost::bulk_in(std::uint8_t endpoint, std::uint32_t max,
                                 std::vector<std::uint8_t>* data) {
    return in_transfer(endpoint, max, data);
}

UsbHost::Result UsbHost::interrupt_in(std::uint8_t endpoint, std::uint32_t max,
                                      std::vector<std::uint8_t>* data) {
    return in_transfer(endpoint, max, data);
}

UsbHost::Result UsbHost::clear_halt(std::uint8_t endpointAddress) {
    const Result r = control({0x02, kClearFeature, 0, endpointAddress, 0}, nullptr);
    if (r == Result::Ok) {
        std::lock_guard<std::mutex> g(state_);
        inToggle_[endpointAddress & 0x0F] = false;
        outToggle_[endpointAddress & 0x0F] = false;
    }
    return r;
}

UsbHost::Result UsbHost::get_status(std::uint8_t recipient, std::uint16_t index,
                                    std::uint16_t* value) {
    std::vector<std::uint8_t> reply;
    const Result r =
        control({static_cast<std::uint8_t>(0x80 | recipient), kGetStatus, 0, index, 2}, &reply);
    if (r == Result::Ok) *value = reply.size() == 2 ? (reply[0] | (reply[1] << 8)) : 0xFFFF;
    return r;
}

UsbHost::Result UsbHost::bus_reset() {
    Backoff backoff;
    if (!model_.pull_up()) return Result::NoDevice;
    {
        irq::InterruptsDisabled bus;
        std::lock_guard<std::mutex> g(state_);
        model_.bus_reset();
        address_ = 0;
        for (int i = 0; i < 16; ++i) inToggle_[i] = outToggle_[i] = false;
    }
    const auto deadline = reset_deadline();
    while (model_.reset_pending()) {
        if (Clock::now() >= deadline) return Result::Timeout;
        backoff.wait();
    }
    return Result::Ok;
}

UsbHost::Result UsbHost::suspend() {
    if (!model_.pull_up()) return Result::NoDevice;
    irq::InterruptsDisabled bus;
    model_.bus_suspend();
    return Result::Ok;
}

UsbHost::Result UsbHost::resume() {
    if (!model_.pull_up()) return Result::NoDevice;
    irq::InterruptsDisabled bus;
    model_.bus_resume();
    return Result::Ok;
}

UsbHost::Result UsbHost::get_descriptor(std::uint8_t type, std::uint8_t index,
                                        std::uint16_t language, std::uint16_t length,
                                        std::vector<std::uint8_t>* out) {
    return control({0x80, kGetDescriptor, static_cast<std::uint16_t>((type << 8) | index),
                    language, length},
                   out);
}

UsbHost::Result UsbHost::parse_configuration(const std::vector<std::uint8_t>& bytes,
                                             std::vector<Interface>* interfaces) {
    interfaces->clear();
    std::size_t offset = 0;
    while (offset + 2 <= bytes.size()) {
        const std::uint8_t length = bytes[offset];
        const std::uint8_t type = bytes[offset + 1];
        if (length < 2 || offset + length > bytes.size()) return Result::Overflow;
        const std::uint8_t* d = &bytes[offset];
        if (type == 4 && length >= 9) {
            interfaces->push_back({d[2], d[3], d[5], d[6], d[7], d[8], {}});
        } else if (type == 5 && length >= 7) {
            if (interfaces->empty()) return Result::Overflow;
            interfaces->back().endpoints.push_back(
                {d[2], d[3], static_cast<std::uint16_t>(d[4] | (d[5] << 8)), d[6]});
        }
        offset += length;
    }
    return offset == bytes.size() ? Result::Ok : Result::Overflow;
}

UsbHost::Result UsbHost::enumerate() {
    Result r = bus_reset();
    if (r != Result::Ok) return r;
    std::vector<std::uint8_t> bytes;
    if ((r = get_descriptor(1, 0, 0, 64, &bytes)) != Result::Ok) return r;
    if ((r = control({0x00, kSetAddress, kAddress, 0, 0}, nullptr)) != Result::Ok) return r;
    {
        std::lock_guard<std::mutex> g(state_);
        address_ = kAddress;
    }
    if ((r = get_descriptor(1, 0, 0, 18, &device_)) != Result::Ok) return r;
    if (device_.size() != 18) return Result::Overflow;
    std::vector<std::uint8_t> head;
    if ((r = get_descriptor(2, 0, 0, 9, &head)) != Result::Ok) return r;
    if (head.size() != 9) return Result::Overflow;
    const std::uint16_t total = static_cast<std::uint16_t>(head[2] | (head[3] << 8));
    if ((r = get_descriptor(2, 0, 0, total, &configuration_)) != Result::Ok) return r;
    if ((r = parse_configuration(configuration_, &interfaces_)) != Result::Ok) return r;
    strings_.clear();
    std::vector<std::uint8_t> languages;
    if ((r = get_descriptor(3, 0, 0, 255, &languages)) != Result::Ok) return r;
    std::vector<std::uint8_t> indices = {device_[14], device_[15], device_[16], configuration_[6]};
    for (const Interface& i : interfaces_) indices.push_back(i.stringIndex);
    for (std::uint8_t index : indices) {
        if (index == 0 || strings_.count(index) != 0) continue;
        std::vector<std::uint8_t> text;
        if ((r = get_descriptor(3, index, kLanguage, 255, &text)) != Result::Ok) return r;
        std::string ascii;
        for (std::size_t k = 2; k + 1 < text.size(); k += 2) ascii.push_back(static_cast<char>(text[k]));
        strings_[index] = ascii;
    }
    configurationValue_ = configuration_[5];
    return control({0x00, kSetConfiguration, configurationValue_, 0, 0}, nullptr);
}

UsbHost::Result UsbHost::reset_device() {
    const std::uint8_t address = address_ != 0 ? address_ : kAddress;
    Result r = bus_reset();
    if (r != Result::Ok) return r;
    if ((r = control({0x00, kSetAddress, address, 0, 0}, nullptr)) != Result::Ok) return r;
    {
        std::lock_guard<std::mutex> g(state_);
        address_ = address;
    }
    std::vector<std::uint8_t> again;
    if ((r = get_descriptor(1, 0, 0, 18, &again)) != Result::Ok) return r;
    if (again != device_) return Result::NoDevice;
    return control({0x00, kSetConfiguration, configurationValue_, 0, 0}, nullptr);
}

std::string UsbHost::string(std::uint8_t index) const {
    auto it = strings_.find(index);
    return it == strings_.end() ? std::string() : it->second;
}

}  // namespace sim
