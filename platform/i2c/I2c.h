// Generic I2C layer of the operating system: a bus is a driver (init, transmit, receive,
// stop) plus the lock that groups the transfers of one transaction; a device is a slave
// address on a bus with its flags and bit timing. Clients bracket their transfers with
// transaction_begin/transaction_end; tx() is a whole one-transfer transaction.
#pragma once

#include <cstdint>

#include "platform/kernel/Kernel.h"

namespace i2c {

struct Device;

struct Bus {
    void (*init)(Bus* bus) = nullptr;
    // -> bytes sent (and acknowledged)
    std::uint32_t (*tx)(const Device* device, bool send_start, const std::uint8_t* buffer,
                        std::uint32_t count, bool send_stop) = nullptr;
    // -> bytes received
    std::uint32_t (*rx)(const Device* device, bool send_start, std::uint8_t* buffer,
                        std::uint32_t count, bool nack_last, bool send_stop) = nullptr;
    void (*stop)(const Device* device) = nullptr;
    void* driver_data = nullptr;
    kernel::Mutex lock;  // held for a whole transaction
    bool initialised = false;
};

struct Device {
    Bus* bus = nullptr;
    std::uint16_t address = 0;     // 7-bit address
    std::uint16_t flags = 0;       // driver-specific
    std::uint32_t delay_ns = 0;    // bit delay
};

// Runs the bus driver's init once and creates the lock (idempotent).
void bus_init(Bus* bus);

void transaction_begin(const Device* device);  // takes the bus lock
void transaction_end(const Device* device);    // releases it
std::uint32_t transaction_tx(const Device* device, bool send_start, const std::uint8_t* buffer,
                             std::uint32_t count, bool send_stop);
std::uint32_t transaction_rx(const Device* device, bool send_start, std::uint8_t* buffer,
                             std::uint32_t count, bool nack_last, bool send_stop);
void transaction_stop(const Device* device);

// One transaction: start, count bytes, stop. -> bytes sent.
std::uint32_t tx(const Device* device, const std::uint8_t* buffer, std::uint32_t count);

}  // namespace i2c
