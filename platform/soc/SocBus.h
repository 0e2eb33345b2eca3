// Register bus of the simulated SoC. Drivers reach SoC registers and the fixed SDRAM cells
// only through these accessors, by physical address; the bus routes each access to the model
// that owns the address. An access no model owns is a wiring fault of the simulation: the bus
// prints the address and aborts.
//
// The SDRAM window, the watchdog, the ADC, the IIC controller, the USB device block, the
// interrupt controller and the GPIO block are on the bus from the start;
// other models map their ranges with map().
#pragma once

#include <cstdint>

namespace platform::soc {

using addr_t = std::uint32_t;

// A device model behind a range of the bus. Accesses arrive with the full physical address
// and their width in bytes (1, 2 or 4); a model serialises its own state.
class RegisterModel {
public:
    virtual ~RegisterModel() = default;
    virtual std::uint32_t read(addr_t address, unsigned width) = 0;
    virtual void write(addr_t address, std::uint32_t value, unsigned width) = 0;
};

// Maps [base, base + size) to the model. false: empty range or it overlaps a mapped one.
bool map(addr_t base, std::uint32_t size, RegisterModel* model);
// Removes every range of the model (the built-in models cannot be removed); only while no
// access to the model is under way.
void unmap(RegisterModel* model);
// The model owning the address, or nullptr.
RegisterModel* owner(addr_t address);

std::uint32_t read32(addr_t address);
void write32(addr_t address, std::uint32_t value);
std::uint16_t read16(addr_t address);
void write16(addr_t address, std::uint16_t value);
std::uint8_t read8(addr_t address);
void write8(addr_t address, std::uint8_t value);

}  // namespace platform::soc
