// The keep-alive thread ("KeepAlive Thread", priority 5): feeds the boot monitor's watchdog
// every 3000 ticks (30 s); the watchdog resets the board about 39 s after the last feed, so a
// board whose keep-alive stops is reset.
//
// The one thread object is built by a static constructor right after the power unit's and
// lives until the process ends.
#pragma once

#include <cstddef>

#include "Host/parameters/Thread.h"
#include "platform/kernel/Kernel.h"

namespace Korvex {

// One keep-alive to the boot monitor (the watchdog reloaded first).
void KorvexKeepAlive();

class CKeepAliveThread : public CThread {
public:
    static constexpr int Priority = 5;
    static constexpr std::size_t StackSize = 8192;
    static constexpr kernel::tick_t PeriodTicks = 3000;

    // A keep-alive thread, created suspended (tests make their own; the instrument has one).
    CKeepAliveThread();

    // Starts the instrument's keep-alive thread and waits until it runs (once).
    static void StartKeepAlive();
    static CKeepAliveThread& Instance();

protected:
    void ThreadMain() override;
};

}  // namespace Korvex
