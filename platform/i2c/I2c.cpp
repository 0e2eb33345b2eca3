#include "platform/i2c/I2c.h"

#include <mutex>

namespace i2c {

namespace {

std::mutex& InitLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

}  // namespace

void bus_init(Bus* bus) {
    std::lock_guard<std::mutex> g(InitLock());
    if (bus->initialised) return;
    kernel::mutex_init(&bus->lock);
    if (bus->init) bus->init(bus);
    bus->initialised = true;
}

void transaction_begin(const Device* device) {
    bus_init(device->bus);
    while (!kernel::mutex_lock(&device->bus->lock)) {
    }
}

void transaction_end(const Device* device) { kernel::mutex_unlock(&device->bus->lock); }

std::uint32_t transaction_tx(const Device* device, bool send_start, const std::uint8_t* buffer,
                             std::uint32_t count, bool send_stop) {
    return device->bus->tx(device, send_start, buffer, count, send_stop);
}

std::uint32_t transaction_rx(const Device* device, bool send_start, std::uint8_t* buffer,
                             std::uint32_t count, bool nack_last, bool send_stop) {
    return device->bus->rx(device, send_start, buffer, count, nack_last, send_stop);
}

void transaction_stop(const Device* device) { device->bus->stop(device); }

std::uint32_t tx(const Device* device, const std::uint8_t* buffer, std::uint32_t count) {
    transaction_begin(device);
    const std::uint32_t sent = transaction_tx(device, true, buffer, count, true);
    transaction_end(device);
    return sent;
}

}  // namespace i2c
