// The four synchronisation objects of one VXI-11 interface, made and opened as the interface
// does it, and a helper that runs a procedure on its own thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "engine/vxi11/Vxi11DeviceLock.h"
#include "engine/vxi11/Vxi11EventDispatcherGate.h"
#include "engine/vxi11/Vxi11EventGate.h"
#include "engine/vxi11/Vxi11LinkInterface.h"
#include "engine/vxi11/Vxi11OperationGuard.h"
#include "engine/vxi11/Vxi11OperationQueue.h"

class GateHarness : public CVxi11LinkInterface {
public:
    GateHarness() : queue(&deviceLock, &eventGate, &dispatcherGate) {}
    ~GateHarness() override { Close(); }

    // As the interface opens: queue, lock and event gate enabled, dispatcher gate open; then
    // the engine clears its level (the session's open ends with a release).
    void Open(bool releaseEngine = true)
    {
        queue.Enable();
        deviceLock.Enable();
        eventGate.Enable();
        dispatcherGate.Open();
        open = 1;
        if (releaseEngine) {
            dispatcherGate.LeaveFromEngine();
        }
    }
    void Close()
    {
        open = 0;
        dispatcherGate.Close();
        eventGate.Disable();
        deviceLock.Disable();
        queue.Disable();
    }

    std::uint8_t IsActive() override { return open.load(); }
    std::uint32_t Write(std::uint32_t, bool, std::uint32_t, bool, std::uint32_t, std::uint32_t,
                        const std::uint8_t*, std::uint32_t* status) override
    {
        *status = 0;
        return 0;
    }
    std::uint32_t Read(std::uint32_t, bool, std::uint32_t, bool, std::uint8_t, std::uint32_t,
                       std::uint32_t, std::uint8_t*, std::uint32_t*, std::uint32_t* status) override
    {
        *status = 0;
        return 0;
    }
    void ReadStatusByte(CVxi11Client*, std::uint32_t, std::uint32_t, bool, std::uint32_t,
                        std::uint32_t, std::uint32_t* status) override { *status = 0; }
    void Trigger(std::uint32_t, bool, std::uint32_t, std::uint32_t, std::uint32_t* status) override { *status = 0; }
    void Clear(std::uint32_t, bool, std::uint32_t, std::uint32_t, std::uint32_t* status) override { *status = 0; }
    void Remote(std::uint32_t, bool, std::uint32_t, std::uint32_t, std::uint32_t* status) override { *status = 0; }
    void Local(std::uint32_t, bool, std::uint32_t, std::uint32_t, std::uint32_t* status) override { *status = 0; }
    void Lock(std::uint32_t lid, bool waitLock, std::uint32_t lockTimeout, std::uint32_t* status) override
    {
        deviceLock.Acquire(lid, waitLock ? lockTimeout : 0, status);
    }
    void Unlock(std::uint32_t lid, std::uint32_t* status) override
    {
        deviceLock.Release(lid);
        *status = 0;
    }
    void Abort(std::uint32_t lid, std::uint32_t* status) override
    {
        queue.Abort(lid);
        *status = 0;
    }

    CVxi11DeviceLock deviceLock;
    CVxi11EventGate eventGate;
    CVxi11EventDispatcherGate dispatcherGate;
    CVxi11OperationQueue queue;
    std::atomic<std::uint8_t> open{0};
};

inline std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Polls until predicate holds or 30 s passed (generous for a loaded machine).
template <typename Predicate>
bool Eventually(Predicate predicate)
{
    const std::int64_t end = NowMs() + 30000;
    while (!predicate()) {
        if (NowMs() > end) {
            return false;
        }
        SleepMs(2);
    }
    return true;
}
