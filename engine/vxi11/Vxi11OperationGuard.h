// Built on the stack of every link procedure: queues the operation, proves that no other link
// holds the device lock, waits for the operation's turn and enters the dispatcher gate; its
// destruction leaves the gate and ends the operation. It also keeps the procedure's remaining
// io time-out, measured on the monotonic clock.
#pragma once

#include <cstdint>
#include <functional>

class CVxi11LinkInterface;
class CVxi11OperationQueue;
class CVxi11EventDispatcherGate;

class CVxi11OperationGuard {
public:
    // Status 0 when the procedure may run; else the failure of the step that ended the
    // construction (0x54315 when another link holds the lock, 0x54303 when the interface is
    // not open, or the queue's and the gate's statuses). lockPassed, when given, is called
    // once the lock step has passed, before the wait for the turn.
    CVxi11OperationGuard(CVxi11LinkInterface& physicalInterface, std::uint32_t lid,
                         CVxi11OperationQueue& queue, bool waitLock, std::uint32_t lockTimeout,
                         std::uint32_t ioTimeout, CVxi11EventDispatcherGate& dispatcherGate,
                         std::uint32_t* status,
                         const std::function<void()>& lockPassed = nullptr);
    // The guard of the drop of a departed link's message. It takes no lock step (another
    // link's lock does not keep it out) and waits at most turnTimeout for its turn ahead of
    // every waiting operation (CVxi11OperationQueue::WaitTurnAheadOfWaiters), aborting no one;
    // its io time-out, ioTimeout, starts once it has the turn.
    static CVxi11OperationGuard ForDrop(CVxi11LinkInterface& physicalInterface, std::uint32_t lid,
                                        CVxi11OperationQueue& queue, std::uint32_t turnTimeout,
                                        std::uint32_t ioTimeout,
                                        CVxi11EventDispatcherGate& dispatcherGate,
                                        std::uint32_t* status);
    ~CVxi11OperationGuard();
    CVxi11OperationGuard(const CVxi11OperationGuard&) = delete;
    CVxi11OperationGuard& operator=(const CVxi11OperationGuard&) = delete;

    // Takes the ms elapsed since the last call (or the start) off the remaining time-out,
    // not below 0 (0 and "forever" stay), and restarts the clock. Returns the remaining ms.
    std::uint32_t ConsumeElapsed();
    std::uint32_t RemainingMs() const { return m_remaining; }
    bool HoldsGate() const { return m_gateHeld != 0; }

    // Leaves the dispatcher gate when held.
    void LeaveGate();
    // Enters the dispatcher gate within the remaining time-out.
    void EnterGate(std::uint32_t* status);

private:
    struct DropTag {};
    CVxi11OperationGuard(DropTag, CVxi11LinkInterface& physicalInterface, std::uint32_t lid,
                         CVxi11OperationQueue& queue, std::uint32_t turnTimeout,
                         std::uint32_t ioTimeout, CVxi11EventDispatcherGate& dispatcherGate,
                         std::uint32_t* status);
    // The end of both constructions: the interface must be open, then the gate is entered.
    void Enter(CVxi11LinkInterface& physicalInterface, std::uint32_t* status);

    std::uint32_t m_lid;
    CVxi11OperationQueue* m_queue;
    CVxi11EventDispatcherGate* m_gate;
    std::uint32_t m_remaining = 0;
    std::int64_t m_start = 0;
    std::uint8_t m_queued = 0;
    std::uint8_t m_gateHeld = 0;
};
