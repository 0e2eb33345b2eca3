// A stand-in for the acquisition controller behind the acquisition seam: its retrieval
// fills a given intermediate-results store the way the DSP retrieval does.
#pragma once

#include <atomic>

#include "Host/acquisition/AcquisitionSeam.h"
#include "Host/acquisition/IntermediateResults.h"

namespace KorvexTest {

class CFakeAcquisition : public Korvex::CAcquisitionSeam {
public:
    explicit CFakeAcquisition(Korvex::CIntermediateResults& s) : store(s) {}

    // Locks the store, writes the retrieval number into every scalar and the lengths,
    // marks it ready and unlocks. Answers result instead when it is not 0.
    int RetrieveIntermediateResults() override {
        int number = ++retrievals;
        if (result != 0) return result;
        store.Lock();
        store.nmrSignalLength = static_cast<std::uint32_t>(number);
        store.fftBufferLength = static_cast<std::uint32_t>(number);
        store.ifFrequency = number;
        store.rfFrequency = number;
        store.relaxationTime = static_cast<float>(number);
        store.SetReady();
        store.Unlock();
        return 0;
    }

    Korvex::CIntermediateResults& store;
    std::atomic<int> retrievals{0};
    int result = 0;
};

// Installs a seam for the lifetime of the object.
class CSeamInstaller {
public:
    explicit CSeamInstaller(Korvex::CAcquisitionSeam* seam) {
        Korvex::CAcquisitionSeam::Install(seam);
    }
    ~CSeamInstaller() { Korvex::CAcquisitionSeam::Install(nullptr); }
    CSeamInstaller(const CSeamInstaller&) = delete;
    CSeamInstaller& operator=(const CSeamInstaller&) = delete;
};

}  // namespace KorvexTest
