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
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

namespace korvex_sim {

class CLogSink {
public:
    static constexpr std::size_t kDefaultCap = 4u * 1024u * 1024u;
    static constexpr std::chrono::milliseconds kFlushPeriod{100};

    CLogSink() = default;
    ~CLogSink();  // flushes and stops the writer thread
    CLogSink(const CLogSink&) = delete;
    CLogSink& operator=(const CLogSink&) = delete;

    // Opens path for appending, writes the start line and starts the writer thread; false
    // (with errno) when the file cannot be opened. echoFd: where every line is copied too
    // (standard error; -1: nowhere).
    bool Open(const std::string& path, int echoFd, std::size_t cap = kDefaultCap);

    // Logs text (any number of lines, a line may come in pieces); prefixes each new line.
    void Write(const char* text, std::size_t length);
    // Logs one line (the newline is added).
    void Line(const std::string& line) { Write((line + "\n").data(), line.size() + 1); }
    // Writes out everything logged so far before returning.
    void Flush();

private:
    void WriterMain();
    // With writeMutex held: writes batch to the file (rotating at the cap) and the echo.
    void WriteOut(const std::string& batch);
    void Rotate();

    std::string path;
    std::size_t cap = kDefaultCap;
    int fd = -1;
    int echoFd = -1;
    std::size_t fileSize = 0;
    std::chrono::steady_clock::time_point start;

    std::mutex mutex;  // pending, atLineStart, stopping
    std::condition_variable wake;
    std::string pending;
    bool atLineStart = true;
    bool stopping = false;

    std::mutex writeMutex;  // file, fileSize; held over a whole batch
    std::thread writer;
};

// The runner's one sink.
CLogSink& RunnerLog();

}  // namespace korvex_sim
