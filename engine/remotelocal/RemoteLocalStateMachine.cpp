#include "engine/remotelocal/RemoteLocalStateMachine.h"

#include "engine/os/Allocator.h"
#include "engine/remotelocal/RemoteLocalStates.h"
#include "engine/status/EngineStatus.h"

namespace Korvex {

namespace {
template <class State>
CRemoteLocalState* MakeState(CRemoteLocalStateMachine* machine, std::uint32_t* status)
{
    if (*status != 0) {
        return nullptr;
    }
    CRemoteLocalState* state = EngineNew<State>(machine);
    if (state == nullptr) {
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
    }
    return state;
}
} // namespace

CRemoteLocalStateMachine::CRemoteLocalStateMachine(CRemoteLocalStateMachineObserver* observer,
                                                   std::uint32_t* status)
    : m_observer(observer)
{
    if (*status != 0) {
        return;
    }
    m_states[kLocal] = MakeState<CLocalState>(this, status);
    m_states[kLocalWithRen] = MakeState<CLocalWithRenState>(this, status);
    m_states[kLocalWithLockout] = MakeState<CLocalWithLockoutState>(this, status);
    m_states[kRemote] = MakeState<CRemoteState>(this, status);
    m_states[kRemoteWithLockout] = MakeState<CRemoteWithLockoutState>(this, status);
    if (*status == 0) {
        m_current = m_states[kLocal];
    }
}

CRemoteLocalStateMachine::~CRemoteLocalStateMachine()
{
    for (CRemoteLocalState*& state : m_states) {
        EngineDelete(state);
        state = nullptr;
    }
}

void CRemoteLocalStateMachine::SetState(std::uint32_t index)
{
    if (index < kStateCount && m_states[index] != nullptr) {
        m_current = m_states[index];
    }
}

void CRemoteLocalStateMachine::NotifyObserver()
{
    if (m_notify != 0 && m_current != nullptr) {
        m_observer->OnRemoteLocalStateChanged(m_current->GetStateCode());
    }
}

std::uint32_t CRemoteLocalStateMachine::GetStateCode() const
{
    return m_current != nullptr ? m_current->GetStateCode() : 0;
}

std::uint32_t CRemoteLocalStateMachine::GetStateIndex() const
{
    for (std::uint32_t index = 0; index < kStateCount; ++index) {
        if (m_current != nullptr && m_current == m_states[index]) {
            return index;
        }
    }
    return kStateCount;
}

void CRemoteLocalStateMachine::OnRenAsserted(std::uint32_t argument)
{
    if (m_current != nullptr) {
        m_current->OnRenAsserted(argument);
    }
}

void CRemoteLocalStateMachine::OnRenReleased()
{
    if (m_current != nullptr) {
        m_current->OnRenReleased();
    }
}

void CRemoteLocalStateMachine::OnRemote(std::uint32_t argument)
{
    if (m_current != nullptr) {
        m_current->OnRemote(argument);
    }
}

void CRemoteLocalStateMachine::OnReturnToLocal()
{
    if (m_current != nullptr) {
        m_current->OnReturnToLocal();
    }
}

void CRemoteLocalStateMachine::OnLocalLockout(std::uint32_t argument)
{
    if (m_current != nullptr) {
        m_current->OnLocalLockout(argument);
    }
}

void CRemoteLocalStateMachine::OnGoToLocal()
{
    if (m_current != nullptr) {
        m_current->OnGoToLocal();
    }
}

} // namespace Korvex
