// The DSP program loader: COFF reading with images made by the image writer, the loads
// into a recording host-port device, and the build's own image booting the simulated DSP.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Host/acquisition/AcqExceptions.h"
#include "Host/acquisition/CKorvexDSP.h"
#include "Host/acquisition/CKorvexDSPLoader.h"
#include "Host/acquisition/CTMS320C67xxCoffParser.h"
#include "Host/parameters/Error.h"
#include "Host/parameters/Logger.h"
#include "board/hpi.h"
#include "platform/hpi/HpiWindow.h"
#include "romfs/mkdspimage/CoffWriter.h"
#include "romfs/mkdspimage/DspProgramImage.h"
#include "sim/dsp/DspSim.h"
#include "support/BoardFixture.h"

using namespace Korvex;
using namespace mkdspimage;

namespace {

struct Block {
    std::uint32_t address;
    std::vector<std::uint32_t> words;
};

class RecordingParser : public CTMS320C67xxCoffParser {
public:
    std::vector<Block> blocks;
    int failBlock = -1;  // index of the block whose store fails

protected:
    bool LoadBlock(std::uint32_t address, const std::vector<std::uint32_t>& words) override {
        blocks.push_back({address, words});
        return static_cast<int>(blocks.size()) - 1 != failBlock;
    }
};

std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + 7 * i);
    return b;
}

std::vector<std::uint32_t> Words(const std::vector<std::uint8_t>& b, std::size_t from, std::size_t n) {
    std::vector<std::uint32_t> w(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t* p = b.data() + from + 4 * i;
        w[i] = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
    }
    return w;
}

CoffSection Section(const std::string& name, std::uint32_t address, std::uint32_t flags,
                    std::vector<std::uint8_t> data) {
    CoffSection s;
    s.name = name;
    s.physicalAddress = s.virtualAddress = address;
    s.flags = flags;
    s.data = std::move(data);
    return s;
}

// Image files in a temporary folder, read straight from the host (no board mounted).
class CoffLoaderParse : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/korvex-coff-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string Save(const std::vector<std::uint8_t>& bytes) {
        const std::string path = dir + "/image" + std::to_string(++count) + ".out";
        EXPECT_TRUE(SaveFile(path, bytes));
        return path;
    }
    std::string Save(const CoffImage& image) { return Save(WriteCoff(image)); }

    // The message of the exception a load throws ("" when it loads).
    std::string LoadError(const std::string& path) {
        try {
            parser.Load(path.c_str());
        } catch (const CCOFFParserException& e) {
            return e.what();
        }
        return "";
    }

    std::string dir;
    int count = 0;
    RecordingParser parser;
};

using CoffLoaderErrors = CoffLoaderParse;

constexpr std::uint32_t SectionHeadersAt = FileHeaderBytes + OptionalHeaderBytes;

