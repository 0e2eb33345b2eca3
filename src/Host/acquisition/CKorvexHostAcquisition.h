// The acquisition controller: the "Host Acquisition Thread". Its body prepares the result
// stores, checks its three event sources and its subscriptions, then runs the system flow
// for ever: load and start the DSP program, check the versions the DSP reports, send the
// start-up configuration and hand over to the trigger flow, which waits for initiations and
// runs the measurements (set-up, search, trigger waits, DSP measurements). A fatal
// acquisition exception restarts the system flow from the program load; anything
// unforeseen ends the thread and asks for an instrument restart.
//
// The main thread meets the controller through Start, WaitForDspStarted and
// WaitForAcqStarted; the parser and the host objects through the control operations below
// (reached via CAcquisitionSeam once the controller started), which run on the caller's
// thread and hand over to the acquisition thread only through the two mailboxes.
//
// The flows live in CKorvexHostAcquisitionFlows.cpp, the frequency search in
// CKorvexHostAcquisitionSearch.cpp.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Host/acquisition/CEventRegister.h"
#include "Host/acquisition/CRegistrableObject.h"
#include "Host/parameters/Thread.h"
#include "Host/scpi/exec/KorvexChannel.h"
#include "platform/kernel/Kernel.h"

namespace Korvex {

class CAcqException;
class CAcquisitionSeam;
class CKorvexPeripheral;
class CKorvexScpiStatus;

// The record of one measurement, from the GET_PW_MEASUREMENT reply.
struct AcqMeasurement {
    double flux = 0.0;             // in the units-table row of fluxUnit
    std::uint32_t fluxUnit = 0;
    double frequency = 0.0;        // Hz; 0.0 when nothing was measured
    float sigma = 0.0f;
    std::uint32_t unused = 0;      // the reply word not stored in the results
    float uniformity = 0.0f;
    float matching = 0.0f;
    float tuning = 0.0f;
    std::uint64_t timestamp = 0;
    std::uint8_t status = 0;       // 1: reference quality (manual mode, or ext. reference detected and not locked)
};

class CKorvexHostAcquisition : public CThread {
public:
    static constexpr int ThreadPriority = 15;
    static constexpr std::size_t ThreadStackSize = 80000;
    // Shortest pass of the system flow: a failed pass that took less waits out the rest.
    static constexpr std::uint32_t MinimumPassMs = 1000;
    // The reader of a per-measurement result waits in slices of this length.
    static constexpr std::int32_t ResultWaitSliceMs = 100;

    // Creates the thread suspended and opens the two mailboxes and the DSP interrupt device.
    CKorvexHostAcquisition();
    // Withdraws the seam, asks the thread to leave (the running flow is aborted, the trigger
    // flow returns, QUIT is sent) and waits for it a few seconds before the thread is
    // deleted; the DSP lock is then free.
    ~CKorvexHostAcquisition() override;

    // The firmware's one controller, built on first use and never destroyed.
    static CKorvexHostAcquisition& Instance();
    // The controller that started last and still exists, or null.
    static CKorvexHostAcquisition* Running();

    // Installs the seam that forwards the parser's and the host objects' calls to this
    // controller, then resumes the thread and waits until it runs.
    void Start();

    // 1 once the system flow passed the version checks (the flags copied out), 0 when not
    // within the time-out (the out-parameters untouched). The first success is permanent.
    std::uint8_t WaitForDspStarted(std::uint16_t timeoutMs, std::uint8_t& versionAccepted,
                                   std::uint8_t& started);
    // 1 once the thread is up (and each time the trigger flow starts), 0 when not within the
    // time-out. The first success is permanent.
    std::uint8_t WaitForAcqStarted(std::uint16_t timeoutMs);

