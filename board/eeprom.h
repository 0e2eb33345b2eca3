// Identity EEPROM (address 0x54, 256 bytes) on the board's I2C bus.
#pragma once

#include <cstdint>

#include "platform/i2c/I2c.h"

constexpr unsigned EepromIdentityRecordSize = 140;

// Reads length bytes at offset. 0; 22 for a missing buffer or bus, length 0, offset > 255 or
// offset + length > 256; 5 when the device did not acknowledge its offset within 7 ticks or
// the read came short.
int eeprom_read(i2c::Bus* bus, std::uint8_t* buffer, std::uint32_t length, std::uint32_t offset);

// Reads the 140-byte identity record at offset 0 of the board's bus, trying up to 4 times;
// the result of the last attempt. Checks nothing in the record.
int eeprom_read_first_block(std::uint8_t* buffer);