void PatchWord(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

TEST_F(CoffLoaderParse, ProgramImageLoadsTextAndCheckedBlockOnly) {
    const CoffImage image = MakeProgramImage();
    ASSERT_TRUE(parser.Load(Save(image).c_str()));

    const auto& text = image.sections[0].data;   // descriptor + 2 x 4096 + 100 bytes
    const auto& data = image.sections[1].data;   // checked block + 10-byte tail
    ASSERT_EQ(text.size(), 32u + 2 * 4096 + 100);
    ASSERT_EQ(parser.blocks.size(), 5u);
    EXPECT_EQ(parser.blocks[0].address, 0u);
    EXPECT_EQ(parser.blocks[0].words, Words(text, 0, 1024));
    EXPECT_EQ(parser.blocks[1].address, 4096u);
    EXPECT_EQ(parser.blocks[2].address, 8192u);
    EXPECT_EQ(parser.blocks[2].words, Words(text, 8192, 33));
    EXPECT_EQ(parser.blocks[3].address, CheckedBlockAddress);
    EXPECT_EQ(parser.blocks[4].address, CheckedBlockAddress + 4096);
    // 1536 block words and two whole words of the tail; its last two bytes stay out.
    EXPECT_EQ(parser.blocks[4].words, Words(data, 4096, 514));

    const ProgramOptions options;
    std::vector<std::uint32_t> loaded = parser.blocks[3].words;
    loaded.insert(loaded.end(), parser.blocks[4].words.begin(), parser.blocks[4].words.end() - 2);
    EXPECT_EQ(loaded, CheckedBlockWords(options));
    std::uint32_t sum = 0;
    for (std::uint32_t w : loaded) sum += w;
    const ProgramDescriptor d = MakeDescriptor(2, 5, CheckedBlockAddress, 1536, sum);
    EXPECT_EQ(std::vector<std::uint32_t>(d.begin(), d.end()),
              std::vector<std::uint32_t>(parser.blocks[0].words.begin(), parser.blocks[0].words.begin() + 8));
    EXPECT_EQ(d[0], 0x4B565844u);
}

TEST_F(CoffLoaderParse, SizeRulesForChunksTailsAndSkippedSections) {
    CoffImage image;
    image.sections = {
        Section(".whole", 0x1000, SectionText, Bytes(2 * 4096, 1)),
        Section(".ten", 0x20000, SectionData, Bytes(10, 2)),
        Section(".zero", 0x30000, SectionText, {}),
        Section(".copy", 0x40000, SectionCopy | SectionData, Bytes(64, 3)),
        Section(".bss", 0x50000, SectionBss, Bytes(64, 4)),  // raw data, but no text/data flag
        Section(".neg", 0x60000, SectionText, {}),
        Section(".last", 0x70000, SectionText, Bytes(8, 5)),
    };
    image.sections[5].size = 0x80000000u;  // negative as a signed size
    ASSERT_EQ(LoadError(Save(image)), "");

    ASSERT_EQ(parser.blocks.size(), 4u);
    // 4096 x 2 bytes: two full chunks, no tail call.
    EXPECT_EQ(parser.blocks[0].address, 0x1000u);
    EXPECT_EQ(parser.blocks[1].address, 0x2000u);
    EXPECT_EQ(parser.blocks[1].words, Words(image.sections[0].data, 4096, 1024));
    // 10 bytes: two words.
    EXPECT_EQ(parser.blocks[2].address, 0x20000u);
    EXPECT_EQ(parser.blocks[2].words, Words(image.sections[1].data, 0, 2));
    EXPECT_EQ(parser.blocks[3].address, 0x70000u);
    EXPECT_EQ(parser.blocks[3].words, Words(image.sections[6].data, 0, 2));
}

TEST_F(CoffLoaderParse, SkippedSectionsStillHaveTheirAddressesCompared) {
    CoffImage image;
    CoffSection bss = Section(".bss", 0x4000, SectionBss, {});
    bss.size = 0x100;
    bss.virtualAddress = 0x8000;
    image.sections = {Section(".text", 0, SectionText, Bytes(16, 1)), bss};
    EXPECT_EQ(LoadError(Save(image)),
              "Current implementation of the COFF reader doesn't handle virtual addresses.");
    EXPECT_EQ(parser.blocks.size(), 1u);  // sections before it were loaded
}

TEST_F(CoffLoaderParse, OptionalHeaderIsAlways28Bytes) {
    CoffImage image;
    image.optionalHeaderSizeField = 0;
    image.sections = {Section(".text", 0x100, SectionText, Bytes(12, 9))};
    ASSERT_EQ(LoadError(Save(image)), "");
    ASSERT_EQ(parser.blocks.size(), 1u);
    EXPECT_EQ(parser.blocks[0].address, 0x100u);
}

TEST_F(CoffLoaderParse, LongNamesComeFromTheStringTable) {
    CoffImage image;
    image.symbolCount = 7;
    image.firstStringOffset = 300;
    image.sections = {Section(".a_long_section_name", 0x80000000u, SectionData, Bytes(8, 1)),
                      Section(".text", 0x200, SectionText, Bytes(8, 2))};
    std::vector<std::uint8_t> bytes = WriteCoff(image);
    ASSERT_EQ(bytes[SectionHeadersAt + 4], 44);  // offset 300 = 0x12C
    ASSERT_EQ(bytes[SectionHeadersAt + 5], 1);
    ASSERT_EQ(LoadError(Save(bytes)), "");
    // The header after the long name is read from where the name lookup started.
    ASSERT_EQ(parser.blocks.size(), 2u);
    EXPECT_EQ(parser.blocks[0].address, 0x80000000u);
    EXPECT_EQ(parser.blocks[1].address, 0x200u);

    // A name offset past the end of the file cannot be read.
    PatchWord(bytes, SectionHeadersAt + 4, 100000);
    EXPECT_EQ(LoadError(Save(bytes)), "Cannot read from the specified file.");
    // A name without its NUL runs into the end of the file.
    bytes = WriteCoff(image);
    bytes.pop_back();
    EXPECT_EQ(LoadError(Save(bytes)), "Cannot read from the specified file.");
}

TEST_F(CoffLoaderErrors, HeaderChecks) {
    CoffImage image = MakeProgramImage();
    image.targetId = 0x0097;
    EXPECT_EQ(LoadError(Save(image)), "COFF file isn't compiled for our DSP target.");
    image = MakeProgramImage();
    image.optionalHeaderMagic = 0x0107;
    EXPECT_EQ(LoadError(Save(image)), "Invalid COFF Magic Number.");
    image = MakeProgramImage();
    image.versionId = 0x00C1;  // stored, not tested
    EXPECT_EQ(LoadError(Save(image)), "");
    EXPECT_TRUE(parser.blocks.size() > 0);
}

TEST_F(CoffLoaderErrors, FileErrors) {
    EXPECT_EQ(LoadError(dir + "/missing.out"), "Cannot open the file.");

    std::vector<std::uint8_t> bytes = WriteCoff(MakeProgramImage());
    EXPECT_EQ(LoadError(Save(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 30))),
              "Cannot read the specified length from file.");
    // Raw data of the first section beyond the end of the file.
    PatchWord(bytes, SectionHeadersAt + 20, static_cast<std::uint32_t>(bytes.size()) - 100);
    EXPECT_EQ(LoadError(Save(bytes)), "Cannot read the specified length from file.");
    EXPECT_TRUE(parser.blocks.empty());
}

