// Identity EEPROM driver.
#pragma once

#include <cstdint>

constexpr unsigned EepromIdentityRecordSize = 140;

// Reads the 140-byte identity record at offset 0, trying up to 4 times. 0 on success, 22
// for a null buffer, 5 when every transfer failed. Checks nothing in the record.
int eeprom_read_first_block(std::uint8_t* buffer);
