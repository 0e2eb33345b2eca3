#include "Host/parameters/PowerHooks.h"

#include <atomic>

#include "Host/parameters/FileServices.h"
#include "Host/parameters/Logger.h"
#include "platform/bootmon/BootMonitor.h"
#include "platform/kernel/Kernel.h"

namespace Korvex {

namespace {

std::atomic<PanicHandler> panicHandler{nullptr};
std::atomic<RestartHandler> restartHandler{nullptr};
std::atomic<unsigned> restartRequests{0};

void DefaultPanic() {
    Logger().Printf("CKorvexPower::Panic !!!\n");
    char* log = Logger().GetContents();
    KorvexWriteTextFile("/yaffs/user/DebugLog.txt", log);
    delete[] log;
    KorvexUnmountFileSystems();
    Logger().Printf("Entering DFU mode...\n");
    platform::bootmon::service_entry(platform::bootmon::OpEnterUpdateMode, 0);
}

}  // namespace

void KorvexPanic() {
    PanicHandler handler = panicHandler.load();
    if (handler)
        handler();
    else
        DefaultPanic();
    // The instrument stops here: the boot monitor takes over.
    for (;;) kernel::thread_suspend(kernel::thread_self());
}

PanicHandler SetPanicHandler(PanicHandler handler) { return panicHandler.exchange(handler); }

void KorvexRequestRestart() {
    ++restartRequests;
    RestartHandler handler = restartHandler.load();
    if (handler) handler();
}

RestartHandler SetRestartHandler(RestartHandler handler) {
    return restartHandler.exchange(handler);
}

unsigned RestartRequestCount() { return restartRequests.load(); }

}  // namespace Korvex
