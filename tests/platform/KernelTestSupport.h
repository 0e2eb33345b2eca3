// Helpers for tests that run code on kernel threads of the simulated board.
#pragma once

#include <chrono>
#include <functional>
#include <thread>
#include <utility>

#include "platform/kernel/Kernel.h"

namespace kernel {
namespace test {

// A kernel thread running a test body; created suspended like every kernel thread. The test
// resumes it and deletes it.
struct TestThread {
    explicit TestThread(std::function<void()> b, const char* name = "test", int priority = 10,
                        std::size_t stack = 8192)
        : body(std::move(b)) {
        handle = thread_create(priority, &TestThread::Entry, reinterpret_cast<addrword_t>(this),
                               name, stack);
    }
    static void Entry(addrword_t data) { reinterpret_cast<TestThread*>(data)->body(); }
    std::function<void()> body;
    handle_t handle = 0;
};

// Polls condition for up to 10 s.
inline bool WaitUntil(const std::function<bool()>& condition) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Until the thread is blocked in a kernel wait.
inline bool WaitBlocked(handle_t h) {
    return WaitUntil([h] { return thread_info(h).waiting; });
}

inline bool WaitExited(handle_t h) {
    return WaitUntil([h] { return thread_info(h).exited; });
}

}  // namespace test
}  // namespace kernel
