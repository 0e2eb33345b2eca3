// Random program messages and mutations of every command pattern through the parser
// thread: each message must be handed back within 2 s, every response must end in "\n",
// and the session must still answer correctly afterwards. The seed is printed; set
// KORVEX_FUZZ_SEED to replay a run.
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "Host/main/KorvexNetworkThread.h"
#include "Host/scpi/parser/ParserFixture.h"

namespace Korvex::test {
namespace {

// SYSTem:COMMunicate:ETHernet:RESTart runs the network thread, which reads the tree: it must
// be done before the tree goes.
class ScpiParserFuzzTest : public ParserFixture {
protected:
    void SetUp() override
    {
        ParserFixture::SetUp();
        CParameterNode::SetValue(g_pNbnsEnabled, false);
    }

    void TearDown() override
    {
        host.reset();
        parser.reset();
        EXPECT_TRUE(KorvexWaitNetworkIdle(30000));
        ParserFixture::TearDown();
    }
};

// *RST in any case, mutated into a message or not, suspends the parser until a restart.
bool SuspendsTheParser(const std::string& message)
{
    std::string upper(message);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper.find("*RST") != std::string::npos;
}

const char* const SampleParameters[] = {
    "",        "1",          "0",         "-5",         "MIN",      "MAX",       "DEF",
    "ON",      "OFF",        "0.5",       "1e3",        "3e9",      "1E40",      "500 MT",
    "2 T",     "10 HZ",      "INF",       "'abc'",      "\"a\"\"b\"", "(@1!2)",  "(@1!1:1!4)",
    "(@1!1!1!1:1!255!255!255)", "#13abc", "#0xyz",     "MAN",        "AUTO",     "ASC",
    "EXT",     "1,2",        "(@",        "'open",     "#9",         "1!2",      "-1e-400",
};

class Generator {
public:
    explicit Generator(std::uint32_t seed) : rng(seed) {}

    std::size_t Below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); }
    bool Coin() { return Below(2) == 0; }

    // A header from a pattern: optional nodes kept or dropped, short or long keywords in
    // random case, a suffix for '#'.
    std::string Header(const char* pattern, bool shortForm)
    {
        std::string out;
        bool dropping = false;
        for (const char* p = pattern; *p != '\0'; ++p) {
            const char c = *p;
            if (c == '[') {
                dropping = Coin();
                continue;
            }
            if (c == ']') {
                dropping = false;
                continue;
            }
            if (dropping) continue;
            if (c == '#') {
                const char* suffixes[] = {"", "1", "2", "258"};
                out += suffixes[Below(4)];
                continue;
            }
            const bool lower = c >= 'a' && c <= 'z';
            if (shortForm && lower) continue;
            out += Coin() ? static_cast<char>(std::toupper(static_cast<unsigned char>(c)))
                          : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        return out;
    }

    std::string Unit(const char* pattern, bool shortForm)
    {
        std::string unit = Header(pattern, shortForm);
        const std::size_t n = Below(3);
        for (std::size_t i = 0; i < n; ++i) {
            unit += i == 0 ? " " : ",";
            unit += SampleParameters[Below(sizeof(SampleParameters) / sizeof(*SampleParameters))];
        }
        return unit;
    }

    void Mutate(std::string& text)
    {
        const std::size_t edits = 1 + Below(4);
        const char alphabet[] = ";:,*?#!@()'\"\t\n 019AZaz.-+\x01\x7f\xff";
        for (std::size_t i = 0; i < edits; ++i) {
            const std::size_t pos = text.empty() ? 0 : Below(text.size() + 1);
            const char c = alphabet[Below(sizeof(alphabet) - 1)];
            switch (Below(3)) {
                case 0: text.insert(pos, 1, c); break;
                case 1:
                    if (pos < text.size()) text.erase(pos, 1);
                    break;
                default:
                    if (pos < text.size()) text[pos] = c;
                    break;
            }
        }
    }

    // Any command but *RST, which suspends the parser until a restart.
    unsigned SomeCommand()
    {
        unsigned command = ResetCommandNumber;
        while (command == ResetCommandNumber) command = static_cast<unsigned>(Below(ScpiCommandCount));
        return command;
    }

    static constexpr unsigned ResetCommandNumber = 7;

    std::string RandomMessage()
    {
        std::string message;
        const std::size_t units = 1 + Below(4);
        for (std::size_t i = 0; i < units; ++i) {
            if (i) message += Coin() ? ";" : ";:";
            message += Unit(ScpiCommandPatternTable[SomeCommand()], Coin());
        }
        if (Below(3) == 0) Mutate(message);
        return message;
    }

private:
    std::mt19937 rng;
};

TEST_F(ScpiParserFuzzTest, RandomMessagesAndMutatedPatterns)
{
    std::uint32_t seed = static_cast<std::uint32_t>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    if (const char* env = std::getenv("KORVEX_FUZZ_SEED")) seed = static_cast<std::uint32_t>(std::strtoul(env, nullptr, 0));
    std::printf("scpi parser fuzz seed: %u\n", seed);
    RecordProperty("seed", std::to_string(seed));
    Generator gen(seed);

    std::vector<std::string> messages;
    for (unsigned command = 0; command < ScpiCommandCount; ++command) {
        if (command == Generator::ResetCommandNumber) continue;
        for (int form = 0; form < 2; ++form) {
            for (int sample = 0; sample < 4; ++sample)
                messages.push_back(gen.Unit(ScpiCommandPatternTable[command], form == 0));
            std::string mutated = gen.Unit(ScpiCommandPatternTable[command], form == 0);
            gen.Mutate(mutated);
            messages.push_back(mutated);
        }
    }
    for (int i = 0; i < 20000; ++i) messages.push_back(gen.RandomMessage());

    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (SuspendsTheParser(messages[i])) continue;
        // 30 s: a probe-memory write to a channel with no probe takes 5 s before its -311.
        const std::string reply = host->Exchange(messages[i], 30000);
        ASSERT_NE(reply, "<time-out>") << "message " << i << ": " << messages[i];
        ASSERT_TRUE(reply.empty() || reply.back() == '\n') << "message " << i << ": " << messages[i];
        if (parser->InputClosed()) {
            // A power-off or an upgrade was asked for: a fresh parser, as after the restart.
            host.reset();
            parser = std::make_unique<CKorvexHostParser>();
            CParameterNode::SetPointerAttribute(g_pScpiParserObject, eAttrValue, parser.get());
            host = std::make_unique<CTestHost>(parser.get());
        }
    }
    CParameterNode::SetPointerAttribute(g_pParametersLock, eAttrValue, nullptr);
    EXPECT_EQ(host->Exchange("*CLS;*ESE 16;*ESE?"), "16\n");
}

}  // namespace
}  // namespace Korvex::test
