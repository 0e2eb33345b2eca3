// A simulated USB host on the SoC's USB device block: it resets and enumerates the device
// (as a PC's USB core does), then runs control, bulk and interrupt transfers packet by
// packet. Deadlines are real milliseconds. Transfers of different endpoints may run at the
// same time on different threads (their packets interleave); one transfer per endpoint.
// A bus reset (reset_device, bus_reset, enumerate) does not wait for the transfers under way:
// as a host controller flushes the device's endpoints for a port reset, each of them ends
// with NoDevice at its next NAK, and a transfer that asks for an endpoint meanwhile waits
// until the reset is done.
//
// Each transaction holds the interrupt-disable lock (then the host's own lock, then the
// model's), so the device's interrupt is taken as soon as a transaction ends.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/soc/UsbdModel.h"

namespace sim {

class UsbHost {
public:
    // Abandoned: the calling thread's abandon check said so (set_thread_abandon_check).
    enum class Result { Ok, Timeout, Stall, NoDevice, Overflow, Abandoned };

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
    // The transfers the calling thread starts from now on end (Abandoned) once check()
    // returns true; it is asked about once a millisecond while they wait (for the endpoint,
    // on NAKs). An empty check: never.
    static void set_thread_abandon_check(std::function<bool()> check);
    bool device_present() const { return model_.pull_up(); }

    // Reset; GET_DESCRIPTOR(device, 64) at address 0; SET_ADDRESS(1); the device descriptor,
    // the configuration (9 bytes, then wTotalLength), the strings (wLength 255);
    // SET_CONFIGURATION(the first configuration).
    Result enumerate();
    // A reset as Linux's after an error: reset, the same address, the device descriptor
    // compared with the one enumerated (a different one: NoDevice), the same configuration;
    // all within one transfer deadline.
    Result reset_device();
    // Bus reset only; waits until the device has seen it (100 ms, or the transfer deadline
    // when that is longer). Address 0 after it.
    Result bus_reset();
    Result suspend();
    Result resume();

    // data: the OUT data stage, or the IN data stage received (at most wLength bytes). A
    // SET_ADDRESS that completes moves the host to the new address too; a SET_CONFIGURATION,
    // SET_INTERFACE or CLEAR_FEATURE(ENDPOINT_HALT) puts the host's toggles it resets on the
    // device back to DATA0 as well.
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
    using Deadline = std::chrono::steady_clock::time_point;
    static constexpr std::uint16_t kAllEndpoints = 0xFFFF;

    // Holds endpoints (a bit per endpoint number) until it goes.
    class Hold {
    public:
        explicit Hold(UsbHost& host) : host_(host) {}
        ~Hold() { host_.release(mask_); }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        std::uint16_t mask_ = 0;

    private:
        UsbHost& host_;
    };
    // Waits until the endpoints are free (every endpoint while a re-enumeration is due) and
    // takes them for hold; Timeout at the deadline, Abandoned when the thread's check says so.
    // busReset: for a bus reset, which ends the transfers under way and goes before any
    // transfer that asks later.
    Result acquire(std::uint16_t mask, Deadline deadline, Hold* hold, bool busReset = false);
    void release(std::uint16_t mask);
    // With every endpoint held: the reset a transfer owes after a reset cut short.
    Result catch_up(const Hold& hold, Deadline deadline);

    // The transfers with their endpoints held.
    Result control_held(const Setup& setup, std::vector<std::uint8_t>* data, Deadline deadline);
    // newAddress >= 0: a SET_ADDRESS to it.
    Result control_stages(const Setup& setup, std::vector<std::uint8_t>* data, int newAddress,
                          Deadline deadline);
    Result bulk_out_held(std::uint8_t number, const std::vector<std::uint8_t>& data, bool zlp,
                         Deadline deadline);
    Result in_transfer_held(std::uint8_t number, std::uint32_t max, std::vector<std::uint8_t>* data,
                            Deadline deadline);
    Handshake setup_packet(const Setup& setup);
    // newAddress >= 0: the host's address once the packet is acknowledged (in the same step).
    Handshake in_packet(std::uint8_t endpoint, std::vector<std::uint8_t>* data, bool checkToggle,
                        bool* duplicate, int newAddress = -1);
    Handshake out_packet(std::uint8_t endpoint, const std::uint8_t* data, std::uint32_t length,
                         bool useToggle);
    Result failure(Handshake handshake) const;
    // The deadline of a transfer that starts now; of a bus reset's wait.
    Deadline transfer_deadline() const;
    Deadline reset_deadline() const;
    Result bus_reset_held(Deadline deadline);
    Result reset_device_held(Deadline deadline);
    Result enumerate_held();
    Result get_descriptor(std::uint8_t type, std::uint8_t index, std::uint16_t language,
                          std::uint16_t length, std::vector<std::uint8_t>* out, Deadline deadline);
    Result in_transfer(std::uint8_t endpoint, std::uint32_t max, std::vector<std::uint8_t>* data);
    std::uint16_t max_packet(std::uint8_t endpointAddress) const;
    // Between two NAKed tries; Timeout past the deadline, Abandoned when the thread's check
    // says so (asked once a millisecond).
    // NoDevice once a bus reset has come since the transfer took its endpoints.
    class Backoff {
    public:
        // endsAtReset: a bus reset ends the transfer (bulk and interrupt data); a control
        // transfer is short and is waited for, so its stages never come apart.
        Backoff(const UsbHost& host, Deadline deadline, bool endsAtReset = true)
            : host_(host), deadline_(deadline), endsAtReset_(endsAtReset) {}
        Result wait();

    private:
        const UsbHost& host_;
        Deadline deadline_;
        bool endsAtReset_;
        Deadline nextCheck_{};
        unsigned tries_ = 0;
    };

    platform::soc::UsbdModel& model_;
    std::uint32_t timeoutMs_ = 2000;
    std::mutex state_;  // toggles and address, after the interrupt-disable lock
    bool inToggle_[16] = {};
    bool outToggle_[16] = {};
    std::uint8_t address_ = 0;
    std::mutex gateLock_;
    std::condition_variable gateFreed_;
    std::uint16_t held_ = 0;  // the endpoints held (a bit per number); gateLock_
    unsigned resetsWaiting_ = 0;  // bus resets waiting for the endpoints; gateLock_
    // Counts the bus resets that ended the transfers under way (changed under gateLock_).
    std::atomic<std::uint32_t> busResets_{0};
    // A reset_device cut short, owed by the next transfer; written with every endpoint held.
    std::atomic<bool> stale_{false};
    std::vector<std::uint8_t> device_;
    std::vector<std::uint8_t> configuration_;
    std::vector<Interface> interfaces_;
    std::map<std::uint8_t, std::string> strings_;
    std::uint8_t configurationValue_ = 0;
};

}  // namespace sim
