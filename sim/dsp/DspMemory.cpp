#include "sim/dsp/DspMemory.h"

namespace sim {
namespace dsp {

namespace {

struct EmifRegister {
    std::uint32_t address;
    std::uint32_t value;
};

// The values the board writes into the external memory interface (global control, the CE
// space controls, SDRAM control, timing and extension).
constexpr EmifRegister kEmifSetup[] = {
    {0x01800000, 0x00003060}, {0x01800004, 0xFFFFFF33}, {0x01800008, 0xFFFFFF23},
    {0x01800010, 0xFFFFFF23}, {0x01800014, 0x10D14321}, {0x01800018, 0x5733A000},
    {0x0180001C, 0x0000061A}, {0x01800020, 0x0017DF2D},
};

constexpr std::uint32_t kEmifFirst = 0x01800000;
constexpr std::uint32_t kEmifLast = 0x01800020;

}  // namespace

std::uint32_t DspMemory::read(std::uint32_t address) const {
    address &= ~3u;
    if (address >= ExternalBase && !external_ready_) return 0;
    auto it = words_.find(address);
    return it == words_.end() ? 0 : it->second;
}

void DspMemory::write(std::uint32_t address, std::uint32_t value) {
    address &= ~3u;
    if (address >= ExternalBase && !external_ready_) return;
    if (value == 0)
        words_.erase(address);
    else
        words_[address] = value;
    if (address >= kEmifFirst && address <= kEmifLast) update_external_ready();
}

void DspMemory::clear() {
    words_.clear();
    external_ready_ = false;
}

void DspMemory::update_external_ready() {
    bool ready = true;
    for (const EmifRegister& r : kEmifSetup) {
        auto it = words_.find(r.address);
        if (it == words_.end() || it->second != r.value) ready = false;
    }
    external_ready_ = ready;
}

}  // namespace dsp
}  // namespace sim
