// One bus lock serialises the accesses to the attached device, as the single external bus
// does, and lets attach() swap the device only between accesses. The device must not call
// back into the window from its handlers.
#include "platform/hpi/HpiWindow.h"

#include <mutex>

#include "platform/gpio/Gpio.h"
#include "platform/gpio/GpioPortE.h"
#include "platform/irq/Interrupt.h"

namespace platform::hpi {

namespace {

std::mutex& BusLock() {
    static std::mutex lock;
    return lock;
}

HpiDevice* device = nullptr;  // guarded by BusLock()

void ResetPinChanged(unsigned /*pin*/, bool high, void* /*context*/) {
    std::lock_guard<std::mutex> lock(BusLock());
    if (device != nullptr) {
        device->set_reset(!high);
    }
}

}  // namespace

void attach(HpiDevice* newDevice) {
    gpio::port_e_set_listener(kResetPin, &ResetPinChanged, nullptr);
    std::lock_guard<std::mutex> lock(BusLock());
    device = newDevice;
    if (device != nullptr) {
        device->set_reset(!gpio::port_e_read(kResetPin));
    }
}

HpiDevice* attached() {
    std::lock_guard<std::mutex> lock(BusLock());
    return device;
}

void window_write(std::uint32_t offset, std::uint32_t value) {
    std::lock_guard<std::mutex> lock(BusLock());
    if (device != nullptr) {
        device->write(offset, value);
    }
}

std::uint32_t window_read(std::uint32_t offset) {
    std::lock_guard<std::mutex> lock(BusLock());
    return device != nullptr ? device->read(offset) : 0;
}

// The line is active low: asserted drives GPF0 low. The interrupt is taken at once, as the
// CPU would, before the DSP goes on.
void set_host_interrupt(bool asserted) {
    gpio::set_input(gpio::Port::F, gpio::kDspInterruptPin, !asserted);
    irq::settle();
}

bool host_interrupt_asserted() { return !gpio::input(gpio::Port::F, gpio::kDspInterruptPin); }

}  // namespace platform::hpi
