// The runner's log sink: start line, time prefixes, the cap with one old file, that
// everything logged reaches the file when the process ends with _exit after a flush, the
// throttle of repeated lines and which lines a quiet echo keeps.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/runner/LogSink.h"

namespace {

using korvex_sim::CLogSink;

// "<seconds>.<three decimals> " then text.
bool Prefixed(const std::string& line, const std::string& text)
{
    const std::size_t dot = line.find('.');
    if (dot == 0 || dot == std::string::npos || line.size() < dot + 5 || line[dot + 4] != ' ') return false;
    for (std::size_t i = 0; i < dot + 4; ++i)
        if (i != dot && !std::isdigit(static_cast<unsigned char>(line[i]))) return false;
    return line.compare(dot + 5, std::string::npos, text) == 0;
}

bool IsStartLine(const std::string& line)
{
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, zone = 0, pid = 0;
    char tail[8] = "";
    return std::sscanf(line.c_str(), "==== korvex-sim start %4d-%2d-%2dT%2d:%2d:%2d%5d pid %d %7s", &year,
                       &month, &day, &hour, &minute, &second, &zone, &pid, tail) == 9 &&
           pid == ::getpid() && std::string(tail) == "====";
}

struct LogSinkTest : ::testing::Test {
    void SetUp() override
    {
        char pattern[] = "/tmp/korvex-logsink-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        path = dir + "/korvex.log";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    static std::vector<std::string> Lines(const std::string& file)
    {
        std::ifstream in(file);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    std::string dir;
    std::string path;
};

TEST_F(LogSinkTest, StartLineThenEveryLinePrefixedWithSecondsSinceStart)
{
    {
        CLogSink sink;
        ASSERT_TRUE(sink.Open(path, -1));
        sink.Write("one\ntw", 6);  // a line in pieces and two lines in one piece
        sink.Write("o\nthree\nfour\n", 13);
        sink.Line("five");
    }
    const std::vector<std::string> lines = Lines(path);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_TRUE(IsStartLine(lines[0])) << lines[0];
    const char* texts[] = {"one", "two", "three", "four", "five"};
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(Prefixed(lines[i + 1], texts[i])) << lines[i + 1];
}

TEST_F(LogSinkTest, EachStartAppendsItsOwnStartLine)
{
    for (int start = 0; start < 2; ++start) {
        CLogSink sink;
        ASSERT_TRUE(sink.Open(path, -1));
        sink.Line("run");
    }
    const std::vector<std::string> lines = Lines(path);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2].rfind("==== korvex-sim start ", 0), 0u);
}

TEST_F(LogSinkTest, AtTheCapTheFileMovesToDotOneAndOnlyOneOldFileIsKept)
{
    const std::string line(89, 'x');  // 97 bytes a line with "0.000 ", two digits and the newline
    {
        CLogSink sink;
        ASSERT_TRUE(sink.Open(path, -1, 1000));
        for (int i = 0; i < 30; ++i) {
            sink.Line(line + std::to_string(10 + i));
            if (i % 7 == 0) sink.Flush();  // batches of several sizes
        }
    }
    const auto current = Lines(path);
    const auto old = Lines(path + ".1");
    EXPECT_LE(std::filesystem::file_size(path), 1000u);
    EXPECT_LE(std::filesystem::file_size(path + ".1"), 1000u);
    EXPECT_FALSE(std::filesystem::exists(path + ".2"));
    ASSERT_FALSE(current.empty());
    ASSERT_FALSE(old.empty());
    // Whole lines only, and the newest is the last logged.
    for (const auto& l : current) EXPECT_TRUE(l.size() > 2 && Prefixed(l.substr(0, l.size() - 2), line)) << l;
    EXPECT_EQ(current.back().back(), '9');
}

TEST_F(LogSinkTest, FlushBeforeExitLeavesNothingBehind)
{
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CLogSink* sink = new CLogSink;  // never destroyed, like the runner's
        if (!sink->Open(path, -1)) ::_exit(3);
        for (int i = 0; i < 1000; ++i) sink->Line("line " + std::to_string(i));
        sink->Flush();
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const auto lines = Lines(path);
    ASSERT_EQ(lines.size(), 1001u);
    EXPECT_TRUE(Prefixed(lines.back(), "line 999")) << lines.back();
}

// A stretch of lines that repeats itself (a retry without end) is written twice in full, then
// each of its lines three more times, the last marked; a line that comes back among other
// lines is always written.
TEST_F(LogSinkTest, LoopsAreThrottledLinesAmongOthersAreNot)
{
    {
        CLogSink sink;
        ASSERT_TRUE(sink.Open(path, -1));
        for (int i = 0; i < 50; ++i) {
            sink.Write("Loading code\n", 13);
            sink.Write("DSP code loaded!\n", 17);
        }
        for (int i = 0; i < 50; ++i) {
            sink.Line("Stopping TCP/IP SCPI module.");
            sink.Line("address " + std::to_string(i));
        }
    }
    const std::vector<std::string> lines = Lines(path);
    std::size_t loaded = 0, marked = 0, stops = 0;
    for (const std::string& line : lines) {
        loaded += line.find("DSP code loaded!") != std::string::npos;
        marked += line.find("DSP code loaded! [repeats: further copies within 10 s only counted]") !=
                  std::string::npos;
        stops += line.find("Stopping TCP/IP SCPI module.") != std::string::npos;
    }
    EXPECT_EQ(loaded, 5u);
    EXPECT_EQ(marked, 1u);
    EXPECT_EQ(stops, 50u);
}

TEST(LogSinkProblem, WordsThatReportAProblem)
{
    const struct {
        const char* line;
        bool problem;
    } cases[] = {
        {"HostAcq fatal exception at: x.cpp:886.", true},
        {"Error in file; deleting", true},
        {"bind failed on port 137", true},
        {"measure_parms/averaging/signal/count out of range; value kept", true},
        {"KorvexLoadStartupSettings: unit_parms/unit out of range; factory value kept", true},
        {"the portmapper refused the registration", true},
        {"PowerDownMonitorThreadMain: no alarm or button line", false},
        {"CKorvexHostParser::_DispatchCommand: SYSTem:ERRor[:NEXT]?", false},
        {"PANIC: stack overflow", true},
        {"Received PW_DEFAULT_CONFIGURATION_ACK message from DSP", false},
        {"Writing /yaffs/settings/DefaultFile.xml", false},
        {"CKorvexHostAcquisition::TriggerFlow: HostAcq encountered an error.", true},
        {"CKorvexHostAcquisition::AbortTrigger()", false},
        {"CKorvexHostAcquisition::TriggerFlow: HostAcq was asked to abort.", false},
        {"CKorvexHostAcquisition::AbortDSP: Aborting ...", false},
        {"CKorvexDSP::BuildAndWriteMessage:Message ABORT", false},
        {"Received ABORT_ACK message from DSP", false},
    };
    for (const auto& c : cases) EXPECT_EQ(CLogSink::Problem(c.line), c.problem) << c.line;
}

}  // namespace
