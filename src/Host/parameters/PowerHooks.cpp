#include "Host/parameters/PowerHooks.h"

#include <atomic>

#include "Host/main/KorvexPower.h"
#include "platform/kernel/Kernel.h"

namespace Korvex {

namespace {

std::atomic<PanicHandler> panicHandler{nullptr};
std::atomic<RestartHandler> restartHandler{nullptr};
std::atomic<unsigned> restartRequests{0};

}  // namespace

void KorvexPanic() {
    PanicHandler handler = panicHandler.load();
    if (handler)
        handler();
    else
        CKorvexPower::Panic();
    // The instrument stops here: the boot monitor takes over.
    for (;;) kernel::thread_suspend(kernel::thread_self());
}

PanicHandler SetPanicHandler(PanicHandler handler) { return panicHandler.exchange(handler); }

void KorvexRequestRestart() {
    ++restartRequests;
    RestartHandler handler = restartHandler.load();
    if (handler)
        handler();
    else
        CKorvexPower::RequestRestart();
}

RestartHandler SetRestartHandler(RestartHandler handler) {
    return restartHandler.exchange(handler);
}

unsigned RestartRequestCount() { return restartRequests.load(); }

}  // namespace Korvex
