// Engine thread base. A subclass supplies the run body (Run), which begins with
// SetState(1); NotifyStarted(); and then does its work. The run body executes with the
// object mutex held, so Stop (from another thread) returns once the body has returned.
//
// Start creates the pthread (named "ZO-Zevodo"; the priority is only stored) and waits until
// the body has posted the start event: status 0 when the state was 1 at NotifyStarted,
// else 8. If the body returns without NotifyStarted, the thread posts the start event itself
// and Start reports 8. The owner stops the body (Stop) before destroying the subclass; the
// destructor joins the thread (so it must not run on the thread itself).
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "engine/os/OSEvent.h"
#include "engine/os/OSMutex.h"

class COSThread {
public:
    static constexpr const char* kThreadName = "ZO-Zevodo";
    static constexpr std::uint32_t kDefaultPriority = 15;

    COSThread();
    virtual ~COSThread();
    COSThread(const COSThread&) = delete;
    COSThread& operator=(const COSThread&) = delete;

    // Status 0: the thread runs its body; 8: it could not be created, has been started
    // before, or did not report state 1.
    virtual void Start(std::uint32_t priority, std::uint32_t* status);
    // Waits until the run body has returned (status 0). On the thread itself: status 8, no wait.
    virtual void Stop(std::uint32_t* status);

    std::uint32_t GetState() const { return state.load(); }
    void SetState(std::uint32_t value) { state.store(value); }
    std::uint32_t GetPriority() const { return priority.load(); }
    // True when called on this object's thread.
    bool IsCurrentThread() const;
    static pthread_t CurrentThread() { return pthread_self(); }

protected:
    // The run body.
    virtual void Run() = 0;
    // Posts the start event (the body calls it right after SetState(1)).
    void NotifyStarted();

private:
    static void* ThreadEntry(void* object);

    std::atomic<std::uint32_t> state;
    std::atomic<std::uint32_t> priority;
    std::atomic<bool> startReported;
    std::atomic<bool> threadCreated;
    pthread_t thread;
    COSEvent startEvent;
    COSMutex objectMutex;
};
