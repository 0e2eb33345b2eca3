// Result getters of the parser thread. The per-measurement getters read entry i of the
// buffer being read (taking the newest full buffer first when none is being read; while a
// measurement is active they wait for one). The intermediate-result getters first lock the
// intermediate-results store, fetching it from the DSP when no fresh copy is held; the
// store then stays locked for the parser thread until it unlocks after the command.
//
// Every getter returns an eError: 0, or 48 when there is no data (no buffer, index beyond
// the entries, requested count beyond the stored length, or the retrieval failed).
#pragma once

#include <cstdint>

namespace Korvex {

class CKorvexChannel;

// Per-measurement results, entry i of the buffer being read.
int KorvexGetFluxResult(std::uint32_t i, double& value);
int KorvexGetSigmaResult(std::uint32_t i, float& value);
int KorvexGetUniformityResult(std::uint32_t i, float& value);
int KorvexGetTimestampResult(std::uint32_t i, std::uint64_t& value);
int KorvexGetChannelResult(std::uint32_t i, CKorvexChannel& value);
// Row of the units table in which the flux value of entry i is stored.
int KorvexGetFluxUnitResult(std::uint32_t i, std::uint32_t& value);
int KorvexGetStatusResult(std::uint32_t i, std::uint8_t& value);

// The reader's wait for a measurement's buffer serves the program message the parser runs.
// When that message's session is cleared or goes away, KorvexEndResultWait ends the wait
// (from any thread): the per-measurement getters then answer 48 at once, without waiting,
// until KorvexAllowResultWait, which the parser calls as it takes each message. The
// measurement itself goes on.
void KorvexEndResultWait();
void KorvexAllowResultWait();
// Whether a reader waits for the active measurement's buffer now (any thread).
bool KorvexResultWaitActive();
// Called on the reader's thread each time it begins to wait for that buffer (null: none).
void KorvexSetResultWaitObserver(void (*observer)());
// Waits until no measurement is active; KorvexEndResultWait ends this wait as well. True when
// none is active.
bool KorvexWaitForMeasurementEnd();

// Intermediate results. The array getters hand out the store's array (32-bit words as
// the DSP stores them); count is the number of words the caller will read.
int KorvexGetNmrSignalArray(const std::uint32_t*& array, std::uint16_t count);
int KorvexGetNmrSignalSamplePeriod(float& value);
int KorvexGetFftBufferArray(const std::uint32_t*& array, std::uint16_t count);
int KorvexGetFftBufferResolution(float& value);
int KorvexGetSpectrumArray(const std::uint32_t*& array, std::uint16_t count);
int KorvexGetSpectrumCenterFrequency(float& value);
int KorvexGetSpectrumResolution(float& value);
int KorvexGetFitArray(const std::uint32_t*& array, std::uint16_t count);
int KorvexGetFitResidue(float& value);
int KorvexGetIfFrequencyResult(double& value);
int KorvexGetRelaxationTimeResult(float& value);
int KorvexGetRfFrequencyResult(double& value);

// The search progress of the running measurement: valid 0 until the search step has a
// frequency (Hz; -1.0 while none). No failure.
void KorvexGetSearchProgress(std::uint8_t& valid, float& frequency);

}  // namespace Korvex
