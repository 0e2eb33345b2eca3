// File access seam: pass-through to the host's files, plus the one-shot write faults that
// tests arm to see how savers handle a failing flash.
#include "platform/fs/FileIo.h"

#include "platform/fs/FileSystem.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

namespace platform {
namespace fs {

namespace {

enum class Fault { None, WriteAfter, Close, DiskFull, TruncateAtClose };

struct ArmedFault {
    std::mutex mutex;
    Fault kind = Fault::None;
    std::size_t bytes = 0;
};

ArmedFault& Armed() {
    static ArmedFault* const armed = new ArmedFault;  // never destroyed
    return *armed;
}

// A host file behind a stdio cookie that fails as armed. The host FILE* only owns the
// descriptor; all transfers go straight to the descriptor.
struct FaultyFile {
    std::FILE* host;
    Fault kind;
    std::size_t limit;
    std::size_t written = 0;
};

ssize_t FaultyRead(void* cookie, char* buffer, std::size_t size) {
    auto* f = static_cast<FaultyFile*>(cookie);
    return ::read(fileno(f->host), buffer, size);
}

// stdio takes a short count as a write error and reports it at fflush/fclose.
ssize_t FaultyWrite(void* cookie, const char* buffer, std::size_t size) {
    auto* f = static_cast<FaultyFile*>(cookie);
    if (f->kind == Fault::DiskFull) {
        errno = ENOSPC;
        return 0;
    }
    std::size_t allowed = size;
    if (f->kind == Fault::WriteAfter) {
        const std::size_t room = f->limit > f->written ? f->limit - f->written : 0;
        if (allowed > room) allowed = room;
    }
    std::size_t done = 0;
    while (done < allowed) {
        const ssize_t n = ::write(fileno(f->host), buffer + done, allowed - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            f->written += done;
            return static_cast<ssize_t>(done);
        }
        done += static_cast<std::size_t>(n);
    }
    f->written += done;
    if (done < size) errno = EIO;
    return static_cast<ssize_t>(done);
}

int FaultySeek(void* cookie, off64_t* offset, int whence) {
    auto* f = static_cast<FaultyFile*>(cookie);
    const off64_t result = ::lseek64(fileno(f->host), *offset, whence);
    if (result < 0) return -1;
    *offset = result;
    return 0;
}

int FaultyClose(void* cookie) {
    auto* f = static_cast<FaultyFile*>(cookie);
    // A flash that silently keeps less than was written: only a later read-back shows it.
    if (f->kind == Fault::TruncateAtClose && ::ftruncate(fileno(f->host), static_cast<off_t>(f->limit)) != 0) {
        std::fclose(f->host);
        delete f;
        return -1;
    }
    const int result = std::fclose(f->host);
    const bool failClose = f->kind == Fault::Close;
    delete f;
    if (failClose) {
        errno = EIO;
        return -1;
    }
    return result;
}

bool OpensForWriting(const char* mode) {
    return std::strpbrk(mode, "wa+") != nullptr;
}

}  // namespace

std::FILE* open(const char* path, const char* mode) {
    if (path == nullptr || mode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    const bool writing = OpensForWriting(mode);
    std::string hostPath;
    if (const int err = resolve(path, writing, hostPath)) {
        errno = err;
        return nullptr;
    }
    Fault kind = Fault::None;
    std::size_t limit = 0;
    if (writing) {
        ArmedFault& armed = Armed();
        std::lock_guard<std::mutex> hold(armed.mutex);
        kind = armed.kind;
        limit = armed.bytes;
        armed.kind = Fault::None;
        Faults& board = faults();
        if (board.fullDisk) {
            kind = Fault::DiskFull;
        } else if (kind == Fault::None && board.truncateAtClose >= 0) {
            kind = Fault::TruncateAtClose;
            limit = static_cast<std::size_t>(board.truncateAtClose);
            board.truncateAtClose = -1;
        }
    }
    std::FILE* host = std::fopen(hostPath.c_str(), mode);
    if (host == nullptr || kind == Fault::None) return host;

    auto* cookie = new FaultyFile{host, kind, limit};
    const cookie_io_functions_t functions = {FaultyRead, FaultyWrite, FaultySeek, FaultyClose};
    std::FILE* file = fopencookie(cookie, mode, functions);
    if (file == nullptr) {
        std::fclose(host);
        delete cookie;
    }
    return file;
}

int remove(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    std::string hostPath;
    if (const int err = resolve(path, true, hostPath)) {
        errno = err;
        return -1;
    }
    return std::remove(hostPath.c_str());
}

int fsync(std::FILE* file) {
    if (file == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (std::fflush(file) != 0) return -1;
    // A file with an armed fault has no descriptor of its own: its data went straight to
    // the host descriptor, which the close flushes.
    const int fd = fileno(file);
    return fd < 0 ? 0 : ::fsync(fd);
}

int rename(const char* from, const char* to) {
    if (from == nullptr || to == nullptr) {
        errno = EINVAL;
        return -1;
    }
    std::string hostFrom, hostTo;
    if (const int err = resolve(from, true, hostFrom)) {
        errno = err;
        return -1;
    }
    if (const int err = resolve(to, true, hostTo)) {
        errno = err;
        return -1;
    }
    return std::rename(hostFrom.c_str(), hostTo.c_str());
}

int sync_dir(const char* path) {
    std::string hostPath;
    if (const int err = resolve(path, false, hostPath)) {
        errno = err;
        return -1;
    }
    const int fd = ::open(hostPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    const int result = ::fsync(fd);
    ::close(fd);
    return result;
}

void arm_write_fault_after(std::size_t bytes) {
    ArmedFault& armed = Armed();
    std::lock_guard<std::mutex> hold(armed.mutex);
    armed.kind = Fault::WriteAfter;
    armed.bytes = bytes;
}

void arm_close_fault() {
    ArmedFault& armed = Armed();
    std::lock_guard<std::mutex> hold(armed.mutex);
    armed.kind = Fault::Close;
    armed.bytes = 0;
}

void clear_faults() {
    ArmedFault& armed = Armed();
    std::lock_guard<std::mutex> hold(armed.mutex);
    armed.kind = Fault::None;
    armed.bytes = 0;
}

}  // namespace fs
}  // namespace platform
