// Helpers shared by the parameter node and tree tests.
#pragma once

#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "Host/parameters/ParameterNode.h"
#include "platform/kernel/Kernel.h"

namespace Korvex {
namespace test {

// A detached Branch node freed (with its subtree) when the test ends.
class TestTree {
public:
    TestTree() : root(new CParameterNode(eNodeBranch, "root")) {}
    ~TestTree() { CParameterNode::Delete(root); }
    TestTree(const TestTree&) = delete;
    TestTree& operator=(const TestTree&) = delete;
    CParameterNode* const root;
};

// Records "tag:node name:event" for each call; the tag tells whose subscriber it was.
struct EventTap {
    std::vector<std::string>* log;
    std::string tag;
    static void Record(CParameterNode* node, int event, void* user) {
        auto* tap = static_cast<EventTap*>(user);
        tap->log->push_back(tap->tag + ":" + node->GetName() + ":" + std::to_string(event));
    }
};

// Runs body on another thread while this thread holds the tree lock, and breaks that
// thread's first blocking kernel wait (its wait for the tree lock) with thread_release.
// body must wait for the lock once only: a second attempt would block for ever.
// Returns once body has finished; the lock is free again on return.
inline void RunWithBrokenTreeLock(const std::function<void()>& body) {
    CRecursiveLock hold(ParameterTreeLock());
    std::promise<kernel::handle_t> started;
    std::future<kernel::handle_t> handle = started.get_future();
    std::thread other([&] {
        started.set_value(kernel::thread_self());
        body();
    });
    // Breaks the wait the thread is in, or its next one if it has not reached it yet.
    kernel::thread_release(handle.get());
    other.join();
}

}  // namespace test
}  // namespace Korvex
