#include "engine/os/OSThread.h"

namespace {

// The thread object whose body runs on this thread.
thread_local const COSThread* currentThreadObject = nullptr;

}  // namespace

COSThread::COSThread()
    : state(0),
      priority(kDefaultPriority),
      startReported(false),
      threadCreated(false),
      thread(),
      startEvent(0, 1),
      objectMutex() {}

COSThread::~COSThread() {
    if (threadCreated.load()) {
        pthread_join(thread, nullptr);
    }
}

void COSThread::Start(std::uint32_t newPriority, std::uint32_t* status) {
    if (threadCreated.load() || startEvent.InitFailed() != 0 || objectMutex.InitFailed() != 0) {
        *status = 8;
        return;
    }
    priority.store(newPriority);
    startReported.store(false);
    if (pthread_create(&thread, nullptr, &COSThread::ThreadEntry, this) != 0) {
        *status = 8;
        return;
    }
    threadCreated.store(true);
    std::uint32_t waitStatus = 0;
    startEvent.Wait(COSEvent::kWaitForever, &waitStatus);
    *status = (waitStatus == 0 && startReported.load()) ? 0 : 8;
}

void COSThread::Stop(std::uint32_t* status) {
    if (IsCurrentThread()) {
        *status = 8;
        return;
    }
    objectMutex.Lock(status);
    if (*status != 0) {
        return;
    }
    objectMutex.Unlock();
}

bool COSThread::IsCurrentThread() const {
    return currentThreadObject == this;
}

void COSThread::NotifyStarted() {
    startReported.store(state.load() == 1);
    startEvent.Post();
}

void* COSThread::ThreadEntry(void* object) {
    COSThread* self = static_cast<COSThread*>(object);
    currentThreadObject = self;
    pthread_setname_np(pthread_self(), kThreadName);
    std::uint32_t status = 0;
    self->objectMutex.Lock(&status);
    self->Run();
    // A body that returned without reporting its start must not leave Start waiting.
    self->startEvent.Post();
    if (status == 0) {
        self->objectMutex.Unlock();
    }
    return nullptr;
}
