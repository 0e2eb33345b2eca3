// What the parser and the host objects reach of the acquisition controller: the trigger
// state, the bus trigger, the retrieval of the intermediate results, the one result pool
// and the one intermediate-results store.
//
// Until the acquisition controller runs, the default seam answers as a controller whose
// system is not up: no trigger active, and 43 for the bus trigger and the retrieval.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace Korvex {

class CAcqBufferPool;
class CIntermediateResults;
class CKorvexChannel;
class CKorvexScpiStatus;

class CAcquisitionSeam {
public:
    CAcquisitionSeam() = default;
    virtual ~CAcquisitionSeam() = default;
    CAcquisitionSeam(const CAcquisitionSeam&) = delete;
    CAcquisitionSeam& operator=(const CAcquisitionSeam&) = delete;

    // Set while an initiated measurement runs or waits for its trigger.
    virtual bool TriggerActive();
    // Waits until TriggerActive is clear, for at most limit; true when it is. The default
    // seam looks once.
    virtual bool WaitForTriggerIdle(std::chrono::milliseconds limit);
    // Set once the acquisition system is up (the DSP program runs).
    virtual bool SystemUp();
    // eError: 0 sent, 43 acquisition system not up.
    virtual int SendBusTrigger();
    // Fills the intermediate-results store from the DSP; eError, 0 on success.
    virtual int RetrieveIntermediateResults();

    // Control operations of the acquisition controller, run on the caller's thread. The
    // default seam answers 43 (acquisition system not up) to each.
    // InitiateTrigger: expected value in the selected unit (0.0: none); 46 and 50 thrown.
    virtual int InitiateTrigger(CKorvexScpiStatus* initiator,
                                std::vector<CKorvexChannel>& channels, double expectedValue);
    virtual int Reset();
    virtual void ResetModesToDefaults();
    virtual int AbortTrigger(int stopContinuous);
    virtual int TriggerOut(int flag);
    virtual int ConfigureExtRef(const std::string& mode);
    virtual int Clear();
    // A session's status block is going away: the controller drops any pointer to it.
    virtual void ForgetInitiator(CKorvexScpiStatus* block);

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
