#include "Host/acquisition/IntermediateResults.h"

#include "Host/acquisition/AcquisitionSeam.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/Error.h"
#include "Host/parameters/ParameterNode.h"

namespace Korvex {

namespace {

// Reads the maximum of the size node as the capacity and allocates that many words, when
// the array is absent.
void AllocateFromSizeNode(CParameterNode* sizeNode, std::uint32_t*& array,
                          std::uint32_t& capacity) {
    if (array != nullptr) return;
    std::int32_t maximum = CParameterNode::GetInt32Attribute(sizeNode, eAttrMaximum);
    capacity = maximum > 0 ? static_cast<std::uint32_t>(maximum) : 0;
    if (capacity > 0) array = new std::uint32_t[capacity]();
}

// The ready mutex is held for one load or store only; a broken wait is simply repeated.
void HoldReadyMutex(kernel::Mutex& mutex) {
    while (!kernel::mutex_lock(&mutex)) {
    }
}

}  // namespace

CIntermediateResults::CIntermediateResults()
    : samplePeriod(0),
      nmrSignal(nullptr),
      nmrSignalCapacity(0),
      nmrSignalLength(0),
      fftResolution(0),
      fftNoiseFloor(0),
      fftBuffer(nullptr),
      fftBufferCapacity(0),
      fftBufferLength(0),
      ifFrequency(0.0),
      rfFrequency(0.0),
      relaxationTime(0),
      spectrumResolution(0),
      spectrumCenterFrequency(0),
      peakSpectrum(nullptr),
      peakSpectrumCapacity(0),
      peakSpectrumLength(0),
      fitCoefficients(nullptr),
      fitCoefficientsCapacity(0),
      fitCoefficientsCount(0),
      fitResidue(0),
      dataOwner(0),
      ready(false) {
    kernel::mutex_init(&dataMutex);
    kernel::mutex_init(&readyMutex);
}

CIntermediateResults::~CIntermediateResults() {
    delete[] nmrSignal;
    delete[] fftBuffer;
    delete[] peakSpectrum;
    delete[] fitCoefficients;
    kernel::mutex_destroy(&readyMutex);
    kernel::mutex_destroy(&dataMutex);
}

void CIntermediateResults::Allocate() {
    AllocateFromSizeNode(g_pNmrSignalSize, nmrSignal, nmrSignalCapacity);
    AllocateFromSizeNode(g_pFftBufferSize, fftBuffer, fftBufferCapacity);
    AllocateFromSizeNode(g_pPeakSpectrumSize, peakSpectrum, peakSpectrumCapacity);
    AllocateFromSizeNode(g_pFitCoeffsSize, fitCoefficients, fitCoefficientsCapacity);
}

bool CIntermediateResults::TakeDataMutex() {
    kernel::handle_t self = kernel::thread_self();
    kernel::scheduler_lock();
    if (dataOwner == self) {
        kernel::scheduler_unlock();
        return true;
    }
    kernel::scheduler_unlock();
    if (!kernel::mutex_lock(&dataMutex)) return false;
    kernel::scheduler_lock();
    dataOwner = self;
    kernel::scheduler_unlock();
    return true;
}

void CIntermediateResults::Lock() { TakeDataMutex(); }

int CIntermediateResults::LockForRead() {
    HoldReadyMutex(readyMutex);
    bool isReady = ready;
    kernel::mutex_unlock(&readyMutex);
    if (!isReady) {
        int result = CAcquisitionSeam::Instance().RetrieveIntermediateResults();
        if (result != eOk) return result;
    }
    return TakeDataMutex() ? eOk : eGeneralFailure;
}

void CIntermediateResults::Unlock() {
    kernel::handle_t self = kernel::thread_self();
    kernel::scheduler_lock();
    if (dataOwner != self) {
        kernel::scheduler_unlock();
        return;
    }
    dataOwner = 0;
    kernel::scheduler_unlock();
    kernel::mutex_unlock(&dataMutex);
}

void CIntermediateResults::SetReady() {
    HoldReadyMutex(readyMutex);
    ready = true;
    kernel::mutex_unlock(&readyMutex);
}

void CIntermediateResults::ClearReady() {
    HoldReadyMutex(readyMutex);
    ready = false;
    kernel::mutex_unlock(&readyMutex);
}

}  // namespace Korvex
