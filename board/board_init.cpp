#include "board/board_init.h"

#include <mutex>

#include "board/adc.h"
#include "board/dsp_devices.h"
#include "board/intline_dev.h"
#include "platform/devio/DevIo.h"
#include "platform/gpio/Gpio.h"
#include "platform/hal/HalClock.h"
#include "platform/irq/Interrupt.h"
#include "platform/soc/Cp15.h"
#include "platform/soc/SocBus.h"

namespace {

namespace soc = platform::soc;
namespace gpio = platform::gpio;
using gpio::Port;

struct Section {
    std::uint32_t va;
    std::uint32_t pa;
    std::uint32_t megabytes;
    std::uint32_t attributes;
};

const Section kMemoryMap[] = {
    {0x00000000, 0x30000000, 16, kMmuCached},    // SDRAM at address 0
    {0x08000000, 0x08000000, 1, kMmuUncached},   // bank 1: DSP host port
    {0x10000000, 0x10000000, 1, kMmuUncached},   // bank 2
    {0x18000000, 0x18000000, 1, kMmuUncached},   // bank 3
    {0x30000000, 0x30000000, 16, kMmuCached},    // SDRAM
    {0x40000000, 0x40000000, 1, kMmuUncached},   // internal SRAM
    {0x48000000, 0x48000000, 512, kMmuUncached}, // special function registers
    {0x70000000, 0x00000000, 8, kMmuUncached},   // bank 0, uncached view
    {0x80000000, 0x00000000, 8, kMmuCached},     // bank 0, cached view
    {0x90000000, 0x30000000, 16, kMmuUncached},  // SDRAM, uncached view
};

struct PortSetUp {
    Port port;
    std::uint32_t dat;
    bool hasUp;
    std::uint32_t up;
    std::uint32_t con;
};

const PortSetUp kPorts[] = {
    {Port::A, 0, false, 0, 0x7FFFFF},
    {Port::B, 0, true, 0x7FF, 0x80},
    {Port::C, 0, true, 0xFFFF, 0},
    {Port::D, 0, true, 0xFFFF, 0},
    {Port::E, 0x18, true, 0xFFFF, 0xA0950154},
    {Port::F, 0, true, 0xFF, 0x802A},
    {Port::G, 0x0D, true, 0xFFFF, 0x51},
    {Port::H, 0, true, 0x7FF, 0x2ACAAA},
};

// EXTINT0 fields: three bits per line, four bits apart.
constexpr std::uint32_t Field(unsigned line, std::uint32_t code) { return code << (4 * line); }
constexpr std::uint32_t kEintLowLevel = 0;
constexpr std::uint32_t kEintRisingEdge = 4;
constexpr std::uint32_t kEintBothEdges = 6;
constexpr unsigned kButtonLine = 7;

}  // namespace

void board_mmu_init() {
    soc::cp15_write_ttb(kMmuTableBase);
    soc::cp15_write_dacr(3);  // domain 0: manager
    for (std::uint32_t i = 0; i < kMmuEntries; ++i) soc::write32(kMmuTableBase + 4 * i, 0);
    for (const Section& s : kMemoryMap) {
        for (std::uint32_t mb = 0; mb < s.megabytes; ++mb) {
            const std::uint32_t index = (s.va >> 20) + mb;
            soc::write32(kMmuTableBase + 4 * index, (s.pa + (mb << 20)) | s.attributes);
        }
    }
}

void board_hardware_init() {
    soc::write32(irq::INTMOD, 0);
    soc::write32(irq::INTMSK, 0xFFFFFFFF);
    soc::write32(irq::INTSUBMSK, 0x7FF);
    for (const PortSetUp& p : kPorts) {
        soc::write32(gpio::dat_address(p.port), p.dat);
        if (p.hasUp) soc::write32(gpio::up_address(p.port), p.up);
        soc::write32(gpio::con_address(p.port), p.con);
    }
    hal_clock_initialize(kHalClockPeriod);
    board_extint_init();
}

void board_extint_init() {
    constexpr std::uint32_t mask = Field(0, 7) | Field(1, 7) | Field(2, 7) | Field(kButtonLine, 7);
    const std::uint32_t codes = Field(0, kEintLowLevel) | Field(1, kEintRisingEdge) |
                                Field(2, kEintLowLevel) | Field(kButtonLine, kEintBothEdges);
    soc::write32(gpio::EXTINT0, (soc::read32(gpio::EXTINT0) & ~mask) | codes);
    const std::uint32_t button = 1u << kButtonLine;
    soc::write32(gpio::EINTMASK, soc::read32(gpio::EINTMASK) | button);
    soc::write32(gpio::EINTPEND, button);
}

namespace {

// A device already in the table (registered on its own before the walk) counts as done.
bool Register(devio::Device* device) {
    return devio::devio_lookup(device->name) == device || devio::devio_register(device);
}

}  // namespace

bool board_register_devices() {
    static std::once_flag once;
    static bool registered = false;
    std::call_once(once, [] {
        const bool dsp = board_register_dsp_devices();
        const bool onOff = Register(&OnOffRdDevice);
        const bool tempAl = Register(&TempAlDevice);
        const bool adc = Register(&Adc0Device);
        registered = dsp && onOff && tempAl && adc;
    });
    return registered;
}

bool board_start() {
    board_mmu_init();
    board_hardware_init();
    return board_register_devices();
}
