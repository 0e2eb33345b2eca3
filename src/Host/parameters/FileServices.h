// The instrument's file services over the board's file layer: mounting /romfs and /yaffs
// (with recovery of an unreadable flash), and reading, writing, removing, listing and
// measuring files. Every function returns a status and never throws.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace Korvex {

struct DirListEntry {
    std::string path;      // listed directory, "/", entry name
    std::string type;      // always empty
    std::uint32_t size;
};

// Mode for directories the settings code creates: all nine permission bits.
constexpr std::uint32_t KorvexDirectoryMode = 0777;

int KorvexMountFileSystems();                       // 0; panics on failure
int KorvexUnmountFileSystems();                     // result of the last unmount
int KorvexCheckDirectoryReadable(const std::string& path);
int KorvexGetFlashUsage(std::uint64_t& usedBytes, std::uint64_t& freeBytes,
                        std::uint8_t& usedPercent);
int KorvexStatFile(const std::string& path, std::uint32_t& size);
int KorvexReadFile(const std::string& path, void* buffer, std::uint32_t bufferSize,
                   std::uint32_t elementSize, std::uint32_t elementCount);
int KorvexWriteTextFile(const std::string& path, const char* text);
int KorvexWriteFile(const std::string& path, const void* data, std::uint32_t elementSize,
                    std::uint32_t elementCount);
int KorvexRemoveFile(const std::string& path);

// Writes a file as one step, so that a power cut at any instant leaves the old file or the
// new one, never neither: write() fills "<path>.tmp" in the same folder, which is then
// flushed to the flash, closed, checked by check() when one is given, renamed over path and
// the folder synced. On any failure the .tmp is removed and an old file at path stays.
// Returns 0, 9 (the .tmp cannot be made), write()'s or check()'s nonzero status, or 11
// (flush, close or rename failed).
using FileContentsWriter = std::function<int(std::FILE* file)>;
using WrittenFileCheck = std::function<int(const std::string& path)>;
extern const char* const UnfinishedFileSuffix;   // ".tmp"
int KorvexReplaceFile(const std::string& path, const FileContentsWriter& write,
                      const WrittenFileCheck& check = nullptr);
// Removes every "*.tmp" under the folder (sub-folders included): saves a power cut
// interrupted. Returns how many were removed.
unsigned KorvexRemoveUnfinishedFiles(const std::string& folder);
int KorvexMakePath(const std::string& path, std::uint32_t mode);   // 0 or -1
int KorvexListDirectory(const std::string& path, std::vector<DirListEntry>& entries,
                        bool clear);

}  // namespace Korvex
