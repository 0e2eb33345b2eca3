#include "Host/main/KorvexPower.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace Korvex {

namespace {

struct PowerEvents {
    std::mutex mutex;
    std::condition_variable posted;
    unsigned count = 0;
    std::uint32_t reason = 0;
};

PowerEvents& Events() {
    static PowerEvents* events = new PowerEvents;  // used until the process ends
    return *events;
}

}  // namespace

void CKorvexPower::RequestShutdown(std::uint32_t reason) {
    PowerEvents& events = Events();
    {
        std::lock_guard<std::mutex> hold(events.mutex);
        events.reason = reason;
        ++events.count;
    }
    events.posted.notify_all();
}

void CKorvexPower::RequestRestart() { RequestShutdown(eRestartSaving); }

bool CKorvexPower::WaitForPowerEvent(std::uint32_t& reason, int timeoutMs) {
    PowerEvents& events = Events();
    std::unique_lock<std::mutex> hold(events.mutex);
    auto posted = [&events] { return events.count > 0; };
    if (timeoutMs < 0) {
        events.posted.wait(hold, posted);
    } else if (!events.posted.wait_for(hold, std::chrono::milliseconds(timeoutMs), posted)) {
        return false;
    }
    // Every request made so far is answered by this one event: the latest reason wins.
    events.count = 0;
    reason = events.reason;
    return true;
}

}  // namespace Korvex
