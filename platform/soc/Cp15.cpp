#include "platform/soc/Cp15.h"

#include <atomic>

namespace platform::soc {

namespace {

std::atomic<std::uint32_t> ttb{0};
std::atomic<std::uint32_t> dacr{0};

}  // namespace

// The table base is 16 KiB aligned; the low bits read as written only down to bit 14.
void cp15_write_ttb(std::uint32_t value) { ttb.store(value & 0xFFFFC000u); }

std::uint32_t cp15_read_ttb() { return ttb.load(); }

void cp15_write_dacr(std::uint32_t value) { dacr.store(value); }

std::uint32_t cp15_read_dacr() { return dacr.load(); }

void cp15_reset() {
    ttb.store(0);
    dacr.store(0);
}

}  // namespace platform::soc
