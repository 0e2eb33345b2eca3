#include "Host/main/KorvexNetworkThread.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "Host/main/KorvexNetwork.h"
#include "Host/parameters/Thread.h"

namespace Korvex {

namespace {

class CNetworkThread : public CThread {
public:
    static constexpr int ThreadPriority = 15;
    // A run (DHCP or link-local, then the VXI-11 module and the name service started by
    // its subscribers) was measured at 6.3 KB deep on a 64-bit host.
    static constexpr std::size_t ThreadStackSize = 10000;

    CNetworkThread() : CThread(ThreadPriority, "Korvex network thread", ThreadStackSize)
    {
        kernel::semaphore_init(&wake, 0);
    }

    void Request()
    {
        {
            std::lock_guard<std::mutex> hold(mutex);
            requested = true;
            if (busy) return;  // the running pass looks again before it ends
            busy = true;
        }
        kernel::semaphore_post(&wake);
    }

    bool WaitIdle(int timeoutMs)
    {
        std::unique_lock<std::mutex> hold(mutex);
        return idle.wait_for(hold, std::chrono::milliseconds(timeoutMs), [this] { return !busy; });
    }

protected:
    void ThreadMain() override
    {
        for (;;) {
            kernel::semaphore_wait(&wake);
            for (;;) {
                {
                    std::lock_guard<std::mutex> hold(mutex);
                    if (!requested) {
                        busy = false;
                        idle.notify_all();
                        break;
                    }
                    requested = false;
                }
                Configure();
            }
        }
    }

private:
    static void Configure() { KorvexNetworkRun(); }

    kernel::Semaphore wake;
    std::mutex mutex;
    std::condition_variable idle;
    bool requested = false;
    bool busy = false;
};

// Made on first use and kept for the life of the process.
CNetworkThread& NetworkThread()
{
    static CNetworkThread* thread = [] {
        auto* t = new CNetworkThread;
        t->Start();
        return t;
    }();
    return *thread;
}

}  // namespace

void KorvexStartNetworkThread() { NetworkThread().Request(); }

bool KorvexWaitNetworkIdle(int timeoutMs) { return NetworkThread().WaitIdle(timeoutMs); }

}  // namespace Korvex
