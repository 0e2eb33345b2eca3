// The resident boot monitor of the simulated board: the boot ROM's stored-block lookup
// (block 2 is the ROM file-system image) and the service entry (keep-alive, reset,
// firmware-update mode, boot condition). Every request is recorded for tests and the runner.
#pragma once

#include <cstdint>

namespace platform {
namespace bootmon {

constexpr std::uint32_t RomfsBlock = 2;

struct StoredBlock {
    bool present;
    const void* address;
};
// 0 on success (out filled), else non-zero.
int get_stored_block(std::uint32_t number, StoredBlock* out);

enum Operation : std::uint32_t {
    OpKeepAlive = 0,
    OpReset = 1,
    OpEnterUpdateMode = 2,
    OpGetBootCondition = 3,
};
// The service entry: arg is the address of a u32 for OpGetBootCondition, else 0.
void service_entry(std::uint32_t operation, std::uintptr_t arg);

struct Record {
    std::uint32_t keepAlives;
    std::uint32_t resets;
    std::uint32_t updateModeRequests;
};
Record record();

// ---- board set-up and test control ----
void set_boot_condition(std::uint32_t condition);
void set_romfs_block_missing(bool missing);
void clear_record();

}  // namespace bootmon
}  // namespace platform
