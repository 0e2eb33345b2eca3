// The resident boot monitor of the simulated board: the boot ROM's stored-block lookup
// (block 2 is the ROM file-system image) and the service entry (keep-alive, reset,
// firmware-update mode, boot condition). Every request is recorded for tests and the runner;
// reset and firmware-update mode go to the board-action sink.
//
// The service link sits in SDRAM: the firmware writes the handshake word to
// kHandshakeCell; the boot monitor leaves a non-zero entry token in kEntryCell (0 when there
// is no entry). A 32-bit cell cannot hold a host pointer, so the firmware turns the token into
// the callable entry with entry_at(). That entry honours operations only once the handshake
// word is in its cell.
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

constexpr std::uint32_t kHandshakeCell = 0x30000140;
constexpr std::uint32_t kEntryCell = 0x30000144;
constexpr std::uint32_t kHandshake = 0x00444655;
constexpr std::uint32_t kEntryToken = 0x00000F40;  // the entry's address in flash

using ServiceEntry = void (*)(std::uint32_t operation, std::uintptr_t arg);
// The entry the token stands for; nullptr for 0 or an unknown token.
ServiceEntry entry_at(std::uint32_t token);

struct Record {
    std::uint32_t keepAlives;
    std::uint32_t resets;
    std::uint32_t updateModeRequests;
};
Record record();

// ---- board set-up and test control ----
// Puts the entry token (or 0) into its cell and clears the handshake cell, as the boot
// monitor does before it starts the firmware.
void place_entry(bool present);
void set_boot_condition(std::uint32_t condition);
std::uint32_t boot_condition();
void set_romfs_block_missing(bool missing);
void clear_record();

}  // namespace bootmon
}  // namespace platform
