// IEEE 488.2 service request of one physical interface: decides when the transport asserts
// and releases SRQ and which status byte a serial poll reports. RQS (0x40) is set in the
// polled byte while a request is pending and is reported by one poll only.
//
//   Idle             --request set-------> Active            EnterActive, AssertSrq
//   Idle             --poll begins-------> SerialPollActive  PollStart
//   Active           --request cleared---> Idle              EnterIdle, ReleaseSrq
//   Active           --request withdrawn-> Idle              EnterIdle, ReleaseSrq
//   Active           --poll begins-------> SerialPollActive  ReleaseSrq, PollStart
//   SerialPollActive --request cleared---> Idle              EnterIdle, PollEnd
//   SerialPollActive --request set-------> Wait
//   SerialPollActive --poll ends---------> Idle              EnterIdle, PollEnd
//   Wait             --request cleared---> Idle              EnterIdle, PollEnd
//   Wait             --request withdrawn-> SerialPollActive
//   Wait             --poll ends---------> Active            EnterActive, PollEnd, AssertSrq
// Every other event leaves the state and does nothing. srqAsserted is set by EnterActive
// and cleared only by EnterIdle, so a poll begun in Active reports RQS.
//
// Events and actions do nothing when the status already holds a failure, so the first
// failure ends the chain (the state changes made before it stay).
//
// No lock: requests arrive through session operations (which hold the transport), polls
// inside the transport's delivery.
#pragma once

#include <cstdint>

namespace Korvex {

class CServiceRequestState;
class CServiceRequestStateMachineEventObserver;
class CStatusByteHolder;

class CServiceRequestStateMachine {
public:
    enum StateIndex : std::uint32_t {
        kIdle = 0,
        kActive = 1,
        kSerialPollActive = 2,
        kWait = 3,
        kNoState = 4,   // construction failed
    };

    // Creates the four states (allocation failure: 0x543F0, the machine must be destroyed
    // again) and starts in Idle. Nothing on a failed status.
    CServiceRequestStateMachine(CServiceRequestStateMachineEventObserver* observer,
                                CStatusByteHolder* statusByte, std::uint32_t* status);
    virtual ~CServiceRequestStateMachine();
    CServiceRequestStateMachine(const CServiceRequestStateMachine&) = delete;
    CServiceRequestStateMachine& operator=(const CServiceRequestStateMachine&) = delete;

    // The status byte for the poll under way: reported to the observer with RQS set while
    // srqAsserted is 1. Nothing on a failed status.
    virtual void StatusByteChanged(std::uint8_t stb, std::uint32_t* status);

    // ---- events ----
    void OnRequestCleared(std::uint32_t* status);
    void OnRequestSet(std::uint32_t* status);
    void OnRequestWithdrawn(std::uint32_t* status);
    void OnSerialPollBegins(std::uint32_t* status);
    void OnSerialPollEnds(std::uint32_t* status);

    // ---- actions (used by the states) ----
    void EnterIdle(std::uint32_t* status);
    void EnterActive(std::uint32_t* status);
    void EnterSerialPollActive(std::uint32_t* status);
    void EnterWait(std::uint32_t* status);
    void AssertSrq(std::uint32_t* status);
    void ReleaseSrq(std::uint32_t* status);
    // Asks the holder for the status byte, with this machine as requester.
    void PollStart(std::uint32_t* status);
    void PollEnd(std::uint32_t* status);

    StateIndex GetState() const;
    std::uint32_t GetSrqAsserted() const { return m_srqAsserted; }

private:
    using Event = void (CServiceRequestState::*)(std::uint32_t*);
    void Dispatch(Event event, std::uint32_t* status);

    CServiceRequestStateMachineEventObserver* m_observer;
    CStatusByteHolder* m_statusByte;
    CServiceRequestState* m_current = nullptr;
    CServiceRequestState* m_idle = nullptr;
    CServiceRequestState* m_active = nullptr;
    CServiceRequestState* m_serialPollActive = nullptr;
    CServiceRequestState* m_wait = nullptr;
    std::uint32_t m_srqAsserted = 0;
};

} // namespace Korvex
