// What the parser and the host objects reach of the acquisition controller: the trigger
// state, the bus trigger, the retrieval of the intermediate results, the one result pool
// and the one intermediate-results store.
//
// Until the acquisition controller runs, the default seam answers as a controller whose
// system is not up: no trigger active, and 43 for the bus trigger and the retrieval.
#pragma once

#include <cstdint>

namespace Korvex {

class CAcqBufferPool;
class CIntermediateResults;

class CAcquisitionSeam {
public:
    CAcquisitionSeam() = default;
    virtual ~CAcquisitionSeam() = default;
    CAcquisitionSeam(const CAcquisitionSeam&) = delete;
    CAcquisitionSeam& operator=(const CAcquisitionSeam&) = delete;

    // Set while an initiated measurement runs or waits for its trigger.
    virtual bool TriggerActive();
    // eError: 0 sent, 43 acquisition system not up.
    virtual int SendBusTrigger();
    // Fills the intermediate-results store from the DSP; eError, 0 on success.
    virtual int RetrieveIntermediateResults();

    // The seam in use: the one installed last, else the default one.
    static CAcquisitionSeam& Instance();
    // Installs a seam (null: back to the default). The caller keeps it alive while it is
    // installed.
    static void Install(CAcquisitionSeam* seam);
};

// The pool of 3 result buffers and the intermediate-results store: built on first use,
// never destroyed.
CAcqBufferPool& AcqBufferPool();
CIntermediateResults& IntermediateResults();

// Gives the buffer being read back to the pool (nothing when none is being read).
void KorvexReleaseReadBuffer();

}  // namespace Korvex
