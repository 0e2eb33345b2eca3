#include "Host/main/KeepAliveThread.h"

#include <atomic>

#include "board/bootmon.h"

namespace Korvex {

namespace {

std::atomic<bool> keepAliveStarted{false};

// After the power unit (priority 102), which sets up the boot-monitor link. Never destroyed.
struct KeepAliveUnit {
    KeepAliveUnit() : thread(new CKeepAliveThread) {}
    CKeepAliveThread* thread;
};
KeepAliveUnit keepAliveUnit __attribute__((init_priority(103)));

}  // namespace

void KorvexKeepAlive() { bootmon_keep_alive(); }

CKeepAliveThread::CKeepAliveThread() : CThread(Priority, "KeepAlive Thread", StackSize) {}

CKeepAliveThread& CKeepAliveThread::Instance() { return *keepAliveUnit.thread; }

void CKeepAliveThread::StartKeepAlive() {
    if (!keepAliveStarted.exchange(true)) Instance().Start();
}

void CKeepAliveThread::ThreadMain() {
    for (;;) {
        KorvexKeepAlive();
        kernel::thread_delay(PeriodTicks);
    }
}

}  // namespace Korvex
