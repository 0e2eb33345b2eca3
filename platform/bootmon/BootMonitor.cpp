#include "platform/bootmon/BootMonitor.h"

#include <mutex>

#include "platform/fs/FileSystem.h"
#include "platform/soc/BoardActions.h"
#include "platform/soc/SocBus.h"

namespace platform {
namespace bootmon {

namespace {

// The entry reached through the SDRAM cell: nothing happens before the handshake.
void linkedEntry(std::uint32_t operation, std::uintptr_t arg) {
    if (soc::read32(kHandshakeCell) != kHandshake) return;
    service_entry(operation, arg);
}

// Stands for the ROM file-system image in flash; its address names the mount device.
const char romfsImage[] = "romfs image";

struct State {
    std::mutex lock;
    Record record{};
    std::uint32_t bootCondition = 0;
    bool romfsMissing = false;
};

State& S() {
    static State* s = new State;
    return *s;
}

}  // namespace

int get_stored_block(std::uint32_t number, StoredBlock* out) {
    if (!out) return -1;
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    if (number != RomfsBlock || s.romfsMissing) {
        *out = StoredBlock{false, nullptr};
        return 0;
    }
    fs::register_romfs_image(romfsImage);
    *out = StoredBlock{true, romfsImage};
    return 0;
}

void service_entry(std::uint32_t operation, std::uintptr_t arg) {
    State& s = S();
    std::unique_lock<std::mutex> g(s.lock);
    switch (operation) {
        case OpKeepAlive:
            ++s.record.keepAlives;
            break;
        case OpReset:
            ++s.record.resets;
            g.unlock();
            soc::board_action(soc::BoardAction::Reset);
            break;
        case OpEnterUpdateMode:
            ++s.record.updateModeRequests;
            g.unlock();
            soc::board_action(soc::BoardAction::FirmwareUpdateMode);
            break;
        case OpGetBootCondition:
            if (arg) *reinterpret_cast<std::uint32_t*>(arg) = s.bootCondition;
            break;
        default:
            break;
    }
}

Record record() {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    return s.record;
}

ServiceEntry entry_at(std::uint32_t token) {
    return token == kEntryToken ? &linkedEntry : nullptr;
}

void place_entry(bool present) {
    soc::write32(kHandshakeCell, 0);
    soc::write32(kEntryCell, present ? kEntryToken : 0);
}

std::uint32_t boot_condition() {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    return s.bootCondition;
}

void set_boot_condition(std::uint32_t condition) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    s.bootCondition = condition;
}

void set_romfs_block_missing(bool missing) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    s.romfsMissing = missing;
}

void clear_record() {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    s.record = Record{};
}

}  // namespace bootmon
}  // namespace platform
