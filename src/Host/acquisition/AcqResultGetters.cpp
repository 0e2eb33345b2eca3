#include "Host/acquisition/AcqResultGetters.h"

#include <atomic>
#include <chrono>

#include "Host/acquisition/AcqBufferPool.h"
#include "Host/acquisition/AcqNodeValues.h"
#include "Host/acquisition/AcquisitionSeam.h"
#include "Host/acquisition/CKorvexHostAcquisition.h"
#include "Host/acquisition/IntermediateResults.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/Error.h"
#include "Host/scpi/exec/KorvexChannel.h"

namespace Korvex {

namespace {

// A measurement that is not continuous has handed over its buffer just before its flow goes
// idle. The reader waits for that (a second at most), so that the client's next command
// finds no measurement active: a setting would otherwise be refused as busy, or a *TRG taken
// for that measurement's.
void WaitForSingleMeasurementEnd()
{
    if (AcqReadBool(g_pTriggerInContinuous)) return;
    CAcquisitionSeam::Instance().WaitForTriggerIdle(std::chrono::seconds(1));
}

// Set while the message the reader serves no longer wants its results.
std::atomic<bool> resultWaitEnded{false};
// Readers inside the wait for the active measurement's buffer.
std::atomic<int> readersWaiting{0};
std::atomic<void (*)()> resultWaitObserver{nullptr};

bool MeasurementActive() { return CAcquisitionSeam::Instance().TriggerActive(); }

// Whether a reader should wait for the active measurement's buffer.
bool WaitWanted() { return !resultWaitEnded.load() && MeasurementActive(); }

// The buffer being read; when none is, the newest full one. While a measurement is active
// this waits for one: a flow that fails and goes idle fills no buffer, so the controller
// wakes the wait when it goes idle, and then one last take without waiting decides. The
// wait is cut into slices, looking again at the trigger state after each, for a seam that
// does not wake it. An ended result wait gives nothing.
AcqBuffer* BufferBeingRead()
{
    CAcqBufferPool& pool = AcqBufferPool();
    AcqBuffer* buffer = pool.GetCurrentBuffer(eAcqReaderSide);
    if (buffer != nullptr) return buffer;
    ++readersWaiting;
    if (WaitWanted()) {
        if (void (*observer)() = resultWaitObserver.load()) observer();
    }
    while (WaitWanted()) {
        buffer = pool.WaitBuffer(eAcqReaderSide, CKorvexHostAcquisition::ResultWaitSliceMs,
                                 &WaitWanted);
        if (buffer != nullptr) break;
    }
    --readersWaiting;
    if (buffer != nullptr) {
        WaitForSingleMeasurementEnd();
        return buffer;
    }
    if (resultWaitEnded.load()) return nullptr;
    return pool.TakeBuffer(eAcqReaderSide);
}

template <typename Read>
int GetEntry(std::uint32_t i, Read read)
{
    AcqBuffer* buffer = BufferBeingRead();
    if (buffer == nullptr || i >= buffer->entries) return eNoData;
    read(*buffer);
    return eOk;
}

template <typename Read>
int GetIntermediate(Read read)
{
    CIntermediateResults& store = IntermediateResults();
    if (store.LockForRead() != eOk) return eNoData;
    read(store);
    return eOk;
}

int GetArray(const std::uint32_t*& array, std::uint16_t count, std::uint32_t* stored,
             std::uint32_t length)
{
    if (count > length) return eNoData;
    array = stored;
    return eOk;
}

}  // namespace

void KorvexEndResultWait()
{
    // Set before the wake-up: the waiter asks WaitWanted under the pool mutex before it waits.
    resultWaitEnded.store(true);
    AcqBufferPool().WakeReader();
}

void KorvexAllowResultWait() { resultWaitEnded.store(false); }

bool KorvexResultWaitActive() { return readersWaiting.load() > 0; }

void KorvexSetResultWaitObserver(void (*observer)()) { resultWaitObserver.store(observer); }

bool KorvexWaitForMeasurementEnd()
{
    // In slices: the end of the result wait does not wake the wait for idle.
    while (WaitWanted())
        CAcquisitionSeam::Instance().WaitForTriggerIdle(
            std::chrono::milliseconds(CKorvexHostAcquisition::ResultWaitSliceMs));
    return !MeasurementActive();
}

int KorvexGetFluxResult(std::uint32_t i, double& value)
{
    return GetEntry(i, [&](const AcqBuffer& b) { value = b.flux[i]; });
}

int KorvexGetSigmaResult(std::uint32_t i, float& value)
{
    return GetEntry(i, [&](const AcqBuffer& b) { value = b.sigma[i]; });
}

int KorvexGetUniformityResult(std::uint32_t i, float& value)
{
    return GetEntry(i, [&](const AcqBuffer& b) { value = b.uniformity[i]; });
}

int KorvexGetTimestampResult(std::uint32_t i, std::uint64_t& value)
{
    return GetEntry(i, [&](const AcqBuffer& b) { value = b.timestamp[i]; });
}

int KorvexGetChannelResult(std::uint32_t i, CKorvexChannel& value)
{
    return GetEntry(i, [&](const AcqBuffer& b) {
        if (&value == &b.channel[i]) return;
        const CKorvexChannel& stored = b.channel[i];
        value.count = stored.count <= CKorvexChannel::MaxLevels ? stored.count : CKorvexChannel::MaxLevels;
        for (unsigned level = 0; level < value.count; ++level) value.level[level] = stored.level[level];
    });
}

int KorvexGetFluxUnitResult(std::uint32_t i, std::uint32_t& value)
{
    return GetEntry(i, [&](const AcqBuffer& b) { value = b.fluxUnit[i]; });
}

int KorvexGetStatusResult(std::uint32_t i, std::uint8_t& value)
{
    return GetEntry(i, [&](const AcqBuffer& b) { value = b.status[i]; });
}

int KorvexGetNmrSignalArray(const std::uint32_t*& array, std::uint16_t count)
{
    int result = eOk;
    const int locked = GetIntermediate([&](const CIntermediateResults& s) {
        result = GetArray(array, count, s.nmrSignal, s.nmrSignalLength);
    });
    return locked != eOk ? locked : result;
}

int KorvexGetNmrSignalSamplePeriod(float& value)
{
    return GetIntermediate([&](const CIntermediateResults& s) { value = s.samplePeriod; });
}

int KorvexGetFftBufferArray(const std::uint32_t*& array, std::uint16_t count)
{
    int result = eOk;
    const int locked = GetIntermediate([&](const CIntermediateResults& s) {
        result = GetArray(array, count, s.fftBuffer, s.fftBufferLength);
    });
    return locked != eOk ? locked : result;
}

int KorvexGetFftBufferResolution(float& value)
{
    return GetIntermediate([&](const CIntermediateResults& s) { value = s.fftResolution; });
}

int KorvexGetSpectrumArray(const std::uint32_t*& array, std::uint16_t count)
{
    int result = eOk;
    const int locked = GetIntermediate([&](const CIntermediateResults& s) {
        result = GetArray(array, count, s.peakSpectrum, s.peakSpectrumLength);
    });
    return locked != eOk ? locked : result;
}

int KorvexGetSpectrumCenterFrequency(float& value)
{
    return GetIntermediate([&](const CIntermediateResults& s) { value = s.spectrumCenterFrequency; });
}

int KorvexGetSpectrumResolution(float& value)
{
    return GetIntermediate([&](const CIntermediateResults& s) { value = s.spectrumResolution; });
}

int KorvexGetFitArray(const std::uint32_t*& array, std::uint16_t count)
{
    int result = eOk;
    const int locked = GetIntermediate([&](const CIntermediateResults& s) {
        result = GetArray(array, count, s.fitCoefficients, s.fitCoefficientsCount);
    });
    return locked != eOk ? locked : result;
}

int KorvexGetFitResidue(float& value)
{
    return GetIntermediate([&](const CIntermediateResults& s) { value = s.fitResidue; });
}

int KorvexGetIfFrequencyResult(double& value)
{
    return GetIntermediate([&](const CIntermediateResults& s) { value = s.ifFrequency; });
}

int KorvexGetRelaxationTimeResult(float& value)
{
    return GetIntermediate([&](const CIntermediateResults& s) { value = s.relaxationTime; });
}

int KorvexGetRfFrequencyResult(double& value)
{
    return GetIntermediate([&](const CIntermediateResults& s) { value = s.rfFrequency; });
}

void KorvexGetSearchProgress(std::uint8_t& valid, float& frequency)
{
    CKorvexHostAcquisition* controller = CKorvexHostAcquisition::Running();
    if (controller == nullptr) {
        valid = 0;
        frequency = -1.0f;
        return;
    }
    controller->GetSearchProgress(valid, frequency);
}

}  // namespace Korvex
