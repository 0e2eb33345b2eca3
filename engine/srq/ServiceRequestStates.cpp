#include "engine/srq/ServiceRequestStates.h"

#include "engine/srq/ServiceRequestStateMachine.h"

namespace Korvex {

void CServiceRequestIdleState::OnRequestSet(std::uint32_t* status)
{
    m_machine->EnterActive(status);
    m_machine->AssertSrq(status);
}

void CServiceRequestIdleState::OnSerialPollBegins(std::uint32_t* status)
{
    m_machine->EnterSerialPollActive(status);
    m_machine->PollStart(status);
}

void CServiceRequestActiveState::OnRequestCleared(std::uint32_t* status)
{
    m_machine->EnterIdle(status);
    m_machine->ReleaseSrq(status);
}

void CServiceRequestActiveState::OnRequestWithdrawn(std::uint32_t* status)
{
    m_machine->EnterIdle(status);
    m_machine->ReleaseSrq(status);
}

void CServiceRequestActiveState::OnSerialPollBegins(std::uint32_t* status)
{
    m_machine->EnterSerialPollActive(status);
    m_machine->ReleaseSrq(status);
    m_machine->PollStart(status);
}

void CServiceRequestSerialPollActiveState::OnRequestCleared(std::uint32_t* status)
{
    m_machine->EnterIdle(status);
    m_machine->PollEnd(status);
}

void CServiceRequestSerialPollActiveState::OnRequestSet(std::uint32_t* status)
{
    m_machine->EnterWait(status);
}

void CServiceRequestSerialPollActiveState::OnSerialPollEnds(std::uint32_t* status)
{
    m_machine->EnterIdle(status);
    m_machine->PollEnd(status);
}

void CServiceRequestWaitState::OnRequestCleared(std::uint32_t* status)
{
    m_machine->EnterIdle(status);
    m_machine->PollEnd(status);
}

void CServiceRequestWaitState::OnRequestWithdrawn(std::uint32_t* status)
{
    m_machine->EnterSerialPollActive(status);
}

void CServiceRequestWaitState::OnSerialPollEnds(std::uint32_t* status)
{
    m_machine->EnterActive(status);
    m_machine->PollEnd(status);
    m_machine->AssertSrq(status);
}

} // namespace Korvex
