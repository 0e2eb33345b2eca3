// The runner's log sink: every line of the firmware's log echo and of the runner's own
// messages goes to korvex.log and to standard error through one buffered writer thread.
//
// - Each start of the file's process writes "==== korvex-sim start <ISO-8601 time> pid <pid> ===="
//   first; every other line gets a time prefix when it is logged: seconds since the sink was
//   opened, three decimals ("12.345 ").
// - Logging only appends to a buffer; the writer thread writes what has gathered at most
//   every 100 ms, one write() to the file and one to standard error per batch. Flush() writes
//   everything logged so far at once, from any thread (before _exit and execv).
// - The file is capped: a batch that would take it past the cap first moves it to
//   <file>.1 (one old file kept) and starts a new one.
// - Loops are throttled: a line (the text after the prefix) that continues a stretch of
//   lines repeating itself exactly (the last N lines equal the N before them, N up to
//   kLoopMemory / 2) is written at most kRepeatsShown times within kRepeatWindow (the last
//   of them marked " [repeats: further copies within 10 s only counted]"); further copies
//   are only counted, and the next copy written carries their number (" [N more in the
//   last S s not shown]"). A firmware that retries without end (a DSP that refuses every
//   program) thus fills neither the file nor the terminal, while a line that comes back
//   among other lines (a module stopped at each network change) is always written.
// - Quiet echo: with SetQuiet(true) standard error gets only the runner's own lines (Line)
//   and the firmware's lines that report a problem (Problem); the file still gets every line.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

namespace korvex_sim {

class CLogSink {
public:
    static constexpr std::size_t kDefaultCap = 4u * 1024u * 1024u;
    static constexpr std::chrono::milliseconds kFlushPeriod{100};
    static constexpr unsigned kRepeatsShown = 3;
    static constexpr std::chrono::seconds kRepeatWindow{10};
    static constexpr std::size_t kLoopMemory = 128;

    CLogSink() = default;
    ~CLogSink();  // flushes and stops the writer thread
    CLogSink(const CLogSink&) = delete;
    CLogSink& operator=(const CLogSink&) = delete;

    // Opens path for appending, writes the start line and starts the writer thread; false
    // (with errno) when the file cannot be opened. echoFd: where every line is copied too
    // (standard error; -1: nowhere).
    bool Open(const std::string& path, int echoFd, std::size_t cap = kDefaultCap);

    // Logs the firmware's text (any number of lines, a line may come in pieces); prefixes
    // each new line. A line is written once it is complete (or at Flush).
    void Write(const char* text, std::size_t length);
    // Logs one line of the runner's own (the newline is added): echoed also when quiet.
    void Line(const std::string& line);
    // Writes out everything logged so far before returning.
    void Flush();
    // Quiet: the echo gets only the runner's own lines and the firmware's problem reports.
    void SetQuiet(bool quiet);

    // Whether a firmware line reports a problem: it names an error, a failure, a fault, a
    // fatal stop or a warning, or says that something cannot be done, is refused, unavailable,
    // stale or out of range (a settings file's bad value). Words or word beginnings, written
    // error, Error or ERROR; a SCPI header such as SYSTem:ERRor is not one.
    static bool Problem(const std::string& text);
private:
    struct Repeat {
        std::chrono::steady_clock::time_point windowStart;
        unsigned seen = 0;    // copies in this window
        unsigned hidden = 0;  // copies not written in this window
    };

    // With mutex held: one complete line (its newline included) into pending (and the echo).
    void AddLineLocked(const std::string& prefix, std::string line, bool own);
    std::string Prefix() const;
    // Writes out what has gathered; partialToo: also a firmware line not complete yet.
    void WriteGathered(bool partialToo);
    void WriterMain();
    // With writeMutex held: writes batch to the file (rotating at the cap) and the echo.
    void WriteOut(const std::string& batch, const std::string& echo);
    void Rotate();

    std::string path;
    std::size_t cap = kDefaultCap;
    int fd = -1;
    int echoFd = -1;
    std::size_t fileSize = 0;
    std::chrono::steady_clock::time_point start;

    std::mutex mutex;  // pending, pendingEcho, partial, repeats, quiet, stopping
    std::condition_variable wake;
    std::string pending;      // for the file
    std::string pendingEcho;  // for the echo
    std::string partial;      // a firmware line not complete yet
    std::string partialPrefix;
    std::unordered_map<std::string, Repeat> repeats;
    std::deque<std::string> recent;  // the last kLoopMemory lines' texts, oldest first
    bool quiet = false;
    bool stopping = false;

    std::mutex writeMutex;  // file, fileSize; held over a whole batch
    std::thread writer;
};

// The runner's one sink.
CLogSink& RunnerLog();

}  // namespace korvex_sim
