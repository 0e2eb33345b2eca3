// Base of every long-lived thread object: owns a kernel thread created suspended, its
// stack block and a "started" semaphore, and runs the subclass's ThreadMain.
#pragma once

#include <cstddef>
#include <memory>

#include "platform/kernel/Kernel.h"

namespace Korvex {

class CThread {
public:
    CThread(int priority, const char* name, std::size_t stackSize);
    virtual ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // Start handshake: resumes the thread, then waits until it has begun to run
    // (not for any work of ThreadMain).
    void Start();

    kernel::handle_t GetHandle() const { return handle; }

protected:
    virtual void ThreadMain() = 0;

private:
    static void ThreadEntry(kernel::addrword_t data);

    std::unique_ptr<unsigned char[]> stack;
    kernel::handle_t handle;
    kernel::Semaphore started;
};

}  // namespace Korvex
