// Driver of the SoC's IIC controller, the board's only I2C master, plugged into the generic
// I2C layer as the bus s3c2410_i2c_bus. Device flag bit 0 drives GPE8 high while the device
// is addressed (the second bus segment). Each byte step waits up to 2 ticks for the
// controller's interrupt (vector 27).
#pragma once

#include <cstdint>

#include "platform/i2c/I2c.h"
#include "platform/irq/Interrupt.h"

constexpr irq::vector_t kIicVector = 27;
constexpr std::uint16_t kI2cFlagSegment1 = 1;  // device flag: GPE8 high
constexpr std::uint32_t kI2cDefaultDelayNs = 10000;

// The board's I2C bus. i2c::bus_init (or the first transaction) runs s3c2410_i2c_init.
extern i2c::Bus s3c2410_i2c_bus;

void s3c2410_i2c_init(i2c::Bus* bus);
std::uint32_t s3c2410_i2c_isr(irq::vector_t vector, irq::data_t data);
void s3c2410_i2c_dsr(irq::vector_t vector, std::uint32_t count, irq::data_t data);
std::uint32_t s3c2410_i2c_tx(const i2c::Device* device, bool send_start,
                             const std::uint8_t* buffer, std::uint32_t count, bool send_stop);
std::uint32_t s3c2410_i2c_rx(const i2c::Device* device, bool send_start, std::uint8_t* buffer,
                             std::uint32_t count, bool nack_last, bool send_stop);
void s3c2410_i2c_stop(const i2c::Device* device);

// IICCON clock bits for a bit delay: bits 0-3 the divider, bit 6 set for PCLK/512.
std::uint32_t s3c2410_i2c_clock_bits(std::uint32_t delay_ns);
