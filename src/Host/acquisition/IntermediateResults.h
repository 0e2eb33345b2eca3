// The intermediate data of the last measurement (NMR signal, FFT buffer, peak spectrum,
// fit coefficients and their scalars), fetched from the DSP only when a reader asks for it
// and no fresh copy is held. The arrays hold 32-bit words exactly as the DSP stores them.
//
// The data mutex is owner-recursive without a depth count: the owner may lock again at
// will, and one Unlock by the owner releases it. The data owner is read and written only
// under the scheduler lock.
#pragma once

#include <cstdint>

#include "platform/kernel/Kernel.h"

namespace Korvex {

class CIntermediateResults {
public:
    // Both mutexes, no owner, not ready, every number 0 and every array absent.
    CIntermediateResults();
    // Frees the four arrays.
    ~CIntermediateResults();
    CIntermediateResults(const CIntermediateResults&) = delete;
    CIntermediateResults& operator=(const CIntermediateResults&) = delete;

    // Allocates each absent array with the maximum of its size node as capacity; arrays
    // already present stay.
    void Allocate();

    // Takes the data mutex for the calling thread; nothing when it already owns it.
    void Lock();
    // When not ready, first retrieves the results from the DSP on the calling thread and
    // returns a failure at once, without locking; then locks as Lock does. 0 when the
    // caller owns the data afterwards; 47 when its lock wait was broken.
    int LockForRead();
    // When the calling thread owns the data: releases it (whatever the number of locks).
    void Unlock();

    void SetReady();
    void ClearReady();

    // Data fields: written by the retrieval and read by the getters, both while locked.
    float samplePeriod;
    std::uint32_t* nmrSignal;
    std::uint32_t nmrSignalCapacity;
    std::uint32_t nmrSignalLength;
    float fftResolution;
    float fftNoiseFloor;
    std::uint32_t* fftBuffer;
    std::uint32_t fftBufferCapacity;
    std::uint32_t fftBufferLength;
    double ifFrequency;
    double rfFrequency;
    float relaxationTime;
    float spectrumResolution;
    float spectrumCenterFrequency;
    std::uint32_t* peakSpectrum;
    std::uint32_t peakSpectrumCapacity;
    std::uint32_t peakSpectrumLength;
    std::uint32_t* fitCoefficients;
    std::uint32_t fitCoefficientsCapacity;
    std::uint32_t fitCoefficientsCount;
    float fitResidue;

private:
    // False when the wait for the data mutex was broken.
    bool TakeDataMutex();

    kernel::Mutex dataMutex;
    kernel::handle_t dataOwner;  // 0 when free; under the scheduler lock
    kernel::Mutex readyMutex;
    bool ready;
};

}  // namespace Korvex
