// The two power services the settings code needs: the fatal-error exit and the restart
// request. Each goes to power management (CKorvexPower), or to a handler a test installs.
#pragma once

namespace Korvex {

using PanicHandler = void (*)();
using RestartHandler = void (*)();

// The fatal-error exit; never returns. Without an installed handler CKorvexPower::Panic:
// the log ring saved to "/yaffs/user/DebugLog.txt", the file systems unmounted,
// firmware-update mode asked of the boot monitor, the calling thread suspended.
[[noreturn]] void KorvexPanic();
// Installs the fatal handler (null: the built-in steps); returns the previous one.
PanicHandler SetPanicHandler(PanicHandler handler);

// Asks for a restart that keeps the settings (counted): the installed handler, else
// CKorvexPower::RequestRestart.
void KorvexRequestRestart();
RestartHandler SetRestartHandler(RestartHandler handler);
unsigned RestartRequestCount();

}  // namespace Korvex
