#include "platform/signal/Signal.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace platform::signal {

namespace {

std::recursive_mutex& table_lock() {
    static std::recursive_mutex* lock = new std::recursive_mutex;
    return *lock;
}

std::atomic<handler_t> handlers[kSignalCount];

bool valid(int signal) { return signal > 0 && signal < kSignalCount; }

}  // namespace

void default_action(int signal) {
    std::fprintf(stderr, "signal %d: default action, program ends\n", signal);
    std::fflush(stderr);
    std::abort();
}

void ignore(int) {}

bool signals_lock() {
    table_lock().lock();
    return true;
}

void signals_unlock() { table_lock().unlock(); }

handler_t set_handler_locked(int signal, handler_t handler) {
    if (!valid(signal)) return nullptr;
    return handlers[signal].exchange(handler);
}

handler_t set_handler(int signal, handler_t handler) {
    std::lock_guard<std::recursive_mutex> g(table_lock());
    return set_handler_locked(signal, handler);
}

handler_t handler(int signal) { return valid(signal) ? handlers[signal].load() : nullptr; }

void raise(int signal) {
    const handler_t h = handler(signal);
    if (h == nullptr) {
        default_action(signal);
        return;
    }
    h(signal);
}

}  // namespace platform::signal
