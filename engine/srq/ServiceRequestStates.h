// The four states of the service-request machine. Each event of the base does nothing;
// a state overrides the events it acts on (the table is in ServiceRequestStateMachine.h).
// The machine checks the status before it forwards an event.
#pragma once

#include <cstdint>

namespace Korvex {

class CServiceRequestStateMachine;

class CServiceRequestState {
public:
    explicit CServiceRequestState(CServiceRequestStateMachine* machine) : m_machine(machine) {}
    virtual ~CServiceRequestState() = default;
    CServiceRequestState(const CServiceRequestState&) = delete;
    CServiceRequestState& operator=(const CServiceRequestState&) = delete;

    virtual void OnRequestCleared(std::uint32_t* /*status*/) {}
    virtual void OnRequestSet(std::uint32_t* /*status*/) {}
    virtual void OnRequestWithdrawn(std::uint32_t* /*status*/) {}
    virtual void OnSerialPollBegins(std::uint32_t* /*status*/) {}
    virtual void OnSerialPollEnds(std::uint32_t* /*status*/) {}

protected:
    CServiceRequestStateMachine* m_machine;
};

class CServiceRequestIdleState : public CServiceRequestState {
public:
    using CServiceRequestState::CServiceRequestState;
    void OnRequestSet(std::uint32_t* status) override;
    void OnSerialPollBegins(std::uint32_t* status) override;
};

class CServiceRequestActiveState : public CServiceRequestState {
public:
    using CServiceRequestState::CServiceRequestState;
    void OnRequestCleared(std::uint32_t* status) override;
    void OnRequestWithdrawn(std::uint32_t* status) override;
    void OnSerialPollBegins(std::uint32_t* status) override;
};

class CServiceRequestSerialPollActiveState : public CServiceRequestState {
public:
    using CServiceRequestState::CServiceRequestState;
    void OnRequestCleared(std::uint32_t* status) override;
    void OnRequestSet(std::uint32_t* status) override;
    void OnSerialPollEnds(std::uint32_t* status) override;
};

class CServiceRequestWaitState : public CServiceRequestState {
public:
    using CServiceRequestState::CServiceRequestState;
    void OnRequestCleared(std::uint32_t* status) override;
    void OnRequestWithdrawn(std::uint32_t* status) override;
    void OnSerialPollEnds(std::uint32_t* status) override;
};

} // namespace Korvex
