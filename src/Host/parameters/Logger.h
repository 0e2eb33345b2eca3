// The one process-wide log: a fixed ring of characters in RAM, newest text overwriting
// the oldest, read out whole, oldest first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "platform/kernel/Kernel.h"

namespace Korvex {

class CLogger {
public:
    static constexpr std::uint32_t LogRingSize = 5000;
    static constexpr std::uint32_t LogLineSize = 350;

    CLogger(std::uint32_t ringSize, std::uint32_t lineSize);
    virtual ~CLogger();
    CLogger(const CLogger&) = delete;
    CLogger& operator=(const CLogger&) = delete;

    // Appends one formatted message, cut to line size - 1 characters. External text is
    // passed as an argument ("%s"), never as the format.
    void Printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Appends the pieces one after the other as one message, cut like Printf (the same as
    // Printf("%s%s...") of them, without the formatting).
    void Print(std::initializer_list<std::string_view> pieces);
    // A new NUL-terminated copy of the whole log, oldest character first (delete[]).
    char* GetContents();
    // The same from the first whole line: once the ring has wrapped, the cut-off rest of the
    // oldest message is left out (delete[]).
    char* GetWholeLines();

private:
    char* Snapshot(bool wholeLines);
    // Echoes the first n characters of lineBuffer and copies them into the ring (mutex held).
    void AppendLineLocked(std::uint32_t n);

    kernel::Mutex mutex;
    std::uint32_t lineSize;
    char* lineBuffer;
    char* ringStorage;
    char* ringStart;
    char* ringEnd;
    char* writePosition;
    std::uint8_t wrapped;
    bool oldestStartsLine = true;  // once wrapped: the oldest character begins a line
};

// Where every formatted message is also copied (the runner: standard error and a log
// file), called under the logger's mutex; null: nowhere. Returns the previous one.
using LogEcho = void (*)(const char* text, std::size_t length);
LogEcho SetLogEcho(LogEcho echo);

// The instance: built on first use (so static constructors may log) and never destroyed
// (so threads still running at exit may log).
CLogger& Logger();

}  // namespace Korvex
