#include "board/eeprom.h"

#include "board/s3c2410_i2c.h"
#include "platform/kernel/Kernel.h"

namespace {

constexpr int kEINVAL = 22;
constexpr int kEIO = 5;
constexpr std::uint16_t kEepromAddress = 0x54;
constexpr std::uint32_t kEepromSize = 256;
constexpr kernel::tick_t kAckPollTicks = 7;
constexpr int kFirstBlockAttempts = 4;

}  // namespace

int eeprom_read(i2c::Bus* bus, std::uint8_t* buffer, std::uint32_t length, std::uint32_t offset) {
    if (!buffer || !bus || length == 0 || offset >= kEepromSize || length > kEepromSize - offset)
        return kEINVAL;
    i2c::Device device;
    device.bus = bus;
    device.address = static_cast<std::uint16_t>(kEepromAddress | ((offset >> 8) & 0x7F));
    device.flags = 0;
    device.delay_ns = kI2cDefaultDelayNs;
    const std::uint8_t offset8 = static_cast<std::uint8_t>(offset);

    i2c::transaction_begin(&device);
    // The device acknowledges nothing while it finishes an internal write.
    const kernel::tick_t start = kernel::current_time();
    bool acknowledged = false;
    for (;;) {
        acknowledged = i2c::transaction_tx(&device, true, &offset8, 1, false) == 1;
        if (acknowledged || kernel::current_time() - start >= kAckPollTicks) break;
        kernel::thread_yield();
    }
    int result = kEIO;
    if (acknowledged &&
        i2c::transaction_rx(&device, true, buffer, length, true, true) == length)
        result = 0;
    i2c::transaction_stop(&device);
    i2c::transaction_end(&device);
    return result;
}

int eeprom_read_first_block(std::uint8_t* buffer) {
    int result = kEINVAL;
    for (int attempt = 0; attempt < kFirstBlockAttempts; ++attempt) {
        result = eeprom_read(&s3c2410_i2c_bus, buffer, EepromIdentityRecordSize, 0);
        if (result == 0) break;
    }
    return result;
}
