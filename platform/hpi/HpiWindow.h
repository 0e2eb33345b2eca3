// Bank 1 of the simulated board: the DSP's 16-bit host-port interface, seen by the ARM as a
// window of 32-bit words, and the DSP's host-interrupt line.
//
// The device behind the window (the DSP simulator, or a test's fake) implements HpiDevice and
// is attached with attach(). The board drivers only call window_read / window_write.
//
// Window offsets (32-bit accesses):
//   write 0x00 HPIC  control; the same value in both 16-bit halves (bits per half:
//                    0x1 HWOB half-word order, 0x2 DSPINT interrupt the DSP, 0x4 HINT
//                    writing 1 clears the DSP's host interrupt); a word whose two
//                    halves differ is ignored by the DSP
//   write 0x04 HPIA  DSP address of the next data access
//   write 0x08 HPID  data, then HPIA += 4          read 0x18 HPID  data, then HPIA += 4
//   write 0x0C HPID  data, HPIA unchanged          read 0x1C HPID  data, HPIA unchanged
//                                                  read 0x14 HPIC
// While HWOB is 0 (its value after a reset) data words travel with their 16-bit halves
// swapped; this is the device's business, the window passes words unchanged.
//
// The DSP's reset input is GPIO pin GPE2 (platform/gpio/GpioPortE.h): low holds the DSP in
// reset, high releases it. The window forwards every change of that pin to the device.
//
// The DSP's host interrupt is pin GPF0 (EINT0, a low-level line): the device asserts it with
// set_host_interrupt(true) (when it sets HINT), which drives the pin low, and deasserts it
// with false (when the host clears HINT). While asserted, interrupt vector
// kHostInterruptVector stays pending (platform/gpio/Gpio.h).
#pragma once

#include <cstdint>

namespace platform::hpi {

// Byte offsets of the window.
enum : std::uint32_t {
    HPIC = 0x00,
    HPIA = 0x04,
    HPID_WRITE_INC = 0x08,
    HPID_WRITE_FIXED = 0x0C,
    HPIC_READ = 0x14,
    HPID_READ_INC = 0x18,
    HPID_READ_FIXED = 0x1C,
};

constexpr std::uint32_t kHostInterruptVector = 0;  // EINT0
constexpr unsigned kResetPin = 2;                    // GPE2

class HpiDevice {
public:
    virtual ~HpiDevice() = default;
    // A 32-bit write at a window offset. Runs on the writing thread; must not block for long.
    virtual void write(std::uint32_t offset, std::uint32_t value) = 0;
    // A 32-bit read at a window offset (offsets without a register read 0).
    virtual std::uint32_t read(std::uint32_t offset) = 0;
    // The DSP's reset input changed: true while held in reset (GPE2 low), false on release.
    virtual void set_reset(bool held) = 0;
};

// Attaches the device behind the window (nullptr detaches: writes are dropped, reads give 0)
// and tells it the current level of its reset pin at once. The caller keeps the device
// alive until it is detached; no access is in progress once attach() returns.
void attach(HpiDevice* device);
HpiDevice* attached();

void window_write(std::uint32_t offset, std::uint32_t value);
std::uint32_t window_read(std::uint32_t offset);

// The DSP's host-interrupt line, driven by the device.
void set_host_interrupt(bool asserted);
bool host_interrupt_asserted();

}  // namespace platform::hpi
