#include "board/hpi.h"

#include <atomic>

#include "platform/gpio/GpioPortE.h"
#include "platform/hal/HalDelay.h"
#include "platform/hpi/HpiWindow.h"
#include "platform/kernel/Kernel.h"

namespace hpi = platform::hpi;
namespace gpio = platform::gpio;

const DspEmifRegister DspEmifRegisterValues[8] = {
    {0x01800000, 0x00003060},  // GBLCTL
    {0x01800004, 0xFFFFFF33},  // CECTL1
    {0x01800008, 0xFFFFFF23},  // CECTL0
    {0x01800010, 0xFFFFFF23},  // CECTL2
    {0x01800014, 0x10D14321},  // CECTL3
    {0x01800018, 0x5733A000},  // SDCTL
    {0x0180001C, 0x0000061A},  // SDTIM
    {0x01800020, 0x0017DF2D},  // SDEXT
};

namespace {

constexpr unsigned kGpeDspReset = 2;
constexpr unsigned kGpeBusLine3 = 3;
constexpr unsigned kGpeBusLine4 = 4;
constexpr std::uint32_t kResetDelayUs = 1000;

std::atomic<bool> resetDone{false};

// The HPI lock: held for each whole register sequence; innermost of all locks.
class HpiLock {
public:
    HpiLock() {
        while (!kernel::mutex_lock(&Mutex())) {
        }
    }
    ~HpiLock() { kernel::mutex_unlock(&Mutex()); }
    HpiLock(const HpiLock&) = delete;
    HpiLock& operator=(const HpiLock&) = delete;

private:
    static kernel::Mutex& Mutex() {
        static kernel::Mutex* mutex = [] {
            auto* m = new kernel::Mutex;
            kernel::mutex_init(m);
            return m;
        }();
        return *mutex;
    }
};

void WriteBlockLocked(const std::uint32_t* words, std::uint32_t count) {
    for (std::uint32_t i = 0; i + 1 < count; ++i) {
        hpi::window_write(hpi::HPID_WRITE_INC, words[i]);
    }
    hpi::window_write(hpi::HPID_WRITE_FIXED, words[count - 1]);
}

void ReadBlockLocked(std::uint32_t* words, std::uint32_t count) {
    for (std::uint32_t i = 0; i + 1 < count; ++i) {
        words[i] = hpi::window_read(hpi::HPID_READ_INC);
    }
    words[count - 1] = hpi::window_read(hpi::HPID_READ_FIXED);
}

// The EMIF read-back: each data read preceded by a read of HPIC.
void ReadBackLocked(std::uint32_t address, std::uint32_t count) {
    hpi::window_write(hpi::HPIA, address);
    for (std::uint32_t i = 0; i < count; ++i) {
        hpi::window_read(hpi::HPIC_READ);
        hpi::window_read(i + 1 < count ? hpi::HPID_READ_INC : hpi::HPID_READ_FIXED);
    }
}

}  // namespace

void hpi_write_word(std::uint32_t address, std::uint32_t value) {
    HpiLock lock;
    for (int pass = 0; pass < 2; ++pass) {
        hpi::window_write(hpi::HPIC, kHpicHwob);
        hpi::window_write(hpi::HPIA, address);
        hpi::window_write(hpi::HPID_WRITE_FIXED, value);
    }
}

void hpi_write_block(std::uint32_t address, const std::uint32_t* words, std::uint32_t count) {
    if (count == 0) {
        return;
    }
    HpiLock lock;
    hpi::window_write(hpi::HPIC, kHpicHwob);
    hpi::window_write(hpi::HPIA, address);
    WriteBlockLocked(words, count);
}

std::uint32_t hpi_read_word(std::uint32_t address) {
    HpiLock lock;
    hpi::window_write(hpi::HPIC, kHpicHwob);
    hpi::window_write(hpi::HPIA, address);
    return hpi::window_read(hpi::HPID_READ_INC);
}

void hpi_read_block(std::uint32_t address, std::uint32_t* words, std::uint32_t count) {
    if (count == 0) {
        return;
    }
    HpiLock lock;
    hpi::window_write(hpi::HPIC, kHpicHwob);
    hpi::window_write(hpi::HPIA, address);
    ReadBlockLocked(words, count);
}

void hpi_raise_dsp_interrupt() {
    HpiLock lock;
    hpi::window_write(hpi::HPIC, kHpicDspInt);
}

void hpi_clear_host_interrupt() {
    HpiLock lock;
    hpi::window_write(hpi::HPIC, kHpicHostIntAck);
}

void dsp_hard_reset(std::uint8_t forced) {
    if (resetDone.load() && forced == 0) {
        return;
    }
    gpio::port_e_write(kGpeBusLine3, false);
    gpio::port_e_write(kGpeBusLine4, true);
    gpio::port_e_write(kGpeDspReset, false);
    hal_delay_us(kResetDelayUs);
    gpio::port_e_write(kGpeDspReset, true);
    hal_delay_us(kResetDelayUs);
    gpio::port_e_write(kGpeBusLine4, false);
    {
        HpiLock lock;
        hpi::window_write(hpi::HPIC, kHpicHwob);
    }
    resetDone.store(true);
}

void dsp_emif_init() {
    HpiLock lock;
    hpi::window_write(hpi::HPIC, kHpicHwob);
    const std::uint32_t first[3] = {DspEmifRegisterValues[0].value, DspEmifRegisterValues[1].value,
                                    DspEmifRegisterValues[2].value};
    hpi::window_write(hpi::HPIA, DspEmifRegisterValues[0].address);
    WriteBlockLocked(first, 3);
    const std::uint32_t second[5] = {
        DspEmifRegisterValues[3].value, DspEmifRegisterValues[4].value,
        DspEmifRegisterValues[5].value, DspEmifRegisterValues[6].value,
        DspEmifRegisterValues[7].value};
    hpi::window_write(hpi::HPIA, DspEmifRegisterValues[3].address);
    WriteBlockLocked(second, 5);
    ReadBackLocked(DspEmifRegisterValues[0].address, 3);
    ReadBackLocked(DspEmifRegisterValues[3].address, 5);
}

void board_bus_lines_raise() {
    gpio::port_e_write(kGpeBusLine4, true);
    gpio::port_e_write(kGpeBusLine3, true);
}

void board_bus_lines_lower() {
    gpio::port_e_write(kGpeBusLine3, false);
    gpio::port_e_write(kGpeBusLine4, false);
}
