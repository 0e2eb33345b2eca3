// The probe services for the handler tests: what the topology refresh and the channel
// selection of MEASure and READ answer, what they were asked, and the probe whose
// gyromagnetic ratio the unit conversions use.
#pragma once

#include <vector>

#include "Host/scpi/exec/KorvexChannel.h"

namespace Korvex::test {

struct ProbeServices {
    int refreshResult = 30;
    std::vector<CKorvexChannel> topology;        // what a refresh reports
    int selectResult = 0;
    std::vector<std::vector<CKorvexChannel>> selections;  // every list selected
    int refreshes = 0;
    double gyroRatio = 0.0;                   // of the selected probe
    bool probeSelected = false;               // the ratio source answers 46 without

    // Back to nothing connected; the doubles and the ratio source installed.
    void Reset();
    // The defaults back.
    static void Uninstall();
};

ProbeServices& Probes();

// An address of the given levels.
CKorvexChannel Address(std::initializer_list<std::uint8_t> levels);

}  // namespace Korvex::test
