// File systems of the simulated board: one emulated namespace with the read-only ROM file
// system at /romfs and the flash file system at /yaffs, each backed by a folder of the
// board's state folder (<state>/romfs, refreshed from the firmware's romfs/ source at
// init, and <state>/yaffs, which persists). Paths are normalised and never leave the
// namespace: anything not under a mounted point does not exist. The current directory is
// the board's own, not the host process's.
//
// Before init() (plain unit tests) the namespace is inactive and paths pass straight to the
// host's files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {
namespace fs {

// Mode bits reported by stat.
constexpr std::uint32_t StatDirectory = 1u << 0;
constexpr std::uint32_t StatRegular = 1u << 3;

struct Stat {
    std::uint32_t mode;
    std::uint32_t size;
};

// File-system information key 6: block usage of a mounted file system.
constexpr int InfoBlockUsage = 6;
struct BlockUsage {
    std::uint64_t total_blocks;
    std::uint64_t free_blocks;
    std::uint32_t block_size;
};

// Sets up the namespace on a state folder (created when missing). romfsSource is copied
// into <state>/romfs. Nothing is mounted yet.
void init(const std::string& stateDir, const std::string& romfsSource);
// Back to pass-through; unmounts everything and clears every fault.
void reset();
bool active();
std::string state_dir();

// The ROM file-system images the boot ROM knows: the mount device name of an image is its
// address printed with "%p".
void register_romfs_image(const void* image);

// All return 0 on success, else -1 with errno set, like their POSIX counterparts.
int mount(const char* device, const char* dir, const char* fsType);
int umount(const char* dir);
bool mounted(const char* dir);
int chdir(const char* path);
std::string getcwd();
int stat(const char* path, Stat* out);
int mkdir(const char* path, std::uint32_t mode);
int info(const char* dir, int key, void* out, std::size_t size);

struct Dir;
Dir* opendir(const char* path);
// Next entry name ("." and ".." included); false at the end.
bool readdir(Dir* dir, std::string& name);
int closedir(Dir* dir);

// Maps a namespace path to the host file that backs it. writing: the file is to be created,
// written or removed. Returns 0 or an errno value (ENOENT outside the mounted points,
// EROFS for writes under /romfs). In pass-through mode the path is returned unchanged.
int resolve(const char* path, bool writing, std::string& hostPath);

// ---- NAND flash behind /yaffs ----
struct NandPartition {
    std::uint32_t first_block;
    std::uint32_t last_block;
};
// The raw NAND device "onboard"; partition 0 backs /yaffs. false: no such device/partition.
bool nand_partition(const char* device, int partition, NandPartition* out);
int nand_erase_block(const char* device, std::uint32_t block);

// ---- test faults and observations ----
struct Faults {
    int failYaffsMounts = 0;          // the next n mounts of /yaffs fail (EIO)
    bool failYaffsRemount = false;    // mounting /yaffs after an erase fails (EIO)
    bool fullDisk = false;            // writes under /yaffs fail with ENOSPC
    long truncateAtClose = -1;        // >= 0: the next written file is cut to this size at close
    std::string damagedEntry;         // namespace path whose stat fails with EIO until erased
};
Faults& faults();
std::uint32_t erase_count();          // blocks erased since init
void set_flash_geometry(std::uint64_t blocks, std::uint32_t blockSize);

}  // namespace fs
}  // namespace platform
