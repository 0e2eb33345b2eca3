// GPIO block of the simulated SoC (0x56000000-0x560000BF): ports A-H with their control, data
// and pull-up registers, and the external-interrupt logic (EXTINT0-2, EINTMASK, EINTPEND).
//
// Pins. For ports B-H each pin has a two-bit function in GPxCON (0 input, 1 output, 2 and 3
// special functions); port A has one bit (0 output, 1 function). An output pin's level is its
// GPxDAT bit; any other pin's level is the external input the simulation drives
// (set_input). Reading GPxDAT gives the pin levels.
//
// External interrupts. GPF0-7 in function 2 are EINT0-7, GPG0-15 in function 2 EINT8-23. The
// trigger code of each line (EXTINTn, three bits: 0 low level, 1 high level, 2-3 falling edge,
// 4-5 rising edge, 6-7 both edges) decides when the line is active. EINT0-3 drive interrupt
// vectors 0-3 directly (a level line as the vector's level input, an edge as a latch). EINT4-23
// set their EINTPEND bit (an edge latches it even while masked in EINTMASK; a level line keeps
// it set while active); vector 4 (EINT4_7) and 5 (EINT8_23) are asserted while any of their
// EINTPEND bits is set and not masked.
//
// Board wiring. Inputs from the simulation: GPF7 on/off button (1 released, 0 pressed), GPF2
// temperature alarm (the sensor's OS output, active low), GPF0 the DSP's host interrupt (active
// low), GPB7 (reads 1 while an input). Watched outputs: GPG0 falling while an output is the
// board's power-off (sent to the board-action sink); GPB7 driven low is the peripheral start
// pulse (listeners on it); GPE8 selects the I2C bus segment.
//
// State at start: as the boot monitor hands the board over, which is the board's own set-up
// (pins, trigger codes and masks). chip_reset() gives the SoC's reset values instead.
#pragma once

#include <cstdint>

namespace platform::gpio {

enum class Port : unsigned { A, B, C, D, E, F, G, H };
constexpr unsigned kPorts = 8;

constexpr std::uint32_t kGpioBase = 0x56000000;
constexpr std::uint32_t kGpioSize = 0xC0;

// Register addresses (x = port index 0..7 for A..H).
constexpr std::uint32_t con_address(Port port) { return kGpioBase + 0x10 * unsigned(port); }
constexpr std::uint32_t dat_address(Port port) { return con_address(port) + 4; }
constexpr std::uint32_t up_address(Port port) { return con_address(port) + 8; }
constexpr std::uint32_t EXTINT0 = 0x56000088;
constexpr std::uint32_t EXTINT1 = 0x5600008C;
constexpr std::uint32_t EXTINT2 = 0x56000090;
constexpr std::uint32_t EINTMASK = 0x560000A4;
constexpr std::uint32_t EINTPEND = 0x560000A8;

enum PinFunction : unsigned { Input = 0, Output = 1, Function2 = 2, Function3 = 3 };

// Board lines.
constexpr unsigned kDspInterruptPin = 0;    // GPF0, EINT0
constexpr unsigned kTempAlarmPin = 2;       // GPF2, EINT2
constexpr unsigned kButtonPin = 7;          // GPF7, EINT7
constexpr unsigned kPeripheralStartPin = 7; // GPB7
constexpr unsigned kPowerHoldPin = 0;       // GPG0
constexpr unsigned kI2cSegmentPin = 8;      // GPE8

// Sets or clears one GPxDAT bit (a driver's read-modify-write of the data register).
void set_output(Port port, unsigned pin, bool high);

// The external level the simulation drives into a pin.
void set_input(Port port, unsigned pin, bool high);
bool input(Port port, unsigned pin);
// The pin's level as GPxDAT reads it.
bool pin_level(Port port, unsigned pin);
PinFunction pin_function(Port port, unsigned pin);

// Called with the pin and its new level, on the thread that changed it, after the change,
// outside the block's lock.
using PinListener = void (*)(unsigned pin, bool high, void* context);
void add_listener(Port port, unsigned pin, PinListener listener, void* context);
void remove_listener(Port port, unsigned pin, PinListener listener, void* context);

// Back to the hand-over state of the registers (the inputs belong to the simulation and stay,
// so do the listeners). Listeners of pins whose level changes are called.
void power_on();
// The SoC's register reset values (all pins inputs, EINT4-23 masked).
void chip_reset();

}  // namespace platform::gpio

namespace platform::soc {
class RegisterModel;
}

namespace platform::gpio {
platform::soc::RegisterModel& register_model();
}  // namespace platform::gpio
