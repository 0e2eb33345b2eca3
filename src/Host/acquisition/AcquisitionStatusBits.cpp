#include "Host/acquisition/AcquisitionStatusBits.h"

#include "Host/scpi/status/KorvexScpiStatus.h"

namespace Korvex {

namespace {

constexpr std::uint32_t AcquisitionStateCount = 4;
constexpr std::uint32_t AcquisitionStatusRowCount = 3;
constexpr std::uint32_t AcquisitionStatusRows[AcquisitionStatusRowCount] = {18, 19, 20};

// Per state: set (1) or clear (0) each of the rows above.
constexpr std::uint8_t AcquisitionStatusTable[AcquisitionStateCount][AcquisitionStatusRowCount] = {
    {0, 0, 0},  // idle
    {1, 0, 0},  // searching
    {0, 1, 1},  // waiting for a trigger
    {0, 1, 0},  // measuring
};

}  // namespace

void KorvexSetAcquisitionStatusBits(std::uint32_t state) {
    if (state >= AcquisitionStateCount) return;
    for (std::uint32_t i = 0; i < AcquisitionStatusRowCount; ++i) {
        // The last row re-evaluates the summaries once for all three.
        std::uint8_t defer = i + 1 < AcquisitionStatusRowCount ? 1 : 0;
        CKorvexScpiStatus::SetInstrumentStatusBit(AcquisitionStatusRows[i],
                                                  AcquisitionStatusTable[state][i], defer);
    }
}

}  // namespace Korvex
