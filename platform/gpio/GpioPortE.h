// GPIO port E of the simulated board: the data register's output levels, with a listener per
// pin for the device models wired to it (GPE2 DSP reset, GPE3/GPE4 bus-control lines).
// After power-on the port holds 0x18 (GPE3 and GPE4 high, all others low).
#pragma once

#include <cstdint>

namespace platform::gpio {

constexpr unsigned kPortEPins = 16;

// Called with the pin and its new level, on the writing thread, after the level changed.
using PinListener = void (*)(unsigned pin, bool high, void* context);

void port_e_write(unsigned pin, bool high);
bool port_e_read(unsigned pin);
std::uint32_t port_e_data();
// One listener per pin; nullptr removes it.
void port_e_set_listener(unsigned pin, PinListener listener, void* context);
// Back to the power-on levels; the listeners of the pins that change are called.
void port_e_reset();

}  // namespace platform::gpio
