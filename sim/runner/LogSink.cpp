#include "sim/runner/LogSink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace korvex_sim {

namespace {

// Past this much unwritten text the logging thread writes it out itself.
constexpr std::size_t kMaxPending = 1024u * 1024u;

void WriteAll(int fd, const char* text, std::size_t length)
{
    while (length > 0) {
        const ssize_t n = ::write(fd, text, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text += n;
        length -= static_cast<std::size_t>(n);
    }
}

std::string StartLine()
{
    char when[40] = "";
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) != nullptr) std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S%z", &local);
    return std::string("==== korvex-sim start ") + when + " pid " + std::to_string(::getpid()) + " ====\n";
}

}  // namespace

CLogSink::~CLogSink()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_one();
    if (writer.joinable()) writer.join();
    Flush();
    if (fd >= 0) ::close(fd);
}

bool CLogSink::Open(const std::string& file, int echo, std::size_t limit)
{
    path = file;
    cap = limit;
    echoFd = echo;
    start = std::chrono::steady_clock::now();
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    struct stat info {};
    fileSize = ::fstat(fd, &info) == 0 ? static_cast<std::size_t>(info.st_size) : 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        pending.insert(0, StartLine());
    }
    writer = std::thread([this] { WriterMain(); });
    return true;
}

void CLogSink::Write(const char* text, std::size_t length)
{
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    char prefix[32];
    const int prefixLength = std::snprintf(prefix, sizeof prefix, "%.3f ", seconds);
    bool wasEmpty = false;
    bool full = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        wasEmpty = pending.empty();
        for (std::size_t at = 0; at < length;) {
            if (atLineStart) pending.append(prefix, static_cast<std::size_t>(prefixLength));
            const char* end = static_cast<const char*>(std::memchr(text + at, '\n', length - at));
            const std::size_t upTo = end != nullptr ? static_cast<std::size_t>(end - text) + 1 : length;
            pending.append(text + at, upTo - at);
            atLineStart = end != nullptr;
            at = upTo;
        }
        full = pending.size() > kMaxPending;
    }
    if (full) {
        Flush();
    } else if (wasEmpty) {
        wake.notify_one();
    }
}

void CLogSink::Flush()
{
    std::lock_guard<std::mutex> out(writeMutex);
    std::string batch;
    {
        std::lock_guard<std::mutex> lock(mutex);
        batch.swap(pending);
    }
    WriteOut(batch);
}

void CLogSink::WriterMain()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return stopping || !pending.empty(); });
        if (stopping) return;
        // Lines logged within the next period go out with this one.
        wake.wait_for(lock, kFlushPeriod, [this] { return stopping; });
        lock.unlock();
        Flush();
        lock.lock();
    }
}

void CLogSink::WriteOut(const std::string& batch)
{
    if (batch.empty()) return;
    if (echoFd >= 0) WriteAll(echoFd, batch.data(), batch.size());
    if (fd < 0) return;
    std::size_t at = 0;
    while (at < batch.size()) {
        std::size_t take = batch.size() - at;
        if (fileSize + take > cap) {
            // The whole lines that still fit; none: a new file. A line longer than the cap
            // goes whole into a file of its own.
            const std::size_t room = cap > fileSize ? cap - fileSize : 0;
            const std::size_t last = room > 0 ? batch.rfind('\n', at + room - 1) : std::string::npos;
            std::size_t fit = last != std::string::npos && last >= at ? last + 1 - at : 0;
            if (fit == 0 && fileSize > 0) {
                Rotate();
                continue;
            }
            if (fit == 0) {
                const std::size_t end = batch.find('\n', at);
                fit = end == std::string::npos ? take : end + 1 - at;
            }
            take = fit;
        }
        WriteAll(fd, batch.data() + at, take);
        fileSize += take;
        at += take;
    }
}

void CLogSink::Rotate()
{
    const std::string old = path + ".1";
    ::rename(path.c_str(), old.c_str());
    const int next = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    fileSize = 0;
    if (next < 0) return;  // keeps writing to the moved file
    ::close(fd);
    fd = next;
}

CLogSink& RunnerLog()
{
    // Never destroyed: threads still running at exit may log.
    static CLogSink* sink = new CLogSink;
    return *sink;
}

}  // namespace korvex_sim
