// One procedure of an interface waits here for one engine event: 1 device clear done, 2 input
// buffer posted, 3 response buffer posted, 4 status byte ready. While it waits it is out of
// the dispatcher gate, so the engine can act; it enters again before it returns successfully.
#pragma once

#include <cstdint>
#include <functional>

#include "engine/os/OSEvent.h"
#include "engine/os/OSMutex.h"

class CVxi11OperationGuard;

class CVxi11EventGate {
public:
    enum : std::uint32_t {
        kClearDone = 1,
        kInputPosted = 2,
        kResponsePosted = 3,
        kStatusByteReady = 4,
    };

    CVxi11EventGate() = default;
    ~CVxi11EventGate() = default;
    CVxi11EventGate(const CVxi11EventGate&) = delete;
    CVxi11EventGate& operator=(const CVxi11EventGate&) = delete;

    std::uint8_t InitFailed() const { return m_mutex.InitFailed() | m_event.InitFailed(); }

    // Wakes the waiter when it waits for event; true when it did.
    bool RaiseEvent(std::uint32_t event);
    // Waits for event within the guard's remaining io time-out. Status 0; 0x54324 when the
    // time ran out; 0x54396 when cancelled or disabled; or the failure of entering the
    // dispatcher gate again.
    // abortPending, when given, is asked once the wait is registered, so that an abort that
    // came between two waits of the procedure still ends the next one; lookAgain likewise,
    // still inside the dispatcher gate, for what came for the procedure meanwhile: the wait
    // then ends at once with status 0.
    void WaitEvent(std::uint32_t lid, std::uint32_t event, CVxi11OperationGuard& guard,
                   std::uint32_t* status, const std::function<bool()>& abortPending = nullptr,
                   const std::function<bool()>& lookAgain = nullptr);
    // Ends a wait for a posted input or response buffer early with status 0, so that the
    // waiting procedure looks again at what it waits for (its lookAgain covers a wait not
    // registered yet).
    void WakeBufferWait();
    // Ends lid's wait with 0x54396.
    void Cancel(std::uint32_t lid);
    // Clears the fields and takes a pending post away.
    void Enable();
    // Wakes a waiter (it reports 0x54396).
    void Disable();

    // The lid waiting (0: none); for checks.
    std::uint32_t WaitingLid();

private:
    COSMutex m_mutex;
    COSEvent m_event{0, 1};
    std::uint32_t m_waitingLid = 0;
    std::uint32_t m_awaitedEvent = 0;
    std::uint8_t m_enabled = 0;
    std::uint8_t m_raised = 0;
    std::uint8_t m_cancelled = 0;
};
