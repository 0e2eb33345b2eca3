// The board's 256-byte identity EEPROM as the I2C bus sees it. It holds a default identity
// record; tests may change any byte or make the next reads fail.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {
namespace eeprom {

constexpr std::size_t Size = 256;

// Reads len bytes at offset; false when the transfer fails (or runs past the end).
bool read(std::size_t offset, std::uint8_t* out, std::size_t len);
bool write(std::size_t offset, const std::uint8_t* data, std::size_t len);

// ---- test control ----
void restore_default();                       // the default record, no pending failures
void set_bytes(std::size_t offset, const void* data, std::size_t len);
void fail_next_reads(unsigned count);
unsigned reads();                             // read transfers attempted since restore

}  // namespace eeprom
}  // namespace sim
