// Listeners run outside the port lock, so a listener may take locks of its own that are
// also held around port reads.
#include "platform/gpio/GpioPortE.h"

#include <mutex>

namespace platform::gpio {

namespace {

constexpr std::uint32_t kPowerOnData = 0x18;

struct Listener {
    PinListener call = nullptr;
    void* context = nullptr;
};

struct Port {
    std::mutex lock;
    std::uint32_t data = kPowerOnData;
    Listener listeners[kPortEPins];
};

Port& ThePort() {
    static Port port;
    return port;
}

}  // namespace

void port_e_write(unsigned pin, bool high) {
    if (pin >= kPortEPins) {
        return;
    }
    Port& port = ThePort();
    Listener listener;
    {
        std::lock_guard<std::mutex> lock(port.lock);
        const std::uint32_t bit = std::uint32_t{1} << pin;
        const std::uint32_t data = high ? (port.data | bit) : (port.data & ~bit);
        if (data == port.data) {
            return;
        }
        port.data = data;
        listener = port.listeners[pin];
    }
    if (listener.call != nullptr) {
        listener.call(pin, high, listener.context);
    }
}

bool port_e_read(unsigned pin) {
    return pin < kPortEPins && (port_e_data() & (std::uint32_t{1} << pin)) != 0;
}

std::uint32_t port_e_data() {
    Port& port = ThePort();
    std::lock_guard<std::mutex> lock(port.lock);
    return port.data;
}

void port_e_set_listener(unsigned pin, PinListener listener, void* context) {
    if (pin >= kPortEPins) {
        return;
    }
    Port& port = ThePort();
    std::lock_guard<std::mutex> lock(port.lock);
    port.listeners[pin] = Listener{listener, context};
}

void port_e_reset() {
    Port& port = ThePort();
    std::uint32_t changed = 0;
    Listener listeners[kPortEPins];
    {
        std::lock_guard<std::mutex> lock(port.lock);
        changed = port.data ^ kPowerOnData;
        port.data = kPowerOnData;
        for (unsigned pin = 0; pin < kPortEPins; ++pin) {
            listeners[pin] = port.listeners[pin];
        }
    }
    for (unsigned pin = 0; pin < kPortEPins; ++pin) {
        if ((changed & (std::uint32_t{1} << pin)) != 0 && listeners[pin].call != nullptr) {
            listeners[pin].call(pin, (kPowerOnData & (std::uint32_t{1} << pin)) != 0,
                                listeners[pin].context);
        }
    }
}

}  // namespace platform::gpio
