// IEEE 488.2 message-exchange control of one device session: decides when a received
// message may be handed on, when a read request without a response is UNTERMINATED,
// when a new message INTERRUPTS a pending response and when the exchange is DEADLOCKED.
//
// A plain record of flags and a state, changed only by the session (operations under
// its mutex and its transport hold, reports from the transport while the transport is
// not held). Each cause has one handler: its own effect, the current state's step, the
// pulse flags cleared, then the common tail. Like every engine event, a handler does
// nothing when *status already holds a failure; the few that can refuse write the
// refusal into *status and change nothing.
//
// The machine posts nothing itself: the session asks which reports are due
// (UnterminatedDue, InterruptedDue, ResponseRequestedDue, TriggerDue) and tells the
// machine when it posted one.
#pragma once

#include <cstdint>

namespace Korvex {

class CMessageExchange {
public:
    enum State : std::uint32_t {
        Idle = 0,
        Read = 1,
        Query = 2,
        Send = 3,
        Response = 4,
        Done = 5,
        Deadlock = 6,
    };

    struct Record {
        std::uint32_t state = Idle;
        std::uint8_t messageAvailable = 0;
        std::uint8_t messagePending = 0;
        std::uint8_t readRequested = 0;
        std::uint8_t endMessageActive = 0;
        std::uint8_t endPending = 0;
        std::uint8_t responseRequested = 0;
        std::uint8_t queryDetected = 0;
        std::uint8_t responseQueued = 0;
        std::uint8_t responseSent = 0;
        std::uint8_t deviceClearActive = 0;
        std::uint8_t triggerActive = 0;
        std::uint8_t triggerPosted = 0;
        std::uint32_t pendingTriggers = 0;
        std::uint8_t interrupted = 0;
        std::uint8_t unterminated = 0;
        std::uint8_t unterminatedReported = 0;
        std::uint8_t relaxed = 0;
        // One-step pulses: set by their handler before the step, cleared right after it.
        std::uint8_t inputProcessed = 0;
        std::uint8_t queryFlag = 0;
        std::uint8_t readFlag = 0;
        std::uint8_t bufferFull = 0;

        bool operator==(const Record& other) const;
        bool operator!=(const Record& other) const { return !(*this == other); }
    };

    const Record& GetRecord() const { return m_r; }
    // Replaces the whole record (used to put the machine in a given state).
    void SetRecord(const Record& record) { m_r = record; }
    State GetState() const { return static_cast<State>(m_r.state); }

    // State Idle, every flag and pendingTriggers cleared except relaxed; the device-clear
    // variant leaves deviceClearActive set.
    void Reset();
    void ResetForDeviceClear();

    // Sets / clears relaxed; 0x54337 / 0x54338 when it already had that value.
    void EnableRelaxedMode(std::uint32_t* status);
    void DisableRelaxedMode(std::uint32_t* status);

    // Session operations. Refusals: SendOutput and QueryDetected 0x54331 during a device
    // clear and 0x54330 in Deadlock; SendOutput 0x54335 when not relaxed, no query
    // detected and the state is neither Query nor Send; ReportUnterminated 0x54336
    // without unterminated; EndMessageDone 0x54332 without endMessageActive.
    // InputProcessed is never refused.
    void SendOutput(std::uint32_t* status);
    // The device has counted one of the triggers waiting behind its message itself, since
    // that message cannot begin before the trigger has counted: it is taken off
    // pendingTriggers and never started. 0x5433F when none waits.
    void TakePendingTrigger(std::uint32_t* status);
    void QueryDetected(std::uint32_t* status);
    void InputProcessed(std::uint32_t* status);
    void ReportUnterminated(std::uint32_t* status);
    // The device has dealt with the END of the message (session slot 17).
    void EndMessageDone(std::uint32_t* status);
    // The device's output side is full (session slot 18).
    void ReportBufferFull(std::uint32_t* status);

    // Transport reports.
    void NewInput(std::uint32_t* status);
    void EndReceived(std::uint32_t* status);
    // The host reads while no response is queued.
    void HostRead(std::uint32_t* status);
    void ResponseSent(std::uint32_t* status);
    void Trigger(std::uint32_t* status);

    // What the session did with the machine's reports.
    void UnterminatedPosted(std::uint32_t* status);
    void InterruptedPosted(std::uint32_t* status);
    void ResponseRequestedPosted(std::uint32_t* status);
    void TriggerPosted(std::uint32_t* status);
    void TriggerFinished(std::uint32_t* status);
    void DeviceClearFinished(std::uint32_t* status);

    // Reports due.
    bool UnterminatedDue() const { return m_r.unterminated && !m_r.unterminatedReported; }
    bool InterruptedDue() const { return m_r.interrupted != 0; }
    bool ResponseRequestedDue() const { return m_r.responseRequested != 0; }
    bool TriggerDue() const { return m_r.triggerActive && !m_r.triggerPosted; }

private:
    using StepFunction = void (CMessageExchange::*)();
    static const StepFunction s_steps[7];

    bool Busy() const { return m_r.endMessageActive || m_r.triggerActive; }
    bool NothingToDo() const;
    void RaiseUnterminated();
    // State Read, the queued response dropped and the interrupted condition raised;
    // withRequest also drops responseRequested and queryDetected.
    void Interrupt(bool withRequest);
    void RequestResponseUnlessQueued();
    void StartTrigger();

    // Step of the current state, pulses cleared, then the tail.
    void Run();
    void Step();
    void Tail();

    void StepIdle();
    void StepRead();
    void StepQuery();
    void StepSend();
    void StepResponse();
    void StepDone();
    void StepDeadlock();

    Record m_r;
};

} // namespace Korvex
