#include "sim/usb_host/UsbHost.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

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
// The calling thread's abandon check (empty: never).
thread_local std::function<bool()> threadAbandoned;
// The host's bus-reset count when the calling thread's transfer took its endpoints.
thread_local std::uint32_t threadBusResets = 0;

constexpr auto kAbandonCheckPeriod = std::chrono::milliseconds(1);
// A bus reset without a deadline waits this long for the device to see it.
constexpr auto kResetWaitWithoutDeadline = std::chrono::milliseconds(5000);

bool abandoned() { return threadAbandoned && threadAbandoned(); }

}  // namespace

void UsbHost::set_thread_timeout_ms(std::uint32_t ms) { threadTimeoutMs = ms; }

void UsbHost::set_thread_abandon_check(std::function<bool()> check) {
    threadAbandoned = std::move(check);
}

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
UsbHost::Result UsbHost::Backoff::wait() {
    const auto now = Clock::now();
    if (now >= deadline_) return Result::Timeout;
    if (now >= nextCheck_) {
        if (abandoned()) return Result::Abandoned;
        if (endsAtReset_ && host_.busResets_.load() != threadBusResets) return Result::NoDevice;
        nextCheck_ = now + kAbandonCheckPeriod;
    }
    if (++tries_ < 100) {
        std::this_thread::yield();
    } else {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return Result::Ok;
}

// A transfer whose caller is gone already takes nothing from the device. Every endpoint held
// is a reset or an enumeration under way, which a bus reset waits for without ending it.
UsbHost::Result UsbHost::acquire(std::uint16_t mask, Deadline deadline, Hold* hold,
                                 bool busReset) {
    if (abandoned()) return Result::Abandoned;
    std::unique_lock<std::mutex> g(gateLock_);
    if (busReset) {
        ++resetsWaiting_;
        if (held_ != kAllEndpoints) busResets_.fetch_add(1);
    }
    Result result = Result::Ok;
    for (;;) {
        const std::uint16_t wanted = stale_.load() ? kAllEndpoints : mask;
        if ((held_ & wanted) == 0 && (busReset || resetsWaiting_ == 0)) {
            held_ |= wanted;
            hold->mask_ = wanted;
            threadBusResets = busResets_.load();
            break;
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            result = Result::Timeout;
            break;
        }
        if (abandoned()) {
            result = Result::Abandoned;
            break;
        }
        gateFreed_.wait_until(g, std::min(deadline, now + kAbandonCheckPeriod));
    }
    if (busReset) {
        --resetsWaiting_;
        gateFreed_.notify_all();
    }
    return result;
}

void UsbHost::release(std::uint16_t mask) {
    if (mask == 0) return;
    std::lock_guard<std::mutex> g(gateLock_);
    held_ &= static_cast<std::uint16_t>(~mask);
    gateFreed_.notify_all();
}

UsbHost::Result UsbHost::catch_up(const Hold& hold, Deadline deadline) {
    if (hold.mask_ != kAllEndpoints || !stale_.load()) return Result::Ok;
    return reset_device_held(deadline);
}

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
                                      bool checkToggle, bool* duplicate, int newAddress) {
    irq::InterruptsDisabled bus;
    std::lock_guard<std::mutex> g(state_);
    bool toggle = false;
    const Handshake result = model_.bus_in(address_, endpoint, data, &toggle);
    *duplicate = false;
    // The device takes a new address as this status stage ends; so does the host, before
    // any other transaction.
    if (result == Handshake::Ack && newAddress >= 0)
        address_ = static_cast<std::uint8_t>(newAddress);
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
    const Deadline deadline = transfer_deadline();
    Hold hold(*this);
    Result result = acquire(1, deadline, &hold);
    if (result == Result::Ok) result = catch_up(hold, deadline);
    return result == Result::Ok ? control_held(setup, data, deadline) : result;
}

