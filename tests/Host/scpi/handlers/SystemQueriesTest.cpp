// The help queries against a help file in the ROM file system, the help file generator,
// *TRG, *RST, the DIAGnostic commands, the error queue and *ESR? under a racing poster.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Host/main/KorvexPower.h"
#include "Host/parameters/FileServices.h"
#include "Host/parameters/Logger.h"
#include "Host/parameters/PowerHooks.h"
#include "Host/scpi/handlers/CommonCommands.h"
#include "Host/scpi/handlers/MeasureFixture.h"
#include "platform/bootmon/BootMonitor.h"
#include "platform/fs/FileSystem.h"
#include "romfs/mkhelp/HelpImage.h"

namespace Korvex::test {
namespace {

struct PanicCalled {};
void ThrowingPanic() { throw PanicCalled{}; }

// A ROM file system holding the given help file (none when the content is empty).
class ScpiSystemQueriesTest : public MeasureFixture {
protected:
    void TearDown() override
    {
        if (!folder.empty()) {
            platform::fs::reset();
            SetPanicHandler(previousPanic);
            std::error_code ec;
            std::filesystem::remove_all(folder, ec);
        }
        MeasureFixture::TearDown();
    }

    void MountHelp(const std::vector<std::uint8_t>& content)
    {
        char name[] = "/tmp/korvex-help-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        folder = name;
        const std::string romfs = folder + "/rom";
        std::filesystem::create_directories(romfs);
        if (!content.empty()) {
            std::ofstream out(romfs + "/help.dat", std::ios::binary);
            out.write(reinterpret_cast<const char*>(content.data()),
                      static_cast<std::streamsize>(content.size()));
        }
        previousPanic = SetPanicHandler(&ThrowingPanic);
        platform::fs::init(folder + "/state", romfs);
        platform::bootmon::set_romfs_block_missing(false);
        ASSERT_EQ(KorvexMountFileSystems(), 0);
    }

    static std::vector<std::uint8_t> GeneratedHelp()
    {
        std::vector<std::uint8_t> image;
        std::string error;
        EXPECT_TRUE(mkhelp::MakeHelpImage(image, error)) << error;
        return image;
    }

    std::string folder;
    PanicHandler previousPanic = nullptr;
};

TEST_F(ScpiSystemQueriesTest, GeneratedHelpFileFitsItsLayout)
{
    const std::vector<std::uint8_t> image = GeneratedHelp();
    ASSERT_EQ(image.size(), HelpHeaderSize + HelpTextSize + HelpRecordSize * ScpiCommandCount);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(image.data()), 10), "KorvexHelp");
    EXPECT_EQ(image[16] | image[17] << 8, static_cast<int>(ScpiCommandCount));

    const std::string text = mkhelp::HeadersText();
    std::size_t lines = 0;
    for (char c : text) lines += c == '\n';
    EXPECT_EQ(lines, 158u);  // 239 patterns, 81 set/query pairs
    EXPECT_LE(text.size(), HelpTextSize);
    EXPECT_NE(text.find("\n*ESE[?]\n"), std::string::npos);
    EXPECT_NE(text.find("\n*IDN?\n"), std::string::npos);
    EXPECT_EQ(text.find("\n*ESE?\n"), std::string::npos);
    for (unsigned n = 0; n < ScpiCommandCount; ++n) {
        EXPECT_LE(mkhelp::SyntaxRecord(n).size(), HelpRecordSize - 1) << n;
        EXPECT_EQ(image[HelpHeaderSize + HelpTextSize + HelpRecordSize * n + HelpRecordSize - 1], 0);
    }
    EXPECT_EQ(mkhelp::SyntaxRecord(4), "*IDN?");
    EXPECT_EQ(mkhelp::SyntaxRecord(102),
              "MEASure[:SCALar][:FLUX]? "
              "[<flux>[,<numeric>|MINimum|MAXimum|DEFault[,(@<channel list>)]]]");
}

TEST_F(ScpiSystemQueriesTest, HelpQueriesReadTheFile)
{
    MountHelp(GeneratedHelp());
    const std::string text = mkhelp::HeadersText();
    char header[8];
    std::snprintf(header, sizeof header, "#4%04u", static_cast<unsigned>(text.size()));
    EXPECT_EQ(Query("SYST:HELP:HEAD?"), header + text);

    EXPECT_EQ(Query("SYST:HELP:SYNT? \"*IDN?\""), "*IDN?");
    EXPECT_EQ(Query("SYST:HELP:SYNT? \"SYST:VERS?\""), "SYSTem:VERSion?");
    EXPECT_EQ(Query("SYST:HELP:SYNT? \"meas?\""), mkhelp::SyntaxRecord(102));

    EXPECT_EQ(Run("SYST:HELP:SYNT? \"FOO\"").status, 0);
    EXPECT_EQ(response, "");
    EXPECT_EQ(NextError(), "-222,Data out of range");
}

