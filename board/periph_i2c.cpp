#include "board/periph_i2c.h"

#include <cstdlib>

#include "board/s3c2410_i2c.h"

namespace {

constexpr std::uint32_t kHeaderLength = 3;
constexpr std::uint32_t kMinimumLength = 4;

i2c::Device device{nullptr, 0, kI2cFlagSegment1, kI2cDefaultDelayNs};

// The receive buffer handed out when the caller brings none; callers serialise on the
// peripheral-bus lock.
std::uint8_t* moduleBuffer = nullptr;
std::uint32_t moduleCapacity = 0;

bool GrowModuleBuffer(std::uint32_t size) {
    if (moduleBuffer && moduleCapacity >= size) return true;
    void* grown = std::realloc(moduleBuffer, size);
    if (!grown) return false;
    moduleBuffer = static_cast<std::uint8_t*>(grown);
    moduleCapacity = size;
    return true;
}

std::uint32_t FrameLength(const std::uint8_t* frame) {
    return static_cast<std::uint32_t>((frame[1] << 8) | frame[2]);
}

}  // namespace

void periph_i2c_set_bus(i2c::Bus* bus) { device.bus = bus; }

void periph_i2c_set_clock(std::uint32_t hz) {
    if (hz != 0) device.delay_ns = 1000000000u / hz;
}

std::uint32_t periph_i2c_bit_delay_ns() { return device.delay_ns; }

bool periph_i2c_send_frame(const std::uint8_t* frame) {
    if (!frame || !device.bus) return false;
    const std::uint32_t length = FrameLength(frame);
    if (length < kMinimumLength) return false;
    device.address = frame[0] >> 1;
    return i2c::tx(&device, frame + 1, length - 1) == length - 1;
}

bool periph_i2c_receive_frame(std::uint8_t address_byte, std::uint8_t** frame,
                              std::uint8_t* buffer, std::uint32_t capacity,
                              std::uint32_t* length) {
    if (!frame || !length || !device.bus) return false;
    std::uint8_t* target = buffer;
    if (!buffer) {
        if (!GrowModuleBuffer(kMinimumLength)) return false;
        target = moduleBuffer;
    } else if (capacity < kMinimumLength) {
        return false;
    }
    *frame = target;
    device.address = address_byte >> 1;
    target[0] = address_byte;

    std::uint32_t announced = 0;
    bool whole = false;
    i2c::transaction_begin(&device);
    if (i2c::transaction_rx(&device, true, target + 1, 2, false, false) == 2) {
        announced = FrameLength(target);
        bool room = false;
        if (announced > kMinimumLength) {
            if (!buffer) {
                room = GrowModuleBuffer(announced);
                target = moduleBuffer;
                *frame = target;
            } else {
                room = capacity >= announced;
            }
        }
        if (room) {
            const std::uint32_t rest = announced - kHeaderLength;
            whole = i2c::transaction_rx(&device, false, target + kHeaderLength, rest, true,
                                        false) == rest;
        }
    }
    i2c::transaction_stop(&device);
    i2c::transaction_end(&device);
    *length = announced;
    return whole;
}