    // ---- control operations (caller's thread); 43 while the system is not up ----
    // Starts a measurement: 0 once the trigger flow took it; 49 already initiated or the
    // expected value (selected unit, 0.0: none) not convertible. Throws eError 50 (NMR path
    // broken) and 46 (empty channel list).
    int InitiateTrigger(CKorvexScpiStatus* initiator, std::vector<CKorvexChannel>& channels,
                        double expectedValue);
    // Aborts (stopping continuous initiation), resets the modes and the stores.
    int Reset();
    // The mode settings back to their defaults.
    void ResetModesToDefaults();
    // Sets ref_clock_parms/mode and sends it to the DSP: 0, 51 measuring, 38 exchange failed.
    int ConfigureExtRef(const std::string& mode);
    // Fills the intermediate-results store from the DSP: 0, 38 no reply in time, a link
    // code, or 47.
    int RetrieveIntermediateResults();
    // Ends the running acquisition (stopping continuous initiation when asked); returns once
    // the acquisition thread has taken the abort.
    int AbortTrigger(int stopContinuous);
    // Reconfigures the trigger output: 0, 38, 47, or 51 (measuring, or the DSP's output
    // state differs from trigger_parms/trigger_out/state).
    int TriggerOut(std::uint8_t flag);
    // Releases a measurement waiting for a bus trigger: 0, 51 none expected.
    int SendBusTrigger();
    // Device clear: resets the buffer pool, keeping the buffer a measurement under way fills;
    // 0.
    int Clear();
    // A session's status block is going away: no error is posted to it any more. Must not be
    // called with the status lock held.
    void ForgetInitiator(CKorvexScpiStatus* block);

    // Reads of the cross-thread state.
    bool IsSystemUp() const { return SystemUp.load() != 0; }
    std::uint32_t GetSystemPhase() const { return SystemPhase.load(); }
    bool IsTriggerActive() const { return TriggerActive.load() != 0; }
    // Waits until no measurement is initiated, at most until the deadline; true when none is.
    bool WaitForTriggerIdle(std::chrono::steady_clock::time_point deadline);
    std::int32_t GetLastAcqError() const { return LastAcqError.load(); }
    std::uint32_t GetTriggerState() const { return TriggerState.load(); }
    std::uint32_t GetSequencePhase() const { return SequencePhase.load(); }
    std::uint32_t GetSetupMode() const { return SetupMode.load(); }
    std::uint32_t GetSequenceMode() const { return SequenceMode.load(); }
    std::uint32_t GetTriggerWaitPhase() const { return TriggerWaitPhase.load(); }
    std::uint32_t GetSearchStep() const { return SearchStep.load(); }
    std::uint32_t GetCurrentChannelIndex() const { return CurrentChannelIndex.load(); }
    // The search progress (percent) and the Hall frequency (Hz, -1.0 when none).
    void GetSearchProgress(std::uint8_t& progress, float& frequency);

    // The status block of the client whose initiation is running, or null.
    void SetInitiator(CKorvexScpiStatus* status);

    // Reads the status block and compares its heartbeat count with the last check's; an
    // equal count (except on the first check after a re-arm) throws CFatalAcqException at
    // the given line.
    void HeartbeatCheck(unsigned fatalLine);

    // From a DSP status word: status rows 44, 45, 46, 65 and the external-reference nodes.
    static void KorvexUpdateAcqStatusBits(std::uint32_t status);

protected:
    void ThreadMain() override;
    // Returns only if TriggerFlow returns.
    void SystemFlow();
    // Does not return while the controller lives.
    void TriggerFlow();
    // One request/reply exchange; CAcqError on failure, the DSP lock released either way.
    void SendAndReceive(std::uint32_t id, std::uint32_t replyId, std::int16_t timeoutMs);

    // ---- trigger and acquisition flows ----
    int AcquisitionFlow();
    CKorvexPeripheral* AcquisitionSetupFlow(double expected, double& frequency);
    // 0 succeeded, 1 failed.
    int AcquisitionSequenceFlow(CKorvexPeripheral*& channel, std::uint8_t expectedGiven,
                                double& frequency);
    double TriggerWaitingFlow(CKorvexPeripheral* channel, AcqMeasurement& record);
    void KorvexRunMeasurement(AcqMeasurement& record);
    CKorvexPeripheral* KorvexConnectChannel(std::uint16_t index);
    void KorvexWaitForBusTrigger();
    // Stops the DSP; one retry; CFatalAcqException when both attempts fail.
    void AbortDSP();

