#include "Host/parameters/FileServices.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Host/parameters/Error.h"
#include "Host/parameters/Logger.h"
#include "Host/parameters/PowerHooks.h"
#include "platform/bootmon/BootMonitor.h"
#include "platform/fs/FileIo.h"
#include "platform/fs/FileSystem.h"

namespace Korvex {

namespace fs = platform::fs;

namespace {

void Diagnostic(const char* message) {
    std::fprintf(stderr, "%s: %s\n", message, std::strerror(errno));
}

// Closes a file opened for writing after making its contents durable; a failed flush,
// sync or close (a full flash shows only then) is a failed write.
int CloseWritten(std::FILE* f) {
    bool ok = fs::fsync(f) == 0;
    ok = (std::fclose(f) == 0) && ok;
    if (!ok) {
        Diagnostic("fwrite failed");
        return eWriteFailed;
    }
    return eOk;
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

int KorvexMountFileSystems() {
    Logger().Printf("Mounting ROMFS...\n");
    platform::bootmon::StoredBlock block{};
    if (platform::bootmon::get_stored_block(platform::bootmon::RomfsBlock, &block) != 0 ||
        !block.present || !block.address)
        KorvexPanic();
    char device[32];
    std::snprintf(device, sizeof device, "%p", block.address);
    if (fs::mount(device, "/romfs", "romfs") != 0) KorvexPanic();

    Logger().Printf("Mounting YAFFS...\n");
    if (fs::mount("onboard/0", "/yaffs", "yaffs") != 0) KorvexPanic();
    if (KorvexCheckDirectoryReadable("/yaffs") == 0) return 0;

    // The flash cannot be read in full: erase the whole partition and start it empty.
    fs::umount("/yaffs");
    fs::NandPartition part{};
    if (fs::nand_partition("onboard", 0, &part)) {
        for (std::uint32_t b = part.first_block; b <= part.last_block; ++b) {
            fs::nand_erase_block("onboard", b);
            if (b == UINT32_MAX) break;
        }
    }
    if (fs::mount("onboard/0", "/yaffs", "yaffs") != 0) KorvexPanic();
    return 0;
}

int KorvexUnmountFileSystems() {
    fs::chdir("/");
    Logger().Printf("Unmounting ROMFS...\n");
    fs::umount("/romfs");
    Logger().Printf("Unmounting YAFFS...\n");
    return fs::umount("/yaffs");
}

int KorvexCheckDirectoryReadable(const std::string& path) {
    if (fs::chdir(path.c_str()) != 0) return eCannotOpenFile;
    int status = eOk;
    if (fs::Dir* dir = fs::opendir(".")) {
        std::string name;
        while (fs::readdir(dir, name)) {
            fs::Stat st{};
            if (fs::stat(name.c_str(), &st) != 0) {
                status = eCannotOpenFile;
                break;
            }
            if ((st.mode & fs::StatDirectory) && name != "." && name != "..") {
                status = KorvexCheckDirectoryReadable(name);
                if (status != eOk) break;
            }
        }
        fs::closedir(dir);
    }
    fs::chdir("..");
    return status;
}

int KorvexGetFlashUsage(std::uint64_t& usedBytes, std::uint64_t& freeBytes,
                        std::uint8_t& usedPercent) {
    fs::BlockUsage u{};
    if (fs::info("/yaffs", fs::InfoBlockUsage, &u, sizeof u) != 0) return eCannotOpenFile;
    std::uint64_t used = u.total_blocks - u.free_blocks;
    usedBytes = used * u.block_size;
    freeBytes = u.free_blocks * u.block_size;
    usedPercent = u.total_blocks ? static_cast<std::uint8_t>(used * 100 / u.total_blocks) : 0;
    return eOk;
}

int KorvexStatFile(const std::string& path, std::uint32_t& size) {
    fs::Stat st{};
    if (fs::stat(path.c_str(), &st) != 0) {
        Diagnostic("stat failed on given file");
        return eCannotOpenFile;
    }
    size = st.size;
    return eOk;
}

int KorvexReadFile(const std::string& path, void* buffer, std::uint32_t bufferSize,
                   std::uint32_t elementSize, std::uint32_t elementCount) {
    if (static_cast<std::uint64_t>(elementSize) * elementCount > bufferSize) return eBufferTooSmall;
    std::FILE* f = fs::open(path.c_str(), "r");
    if (!f) {
        Diagnostic("fopen failed");
        return eCannotOpenFile;
    }
    int status = eOk;
    if (elementSize && elementCount &&
        std::fread(buffer, elementSize, elementCount, f) != elementCount) {
        Diagnostic("fread failed");
        status = eShortRead;
    }
    std::fclose(f);
    return status;
}

const char* const UnfinishedFileSuffix = ".tmp";

int KorvexReplaceFile(const std::string& path, const FileContentsWriter& write,
                      const WrittenFileCheck& check) {
    const std::string temporary = path + UnfinishedFileSuffix;
    std::FILE* f = fs::open(temporary.c_str(), "w");
    if (!f) {
        Diagnostic("fopen failed");
        return eCannotOpenFile;
    }
    int status = write(f);
    if (status != eOk) {
        std::fclose(f);
    } else {
        status = CloseWritten(f);
    }
    if (status == eOk && check) status = check(temporary);
    if (status == eOk && fs::rename(temporary.c_str(), path.c_str()) != 0) {
        Diagnostic("rename failed");
        status = eWriteFailed;
    }
    if (status != eOk) {
        fs::remove(temporary.c_str());
        return status;
    }
    // The rename itself must reach the flash too; the new file is complete either way.
    fs::sync_dir(FolderOf(path).c_str());
    return eOk;
}

unsigned KorvexRemoveUnfinishedFiles(const std::string& folder) {
    fs::Stat st{};
    if (fs::stat(folder.c_str(), &st) != 0 || !(st.mode & fs::StatDirectory)) return 0;
    std::vector<DirListEntry> entries;
    KorvexListDirectory(folder, entries, true);
    unsigned removed = 0;
    for (const DirListEntry& entry : entries) {
        if (EndsWith(entry.path, UnfinishedFileSuffix) && fs::remove(entry.path.c_str()) == 0)
            ++removed;
    }
    return removed;
}

int KorvexWriteTextFile(const std::string& path, const char* text) {
    return KorvexReplaceFile(path, [text](std::FILE* f) {
        if (text && *text && std::fprintf(f, "%s", text) < 0) {
            Diagnostic("fprintf failed");
            return eWriteFailed;
        }
        return eOk;
    });
}

int KorvexWriteFile(const std::string& path, const void* data, std::uint32_t elementSize,
                    std::uint32_t elementCount) {
    return KorvexReplaceFile(path, [=](std::FILE* f) {
        if (elementSize && elementCount &&
            std::fwrite(data, elementSize, elementCount, f) != elementCount) {
            Diagnostic("fwrite failed");
            return eWriteFailed;
        }
        return eOk;
    });
}

int KorvexRemoveFile(const std::string& path) {
    if (fs::remove(path.c_str()) != 0) {
        Diagnostic("remove failed");
        return eCannotOpenFile;
    }
    return eOk;
}

int KorvexMakePath(const std::string& path, std::uint32_t mode) {
    if (path.empty()) return -1;
    char buf[256];
    std::size_t n = path.copy(buf, sizeof buf - 1);
    buf[n] = '\0';
    if (n > 0 && buf[n - 1] == '/') buf[--n] = '\0';
    for (std::size_t i = 1; i < n; ++i) {
        if (buf[i] != '/') continue;
        buf[i] = '\0';
        int r = fs::mkdir(buf, mode);
        buf[i] = '/';
        if (r != 0 && errno != EEXIST) return -1;
    }
    if (fs::mkdir(buf, mode) != 0 && errno != EEXIST) return -1;
    return 0;
}

int KorvexListDirectory(const std::string& path, std::vector<DirListEntry>& entries, bool clear) {
    if (clear) entries.clear();
    fs::Dir* dir = fs::opendir(path.c_str());
    if (!dir) {
        Diagnostic("opendir failed");
        return eCannotOpenFile;
    }
    int status = eOk;
    std::string name;
    while (fs::readdir(dir, name)) {
        if (name == "." || name == "..") continue;
        std::string full = path + "/" + name;
        fs::Stat st{};
        if (fs::stat(full.c_str(), &st) != 0) {
            Diagnostic("File stat failed");
            status = eCannotOpenFile;
            break;
        }
        if (st.mode & fs::StatRegular) {
            entries.push_back(DirListEntry{full, std::string(), st.size});
        } else if (st.mode & fs::StatDirectory) {
            status = KorvexListDirectory(full, entries, false);
            if (status != eOk) break;
        }
    }
    fs::closedir(dir);
    return status;
}

}  // namespace Korvex
