// The DSP program loader: writes each block of the program image to DSP memory through the
// host port and reads it back; and CKorvexDSP::LoadDSPCode, which resets the DSP, sets up
// its external memory interface, loads the image and starts the program.
#pragma once

#include <cstdint>
#include <vector>

#include "Host/acquisition/CTMS320C67xxCoffParser.h"

namespace Korvex {

class CKorvexDSPLoader : public CTMS320C67xxCoffParser {
public:
    CKorvexDSPLoader();
    ~CKorvexDSPLoader() override;

protected:
    bool LoadBlock(std::uint32_t address, const std::vector<std::uint32_t>& words) override;
};

namespace CKorvexDSP {

// "/romfs/Pulsed_Wave_Strip.out"
extern const char* const DSPProgramPath;

// Resets the DSP, sets up its memory interface, loads and verifies the program image and
// starts it. 0 when started; exceptions of the reader pass through. The DSP lock is held
// from the reset to the start, and the link is marked not booted after the reset, so that
// no exchange of another thread can fall between the two.
std::uint32_t LoadDSPCode();

}  // namespace CKorvexDSP

}  // namespace Korvex
