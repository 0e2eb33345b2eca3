#include "engine/srq/ServiceRequestStateMachine.h"

#include "engine/os/Allocator.h"
#include "engine/srq/ServiceRequestObservers.h"
#include "engine/srq/ServiceRequestStates.h"
#include "engine/srq/StatusByteHolder.h"
#include "engine/status/EngineStatus.h"

namespace Korvex {

namespace {
template <class State>
CServiceRequestState* MakeState(CServiceRequestStateMachine* machine, std::uint32_t* status)
{
    if (*status != 0) {
        return nullptr;
    }
    CServiceRequestState* state = EngineNew<State>(machine);
    if (state == nullptr) {
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
    }
    return state;
}
} // namespace

CServiceRequestStateMachine::CServiceRequestStateMachine(
    CServiceRequestStateMachineEventObserver* observer, CStatusByteHolder* statusByte,
    std::uint32_t* status)
    : m_observer(observer), m_statusByte(statusByte)
{
    if (*status != 0) {
        return;
    }
    m_idle = MakeState<CServiceRequestIdleState>(this, status);
    m_active = MakeState<CServiceRequestActiveState>(this, status);
    m_serialPollActive = MakeState<CServiceRequestSerialPollActiveState>(this, status);
    m_wait = MakeState<CServiceRequestWaitState>(this, status);
    if (*status == 0) {
        m_current = m_idle;
    }
}

CServiceRequestStateMachine::~CServiceRequestStateMachine()
{
    EngineDelete(m_wait);
    EngineDelete(m_serialPollActive);
    EngineDelete(m_active);
    EngineDelete(m_idle);
}

void CServiceRequestStateMachine::StatusByteChanged(std::uint8_t stb, std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    const std::uint8_t reported =
        m_srqAsserted == 1 ? static_cast<std::uint8_t>(stb | CStatusByteHolder::kRqs) : stb;
    *status = ZODEVICE_STATUS_DRIVER_FAULT;
    m_observer->OnStatusByte(reported, status);
}

void CServiceRequestStateMachine::Dispatch(Event event, std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    if (m_current == nullptr) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return;
    }
    (m_current->*event)(status);
}

void CServiceRequestStateMachine::OnRequestCleared(std::uint32_t* status)
{
    Dispatch(&CServiceRequestState::OnRequestCleared, status);
}

void CServiceRequestStateMachine::OnRequestSet(std::uint32_t* status)
{
    Dispatch(&CServiceRequestState::OnRequestSet, status);
}

void CServiceRequestStateMachine::OnRequestWithdrawn(std::uint32_t* status)
{
    Dispatch(&CServiceRequestState::OnRequestWithdrawn, status);
}

void CServiceRequestStateMachine::OnSerialPollBegins(std::uint32_t* status)
{
    Dispatch(&CServiceRequestState::OnSerialPollBegins, status);
}

void CServiceRequestStateMachine::OnSerialPollEnds(std::uint32_t* status)
{
    Dispatch(&CServiceRequestState::OnSerialPollEnds, status);
}

void CServiceRequestStateMachine::EnterIdle(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_current = m_idle;
    m_srqAsserted = 0;
}

void CServiceRequestStateMachine::EnterActive(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_current = m_active;
    m_srqAsserted = 1;
}

void CServiceRequestStateMachine::EnterSerialPollActive(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_current = m_serialPollActive;
}

void CServiceRequestStateMachine::EnterWait(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_current = m_wait;
}

void CServiceRequestStateMachine::AssertSrq(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    *status = ZODEVICE_STATUS_DRIVER_FAULT;
    m_observer->OnSrqAsserted(status);
}

void CServiceRequestStateMachine::ReleaseSrq(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    *status = ZODEVICE_STATUS_DRIVER_FAULT;
    m_observer->OnSrqReleased(status);
}

void CServiceRequestStateMachine::PollStart(std::uint32_t* status)
{
    m_statusByte->PollStart(this, status);
}

void CServiceRequestStateMachine::PollEnd(std::uint32_t* status)
{
    m_statusByte->PollEnd(status);
}

CServiceRequestStateMachine::StateIndex CServiceRequestStateMachine::GetState() const
{
    if (m_current == nullptr) {
        return kNoState;
    }
    if (m_current == m_idle) {
        return kIdle;
    }
    if (m_current == m_active) {
        return kActive;
    }
    return m_current == m_serialPollActive ? kSerialPollActive : kWait;
}

} // namespace Korvex