TEST_F(CoffLoaderErrors, RefusedBlockFailsTheLoad) {
    parser.failBlock = 3;
    EXPECT_EQ(LoadError(Save(MakeProgramImage())), "Could not load section.");
    EXPECT_EQ(parser.blocks.size(), 4u);  // nothing after the refused block
    // The tail call is checked too.
    parser.blocks.clear();
    parser.failBlock = 2;
    EXPECT_EQ(LoadError(Save(MakeProgramImage())), "Could not load section.");
}

// ---- loads through the host port -----------------------------------------------------------

namespace {

// DSP memory behind the host-port window, recording what the loader does.
class RecordingHpi : public platform::hpi::HpiDevice {
public:
    void write(std::uint32_t offset, std::uint32_t value) override {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(offset == platform::hpi::HPIC ? value : 0);
        switch (offset) {
        case platform::hpi::HPIC:
            if (value == kHpicDspInt) {
                dspIntCount++;
                ownsAtStart = CKorvexDSP::OwnsDSP();
                stateAtStart = CKorvexDSP::GetLinkState();
            }
            break;
        case platform::hpi::HPIA: address = value; break;
        case platform::hpi::HPID_WRITE_INC: memory[address] = value; address += 4; break;
        case platform::hpi::HPID_WRITE_FIXED: memory[address] = value; break;
        default: break;
        }
    }
    std::uint32_t read(std::uint32_t offset) override {
        std::lock_guard<std::mutex> lock(mutex);
        std::uint32_t a = address;
        if (offset == platform::hpi::HPID_READ_INC) address += 4;
        else if (offset != platform::hpi::HPID_READ_FIXED) return 0;
        const auto it = memory.find(a);
        const std::uint32_t v = it == memory.end() ? 0 : it->second;
        return a == corruptAddress ? v ^ 0x100 : v;
    }
    void set_reset(bool held) override {
        std::lock_guard<std::mutex> lock(mutex);
        if (held) {
            memory.clear();
            return;
        }
        // The release ends every reset (the pin may already be low when a reset begins).
        resets++;
        ownsAtReset = CKorvexDSP::OwnsDSP();
        if (onReset) onReset();
    }

