#include "engine/remotelocal/RemoteLocalStates.h"

#include "engine/remotelocal/RemoteLocalStateMachine.h"

namespace Korvex {

using M = CRemoteLocalStateMachine;

void CRemoteLocalState::Change(std::uint32_t index, bool notify)
{
    m_machine->SetState(index);
    if (notify) {
        m_machine->NotifyObserver();
    }
}

void CLocalState::OnRenAsserted(std::uint32_t /*argument*/)
{
    Change(M::kLocalWithRen, false);
}

void CLocalWithRenState::OnRenReleased()
{
    Change(M::kLocal, false);
}

void CLocalWithRenState::OnRemote(std::uint32_t /*argument*/)
{
    Change(M::kRemote, true);
}

void CLocalWithRenState::OnLocalLockout(std::uint32_t /*argument*/)
{
    Change(M::kLocalWithLockout, true);
}

void CLocalWithLockoutState::OnRenReleased()
{
    Change(M::kLocal, true);
}

void CLocalWithLockoutState::OnRemote(std::uint32_t /*argument*/)
{
    Change(M::kRemoteWithLockout, true);
}

void CRemoteState::OnRenReleased()
{
    Change(M::kLocal, true);
}

void CRemoteState::OnReturnToLocal()
{
    Change(M::kLocalWithRen, true);
}

void CRemoteState::OnLocalLockout(std::uint32_t /*argument*/)
{
    Change(M::kRemoteWithLockout, true);
}

void CRemoteState::OnGoToLocal()
{
    Change(M::kLocalWithRen, true);
}

void CRemoteWithLockoutState::OnRenReleased()
{
    Change(M::kLocal, true);
}

void CRemoteWithLockoutState::OnGoToLocal()
{
    Change(M::kLocalWithLockout, true);
}

} // namespace Korvex
