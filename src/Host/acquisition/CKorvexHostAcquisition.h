// The acquisition controller: the "Host Acquisition Thread". Its body prepares the result
// stores, checks its three event sources and its subscriptions, then runs the system flow
// for ever: load and start the DSP program, check the versions the DSP reports, send the
// start-up configuration and hand over to the trigger flow. A fatal acquisition exception
// restarts the system flow from the program load; anything unforeseen ends the thread and
// asks for an instrument restart.
//
// The main thread meets the controller through Start, WaitForDspStarted and
// WaitForAcqStarted; other threads through the mailboxes and the atomic flags below.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "Host/acquisition/CEventRegister.h"
#include "Host/acquisition/CRegistrableObject.h"
#include "Host/parameters/Thread.h"
#include "platform/kernel/Kernel.h"

namespace Korvex {

class CKorvexScpiStatus;

class CKorvexHostAcquisition : public CThread {
public:
    static constexpr int ThreadPriority = 15;
    static constexpr std::size_t ThreadStackSize = 80000;
    // Shortest pass of the system flow: a failed pass that took less waits out the rest.
    static constexpr std::uint32_t MinimumPassMs = 1000;

    // Creates the thread suspended and opens the two mailboxes and the DSP interrupt device.
    CKorvexHostAcquisition();
    // Asks the thread to leave at its next wait (the trigger flow returns, QUIT is sent) and
    // waits for it a few seconds before the thread is deleted; the DSP lock is then free.
    ~CKorvexHostAcquisition() override;

    using CThread::Start;

    // 1 once the system flow passed the version checks (the flags copied out), 0 when not
    // within the time-out (the out-parameters untouched). The first success is permanent.
    std::uint8_t WaitForDspStarted(std::uint16_t timeoutMs, std::uint8_t& versionAccepted,
                                   std::uint8_t& started);
    // 1 once the DSP program was loaded and started, 0 when not within the time-out. The
    // first success is permanent.
    std::uint8_t WaitForAcqStarted(std::uint16_t timeoutMs);

    // Device clear: 43 while the system is not up, else resets the buffer pool; 0.
    int Clear();

    // Reads of the cross-thread state.
    bool IsSystemUp() const { return SystemUp.load() != 0; }
    std::uint32_t GetSystemPhase() const { return SystemPhase.load(); }
    bool IsTriggerActive() const { return TriggerActive.load() != 0; }
    std::int32_t GetLastAcqError() const { return LastAcqError.load(); }

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
    void TriggerFlow();
    // One request/reply exchange; CAcqError on failure, the DSP lock released either way.
    void SendAndReceive(std::uint32_t id, std::uint32_t replyId, std::int16_t timeoutMs);

private:
    // What a failed pass leaves behind, cleared before the next one.
    void ResetAfterFailedPass();
    // Posts an acquisition error to the initiator by the trigger flow's table.
    void PostErrorToInitiator(std::int32_t error);

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
    std::atomic<std::int32_t> LastAcqError{0};

    std::mutex initiatorMutex;  // InitiatorStatus
    CKorvexScpiStatus* InitiatorStatus = nullptr;

    struct {
        std::mutex mutex;
        std::uint32_t lastCount = 0;
        std::uint8_t firstLook = 1;
    } HeartbeatWatch;
};

}  // namespace Korvex