UsbHost::Result UsbHost::control_held(const Setup& setup, std::vector<std::uint8_t>* data,
                                      Deadline deadline) {
    const bool standardOut = setup.bmRequestType <= 1;
    const int newAddress = standardOut && setup.bmRequestType == 0 && setup.bRequest == kSetAddress
                               ? setup.wValue & 0x7F
                               : -1;
    const Result result = control_stages(setup, data, newAddress, deadline);
    // SET_CONFIGURATION and SET_INTERFACE put every data toggle back to DATA0, here as on the
    // device; CLEAR_FEATURE(ENDPOINT_HALT) that of its endpoint, also when a client sends it as
    // a plain request (else the toggle a cut transfer left makes the device drop the next
    // packet as a repeat).
    if (result == Result::Ok && standardOut &&
        (setup.bRequest == kSetConfiguration || setup.bRequest == kSetInterface)) {
        std::lock_guard<std::mutex> g(state_);
        for (int i = 1; i < 16; ++i) inToggle_[i] = outToggle_[i] = false;
    }
    if (result == Result::Ok && setup.bmRequestType == 0x02 && setup.bRequest == kClearFeature &&
        setup.wValue == 0) {
        std::lock_guard<std::mutex> g(state_);
        ((setup.wIndex & 0x80) != 0 ? inToggle_ : outToggle_)[setup.wIndex & 0x0F] = false;
    }
    return result;
}

UsbHost::Result UsbHost::control_stages(const Setup& setup, std::vector<std::uint8_t>* data,
                                        int newAddress, Deadline deadline) {
    Backoff backoff(*this, deadline, false);
    if (!model_.pull_up()) return Result::NoDevice;
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
                    if (const Result r = backoff.wait(); r != Result::Ok) return r;
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
            if (const Result r = backoff.wait(); r != Result::Ok) return r;
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
        if (const Result r = backoff.wait(); r != Result::Ok) return r;
    }
    for (;;) {
        std::vector<std::uint8_t> none;
        bool duplicate = false;
        h = in_packet(0, &none, false, &duplicate, newAddress);
        if (h == Handshake::Ack) return Result::Ok;
        if (h != Handshake::Nak) return failure(h);
        if (const Result r = backoff.wait(); r != Result::Ok) return r;
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
    const std::uint8_t number = endpoint & 0x0F;
    const Deadline deadline = transfer_deadline();
    Hold hold(*this);
    Result result = acquire(static_cast<std::uint16_t>(1u << number), deadline, &hold);
    if (result == Result::Ok) result = catch_up(hold, deadline);
    return result == Result::Ok ? bulk_out_held(number, data, zlp, deadline) : result;
}

UsbHost::Result UsbHost::bulk_out_held(std::uint8_t number, const std::vector<std::uint8_t>& data,
                                       bool zlp, Deadline deadline) {
    Backoff backoff(*this, deadline);
    if (!model_.pull_up()) return Result::NoDevice;
    const std::uint16_t max = max_packet(number);
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
        if (const Result r = backoff.wait(); r != Result::Ok) return r;
    }
    return Result::Ok;
}

UsbHost::Result UsbHost::in_transfer(std::uint8_t endpoint, std::uint32_t max,
                                     std::vector<std::uint8_t>* data) {
    const std::uint8_t number = endpoint & 0x0F;
    data->clear();
    const Deadline deadline = transfer_deadline();
    Hold hold(*this);
    Result result = acquire(static_cast<std::uint16_t>(1u << number), deadline, &hold);
    if (result == Result::Ok) result = catch_up(hold, deadline);
    return result == Result::Ok ? in_transfer_held(number, max, data, deadline) : result;
}

