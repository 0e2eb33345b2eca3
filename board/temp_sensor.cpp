#include "board/temp_sensor.h"

#include <cstring>

#include "board/s3c2410_i2c.h"
#include "platform/devio/DevIo.h"

namespace {

constexpr int kEINVAL = 22;
constexpr int kEIO = 5;
constexpr int kTemperatureError = 26;
constexpr std::uint16_t kSensorAddress = 0x48;
constexpr int kAttempts = 5;
constexpr int kMinDegrees = -55;
constexpr int kMaxDegrees = 125;

std::uint32_t RegisterLength(std::uint8_t reg) { return reg == kTempRegConfig ? 1 : 2; }

i2c::Device SensorOn(i2c::Bus* bus) {
    i2c::Device device;
    device.bus = bus;
    device.address = kSensorAddress;
    device.flags = 0;
    device.delay_ns = kI2cDefaultDelayNs;
    return device;
}

// Register contents in bus order.
void ToWire(const void* data, std::uint32_t length, std::uint8_t* wire) {
    if (length == 2) {
        std::uint16_t value;
        std::memcpy(&value, data, 2);
        wire[0] = static_cast<std::uint8_t>(value >> 8);
        wire[1] = static_cast<std::uint8_t>(value);
    } else {
        std::memcpy(wire, data, 1);
    }
}

void FromWire(const std::uint8_t* wire, std::uint32_t length, void* data) {
    if (length == 2) {
        const std::uint16_t value = static_cast<std::uint16_t>((wire[0] << 8) | wire[1]);
        std::memcpy(data, &value, 2);
    } else {
        std::memcpy(data, wire, 1);
    }
}

}  // namespace

int temp_sensor_write_register(i2c::Bus* bus, std::uint8_t reg, const void* data,
                               std::uint32_t length) {
    if (!bus || reg < 1 || reg > 3 || !data || length != RegisterLength(reg)) return kEINVAL;
    const i2c::Device device = SensorOn(bus);
    std::uint8_t wire[2];
    ToWire(data, length, wire);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        i2c::transaction_begin(&device);
        bool ok = i2c::transaction_tx(&device, true, &reg, 1, false) == 1 &&
                  i2c::transaction_tx(&device, false, wire, length, true) == length;
        i2c::transaction_stop(&device);
        i2c::transaction_end(&device);
        if (ok) return 0;
    }
    return kEIO;
}

int temp_sensor_read_register(i2c::Bus* bus, std::uint8_t reg, void* data, std::uint32_t length) {
    if (!bus || reg > 3 || !data || length != RegisterLength(reg)) return kEINVAL;
    const i2c::Device device = SensorOn(bus);
    std::uint8_t wire[2];
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        i2c::transaction_begin(&device);
        bool ok = i2c::transaction_tx(&device, true, &reg, 1, false) == 1 &&
                  i2c::transaction_rx(&device, true, wire, length, true, true) == length;
        i2c::transaction_stop(&device);
        i2c::transaction_end(&device);
        if (ok) {
            FromWire(wire, length, data);
            return 0;
        }
    }
    return kEIO;
}

int temp_sensor_write_config(i2c::Bus* bus, const TempSensorConfig& config) {
    std::uint8_t queue;
    switch (config.fault_queue) {
        case 1: queue = 0; break;
        case 2: queue = 1; break;
        case 4: queue = 2; break;
        case 6: queue = 3; break;
        default: return kEINVAL;
    }
    const std::uint8_t byte = static_cast<std::uint8_t>(
        (config.shutdown ? 1 : 0) | (config.interrupt_mode ? 2 : 0) |
        (config.os_active_high ? 4 : 0) | (queue << 3));
    return temp_sensor_write_register(bus, kTempRegConfig, &byte, 1);
}

int temp_alarm_open() { return devio::devio_open("/dev/temp-al", devio::OPEN_READ); }

int temp_sensor_read_temperature(int* degrees) {
    std::uint16_t raw = 0;
    if (!degrees ||
        temp_sensor_read_register(&s3c2410_i2c_bus, kTempRegTemperature, &raw, 2) != 0)
        return kTemperatureError;
    *degrees = static_cast<std::int16_t>(raw) / 256;
    return 0;
}

int temp_sensor_set_shutdown_limit(std::int16_t degrees) {
    int clamped = degrees < kMinDegrees ? kMinDegrees : degrees;
    if (clamped > kMaxDegrees) clamped = kMaxDegrees;
    const std::uint16_t raw = static_cast<std::uint16_t>(static_cast<std::int16_t>(clamped * 256));
    if (temp_sensor_write_register(&s3c2410_i2c_bus, kTempRegShutdown, &raw, 2) != 0 ||
        temp_sensor_write_register(&s3c2410_i2c_bus, kTempRegHysteresis, &raw, 2) != 0 ||
        temp_sensor_write_config(&s3c2410_i2c_bus, TempSensorConfig{}) != 0)
        return kTemperatureError;
    return 0;
}
