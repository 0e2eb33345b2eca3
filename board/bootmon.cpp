#include "board/bootmon.h"

#include <atomic>
#include <cstdlib>

#include "platform/bootmon/BootMonitor.h"
#include "platform/soc/SocBus.h"
#include "platform/soc/Watchdog.h"

namespace {

namespace bm = platform::bootmon;
namespace soc = platform::soc;

std::atomic<bm::ServiceEntry> serviceEntry{nullptr};
std::atomic<bool> atexitRegistered{false};

int call(std::uint32_t operation, std::uintptr_t arg) {
    bm::ServiceEntry entry = serviceEntry.load();
    if (!entry) return 0;
    entry(operation, arg);
    return 1;
}

}  // namespace

void bootmon_link_init() {
    soc::write32(bm::kHandshakeCell, bm::kHandshake);
    serviceEntry.store(bm::entry_at(soc::read32(bm::kEntryCell)));
    if (!atexitRegistered.exchange(true)) std::atexit(&bootmon_atexit_handler);
    watchdog_reset();
    watchdog_start();
}

int bootmon_keep_alive() {
    watchdog_reset();
    return call(bm::OpKeepAlive, 0);
}

int bootmon_reset() { return call(bm::OpReset, 0); }

int bootmon_enter_update_mode() { return call(bm::OpEnterUpdateMode, 0); }

int bootmon_get_boot_condition(std::uint32_t* condition) {
    return call(bm::OpGetBootCondition, reinterpret_cast<std::uintptr_t>(condition));
}

void bootmon_atexit_handler() { call(bm::OpEnterUpdateMode, 0); }

void watchdog_reset() { soc::write16(soc::WTCNT, kWatchdogReload); }

void watchdog_start() {
    soc::write16(soc::WTCON, kWatchdogControl);
    soc::write16(soc::WTDAT, kWatchdogReload);
    soc::write16(soc::WTCNT, kWatchdogReload);
}
