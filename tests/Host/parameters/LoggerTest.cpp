#include "Host/parameters/Logger.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/KernelTestSupport.h"

using namespace Korvex;
using namespace kernel::test;

namespace {

std::string Contents(CLogger& log) {
    std::unique_ptr<char[]> text(log.GetContents());
    return text.get();
}

}  // namespace

TEST(Logger, LongMessageIsCutToLineSizeMinusOne) {
    CLogger log(CLogger::LogRingSize, CLogger::LogLineSize);
    std::string message(400, 'x');
    message[348] = 'L';  // last kept
    message[349] = 'C';  // first cut
    log.Printf("%s", message.c_str());
    EXPECT_EQ(Contents(log), message.substr(0, 349));
}

// Print joins its pieces into the same line Printf("%s%s...") makes, cut the same way.
TEST(Logger, PrintOfPiecesIsPrintfOfThemWithoutFormatting) {
    const std::string longPiece(400, 'y');
    const struct {
        std::string a, b, c;
    } cases[] = {
        {"CKorvexHostParser::_DispatchCommand: ", "*IDN?", "\n"},
        {"", "", ""},
        {"100% %s ", "%n", ""},
        {longPiece, "cut", "\n"},
        {std::string(348, 'a'), "bc", "\n"},
    };
    for (const auto& c : cases) {
        CLogger printed(CLogger::LogRingSize, CLogger::LogLineSize);
        CLogger formatted(CLogger::LogRingSize, CLogger::LogLineSize);
        printed.Print({c.a, c.b, c.c});
        formatted.Printf("%s%s%s", c.a.c_str(), c.b.c_str(), c.c.c_str());
        EXPECT_EQ(Contents(printed), Contents(formatted)) << c.a.size() << " " << c.b;
    }
}

TEST(Logger, EmptyOrFailedFormattingLeavesTheRingUnchanged) {
    CLogger log(100, 50);
    log.Printf("abc\n");
    log.Printf("%s", "");
    // A wide character the C locale cannot convert makes vsnprintf fail (negative return).
    log.Printf("%ls", L"\u20ac");
    EXPECT_EQ(Contents(log), "abc\n");
}

TEST(Logger, ExternalTextIsLoggedVerbatim) {
    CLogger log(100, 50);
    const char* hostText = "100% %s %n %x";
    log.Printf("%s", hostText);
    EXPECT_EQ(Contents(log), hostText);
}

TEST(Logger, OneCharacterPastTheRingDropsTheFirst) {
    CLogger log(CLogger::LogRingSize, CLogger::LogLineSize);
    std::string all;
    for (int i = 0; i < 50; ++i) {
        std::string line(99, static_cast<char>('A' + i % 26));
        line += '\n';
        all += line;
        log.Printf("%s", line.c_str());
    }
    ASSERT_EQ(all.size(), 5000u);
    EXPECT_EQ(Contents(log), all);
    log.Printf("!");
    std::string text = Contents(log);
    ASSERT_EQ(text.size(), 5000u);
    EXPECT_EQ(text, all.substr(1) + "!");
}

TEST(Logger, MessageEndingExactlyAtTheRingEnd) {
    CLogger log(10, 350);
    log.Printf("0123");
    log.Printf("456789");  // fills the ring to its end: not wrapped yet
    EXPECT_EQ(Contents(log), "0123456789");
    log.Printf("ab");
    EXPECT_EQ(Contents(log), "23456789ab");
    log.Printf("%s", "cdefghijklmn");  // longer than the ring: the newest ten remain
    EXPECT_EQ(Contents(log), "efghijklmn");
}

// The read-out for hosts starts at the first whole line: the cut rest of the oldest message
// is left out once the ring has wrapped, and nothing is left out before.
TEST(Logger, WholeLinesStartAtTheFirstLineTheRingHoldsWhole) {
    const struct {
        std::vector<const char*> messages;
        const char* whole;
    } cases[] = {
        {{"ab\n", "cd\n"}, "ab\ncd\n"},                 // not wrapped
        {{"abcd\n", "ef\n", "gh\n"}, "ef\ngh\n"},         // wrapped inside "abcd\n"
        {{"abcd\n", "efgh\n", "ijkl\n"}, "efgh\nijkl\n"}, // wrapped exactly at a line end
        {{"abcdefghi\n", "jk"}, "jk"},                   // a line begun after the cut
        {{"abcdefghijkl"}, ""},                          // no line begins in the ring
    };
    for (const auto& c : cases) {
        CLogger log(10, 50);
        for (const char* m : c.messages) log.Printf("%s", m);
        std::unique_ptr<char[]> text(log.GetWholeLines());
        EXPECT_STREQ(text.get(), c.whole);
    }
}

TEST(Logger, ConcurrentWritersNeverInterleaveInsideALine) {
    constexpr int Threads = 8;
    constexpr int Lines = 200;
    CLogger log(Threads * Lines * 64, CLogger::LogLineSize);
    std::vector<std::unique_ptr<TestThread>> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.push_back(std::make_unique<TestThread>([&log, t] {
            for (int n = 0; n < Lines; ++n)
                log.Printf("writer %d line %03d %s\n", t, n, "-------------------------");
        }));
    }
    for (auto& t : threads) kernel::thread_resume(t->handle);
    for (auto& t : threads) ASSERT_TRUE(WaitExited(t->handle));
    for (auto& t : threads) kernel::thread_delete(t->handle);

    std::istringstream text(Contents(log));
    std::string line;
    int next[Threads] = {};
    int total = 0;
    while (std::getline(text, line)) {
        int writer = -1, number = -1;
        char tail[64] = {};
        ASSERT_EQ(std::sscanf(line.c_str(), "writer %d line %d %63s", &writer, &number, tail), 3)
            << line;
        ASSERT_GE(writer, 0);
        ASSERT_LT(writer, Threads);
        EXPECT_EQ(number, next[writer]++) << line;
        EXPECT_STREQ(tail, "-------------------------");
        char expected[128];
        std::snprintf(expected, sizeof expected, "writer %d line %03d %s", writer, number,
                      "-------------------------");
        EXPECT_EQ(line, expected);
        ++total;
    }
    EXPECT_EQ(total, Threads * Lines);
}

TEST(Logger, InstanceIsSharedAndSizedForTheInstrument) {
    CLogger& a = Logger();
    EXPECT_EQ(&a, &Logger());
    std::string message(400, 'q');
    message[0] = '<';
    a.Printf("%s", message.c_str());
    std::string text = Contents(a);
    ASSERT_GE(text.size(), 349u);
    EXPECT_EQ(text.substr(text.size() - 349), message.substr(0, 349));
    EXPECT_LE(text.size(), CLogger::LogRingSize);
}