    std::function<void()> onReset;

    std::mutex mutex;
    std::map<std::uint32_t, std::uint32_t> memory;
    std::vector<std::uint32_t> events;  // HPIC values, 0 for other writes
    std::uint32_t address = 0;
    std::uint32_t corruptAddress = 1;   // never a word address: no corruption
    int resets = 0, dspIntCount = 0;
    bool ownsAtReset = false, ownsAtStart = false;
    std::int32_t stateAtStart = -1;
};

class CoffLoaderHpi : public korvex_test::BoardFixture {
protected:
    void SetUp() override {
        BoardFixture::SetUp();
        Mount();
        platform::hpi::attach(&hpi);
        hpi.resets = 0;  // attaching reports the pin's level
    }
    void TearDown() override {
        platform::hpi::attach(nullptr);
        BoardFixture::TearDown();
    }
    std::string RomfsSource() const override { return KORVEX_ROMFS_DIR; }

    static std::string Log() {
        char* text = Logger().GetContents();
        std::string s(text);
        delete[] text;
        return s;
    }

    RecordingHpi hpi;
};

class CoffLoaderNoImage : public CoffLoaderHpi {
protected:
    std::string RomfsSource() const override { return std::string(KORVEX_SOURCE_DIR) + "/romfs"; }
};

}  // namespace

TEST_F(CoffLoaderHpi, BuildImageIsWrittenVerifiedAndStarted) {
    Logger().Printf("-- mark --\n");
    EXPECT_EQ(CKorvexDSP::LoadDSPCode(), 0u);

    const CoffImage image = MakeProgramImage();
    const auto text = Words(image.sections[0].data, 0, image.sections[0].data.size() / 4);
    for (std::size_t i = 0; i < text.size(); ++i) ASSERT_EQ(hpi.memory[4 * i], text[i]) << i;
    const auto block = CheckedBlockWords();
    for (std::size_t i = 0; i < block.size(); ++i)
        ASSERT_EQ(hpi.memory[CheckedBlockAddress + 4 * i], block[i]) << i;
    EXPECT_EQ(hpi.memory.count(CheckedBlockAddress + 4 * 1538), 0u);  // the partial word
    EXPECT_EQ(hpi.memory.count(0x4000), 0u);                          // .bss
    EXPECT_EQ(hpi.resets, 1);
    EXPECT_EQ(hpi.dspIntCount, 1);
    EXPECT_EQ(hpi.events.back(), kHpicDspInt);  // started last

    const std::string log = Log().substr(Log().rfind("-- mark --\n"));
    EXPECT_NE(log.find("CKorvexDSP::LoadDSPCode\n"), std::string::npos);
    EXPECT_NE(log.find("Loading code at 0x00000000 , size 4096 bytes\n"), std::string::npos);
    EXPECT_NE(log.find("Loading code at 0x00002000 , size 132 bytes\n"), std::string::npos);
    EXPECT_NE(log.find("Loading code at 0x80001000 , size 2056 bytes\n"), std::string::npos);
    EXPECT_NE(log.find("DSP code loaded!\n"), std::string::npos);
}

TEST_F(CoffLoaderHpi, LockIsHeldAndLinkNotBootedFromResetToStart) {
    // An exchange another thread starts during the load waits for the start and then finds
    // the DSP not booted.
    std::atomic<std::uint32_t> sendResult{0};
    std::atomic<int> startsSeenBySend{-1};
    std::thread other;
    hpi.onReset = [&] {
        other = std::thread([&] {
            sendResult = CKorvexDSP::SendMessage(CKorvexDSP::ABORT);
            {
                std::lock_guard<std::mutex> lock(hpi.mutex);
                startsSeenBySend = hpi.dspIntCount;
            }
            CKorvexDSP::ReleaseDSP();
        });
    };
    EXPECT_EQ(CKorvexDSP::LoadDSPCode(), 0u);
    other.join();
    EXPECT_TRUE(hpi.ownsAtReset);
    EXPECT_TRUE(hpi.ownsAtStart);
    EXPECT_EQ(hpi.stateAtStart, CKorvexDSP::LinkNotBooted);
    EXPECT_FALSE(CKorvexDSP::OwnsDSP());
    EXPECT_EQ(startsSeenBySend, 1);
    EXPECT_EQ(sendResult, static_cast<std::uint32_t>(eAcquisitionNotUp));
}

