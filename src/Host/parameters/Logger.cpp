#include "Host/parameters/Logger.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace Korvex {

namespace {
std::atomic<LogEcho> logEcho{nullptr};
}  // namespace

LogEcho SetLogEcho(LogEcho echo) { return logEcho.exchange(echo); }

CLogger::CLogger(std::uint32_t ringSize, std::uint32_t lineSize)
    : lineSize(lineSize),
      lineBuffer(new char[lineSize > 0 ? lineSize : 1]),
      ringStorage(new char[ringSize > 0 ? ringSize : 1]),
      ringStart(ringStorage),
      ringEnd(ringStorage + ringSize),
      writePosition(ringStorage),
      wrapped(0) {
    kernel::mutex_init(&mutex);
}

CLogger::~CLogger() {
    delete[] ringStorage;
    delete[] lineBuffer;
    kernel::mutex_destroy(&mutex);
}

void CLogger::Printf(const char* format, ...) {
    if (!kernel::mutex_lock(&mutex)) return;
    va_list args;
    va_start(args, format);
    int formatted = std::vsnprintf(lineBuffer, lineSize, format, args);
    va_end(args);
    // vsnprintf tells the length it would have written; only what fits is in the buffer.
    std::uint32_t n = 0;
    if (formatted > 0 && lineSize > 0)
        n = std::min(static_cast<std::uint32_t>(formatted), lineSize - 1);
    AppendLineLocked(n);
    kernel::mutex_unlock(&mutex);
}

void CLogger::Print(std::initializer_list<std::string_view> pieces) {
    if (!kernel::mutex_lock(&mutex)) return;
    std::uint32_t n = 0;
    const std::uint32_t room = lineSize > 0 ? lineSize - 1 : 0;
    for (std::string_view piece : pieces) {
        const std::uint32_t count =
            static_cast<std::uint32_t>(std::min<std::size_t>(piece.size(), room - n));
        std::memcpy(lineBuffer + n, piece.data(), count);
        n += count;
    }
    if (lineSize > 0) lineBuffer[n] = '\0';
    AppendLineLocked(n);
    kernel::mutex_unlock(&mutex);
}

void CLogger::AppendLineLocked(std::uint32_t n) {
    if (ringEnd <= ringStart) n = 0;
    const char* source = lineBuffer;
    if (LogEcho echo = logEcho.load(); echo != nullptr && n > 0) echo(lineBuffer, n);
    while (n > 0) {
        if (writePosition < ringStart || writePosition >= ringEnd) {
            writePosition = ringStart;
            wrapped = 1;
        }
        std::uint32_t room = static_cast<std::uint32_t>(ringEnd - writePosition);
        std::uint32_t count = n < room ? n : room;
        // The character overwritten last comes just before the oldest one left.
        if (wrapped) oldestStartsLine = writePosition[count - 1] == '\n';
        std::memcpy(writePosition, source, count);
        writePosition += count;
        source += count;
        n -= count;
    }
}

char* CLogger::GetContents() { return Snapshot(false); }

char* CLogger::GetWholeLines() { return Snapshot(true); }

char* CLogger::Snapshot(bool wholeLines) {
    char* contents;
    if (!kernel::mutex_lock(&mutex)) {
        contents = new char[1];
        contents[0] = '\0';
        return contents;
    }
    if (!wrapped) {
        std::size_t used = static_cast<std::size_t>(writePosition - ringStart);
        contents = new char[used + 1];
        std::memcpy(contents, ringStart, used);
        contents[used] = '\0';
    } else {
        std::size_t tail = static_cast<std::size_t>(ringEnd - writePosition);
        std::size_t head = static_cast<std::size_t>(writePosition - ringStart);
        contents = new char[tail + head + 1];
        std::memcpy(contents, writePosition, tail);
        std::memcpy(contents + tail, ringStart, head);
        contents[tail + head] = '\0';
        if (wholeLines && !oldestStartsLine) {
            const char* end = static_cast<const char*>(std::memchr(contents, '\n', tail + head));
            const std::size_t skip = end ? static_cast<std::size_t>(end - contents) + 1 : tail + head;
            std::memmove(contents, contents + skip, tail + head - skip + 1);
        }
    }
    kernel::mutex_unlock(&mutex);
    return contents;
}

CLogger& Logger() {
    static CLogger* instance = new CLogger(CLogger::LogRingSize, CLogger::LogLineSize);
    return *instance;
}

}  // namespace Korvex
