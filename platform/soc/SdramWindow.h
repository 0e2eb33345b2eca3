// The modelled part of SDRAM: the first 32 KiB (0x30000000-0x30007FFF), which holds the MMU
// table and the boot monitor's service-link cells. Plain little-endian memory; at power-on
// it is zero except for the entry token the boot monitor leaves in its cell.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "platform/soc/SocBus.h"

namespace platform::soc {

constexpr addr_t kSdramWindowBase = 0x30000000;
constexpr std::uint32_t kSdramWindowSize = 0x8000;

class SdramWindow : public RegisterModel {
public:
    std::uint32_t read(addr_t address, unsigned width) override;
    void write(addr_t address, std::uint32_t value, unsigned width) override;
    SdramWindow();
    void power_on();  // back to the power-on content

private:
    std::mutex lock_;
    std::array<std::uint8_t, kSdramWindowSize> bytes_{};
};

SdramWindow& sdram_window();

}  // namespace platform::soc
