// IEEE 488.1 remote/local state of a device, kept from the transport's remote-enable,
// addressing, go-to-local and lockout events.
//
//   Local             --REN asserted--------> LocalWithRen
//   LocalWithRen      --REN released--------> Local
//   LocalWithRen      --addressed to remote-> Remote             notify
//   LocalWithRen      --local lockout-------> LocalWithLockout   notify
//   LocalWithLockout  --REN released--------> Local              notify
//   LocalWithLockout  --addressed to remote-> RemoteWithLockout  notify
//   Remote            --REN released--------> Local              notify
//   Remote            --return to local-----> LocalWithRen       notify
//   Remote            --local lockout-------> RemoteWithLockout  notify
//   Remote            --go to local---------> LocalWithRen       notify
//   RemoteWithLockout --REN released--------> Local              notify
//   RemoteWithLockout --go to local---------> LocalWithLockout   notify
// Every other event does nothing (RemoteWithLockout ignores return to local: the front
// panel is locked out). "notify" passes the new state's code to the observer while the
// notify switch is on (off at construction).
//
// State codes: Local and LocalWithRen 0, Remote 1, LocalWithLockout 2, RemoteWithLockout 3.
//
// No lock: the transport feeds it from one thread.
#pragma once

#include <cstdint>

namespace Korvex {

class CRemoteLocalState;

class CRemoteLocalStateMachineObserver {
public:
    virtual ~CRemoteLocalStateMachineObserver() = default;
    virtual void OnRemoteLocalStateChanged(std::uint32_t stateCode) = 0;
};

class CRemoteLocalStateMachine {
public:
    enum StateIndex : std::uint32_t {
        kLocal = 0,
        kLocalWithRen = 1,
        kLocalWithLockout = 2,
        kRemote = 3,
        kRemoteWithLockout = 4,
        kStateCount = 5,
    };

    // Creates the five states in index order, stopping at the first failure (allocation
    // failure: 0x543F0; the machine must be destroyed again); then the state is Local.
    // Nothing on a failed status.
    CRemoteLocalStateMachine(CRemoteLocalStateMachineObserver* observer, std::uint32_t* status);
    ~CRemoteLocalStateMachine();
    CRemoteLocalStateMachine(const CRemoteLocalStateMachine&) = delete;
    CRemoteLocalStateMachine& operator=(const CRemoteLocalStateMachine&) = delete;

    // current = state[index]; an index past the last state does nothing.
    void SetState(std::uint32_t index);
    // The current state's code to the observer, when the notify switch is on.
    void NotifyObserver();
    void EnableNotify() { m_notify = 1; }
    void DisableNotify() { m_notify = 0; }

    // 0 while no state exists.
    std::uint32_t GetStateCode() const;
    // kStateCount while no state exists.
    std::uint32_t GetStateIndex() const;

    // ---- events ----
    void OnRenAsserted(std::uint32_t argument);
    void OnRenReleased();
    void OnRemote(std::uint32_t argument);
    void OnReturnToLocal();
    void OnLocalLockout(std::uint32_t argument);
    void OnGoToLocal();

private:
    CRemoteLocalStateMachineObserver* m_observer;
    CRemoteLocalState* m_current = nullptr;
    CRemoteLocalState* m_states[kStateCount] = {};
    std::uint8_t m_notify = 0;
};

} // namespace Korvex