TEST_F(ScpiSystemQueriesTest, HelpTextFillingItsPlaceEndsThere)
{
    std::vector<std::uint8_t> image = GeneratedHelp();
    std::fill(image.begin() + HelpHeaderSize, image.begin() + HelpHeaderSize + HelpTextSize, 'a');
    MountHelp(image);
    EXPECT_EQ(Query("SYST:HELP:HEAD?"), "#45000" + std::string(5000, 'a'));
    // The records behind it are untouched.
    EXPECT_EQ(Query("SYST:HELP:SYNT? \"*IDN?\""), "*IDN?");

    std::fill(image.begin() + HelpHeaderSize, image.begin() + HelpHeaderSize + HelpTextSize, 0);
    std::ofstream(folder + "/state/romfs/help.dat", std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    EXPECT_EQ(Query("SYST:HELP:HEAD?"), "#40000");
}

TEST_F(ScpiSystemQueriesTest, MissingOrShortHelpFileIsAFirmwareError)
{
    MountHelp({});
    ParsedCommand record = Run("SYST:HELP:HEAD?");
    EXPECT_EQ(record.status, ParsedInconsistent);
    EXPECT_EQ(response, "#40000");
    record = Run("SYST:HELP:SYNT? \"*IDN?\"");
    EXPECT_EQ(record.status, ParsedInconsistent);
    EXPECT_EQ(response, "");

    // A file that ends inside the records: what was read is still replied.
    std::vector<std::uint8_t> image = GeneratedHelp();
    image.resize(HelpHeaderSize + HelpTextSize + HelpRecordSize * 4 + 3);
    std::ofstream(folder + "/state/romfs/help.dat", std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    record = Run("SYST:HELP:SYNT? \"*IDN?\"");
    EXPECT_EQ(record.status, ParsedInconsistent);
    EXPECT_EQ(response, "*ID");
}

TEST_F(ScpiSystemQueriesTest, BusTriggerRefusedIsATriggerError)
{
    EXPECT_EQ(Run("*TRG").status, 0);
    EXPECT_EQ(NextError(), "0,No error");
    acquisition.busTriggerResult = 43;
    EXPECT_EQ(Run("*TRG").status, 0);
    // Posted with an evaluation: the queue bit is in the status byte at once.
    EXPECT_EQ(CKorvexScpiStatus::ReadStatusByte(block, 0) & 0x04, 0x04);
    EXPECT_EQ(NextError(), "-210,Trigger error");
}

TEST_F(ScpiSystemQueriesTest, ResetAndUpgradeAskForTheirStops)
{
    std::uint32_t reason = 99;
    while (CKorvexPower::WaitForPowerEvent(reason, 0)) {}
    EXPECT_EQ(Run("*RST").status, 0);
    ASSERT_TRUE(CKorvexPower::WaitForPowerEvent(reason, 30000));
    EXPECT_EQ(reason, 3u);
    // Once the parser thread runs again, the acquisition is reset.
    EXPECT_EQ(acquisition.resets, 1);
    kernel::thread_resume(parser->GetHandle());

    EXPECT_EQ(Run("DIAG:UPGR").status, 0);
    ASSERT_TRUE(CKorvexPower::WaitForPowerEvent(reason, 30000));
    EXPECT_EQ(reason, 5u);
    Logger().Printf("marker of the log query\n");
    const std::string log = Query("DIAG:LOG?");
    EXPECT_NE(log.find("Entering DFU mode...\n"), std::string::npos);
    EXPECT_NE(log.find("marker of the log query\n"), std::string::npos);
    EXPECT_LT(log.find("Entering DFU mode...\n"), log.find("marker of the log query\n"));
}

TEST_F(ScpiSystemQueriesTest, ErrorQueueKeepsOrderAndReportsOverflow)
{
    for (std::uint32_t row = 1; row <= 12; ++row) CKorvexScpiStatus::PostError(block, row, 1);
    std::vector<std::string> errors;
    for (int i = 0; i < 11; ++i) errors.push_back(Query("SYST:ERR?"));
    for (std::uint32_t row = 1; row <= 9; ++row) {
        std::int16_t code = 0;
        std::string text;
        CKorvexScpiStatus::GetErrorText(row, code, text);
        EXPECT_EQ(errors[row - 1], std::to_string(code) + ",\"" + text + "\"");
    }
    EXPECT_EQ(errors[9], "-350,\"Queue overflow\"");
    EXPECT_EQ(errors[10], "0,\"No error\"");
}

TEST_F(ScpiSystemQueriesTest, EventStatusLosesNoEventOfARacingPoster)
{
    // Each command error the poster queues (with an evaluation, as the acquisition thread
    // posts) must show in exactly one *ESR? reply. An event latched between a read and a
    // separate clear would be lost, and the poster would wait for it in vain.
    constexpr int Rounds = 300;
    std::atomic<int> seen{0};
    std::thread poster([&] {
        for (int i = 0; i < Rounds; ++i) {
            CKorvexScpiStatus::PostError(block, 3, 0);  // -102: standard event bit 0x20
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (seen.load() <= i && std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield();
        }
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (seen.load() < Rounds && std::chrono::steady_clock::now() < deadline) {
        response.clear();
        ParsedCommand record = Parse("*ESR?");
        EventStatusQuery(*parser, record, *host);
        if ((std::stoi(response) & 0x20) != 0) seen.fetch_add(1);
    }
    poster.join();
    EXPECT_EQ(seen.load(), Rounds);
}

}  // namespace
}  // namespace Korvex::test
