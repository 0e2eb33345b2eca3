// DSP host port (HPI) and DSP reset: the ARM side's only access to DSP memory.
//
// Every function below holds the one HPI lock for its whole register sequence, so a word
// read (the status heartbeat) can never move the address register in the middle of another
// thread's block transfer. The HPI lock is innermost: nothing else is locked while it is
// held. Callers still serialise whole message exchanges with the DSP lock.
#pragma once

#include <cstdint>

// HPIC control words (the same value in both 16-bit halves).
constexpr std::uint32_t kHpicHwob = 0x00010001;        // half-word order
constexpr std::uint32_t kHpicDspInt = 0x00030003;      // HWOB + DSPINT: interrupt the DSP
constexpr std::uint32_t kHpicHostIntAck = 0x00050005;  // HWOB + HINT: clear the host interrupt

struct DspEmifRegister {
    std::uint32_t address;
    std::uint32_t value;
};
// GBLCTL, CECTL1, CECTL0 (from 0x01800000), then CECTL2, CECTL3, SDCTL, SDTIM, SDEXT
// (from 0x01800010).
extern const DspEmifRegister DspEmifRegisterValues[8];

// HPIC := HWOB, HPIA := address, fixed HPID := value; the three writes are issued twice.
void hpi_write_word(std::uint32_t address, std::uint32_t value);
// HPIC := HWOB, HPIA := address, words 0 .. n-2 through the auto-increment port, the last
// through the fixed port. A count of 0 writes nothing.
void hpi_write_block(std::uint32_t address, const std::uint32_t* words, std::uint32_t count);
// HPIC := HWOB, HPIA := address, one read of the auto-increment port.
std::uint32_t hpi_read_word(std::uint32_t address);
// HPIC := HWOB, HPIA := address, words 0 .. n-2 from the auto-increment port, the last from
// the fixed port. A count of 0 reads nothing.
void hpi_read_block(std::uint32_t address, std::uint32_t* words, std::uint32_t count);
// HPIC := 0x00030003: DSPINT (starts a loaded program, later signals a new message).
void hpi_raise_dsp_interrupt();
// HPIC := 0x00050005: acknowledges the DSP's host interrupt.
void hpi_clear_host_interrupt();

// Resets the DSP when it was not reset yet or forced is non-zero: GPE3 low, GPE4 high,
// GPE2 low, 1000 us, GPE2 high, 1000 us, GPE4 low, HPIC := HWOB; marks the reset done.
void dsp_hard_reset(std::uint8_t forced);
// Writes the eight EMIF registers and reads them back (values discarded).
void dsp_emif_init();

// Bus-control lines around NAND flash operations.
void board_bus_lines_raise();  // GPE4 high, then GPE3 high
void board_bus_lines_lower();  // GPE3 low, then GPE4 low
