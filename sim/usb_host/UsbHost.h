// A simulated USB host on the SoC's USB device block: it resets and enumerates the device
// (as a PC's USB core does), then runs control, bulk and interrupt transfers packet by
// packet. Deadlines are real milliseconds. Transfers of different endpoints may run at the
// same time on different threads (their packets interleave); one transfer per endpoint.
//
// Each transaction holds the interrupt-disable lock (then the host's own lock, then the
// model's), so the device's interrupt is taken as soon as a transaction ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/soc/UsbdModel.h"

namespace sim {

class UsbHost {
public:
    enum class Result { Ok, Timeout, Stall, NoDevice, Overflow };

    struct Setup {
        std::uint8_t bmRequestType;
        std::uint8_t bRequest;
        std::uint16_t wValue;
        std::uint16_t wIndex;
        std::uint16_t wLength;
    };

    // From the configuration descriptor.
    struct Endpoint {
        std::uint8_t address;
        std::uint8_t attributes;
        std::uint16_t maxPacket;
        std::uint8_t interval;
    };
    struct Interface {
        std::uint8_t number;
        std::uint8_t alternate;
        std::uint8_t interfaceClass;
        std::uint8_t subClass;
        std::uint8_t protocol;
        std::uint8_t stringIndex;
        std::vector<Endpoint> endpoints;
    };

    static constexpr std::uint8_t kAddress = 1;
    static constexpr std::uint16_t kLanguage = 0x0409;

    explicit UsbHost(platform::soc::UsbdModel& model = platform::soc::usbd());

    // The deadline of each transfer (default 2000 ms).
    void set_timeout_ms(std::uint32_t ms) { timeoutMs_ = ms; }
    // The deadline of the transfers the calling thread starts from now on, whatever
    // set_timeout_ms says (0: none; a bus reset then waits 5 s at most).
    static void set_thread_timeout_ms(std::uint32_t ms);
    bool device_present() const { return model_.pull_up(); }

    // Reset; GET_DESCRIPTOR(device, 64) at address 0; SET_ADDRESS(1); the device descriptor,
    // the configuration (9 bytes, then wTotalLength), the strings (wLength 255);
    // SET_CONFIGURATION(the first configuration).
    Result enumerate();
    // A reset as Linux's after an error: reset, the same address, the device descriptor
    // compared with the one enumerated (a different one: NoDevice), the same configuration.
    Result reset_device();
    // Bus reset only; waits until the device has seen it (100 ms, or the transfer deadline
    // when that is longer). Address 0 after it.
    Result bus_reset();
    Result suspend();
    Result resume();

    // data: the OUT data stage, or the IN data stage received (at most wLength bytes).
    Result control(const Setup& setup, std::vector<std::uint8_t>* data);
    // Packets of the endpoint's maximum; zlp: a zero-length packet after data that fills
    // whole packets.
    Result bulk_out(std::uint8_t endpoint, const std::vector<std::uint8_t>& data, bool zlp = false);
    // Ends at a short packet or when max bytes have arrived; a packet larger than the room
    // left is an overflow. *data holds what arrived, also on a timeout.
    Result bulk_in(std::uint8_t endpoint, std::uint32_t max, std::vector<std::uint8_t>* data);
    Result interrupt_in(std::uint8_t endpoint, std::uint32_t max, std::vector<std::uint8_t>* data);
    // CLEAR_FEATURE(ENDPOINT_HALT); the endpoint's toggle goes back to DATA0.
    Result clear_halt(std::uint8_t endpointAddress);
    Result get_status(std::uint8_t recipient, std::uint16_t index, std::uint16_t* value);

    // Of the last enumeration.
    const std::vector<std::uint8_t>& device_descriptor() const { return device_; }
    const std::vector<std::uint8_t>& configuration_descriptor() const { return configuration_; }
    const std::vector<Interface>& interfaces() const { return interfaces_; }
    // The string of an index read at enumeration (ASCII), or "" when there is none.
    std::string string(std::uint8_t index) const;
    std::uint8_t address() const { return address_; }
    std::uint8_t configuration() const { return configurationValue_; }
    // The IN data toggle the next packet of an endpoint must carry (tests).
    bool expected_in_toggle(std::uint8_t endpoint);

    static Result parse_configuration(const std::vector<std::uint8_t>& bytes,
                                      std::vector<Interface>* interfaces);

private:
    using Handshake = platform::soc::UsbdModel::Handshake;

    Result control_transfer(const Setup& setup, std::vector<std::uint8_t>* data);
    Handshake setup_packet(const Setup& setup);
    Handshake in_packet(std::uint8_t endpoint, std::vector<std::uint8_t>* data, bool checkToggle,
                        bool* duplicate);
    Handshake out_packet(std::uint8_t endpoint, const std::uint8_t* data, std::uint32_t length,
                         bool useToggle);
    Result failure(Handshake handshake) const;
    // The deadline of a transfer that starts now; of a bus reset's wait.
    std::chrono::steady_clock::time_point transfer_deadline() const;
    std::chrono::steady_clock::time_point reset_deadline() const;
    Result get_descriptor(std::uint8_t type, std::uint8_t index, std::uint16_t language,
                          std::uint16_t length, std::vector<std::uint8_t>* out);
    Result in_transfer(std::uint8_t endpoint, std::uint32_t max, std::vector<std::uint8_t>* data);
    std::uint16_t max_packet(std::uint8_t endpointAddress) const;
    std::mutex& transfer_lock(std::uint8_t endpoint);
    struct Backoff {
        unsigned tries = 0;
        void wait();
    };

    platform::soc::UsbdModel& model_;
    std::uint32_t timeoutMs_ = 2000;
    std::mutex state_;  // toggles and address, after the interrupt-disable lock
    bool inToggle_[16] = {};
    bool outToggle_[16] = {};
    std::uint8_t address_ = 0;
    std::mutex transfers_[16];  // one transfer per endpoint number
    std::vector<std::uint8_t> device_;
    std::vector<std::uint8_t> configuration_;
    std::vector<Interface> interfaces_;
    std::map<std::uint8_t, std::string> strings_;
    std::uint8_t configurationValue_ = 0;
};

}  // namespace sim