TEST_F(CoffLoaderHpi, ReadBackDifferenceFailsBeforeTheStart) {
    hpi.corruptAddress = CheckedBlockAddress + 4 * 1500;
    try {
        CKorvexDSP::LoadDSPCode();
        FAIL() << "loaded";
    } catch (const CCOFFParserException& e) {
        EXPECT_STREQ(e.what(), "Could not load section.");
    }
    EXPECT_EQ(hpi.dspIntCount, 0);
    EXPECT_FALSE(CKorvexDSP::OwnsDSP());
    EXPECT_EQ(hpi.memory.count(CheckedBlockAddress + 4 * 1535), 1u);  // the failing block was written
}

TEST_F(CoffLoaderNoImage, MissingImageFailsToOpen) {
    try {
        CKorvexDSP::LoadDSPCode();
        FAIL() << "loaded";
    } catch (const CCOFFParserException& e) {
        EXPECT_STREQ(e.what(), "Cannot open the file.");
    }
    EXPECT_EQ(hpi.resets, 1);  // reset, not started
    EXPECT_EQ(hpi.dspIntCount, 0);
    EXPECT_FALSE(CKorvexDSP::OwnsDSP());
}

// ---- the build's image on the simulated DSP --------------------------------------------------

namespace {

class CoffLoaderSim : public korvex_test::BoardFixture {
protected:
    void SetUp() override {
        BoardFixture::SetUp();
        Mount();
        sim.attach();
    }
    void TearDown() override {
        sim.detach();
        BoardFixture::TearDown();
    }
    std::string RomfsSource() const override { return KORVEX_ROMFS_DIR; }

    // Waits (at most 30 s) for the DSP's host interrupt.
    static bool HostInterrupt() {
        for (int i = 0; i < 3000 && !platform::hpi::host_interrupt_asserted(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return platform::hpi::host_interrupt_asserted();
    }

    void ReceiveSystemReady() {
        ASSERT_TRUE(HostInterrupt());
        std::uint32_t word = 0;
        EXPECT_EQ(CKorvexDSP::ReceiveMessage(CKorvexDSP::SYSTEM_READY, word), 0u);
        CKorvexDSP::AckHostInterrupt();
        CKorvexDSP::ReleaseDSP();
    }

    sim::dsp::DspSim sim;
};

}  // namespace

TEST_F(CoffLoaderSim, BuildImageBootsAndReloadsFromEveryLinkState) {
    ASSERT_EQ(CKorvexDSP::LoadDSPCode(), 0u);
    ReceiveSystemReady();
    EXPECT_EQ(sim.boots(), 1u);
    EXPECT_EQ(sim.state(), sim::dsp::DspSim::State::Running);
    EXPECT_EQ(CKorvexDSP::GetLinkState(), CKorvexDSP::LinkReady);

    // Reload from the ready state: SYSTEM_READY is accepted again.
    ASSERT_EQ(CKorvexDSP::LoadDSPCode(), 0u);
    EXPECT_EQ(CKorvexDSP::GetLinkState(), CKorvexDSP::LinkNotBooted);
    ReceiveSystemReady();
    EXPECT_EQ(sim.boots(), 2u);
    EXPECT_EQ(CKorvexDSP::GetLinkState(), CKorvexDSP::LinkReady);

    // Reload while a reply is awaited.
    ASSERT_EQ(CKorvexDSP::SendMessage(CKorvexDSP::QUIT), 0u);
    CKorvexDSP::ReleaseDSP();
    EXPECT_EQ(CKorvexDSP::GetLinkState(), CKorvexDSP::LinkAwaitingReply);
    ASSERT_TRUE(HostInterrupt());
    CKorvexDSP::AckHostInterrupt();
    ASSERT_EQ(CKorvexDSP::LoadDSPCode(), 0u);
    ReceiveSystemReady();
    EXPECT_EQ(sim.boots(), 3u);
    EXPECT_EQ(CKorvexDSP::GetLinkState(), CKorvexDSP::LinkReady);
}
