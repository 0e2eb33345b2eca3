#include "platform/gpio/GpioPortE.h"

#include <mutex>

#include "platform/gpio/Gpio.h"
#include "platform/soc/SocBus.h"

namespace platform::gpio {

namespace {

constexpr std::uint32_t kPowerOnCon = 0xA0950154;
constexpr std::uint32_t kPowerOnData = 0x18;

struct Slot {
    PinListener call = nullptr;
    void* context = nullptr;
};

struct Slots {
    std::mutex lock;
    Slot pins[kPortEPins];
};

Slots& TheSlots() {
    static Slots* slots = new Slots;
    return *slots;
}

}  // namespace

void port_e_write(unsigned pin, bool high) {
    if (pin < kPortEPins) set_output(Port::E, pin, high);
}

bool port_e_read(unsigned pin) { return pin < kPortEPins && pin_level(Port::E, pin); }

std::uint32_t port_e_data() { return soc::read32(dat_address(Port::E)); }

void port_e_set_listener(unsigned pin, PinListener listener, void* context) {
    if (pin >= kPortEPins) return;
    Slots& slots = TheSlots();
    std::lock_guard<std::mutex> g(slots.lock);
    Slot& slot = slots.pins[pin];
    if (slot.call != nullptr) remove_listener(Port::E, pin, slot.call, slot.context);
    slot = Slot{listener, context};
    if (listener != nullptr) add_listener(Port::E, pin, listener, context);
}

void port_e_reset() {
    soc::write32(con_address(Port::E), kPowerOnCon);
    soc::write32(dat_address(Port::E), kPowerOnData);
}

}  // namespace platform::gpio
