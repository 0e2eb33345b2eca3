#include "engine/srq/StatusByteHolder.h"

#include "engine/srq/ServiceRequestObservers.h"
#include "engine/srq/ServiceRequestStateMachine.h"
#include "engine/status/EngineStatus.h"

namespace Korvex {

CStatusByteHolder::CStatusByteHolder(CStatusByteStateMachineEventObserver* observer)
    : m_observer(observer)
{
}

void CStatusByteHolder::SetStatusByte(std::uint8_t stb, std::uint32_t* status)
{
    *status = 0;
    m_statusByte = static_cast<std::uint8_t>(stb & ~kRqs);
    if (m_answersRequests != 0 && m_requester != nullptr) {
        Answer(status);
    }
}

void CStatusByteHolder::EnableStatusByteRequests()
{
    m_answersRequests = 1;
}

void CStatusByteHolder::DisableStatusByteRequests(std::uint32_t* status)
{
    *status = 0;
    m_answersRequests = 0;
    if (m_requester != nullptr) {
        Answer(status);
    }
}

void CStatusByteHolder::PollStart(CServiceRequestStateMachine* requester, std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_requester = requester;
    if (m_answersRequests == 0) {
        Answer(status);
        return;
    }
    std::uint32_t posted = ZODEVICE_STATUS_DRIVER_FAULT;
    m_observer->OnStatusByteRequest(&posted);
    // The device will not hear of this poll: answer with what it set last, so that the
    // poll ends.
    if (posted != 0 && m_requester == requester) {
        Answer(status);
    }
}

void CStatusByteHolder::PollEnd(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_requester = nullptr;
}

void CStatusByteHolder::Answer(std::uint32_t* status)
{
    CServiceRequestStateMachine* requester = m_requester;
    m_requester = nullptr;
    *status = 0;
    requester->StatusByteChanged(m_statusByte, status);
}

} // namespace Korvex
