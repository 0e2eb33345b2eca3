// Peripheral frame transfers: moves one length-prefixed frame to or from the peripheral
// controller on the second segment of the board's I2C bus (GPE8 high).
//
// Frame: byte 0 the 8-bit bus address (7-bit address << 1), bytes 1-2 the total frame length
// big-endian (header included), then the payload. Byte 0 only selects the slave; it is never
// sent as data.
#pragma once

#include <cstdint>

#include "platform/i2c/I2c.h"

// Binds the peripheral device record to the bus.
void periph_i2c_set_bus(i2c::Bus* bus);
// Bit delay := 1000000000 / hz nanoseconds (10000 ns until set).
void periph_i2c_set_clock(std::uint32_t hz);
// The delay currently set for the peripheral device.
std::uint32_t periph_i2c_bit_delay_ns();

// Sends frame bytes 1 .. length-1 in one transaction to the address of frame[0] >> 1.
// true when all of them were acknowledged; false, sending nothing, when the announced length
// is below 4 or no bus is bound.
bool periph_i2c_send_frame(const std::uint8_t* frame);

// Reads one frame from the slave of address_byte >> 1. With buffer null the frame goes to
// the module's own buffer (grown as needed, valid until the next such read) and *frame
// points at it; else into buffer (capacity bytes, at least 4) and *frame := buffer.
// *length receives the announced length (0 when even the header could not be read).
// true when a whole frame of more than 4 bytes was read.
bool periph_i2c_receive_frame(std::uint8_t address_byte, std::uint8_t** frame,
                              std::uint8_t* buffer, std::uint32_t capacity,
                              std::uint32_t* length);
