#include "platform/soc/SocBus.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/gpio/Gpio.h"
#include "platform/irq/Interrupt.h"
#include "platform/soc/AdcModel.h"
#include "platform/soc/IicModel.h"
#include "platform/soc/SdramWindow.h"
#include "platform/soc/UsbdModel.h"
#include "platform/soc/Watchdog.h"

namespace platform::soc {

namespace {

struct Range {
    addr_t base;
    std::uint32_t size;
    RegisterModel* model;
    bool builtIn;
};

struct Bus {
    std::mutex lock;
    std::vector<Range> ranges;

    Bus() {
        ranges.push_back({kSdramWindowBase, kSdramWindowSize, &sdram_window(), true});
        ranges.push_back({kWatchdogBase, kWatchdogSize, &watchdog(), true});
        ranges.push_back({kAdcBase, kAdcSize, &adc(), true});
        ranges.push_back({irq::kRegisterBase, irq::kRegisterSize, &irq::register_model(), true});
        ranges.push_back({gpio::kGpioBase, gpio::kGpioSize, &gpio::register_model(), true});
        ranges.push_back({kIicBase, kIicSize, &iic(), true});
        ranges.push_back({kUsbdBase, kUsbdSize, &usbd(), true});
    }
};

Bus& bus() {
    static Bus* b = new Bus;
    return *b;
}

bool contains(const Range& r, addr_t address) {
    return address >= r.base && address - r.base < r.size;
}

RegisterModel& route(addr_t address) {
    RegisterModel* model = owner(address);
    if (!model) {
        std::fprintf(stderr, "soc: access to unmapped address 0x%08" PRIX32 "\n", address);
        std::abort();
    }
    return *model;
}

}  // namespace

bool map(addr_t base, std::uint32_t size, RegisterModel* model) {
    if (size == 0 || !model || base + static_cast<std::uint64_t>(size) > 0x100000000ULL)
        return false;
    Bus& b = bus();
    std::lock_guard<std::mutex> g(b.lock);
    for (const Range& r : b.ranges) {
        if (base < r.base + static_cast<std::uint64_t>(r.size) &&
            r.base < base + static_cast<std::uint64_t>(size))
            return false;
    }
    b.ranges.push_back({base, size, model, false});
    return true;
}

void unmap(RegisterModel* model) {
    Bus& b = bus();
    std::lock_guard<std::mutex> g(b.lock);
    for (auto it = b.ranges.begin(); it != b.ranges.end();) {
        if (it->model == model && !it->builtIn)
            it = b.ranges.erase(it);
        else
            ++it;
    }
}

RegisterModel* owner(addr_t address) {
    Bus& b = bus();
    std::lock_guard<std::mutex> g(b.lock);
    for (const Range& r : b.ranges) {
        if (contains(r, address)) return r.model;
    }
    return nullptr;
}

std::uint32_t read32(addr_t address) { return route(address).read(address, 4); }

void write32(addr_t address, std::uint32_t value) { route(address).write(address, value, 4); }

std::uint16_t read16(addr_t address) {
    return static_cast<std::uint16_t>(route(address).read(address, 2));
}

void write16(addr_t address, std::uint16_t value) { route(address).write(address, value, 2); }

std::uint8_t read8(addr_t address) {
    return static_cast<std::uint8_t>(route(address).read(address, 1));
}

void write8(addr_t address, std::uint8_t value) { route(address).write(address, value, 1); }

}  // namespace platform::soc
