#include "sim/runner/LogSink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>

namespace korvex_sim {

namespace {

// Past this much unwritten text the logging thread writes it out itself.
constexpr std::size_t kMaxPending = 1024u * 1024u;
// Distinct lines the throttle remembers.
constexpr std::size_t kMaxRepeats = 4096;

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
        const std::string line = StartLine();
        pending.insert(0, line);
        pendingEcho.insert(0, line);
    }
    writer = std::thread([this] { WriterMain(); });
    return true;
}

std::string CLogSink::Prefix() const
{
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    char prefix[32];
    const int length = std::snprintf(prefix, sizeof prefix, "%.3f ", seconds);
    return std::string(prefix, static_cast<std::size_t>(length));
}

bool CLogSink::Problem(const std::string& text)
{
    // Not "abort": the firmware's abort lines are the routine steps that end every one-shot
    // measurement (MEAS?); an abort for a fault comes with the fault's own line.
    static const char* const kWords[] = {"error",  "fail",   "fault", "fatal",       "warn",  "panic",
                                         "cannot", "can't", "unavailable", "refus", "stale", "out of range"};
    for (const char* word : kWords) {
        // As written in a sentence (error, Error, ERROR), not as a SCPI header's short form
        // shows it ("SYSTem:ERRor").
        std::string forms[3] = {word, word, word};
        forms[1][0] = static_cast<char>(std::toupper(static_cast<unsigned char>(forms[1][0])));
        for (char& c : forms[2]) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        for (const std::string& form : forms) {
            for (std::size_t at = text.find(form); at != std::string::npos; at = text.find(form, at + 1)) {
                // A word or a word's beginning ("failed", "refused"), not the inside of one.
                if (at == 0 || !std::isalpha(static_cast<unsigned char>(text[at - 1]))) return true;
            }
        }
    }
    return false;
}

// Whether text continues a loop: a copy of it among recent is d lines back and the last d
// lines equal the d lines before them.
bool ContinuesLoop(const std::deque<std::string>& recent, const std::string& text)
{
    const std::size_t n = recent.size();
    for (std::size_t d = 1; 2 * d <= n; ++d) {
        if (recent[n - d] != text) continue;
        std::size_t k = 0;
        while (k < d && recent[n - d + k] == recent[n - 2 * d + k]) ++k;
        if (k == d) return true;
    }
    return false;
}

// text with the count of its copies left out since windowStart.
std::string WithHiddenCount(const std::string& text, unsigned hidden,
                            std::chrono::steady_clock::time_point windowStart,
                            std::chrono::steady_clock::time_point now)
{
    return text + " [" + std::to_string(hidden) + " more in the last " +
           std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now - windowStart).count()) +
           " s not shown]\n";
}

void CLogSink::AddLineLocked(const std::string& prefix, std::string line, bool own)
{
    const auto now = std::chrono::steady_clock::now();
    const std::string text = line.substr(0, line.size() - 1);
    const bool loop = ContinuesLoop(recent, text);
    recent.push_back(text);
    if (recent.size() > kLoopMemory) recent.pop_front();
    auto found = repeats.find(text);
    if (!loop) {
        // Among other lines: always written, with the count of what a loop of it left out.
        if (found != repeats.end()) {
            if (found->second.hidden > 0)
                line = WithHiddenCount(text, found->second.hidden, found->second.windowStart, now);
            repeats.erase(found);
        }
    } else if (found == repeats.end() || (now - found->second.windowStart >= kRepeatWindow && found->second.hidden == 0)) {
        if (found == repeats.end() && repeats.size() >= kMaxRepeats) {
            // Forget the lines whose window has ended; the others stay throttled.
            for (auto it = repeats.begin(); it != repeats.end();)
                it = now - it->second.windowStart >= kRepeatWindow ? repeats.erase(it) : std::next(it);
            if (repeats.size() >= kMaxRepeats) repeats.clear();
        }
        Repeat& fresh = repeats[text];
        fresh = Repeat{now, 1, 0};
    } else {
        Repeat& repeat = found->second;
        if (++repeat.seen == kRepeatsShown) {
            line = text + " [repeats: further copies within " + std::to_string(kRepeatWindow.count()) +
                   " s only counted]\n";
        } else if (repeat.seen > kRepeatsShown) {
            if (now - repeat.windowStart < kRepeatWindow) {
                ++repeat.hidden;
                return;
            }
            line = WithHiddenCount(text, repeat.hidden, repeat.windowStart, now);
            repeat.windowStart = now;
            repeat.hidden = 0;
        }
    }
    pending += prefix;
    pending += line;
    if (!quiet || own || Problem(text)) {
        pendingEcho += prefix;
        pendingEcho += line;
    }
}

void CLogSink::Write(const char* text, std::size_t length)
{
    const std::string prefix = Prefix();
    bool wasEmpty = false;
    bool full = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        wasEmpty = pending.empty() && pendingEcho.empty();
        for (std::size_t at = 0; at < length;) {
            if (partial.empty()) partialPrefix = prefix;
            const char* end = static_cast<const char*>(std::memchr(text + at, '\n', length - at));
            const std::size_t upTo = end != nullptr ? static_cast<std::size_t>(end - text) + 1 : length;
            partial.append(text + at, upTo - at);
            at = upTo;
            if (end != nullptr) {
                AddLineLocked(partialPrefix, std::move(partial), false);
                partial.clear();
            }
        }
        full = pending.size() > kMaxPending || partial.size() > kMaxPending;
    }
    if (full) {
        Flush();
    } else if (wasEmpty) {
        wake.notify_one();
    }
}

void CLogSink::Line(const std::string& line)
{
    const std::string prefix = Prefix();
    bool wasEmpty = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        wasEmpty = pending.empty() && pendingEcho.empty();
        AddLineLocked(prefix, line + "\n", true);
    }
    if (wasEmpty) wake.notify_one();
}

void CLogSink::SetQuiet(bool on)
{
    std::lock_guard<std::mutex> lock(mutex);
    quiet = on;
}

void CLogSink::Flush() { WriteGathered(true); }

void CLogSink::WriteGathered(bool partialToo)
{
    std::lock_guard<std::mutex> out(writeMutex);
    std::string batch;
    std::string echo;
    {
        std::lock_guard<std::mutex> lock(mutex);
        // A firmware line still in pieces goes out as it stands.
        if (partialToo && !partial.empty()) {
            AddLineLocked(partialPrefix, partial + "\n", false);
            partial.clear();
        }
        batch.swap(pending);
        echo.swap(pendingEcho);
    }
    WriteOut(batch, echo);
}

void CLogSink::WriterMain()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return stopping || !pending.empty() || !pendingEcho.empty(); });
        if (stopping) return;
        // Lines logged within the next period go out with this one.
        wake.wait_for(lock, kFlushPeriod, [this] { return stopping; });
        lock.unlock();
        WriteGathered(false);
        lock.lock();
    }
}

void CLogSink::WriteOut(const std::string& batch, const std::string& echo)
{
    if (echoFd >= 0 && !echo.empty()) WriteAll(echoFd, echo.data(), echo.size());
    if (fd < 0 || batch.empty()) return;
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
