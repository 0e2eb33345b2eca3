#include "board/eeprom/Eeprom.h"

#include <cerrno>

#include "sim/eeprom/EepromSim.h"

int eeprom_read_first_block(std::uint8_t* buffer) {
    if (!buffer) return EINVAL;
    for (int attempt = 0; attempt < 4; ++attempt)
        if (sim::eeprom::read(0, buffer, EepromIdentityRecordSize)) return 0;
    return EIO;
}
