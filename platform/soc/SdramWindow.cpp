#include "platform/soc/SdramWindow.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "platform/bootmon/BootMonitor.h"

namespace platform::soc {

namespace {

// The offset of an access that lies wholly inside the window; a straddling access aborts.
std::uint32_t offsetOf(addr_t address, unsigned width) {
    std::uint32_t offset = address - kSdramWindowBase;
    if (offset + width > kSdramWindowSize) {
        std::fprintf(stderr, "soc: access to unmapped address 0x%08" PRIX32 "\n",
                     kSdramWindowBase + kSdramWindowSize);
        std::abort();
    }
    return offset;
}

}  // namespace

std::uint32_t SdramWindow::read(addr_t address, unsigned width) {
    std::uint32_t offset = offsetOf(address, width);
    std::lock_guard<std::mutex> g(lock_);
    std::uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i) value |= std::uint32_t{bytes_[offset + i]} << (8 * i);
    return value;
}

void SdramWindow::write(addr_t address, std::uint32_t value, unsigned width) {
    std::uint32_t offset = offsetOf(address, width);
    std::lock_guard<std::mutex> g(lock_);
    for (unsigned i = 0; i < width; ++i)
        bytes_[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

SdramWindow::SdramWindow() { power_on(); }

void SdramWindow::power_on() {
    std::lock_guard<std::mutex> g(lock_);
    bytes_.fill(0);
    std::uint32_t offset = bootmon::kEntryCell - kSdramWindowBase;
    for (unsigned i = 0; i < 4; ++i)
        bytes_[offset + i] = static_cast<std::uint8_t>(bootmon::kEntryToken >> (8 * i));
}

SdramWindow& sdram_window() {
    static SdramWindow* w = new SdramWindow;
    return *w;
}

}  // namespace platform::soc
