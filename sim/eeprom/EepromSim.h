// The board's 256-byte identity EEPROM, an I2C slave on segment 0 at address 0x54.
//
// A write transfer sets the address pointer with its first byte and stores any further bytes
// from there on; a read transfer returns bytes from the pointer on, which moves on by one per
// byte (wrapping at 256), so reads are sequential. The pointer survives STOP. While busy the
// device acknowledges no address.
//
// Its content is the file "<state>/eeprom.bin" when load_state() finds one, else an embedded
// record that decodes to the instrument's default identity.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/kernel/Kernel.h"
#include "platform/soc/I2cSlave.h"

namespace sim {

class EepromSim : public platform::soc::I2cSlave {
public:
    static constexpr std::uint8_t kAddress = 0x54;
    static constexpr std::size_t kSize = 256;

    EepromSim();

    bool Start(std::uint8_t address7, bool read) override;
    bool Write(std::uint8_t byte) override;
    std::uint8_t Read(bool ack) override;
    void Stop() override;

    // ---- content and test control ----
    void RestoreDefault();  // the default record; no busy time, no pending failures, count 0
    // "<state>/eeprom.bin" (256 bytes) when present and readable, else the default record.
    // true when the file was used.
    bool LoadState(const std::string& state_dir);
    void SetBytes(std::size_t offset, const void* data, std::size_t length);
    std::array<std::uint8_t, kSize> Bytes() const;
    void BusyFor(kernel::tick_t ticks);     // acknowledges no address for that many ticks
    void FailNextReads(unsigned count);     // the next read addressings are not acknowledged
    unsigned Reads() const;                 // read addressings since RestoreDefault

private:
    mutable std::mutex mutex_;
    std::array<std::uint8_t, kSize> bytes_;
    std::uint8_t pointer_ = 0;
    bool pointerPhase_ = false;
    kernel::tick_t busyUntil_ = 0;
    unsigned failures_ = 0;
    unsigned reads_ = 0;
};

// The EEPROM of the simulated board, attached to segment 0 at 0x54 on first use.
EepromSim& BoardEeprom();

// Shorthands on BoardEeprom() for tests and the runner.
namespace eeprom {

constexpr std::size_t Size = EepromSim::kSize;

void restore_default();
bool load_state(const std::string& state_dir);
void set_bytes(std::size_t offset, const void* data, std::size_t len);
void fail_next_reads(unsigned count);
unsigned reads();

}  // namespace eeprom
}  // namespace sim
