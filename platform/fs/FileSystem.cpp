#include "platform/fs/FileSystem.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <set>
#include <vector>

namespace platform {
namespace fs {

namespace stdfs = std::filesystem;

namespace {

struct State {
    std::mutex lock;
    bool active = false;
    std::string stateDir;
    std::string cwd = "/";
    bool romfsMounted = false;
    bool yaffsMounted = false;
    std::set<const void*> romfsImages;
    Faults faults;
    std::uint32_t erased = 0;
    std::uint64_t totalBlocks = 4096;
    std::uint32_t blockSize = 16 * 1024;
};

State& S() {
    static State* s = new State;  // lives until exit, whatever thread still uses it
    return *s;
}

int fail(int err) {
    errno = err;
    return -1;
}

// Normalised absolute components of a path, relative paths taken from cwd.
std::vector<std::string> components(const std::string& cwd, const char* path) {
    std::vector<std::string> out;
    std::string full = (path[0] == '/') ? std::string(path) : cwd + "/" + path;
    std::size_t i = 0;
    while (i <= full.size()) {
        std::size_t j = full.find('/', i);
        if (j == std::string::npos) j = full.size();
        std::string c = full.substr(i, j - i);
        if (c == "..") {
            if (!out.empty()) out.pop_back();
        } else if (!c.empty() && c != ".") {
            out.push_back(c);
        }
        i = j + 1;
    }
    return out;
}

std::string join(const std::vector<std::string>& c) {
    std::string s;
    for (const auto& x : c) s += "/" + x;
    return s.empty() ? "/" : s;
}

enum class Where { Root, Romfs, Yaffs, Nowhere };

// Locates a normalised path; hostPath is set for paths under a mounted point.
Where locate(State& s, const std::vector<std::string>& c, std::string& hostPath) {
    if (c.empty()) return Where::Root;
    std::string rest;
    for (std::size_t i = 1; i < c.size(); ++i) rest += "/" + c[i];
    if (c[0] == "romfs" && s.romfsMounted) {
        hostPath = s.stateDir + "/romfs" + rest;
        return Where::Romfs;
    }
    if (c[0] == "yaffs" && s.yaffsMounted) {
        hostPath = s.stateDir + "/yaffs" + rest;
        return Where::Yaffs;
    }
    return Where::Nowhere;
}

void copy_tree(const std::string& from, const std::string& to) {
    std::error_code ec;
    stdfs::remove_all(to, ec);
    stdfs::create_directories(to, ec);
    if (!from.empty() && stdfs::is_directory(from, ec))
        stdfs::copy(from, to, stdfs::copy_options::recursive | stdfs::copy_options::overwrite_existing,
                    ec);
}

std::string image_name(const void* image) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", image);
    return buf;
}

}  // namespace

struct Dir {
    std::vector<std::string> names;
    std::size_t next = 0;
};

void init(const std::string& stateDir, const std::string& romfsSource) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    std::error_code ec;
    s.stateDir = stdfs::absolute(stateDir, ec).lexically_normal().string();
    while (s.stateDir.size() > 1 && s.stateDir.back() == '/') s.stateDir.pop_back();
    stdfs::create_directories(s.stateDir + "/yaffs", ec);
    copy_tree(romfsSource, s.stateDir + "/romfs");
    s.active = true;
    s.cwd = "/";
    s.romfsMounted = s.yaffsMounted = false;
    s.faults = Faults{};
    s.erased = 0;
}

void reset() {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    s.active = false;
    s.cwd = "/";
    s.romfsMounted = s.yaffsMounted = false;
    s.faults = Faults{};
    s.erased = 0;
    s.totalBlocks = 4096;
    s.blockSize = 16 * 1024;
}

bool active() {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    return s.active;
}

std::string state_dir() {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    return s.stateDir;
}

void register_romfs_image(const void* image) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    s.romfsImages.insert(image);
}

int mount(const char* device, const char* dir, const char* fsType) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    if (!s.active || !device || !dir || !fsType) return fail(ENODEV);
    std::string d = join(components("/", dir));
    std::string type = fsType, dev = device;
    if (d == "/romfs" && type == "romfs") {
        if (s.romfsMounted) return fail(EBUSY);
        bool known = false;
        for (const void* img : s.romfsImages) known = known || image_name(img) == dev;
        if (!known) return fail(ENODEV);
        s.romfsMounted = true;
        return 0;
    }
    if (d == "/yaffs" && type == "yaffs") {
        if (dev != "onboard/0") return fail(ENODEV);
        if (s.yaffsMounted) return fail(EBUSY);
        if (s.faults.failYaffsMounts > 0) {
            --s.faults.failYaffsMounts;
            return fail(EIO);
        }
        if (s.faults.failYaffsRemount && s.erased > 0) return fail(EIO);
        s.yaffsMounted = true;
        return 0;
    }
    return fail(EINVAL);
}

int umount(const char* dir) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    if (!dir) return fail(EINVAL);
    std::string d = join(components("/", dir));
    bool* flag = d == "/romfs" ? &s.romfsMounted : d == "/yaffs" ? &s.yaffsMounted : nullptr;
    if (!flag || !*flag) return fail(EINVAL);
    *flag = false;
    return 0;
}

bool mounted(const char* dir) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    std::string d = join(components("/", dir));
    return (d == "/romfs" && s.romfsMounted) || (d == "/yaffs" && s.yaffsMounted);
}

