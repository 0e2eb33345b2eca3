// The runner's log sink: start line, time prefixes, the cap with one old file, and that
// everything logged reaches the file when the process ends with _exit after a flush.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/runner/LogSink.h"

namespace {

using korvex_sim::CLogSink;

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

// Whether `text` is `pattern`, where '#' stands for one digit, '+' for one or more digits
// and '~' for a sign.
bool Matches(const std::string& text, const std::string& pattern)
{
    const auto digit = [&](std::size_t i) { return i < text.size() && text[i] >= '0' && text[i] <= '9'; };
    std::size_t t = 0;
    for (const char p : pattern) {
        if (p == '#' || p == '+') {
            if (!digit(t)) return false;
            ++t;
            while (p == '+' && digit(t)) ++t;
        } else if (p == '~') {
            if (t >= text.size() || (text[t] != '+' && text[t] != '-')) return false;
            ++t;
        } else if (t >= text.size() || text[t++] != p) {
            return false;
        }
    }
    return t == text.size();
}

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
    EXPECT_TRUE(Matches(lines[0], "==== korvex-sim start ####-##-##T##:##:##~#### pid " + std::to_string(::getpid()) +
                                      " ===="))
        << lines[0];
    const char* texts[] = {"one", "two", "three", "four", "five"};
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(Matches(lines[i + 1], "+.### " + std::string(texts[i])))
            << lines[i + 1];
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
    const std::string line(90, 'x');  // 96 bytes a line with "0.000 " and the newline
    {
        CLogSink sink;
        ASSERT_TRUE(sink.Open(path, -1, 1000));
        for (int i = 0; i < 30; ++i) {
            sink.Line(line + std::to_string(i % 10));
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
    for (const auto& l : current) EXPECT_TRUE(Matches(l, "+.### " + line + "#")) << l;
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
    EXPECT_TRUE(Matches(lines.back(), "+.### line 999"));
}

}  // namespace