UsbHost::Result UsbHost::in_transfer_held(std::uint8_t number, std::uint32_t max,
                                          std::vector<std::uint8_t>* data, Deadline deadline) {
    Backoff backoff(*this, deadline);
    if (!model_.pull_up()) return Result::NoDevice;
    const std::uint16_t packetMax = max_packet(static_cast<std::uint8_t>(number | 0x80));
    for (;;) {
        std::vector<std::uint8_t> packet;
        bool duplicate = false;
        const Handshake h = in_packet(number, &packet, true, &duplicate);
        if (h == Handshake::Nak) {
            if (const Result r = backoff.wait(); r != Result::Ok) return r;
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
    return control({0x02, kClearFeature, 0, endpointAddress, 0}, nullptr);
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
    const Deadline deadline = reset_deadline();
    Hold hold(*this);
    const Result result = acquire(kAllEndpoints, deadline, &hold, true);
    return result == Result::Ok ? bus_reset_held(deadline) : result;
}

UsbHost::Result UsbHost::bus_reset_held(Deadline deadline) {
    Backoff backoff(*this, deadline, false);
    if (!model_.pull_up()) return Result::NoDevice;
    {
        irq::InterruptsDisabled bus;
        std::lock_guard<std::mutex> g(state_);
        model_.bus_reset();
        address_ = 0;
        for (int i = 0; i < 16; ++i) inToggle_[i] = outToggle_[i] = false;
    }
    while (model_.reset_pending()) {
        if (const Result r = backoff.wait(); r != Result::Ok) return r;
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
                                        std::vector<std::uint8_t>* out, Deadline deadline) {
    return control_held({0x80, kGetDescriptor, static_cast<std::uint16_t>((type << 8) | index),
                         language, length},
                        out, deadline);
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
    Hold hold(*this);
    const Result result = acquire(kAllEndpoints, transfer_deadline(), &hold, true);
    return result == Result::Ok ? enumerate_held() : result;
}

// Each step with a deadline of its own.
UsbHost::Result UsbHost::enumerate_held() {
    Result r = bus_reset_held(reset_deadline());
    if (r != Result::Ok) return r;
    std::vector<std::uint8_t> bytes;
    if ((r = get_descriptor(1, 0, 0, 64, &bytes, transfer_deadline())) != Result::Ok) return r;
    r = control_held({0x00, kSetAddress, kAddress, 0, 0}, nullptr, transfer_deadline());
    if (r != Result::Ok) return r;
    if ((r = get_descriptor(1, 0, 0, 18, &device_, transfer_deadline())) != Result::Ok) return r;
    if (device_.size() != 18) return Result::Overflow;
    std::vector<std::uint8_t> head;
    if ((r = get_descriptor(2, 0, 0, 9, &head, transfer_deadline())) != Result::Ok) return r;
    if (head.size() != 9) return Result::Overflow;
    const std::uint16_t total = static_cast<std::uint16_t>(head[2] | (head[3] << 8));
    if ((r = get_descriptor(2, 0, 0, total, &configuration_, transfer_deadline())) != Result::Ok)
        return r;
    if ((r = parse_configuration(configuration_, &interfaces_)) != Result::Ok) return r;
    strings_.clear();
    std::vector<std::uint8_t> languages;
    if ((r = get_descriptor(3, 0, 0, 255, &languages, transfer_deadline())) != Result::Ok) return r;
    std::vector<std::uint8_t> indices = {device_[14], device_[15], device_[16], configuration_[6]};
    for (const Interface& i : interfaces_) indices.push_back(i.stringIndex);
    for (std::uint8_t index : indices) {
        if (index == 0 || strings_.count(index) != 0) continue;
        std::vector<std::uint8_t> text;
        r = get_descriptor(3, index, kLanguage, 255, &text, transfer_deadline());
        if (r != Result::Ok) return r;
        std::string ascii;
        for (std::size_t k = 2; k + 1 < text.size(); k += 2) ascii.push_back(static_cast<char>(text[k]));
        strings_[index] = ascii;
    }
    configurationValue_ = configuration_[5];
    r = control_held({0x00, kSetConfiguration, configurationValue_, 0, 0}, nullptr,
                     transfer_deadline());
    if (r == Result::Ok) stale_.store(false);
    return r;
}

UsbHost::Result UsbHost::reset_device() {
    const Deadline deadline = transfer_deadline();
    Hold hold(*this);
    const Result result = acquire(kAllEndpoints, deadline, &hold, true);
    return result == Result::Ok ? reset_device_held(deadline) : result;
}

// One deadline for every step; without one, the bus reset is waited for 5 s at most. Until
// the last step completes, the transfers that come next owe a reset of their own.
UsbHost::Result UsbHost::reset_device_held(Deadline deadline) {
    const Deadline resetWait =
        deadline == Deadline::max() ? Clock::now() + kResetWaitWithoutDeadline : deadline;
    stale_.store(true);
    Result r = bus_reset_held(resetWait);
    if (r != Result::Ok) return r;
    if ((r = control_held({0x00, kSetAddress, kAddress, 0, 0}, nullptr, deadline)) != Result::Ok)
        return r;
    std::vector<std::uint8_t> again;
    if ((r = get_descriptor(1, 0, 0, 18, &again, deadline)) != Result::Ok) return r;
    if (again != device_) return Result::NoDevice;
    r = control_held({0x00, kSetConfiguration, configurationValue_, 0, 0}, nullptr, deadline);
    if (r == Result::Ok) stale_.store(false);
    return r;
}

std::string UsbHost::string(std::uint8_t index) const {
    auto it = strings_.find(index);
    return it == strings_.end() ? std::string() : it->second;
}

}  // namespace sim
