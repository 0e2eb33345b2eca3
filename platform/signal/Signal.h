// Signal table of the board's C library: one handler per signal number, guarded by the
// library's signal lock. The default action of a signal prints its number and ends the
// program; an ignored signal does nothing.
#pragma once

namespace platform::signal {

constexpr int kSigBus = 10;
constexpr int kSignalCount = 32;

using handler_t = void (*)(int signal);

// The two special handlers.
void default_action(int signal);
void ignore(int signal);

// The library's signal lock; false when it cannot be taken.
bool signals_lock();
void signals_unlock();

// Sets the handler of a signal (null = default action) and returns the previous one (null
// for the default action); an out-of-range signal changes nothing and returns null. The
// caller holds the signal lock.
handler_t set_handler_locked(int signal, handler_t handler);
// The same, taking the lock itself.
handler_t set_handler(int signal, handler_t handler);
handler_t handler(int signal);

// Delivers the signal on the calling thread: its handler, or the default action.
void raise(int signal);

}  // namespace platform::signal