int chdir(const char* path) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    if (!path) return fail(EINVAL);
    auto c = components(s.cwd, path);
    std::string host;
    Where w = locate(s, c, host);
    if (w == Where::Nowhere) return fail(ENOENT);
    std::error_code ec;
    if (w != Where::Root && !stdfs::is_directory(host, ec)) return fail(ENOTDIR);
    s.cwd = join(c);
    return 0;
}

std::string getcwd() {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    return s.cwd;
}

int stat(const char* path, Stat* out) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    if (!path || !out) return fail(EINVAL);
    std::string host;
    if (!s.active) {
        host = path;
    } else {
        auto c = components(s.cwd, path);
        Where w = locate(s, c, host);
        if (w == Where::Nowhere) return fail(ENOENT);
        if (w == Where::Root) {
            *out = Stat{StatDirectory, 0};
            return 0;
        }
        if (!s.faults.damagedEntry.empty() &&
            join(components("/", s.faults.damagedEntry.c_str())) == join(c))
            return fail(EIO);
    }
    struct ::stat st;
    if (::stat(host.c_str(), &st) != 0) return -1;
    out->mode = S_ISDIR(st.st_mode) ? StatDirectory : S_ISREG(st.st_mode) ? StatRegular : 0;
    out->size = static_cast<std::uint32_t>(st.st_size);
    return 0;
}

int mkdir(const char* path, std::uint32_t /*mode: the flash file system keeps none*/) {
    std::string host;
    int err = resolve(path, true, host);
    if (err) return fail(err);
    return ::mkdir(host.c_str(), 0777);
}

int info(const char* dir, int key, void* out, std::size_t size) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    if (!dir || !out || key != InfoBlockUsage || size < sizeof(BlockUsage)) return fail(EINVAL);
    auto c = components(s.cwd, dir);
    std::string host;
    if (locate(s, c, host) != Where::Yaffs) return fail(ENOENT);
    std::uint64_t used = 0;
    std::error_code ec;
    std::string root = s.stateDir + "/yaffs";
    used += 1;  // the root directory
    for (auto it = stdfs::recursive_directory_iterator(root, ec);
         !ec && it != stdfs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec)) {
            used += 1;
        } else {
            std::uint64_t bytes = it->file_size(ec);
            used += (bytes + s.blockSize - 1) / s.blockSize;
        }
    }
    BlockUsage u{};
    u.total_blocks = s.totalBlocks;
    u.free_blocks = (s.faults.fullDisk || used >= s.totalBlocks) ? 0 : s.totalBlocks - used;
    u.block_size = s.blockSize;
    *static_cast<BlockUsage*>(out) = u;
    return 0;
}

Dir* opendir(const char* path) {
    std::string host;
    {
        State& s = S();
        std::lock_guard<std::mutex> g(s.lock);
        if (!path) {
            errno = EINVAL;
            return nullptr;
        }
        if (!s.active) {
            host = path;
        } else {
            auto c = components(s.cwd, path);
            Where w = locate(s, c, host);
            if (w == Where::Nowhere) {
                errno = ENOENT;
                return nullptr;
            }
            if (w == Where::Root) {
                auto* d = new Dir;
                d->names = {".", ".."};
                if (s.romfsMounted) d->names.push_back("romfs");
                if (s.yaffsMounted) d->names.push_back("yaffs");
                return d;
            }
        }
    }
    DIR* h = ::opendir(host.c_str());
    if (!h) return nullptr;
    auto* d = new Dir;
    while (struct dirent* e = ::readdir(h)) d->names.push_back(e->d_name);
    ::closedir(h);
    return d;
}

bool readdir(Dir* dir, std::string& name) {
    if (!dir || dir->next >= dir->names.size()) return false;
    name = dir->names[dir->next++];
    return true;
}

int closedir(Dir* dir) {
    if (!dir) return fail(EBADF);
    delete dir;
    return 0;
}

int resolve(const char* path, bool writing, std::string& hostPath) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    if (!path) return EINVAL;
    if (!s.active) {
        hostPath = path;
        return 0;
    }
    auto c = components(s.cwd, path);
    switch (locate(s, c, hostPath)) {
        case Where::Romfs:
            return writing ? EROFS : 0;
        case Where::Yaffs:
            return 0;
        case Where::Root:
            return writing ? EROFS : EISDIR;
        default:
            return ENOENT;
    }
}

bool nand_partition(const char* device, int partition, NandPartition* out) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    if (!s.active || !device || std::string(device) != "onboard" || partition != 0 || !out ||
        s.totalBlocks == 0)
        return false;
    *out = NandPartition{0, static_cast<std::uint32_t>(s.totalBlocks - 1)};
    return true;
}

int nand_erase_block(const char* device, std::uint32_t block) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    if (!s.active || !device || std::string(device) != "onboard" || block >= s.totalBlocks)
        return fail(EINVAL);
    if (s.erased++ == 0) {
        // The first erased block wipes what the flash file system held.
        std::error_code ec;
        std::string root = s.stateDir + "/yaffs";
        stdfs::remove_all(root, ec);
        stdfs::create_directories(root, ec);
        s.faults.damagedEntry.clear();
    }
    return 0;
}

Faults& faults() { return S().faults; }

std::uint32_t erase_count() {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    return s.erased;
}

void set_flash_geometry(std::uint64_t blocks, std::uint32_t blockSize) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    s.totalBlocks = blocks;
    s.blockSize = blockSize ? blockSize : 1;
}

}  // namespace fs
}  // namespace platform
