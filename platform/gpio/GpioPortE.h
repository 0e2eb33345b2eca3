// GPIO port E of the simulated board, pin by pin: the lines wired to device models (GPE2 DSP
// reset, GPE3/GPE4 bus-control lines, GPE8 I2C segment select). A view of port E of the GPIO
// block (platform/gpio/Gpio.h); after power-on the port holds 0x18 (GPE3 and GPE4 high, all
// others low).
#pragma once

#include <cstdint>

namespace platform::gpio {

constexpr unsigned kPortEPins = 16;

// Called with the pin and its new level, on the writing thread, after the level changed.
using PinListener = void (*)(unsigned pin, bool high, void* context);

// Sets the pin's data bit (the pin's level while it is an output).
void port_e_write(unsigned pin, bool high);
bool port_e_read(unsigned pin);
std::uint32_t port_e_data();
// One listener per pin through this call; nullptr removes it.
void port_e_set_listener(unsigned pin, PinListener listener, void* context);
// Back to the power-on set-up of the port; the listeners of the pins that change are called.
void port_e_reset();

}  // namespace platform::gpio
