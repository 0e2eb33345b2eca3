// The instrument's file services over the board's file layer: mounting /romfs and /yaffs
// (with recovery of an unreadable flash), and reading, writing, removing, listing and
// measuring files. Every function returns a status and never throws.
#pragma once

#include <cstdint>
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
int KorvexMakePath(const std::string& path, std::uint32_t mode);   // 0 or -1
int KorvexListDirectory(const std::string& path, std::vector<DirListEntry>& entries,
                        bool clear);

}  // namespace Korvex
