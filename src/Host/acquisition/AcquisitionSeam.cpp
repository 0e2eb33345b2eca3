#include "Host/acquisition/AcquisitionSeam.h"

#include <atomic>

#include "Host/acquisition/AcqBufferPool.h"
#include "Host/acquisition/IntermediateResults.h"
#include "Host/parameters/Error.h"
#include "Host/scpi/exec/KorvexChannel.h"

namespace Korvex {

namespace {

constexpr std::uint32_t ResultBufferCount = 3;

std::atomic<CAcquisitionSeam*> installedSeam{nullptr};

CAcquisitionSeam& DefaultSeam() {
    static CAcquisitionSeam* seam = new CAcquisitionSeam;
    return *seam;
}

}  // namespace

bool CAcquisitionSeam::TriggerActive() { return false; }

bool CAcquisitionSeam::WaitForTriggerIdle(std::chrono::milliseconds) { return !TriggerActive(); }

bool CAcquisitionSeam::SystemUp() { return false; }

int CAcquisitionSeam::SendBusTrigger() { return eAcquisitionNotUp; }

int CAcquisitionSeam::RetrieveIntermediateResults() { return eAcquisitionNotUp; }

int CAcquisitionSeam::InitiateTrigger(CKorvexScpiStatus*, std::vector<CKorvexChannel>&, double) {
    return eAcquisitionNotUp;
}

int CAcquisitionSeam::Reset() { return eAcquisitionNotUp; }

void CAcquisitionSeam::ResetModesToDefaults() {}

int CAcquisitionSeam::AbortTrigger(int) { return eAcquisitionNotUp; }

int CAcquisitionSeam::TriggerOut(int) { return eAcquisitionNotUp; }

int CAcquisitionSeam::ConfigureExtRef(const std::string&) { return eAcquisitionNotUp; }

int CAcquisitionSeam::Clear() { return eAcquisitionNotUp; }

void CAcquisitionSeam::ForgetInitiator(CKorvexScpiStatus*) {}

CAcquisitionSeam& CAcquisitionSeam::Instance() {
    CAcquisitionSeam* seam = installedSeam.load();
    return seam != nullptr ? *seam : DefaultSeam();
}

void CAcquisitionSeam::Install(CAcquisitionSeam* seam) { installedSeam.store(seam); }

CAcqBufferPool& AcqBufferPool() {
    static CAcqBufferPool* pool = new CAcqBufferPool(ResultBufferCount);
    return *pool;
}

CIntermediateResults& IntermediateResults() {
    static CIntermediateResults* store = new CIntermediateResults;
    return *store;
}

void KorvexReleaseReadBuffer() {
    CAcqBufferPool& pool = AcqBufferPool();
    pool.ReleaseAndSignal(pool.GetCurrentBuffer(eAcqReaderSide));
}

}  // namespace Korvex
