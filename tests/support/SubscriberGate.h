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
    int holding = 0;

    // A test that ends early (a failed ASSERT) still lets the held thread go, once it has left.
    ~Gate()
    {
        std::unique_lock<std::mutex> lock(m);
        open = true;
        cv.notify_all();
        cv.wait(lock, [this] { return holding == 0; });
    }

    static void Hold(CParameterNode*, int event, void* user)
    {
        if (event != 0) return;
        auto* g = static_cast<Gate*>(user);
        std::unique_lock<std::mutex> lock(g->m);
        g->entered = true;
        ++g->holding;
        g->cv.notify_all();
        g->cv.wait(lock, [g] { return g->open; });
        --g->holding;
        g->cv.notify_all();
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
