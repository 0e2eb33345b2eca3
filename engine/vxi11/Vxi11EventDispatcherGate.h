// Keeps a running VXI-11 procedure and the engine's work on the interface's session apart.
//
// The engine side is a level: EnterFromEngine sets it (repeating it changes nothing) and
// LeaveFromEngine clears it, whoever set it. EnterFromEngine on the thread of the procedure
// that is inside (a delivery into the session from within the procedure) returns at once;
// from any other thread it returns once no procedure is inside. A procedure enters only
// while the level is clear and no other procedure is inside; its wait is bounded by its
// time-out and ended by an abort of its lid or by closing the gate.
//
// The gate is closed until Open; Open leaves the engine level set (the engine clears it when
// it is ready). Closing wakes every waiter.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "engine/os/OSMutex.h"
#include "platform/kernel/WakeSemaphore.h"

class CVxi11EventDispatcherGate {
public:
    CVxi11EventDispatcherGate();
    virtual ~CVxi11EventDispatcherGate();
    CVxi11EventDispatcherGate(const CVxi11EventDispatcherGate&) = delete;
    CVxi11EventDispatcherGate& operator=(const CVxi11EventDispatcherGate&) = delete;

    std::uint8_t InitFailed() const { return m_initFailed; }

    // A procedure of lid enters, waiting at most timeoutMs (0 polls; COSEvent::kWaitForever
    // waits without limit; else in 10-ms ticks, at least one). Status 0: inside; 0x54324:
    // timed out; 0x54396: closed or aborted.
    void Enter(std::uint32_t lid, std::uint32_t timeoutMs, std::uint32_t* status);
    // The procedure leaves.
    void Leave();
    // Engine side (the interface's HoldTransport / ReleaseTransport). Nothing while closed.
    void EnterFromEngine();
    void LeaveFromEngine();
    // Ends the wait of a procedure of lid in Enter.
    void AbortWaiter(std::uint32_t lid);
    void Open();
    void Close();

    // For checks.
    bool IsHeld();
    bool IsEngineInside();
    std::uint32_t WaitingLid();

private:
    void Lock();
    void Unlock() { m_mutex.Unlock(); }

    COSMutex m_mutex;
    pthread_cond_t m_changed;         // procedures waiting in Enter
    kernel::WakeSemaphore m_engineMayEnter;  // the engine asleep in EnterFromEngine
    std::uint32_t m_procedureWaiters = 0;
    std::uint32_t m_engineWaiters = 0;
    std::uint8_t m_initFailed = 1;
    std::uint32_t m_waitingLid = 0;
    pthread_t m_holderThread{};
    std::uint8_t m_abort = 0;
    std::uint8_t m_closed = 1;
    std::uint8_t m_engineInside = 1;  // the engine level
    std::atomic<std::uint8_t> m_held{0};  // a procedure is inside (set under the mutex)
};
