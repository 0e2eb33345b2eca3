// Publishes the acquisition state in the OPERation status of the instrument.
#pragma once

#include <cstdint>

namespace Korvex {

// Acquisition states 0 idle, 1 searching, 2 waiting for a trigger, 3 measuring, shown
// by status rows 18, 19 and 20 of every block; a state above 3 changes nothing.
void KorvexSetAcquisitionStatusBits(std::uint32_t state);

}  // namespace Korvex
