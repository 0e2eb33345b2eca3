// A node subscriber that holds the thread that changed the node until the test opens the gate.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "Host/parameters/ParameterNode.h"

namespace Korvex::test {

struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool entered = false;
    bool open = false;

    static void Hold(CParameterNode*, int event, void* user)
    {
        if (event != 0) return;
        auto* g = static_cast<Gate*>(user);
        std::unique_lock<std::mutex> lock(g->m);
        g->entered = true;
        g->cv.notify_all();
        g->cv.wait(lock, [g] { return g->open; });
    }
    bool WaitEntered()
    {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, std::chrono::seconds(5), [this] { return entered; });
    }
    void Open()
    {
        std::lock_guard<std::mutex> lock(m);
        open = true;
        cv.notify_all();
    }
};

}  // namespace Korvex::test
