#include "Host/parameters/Thread.h"

namespace Korvex {

CThread::CThread(int priority, const char* name, std::size_t stackSize)
    : stack(new unsigned char[stackSize]), handle(0) {
    kernel::semaphore_init(&started, 0);
    handle = kernel::thread_create(priority, &CThread::ThreadEntry,
                                   reinterpret_cast<kernel::addrword_t>(this), name, stackSize);
}

CThread::~CThread() {
    kernel::thread_delete(handle);
    stack.reset();
    kernel::semaphore_destroy(&started);
}

void CThread::Start() {
    if (handle == 0) return;  // the kernel could not create the thread: nothing will post
    kernel::thread_resume(handle);
    kernel::semaphore_wait(&started);
}

void CThread::ThreadEntry(kernel::addrword_t data) {
    auto* self = reinterpret_cast<CThread*>(data);
    kernel::semaphore_post(&self->started);
    self->ThreadMain();
    kernel::thread_exit();
}

}  // namespace Korvex