    // ---- frequency search ----
    double SearchFlow(CKorvexPeripheral*& channel, double low, double high);
    double ConfirmFrequency(double frequency);
    double KorvexNmrSearch(float low, float high, float centre);
    double KorvexHallSearch(CKorvexPeripheral* channel, float low, float high);
    CKorvexPeripheral* KorvexFindChannelInRange(double low, double high, double& remembered,
                                                std::uint16_t& index);

private:
    // Clears TriggerActive and wakes the readers waiting for it (WaitForTriggerIdle).
    void ClearTriggerActive();
    // What a failed pass leaves behind, cleared before the next one.
    void ResetAfterFailedPass();
    // Posts an acquisition error to the initiator by the trigger flow's table.
    void PostErrorToInitiator(std::int32_t error);
    // The trigger flow's handler of an acquisition exception (the flow releases the sender
    // of an abort).
    void HandleAcqException(const CAcqException& e);
    // INITIATE_SEARCH, the polls of the running search and GET_SEARCH_RESULT.
    double SearchExchange(float first, float second, float third, std::uint32_t mode,
                          unsigned stallLine);
    void SetSearchProgress(std::uint8_t progress, float frequency);
    void SetSearchProgress(std::uint8_t progress);
    // After a reply that did not come in time on the caller's thread: one ABORT exchange so
    // that the link does not stay awaiting that reply. The caller holds the DSP lock.
    void AbortPendingExchange();
    // Takes the DSP lock for this thread and drops DSP interrupts no exchange waits for.
    void TakeDspForExchange();
    // A wait for the DSP reply on the caller's thread, not abortable.
    bool WaitForDspReply(std::int16_t timeoutMs);

    CMailBox<AbortMsg> abortMailbox;
    CMailBox<PipeMsg> messageMailbox;
    CDspIntr dspInterrupt;
    CEventRegister events;

    std::atomic<bool> stopping{false};
    std::atomic<std::uint32_t> SystemPhase{0};
    std::atomic<std::uint8_t> SystemUp{0};
    std::atomic<std::uint8_t> DspVersionAccepted{0};
    std::atomic<std::uint8_t> SystemStarted{0};
    std::atomic<std::uint8_t> dspStartedSeen{0};
    std::atomic<std::uint8_t> acqStartedSeen{0};
    kernel::Semaphore DspStartedSemaphore;
    kernel::Semaphore AcqStartedSemaphore;

    std::atomic<std::uint32_t> TriggerState{0};
    std::atomic<std::uint8_t> TriggerActive{0};
    // Cleared under this mutex, so that a waiter cannot miss the clear.
    std::mutex triggerIdleMutex;
    std::condition_variable triggerIdle;
    std::atomic<std::int32_t> LastAcqError{0};
    std::atomic<std::uint32_t> SequencePhase{0};
    std::atomic<std::uint32_t> SetupMode{0};
    std::atomic<std::uint32_t> SequenceMode{0};
    std::atomic<std::uint32_t> TriggerWaitPhase{0};
    std::atomic<std::uint32_t> SearchStep{0};
    std::atomic<std::uint32_t> CurrentChannelIndex{0};

    // The initiation's channel list and expected value (Hz, 0.0: none), as InitiateTrigger
    // stored them; each acquisition copies them into SelectedChannels and ExpectedValue,
    // which only the acquisition thread uses.
    struct {
        std::mutex mutex;
        std::vector<CKorvexChannel> channels;
        double expected = 0.0;
    } selection;
    std::vector<CKorvexChannel> SelectedChannels;
    double ExpectedValue = 0.0;

    std::mutex initiatorMutex;  // InitiatorStatus, and every PostError to it
    CKorvexScpiStatus* InitiatorStatus = nullptr;

    struct {
        std::mutex mutex;
        std::uint8_t progress = 0;
        float frequency = -1.0f;
    } SearchProgress;

    struct {
        std::mutex mutex;
        std::uint32_t lastCount = 0;
        std::uint8_t firstLook = 1;
    } HeartbeatWatch;

    // The senders' completion semaphores (one sender of each at a time).
    std::mutex initiateMutex;
    CCompletionSemaphore initiateCompletion;
    std::mutex abortMutex;
    CCompletionSemaphore abortCompletion;

    std::unique_ptr<CAcquisitionSeam> seam;
};

}  // namespace Korvex
