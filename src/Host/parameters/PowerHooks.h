// The two power services the settings code needs before the power subsystem exists: the
// fatal-error exit and the restart request. Each forwards to a handler that the power
// subsystem installs at start-up.
#pragma once

namespace Korvex {

using PanicHandler = void (*)();
using RestartHandler = void (*)();

// The fatal-error exit; never returns. Without an installed handler it logs, writes the log
// ring to "/yaffs/user/DebugLog.txt", unmounts the file systems, asks the boot monitor for
// firmware-update mode and suspends the calling thread.
[[noreturn]] void KorvexPanic();
// Installs the fatal handler (null: the built-in steps); returns the previous one.
PanicHandler SetPanicHandler(PanicHandler handler);

// Asks for a restart that keeps the settings. Without an installed handler only counted.
void KorvexRequestRestart();
RestartHandler SetRestartHandler(RestartHandler handler);
unsigned RestartRequestCount();

}  // namespace Korvex
