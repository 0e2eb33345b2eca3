// The five states of the remote/local machine. Each event of the base does nothing; a
// state overrides the events it acts on (the table is in RemoteLocalStateMachine.h).
#pragma once

#include <cstdint>

namespace Korvex {

class CRemoteLocalStateMachine;

class CRemoteLocalState {
public:
    explicit CRemoteLocalState(CRemoteLocalStateMachine* machine) : m_machine(machine) {}
    virtual ~CRemoteLocalState() = default;
    CRemoteLocalState(const CRemoteLocalState&) = delete;
    CRemoteLocalState& operator=(const CRemoteLocalState&) = delete;

    virtual void OnRenAsserted(std::uint32_t /*argument*/) {}
    virtual void OnRenReleased() {}
    virtual void OnRemote(std::uint32_t /*argument*/) {}
    virtual void OnReturnToLocal() {}
    virtual void OnLocalLockout(std::uint32_t /*argument*/) {}
    virtual void OnGoToLocal() {}
    virtual std::uint32_t GetStateCode() const = 0;

protected:
    // Moves the machine to the state of index; notify: then tells its observer.
    void Change(std::uint32_t index, bool notify);

    CRemoteLocalStateMachine* m_machine;
};

class CLocalState : public CRemoteLocalState {
public:
    using CRemoteLocalState::CRemoteLocalState;
    void OnRenAsserted(std::uint32_t argument) override;
    std::uint32_t GetStateCode() const override { return 0; }
};

class CLocalWithRenState : public CRemoteLocalState {
public:
    using CRemoteLocalState::CRemoteLocalState;
    void OnRenReleased() override;
    void OnRemote(std::uint32_t argument) override;
    void OnLocalLockout(std::uint32_t argument) override;
    std::uint32_t GetStateCode() const override { return 0; }
};

class CLocalWithLockoutState : public CRemoteLocalState {
public:
    using CRemoteLocalState::CRemoteLocalState;
    void OnRenReleased() override;
    void OnRemote(std::uint32_t argument) override;
    std::uint32_t GetStateCode() const override { return 2; }
};

class CRemoteState : public CRemoteLocalState {
public:
    using CRemoteLocalState::CRemoteLocalState;
    void OnRenReleased() override;
    void OnReturnToLocal() override;
    void OnLocalLockout(std::uint32_t argument) override;
    void OnGoToLocal() override;
    std::uint32_t GetStateCode() const override { return 1; }
};

class CRemoteWithLockoutState : public CRemoteLocalState {
public:
    using CRemoteLocalState::CRemoteLocalState;
    void OnRenReleased() override;
    void OnGoToLocal() override;
    std::uint32_t GetStateCode() const override { return 3; }
};

} // namespace Korvex
