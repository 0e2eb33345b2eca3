// Host-port driver: register sequences against a recording device, the reset pin sequence,
// and whole transfers under concurrent use.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "board/hpi.h"
#include "platform/gpio/GpioPortE.h"
#include "platform/hpi/HpiWindow.h"
#include "platform/kernel/Kernel.h"

namespace {

namespace hpi = platform::hpi;
namespace gpio = platform::gpio;

struct Access {
    char kind;  // 'W' window write, 'R' window read, 'H' reset held, 'L' reset released
    std::uint32_t offset;
    std::uint32_t value;
    bool operator==(const Access& other) const {
        return kind == other.kind && offset == other.offset && value == other.value;
    }
};

std::ostream& operator<<(std::ostream& out, const Access& a) {
    return out << a.kind << std::hex << " 0x" << a.offset << " 0x" << a.value;
}

Access W(std::uint32_t offset, std::uint32_t value) { return {'W', offset, value}; }
Access R(std::uint32_t offset) { return {'R', offset, 0}; }

// Records every access; reads return 0x1000 + the number of reads so far.
class RecordingHpi : public hpi::HpiDevice {
public:
    void write(std::uint32_t offset, std::uint32_t value) override {
        std::lock_guard<std::mutex> lock(mutex);
        log.push_back(W(offset, value));
    }
    std::uint32_t read(std::uint32_t offset) override {
        std::lock_guard<std::mutex> lock(mutex);
        log.push_back(R(offset));
        return 0x1000 + reads++;
    }
    void set_reset(bool held) override {
        std::lock_guard<std::mutex> lock(mutex);
        log.push_back({held ? 'H' : 'L', 0, 0});
        resetTimes.push_back(std::chrono::steady_clock::now());
    }

    std::mutex mutex;
    std::vector<Access> log;
    std::vector<std::chrono::steady_clock::time_point> resetTimes;
    std::uint32_t reads = 0;
};

// A DSP memory behind the host port: HPIA with auto-increment, sparse words.
class MemoryHpi : public hpi::HpiDevice {
public:
    void write(std::uint32_t offset, std::uint32_t value) override {
        switch (offset) {
        case hpi::HPIA: address = value; std::this_thread::yield(); break;
        case hpi::HPID_WRITE_INC: memory[address] = value; address += 4; break;
        case hpi::HPID_WRITE_FIXED: memory[address] = value; break;
        default: break;
        }
    }
    std::uint32_t read(std::uint32_t offset) override {
        switch (offset) {
        case hpi::HPID_READ_INC: { const std::uint32_t v = memory[address]; address += 4; return v; }
        case hpi::HPID_READ_FIXED: return memory[address];
        default: return 0;
        }
    }
    void set_reset(bool) override {}

    std::uint32_t address = 0;
    std::map<std::uint32_t, std::uint32_t> memory;
};

class HpiFixture : public ::testing::Test {
protected:
    void SetUp() override {
        gpio::port_e_reset();
        hpi::attach(&device);
        device.log.clear();
    }
    void TearDown() override {
        hpi::attach(nullptr);
        for (unsigned pin = 3; pin <= 4; ++pin) gpio::port_e_set_listener(pin, nullptr, nullptr);
        gpio::port_e_reset();
    }
    RecordingHpi device;
};

using HpiAccess = HpiFixture;

TEST_F(HpiAccess, WriteWordIssuesControlAddressAndFixedDataTwice) {
    hpi_write_word(0x0000FFE0, 0x12345678);
    const std::vector<Access> once = {W(0x00, 0x00010001), W(0x04, 0x0000FFE0),
                                      W(0x0C, 0x12345678)};
    std::vector<Access> expected = once;
    expected.insert(expected.end(), once.begin(), once.end());
    EXPECT_EQ(device.log, expected);
}

TEST_F(HpiAccess, ReadWordReadsTheAutoIncrementPort) {
    EXPECT_EQ(hpi_read_word(0x0000FFE4), 0x1000u);
    EXPECT_EQ(device.log, (std::vector<Access>{W(0x00, 0x00010001), W(0x04, 0x0000FFE4),
                                               R(0x18)}));
}

TEST_F(HpiAccess, BlocksGoThroughTheAutoIncrementPortAndEndOnTheFixedPort) {
    const std::uint32_t words[3] = {7, 8, 9};
    hpi_write_block(0x90FF0000, words, 3);
    EXPECT_EQ(device.log, (std::vector<Access>{W(0x00, 0x00010001), W(0x04, 0x90FF0000),
                                               W(0x08, 7), W(0x08, 8), W(0x0C, 9)}));
    device.log.clear();
    std::uint32_t read[3] = {};
    hpi_read_block(0x90FF8000, read, 3);
    EXPECT_EQ(device.log, (std::vector<Access>{W(0x00, 0x00010001), W(0x04, 0x90FF8000),
                                               R(0x18), R(0x18), R(0x1C)}));
    EXPECT_EQ(read[0], 0x1000u);
    EXPECT_EQ(read[2], 0x1002u);
}

TEST_F(HpiAccess, ABlockOfOneWordUsesTheFixedPortOnly) {
    const std::uint32_t word = 0xCAFEF00D;
    hpi_write_block(0x100, &word, 1);
    std::uint32_t read = 0;
    hpi_read_block(0x200, &read, 1);
    EXPECT_EQ(device.log, (std::vector<Access>{W(0x00, 0x00010001), W(0x04, 0x100),
                                               W(0x0C, 0xCAFEF00D), W(0x00, 0x00010001),
                                               W(0x04, 0x200), R(0x1C)}));
    EXPECT_EQ(read, 0x1000u);
}

TEST_F(HpiAccess, AnEmptyBlockTouchesNothing) {
    hpi_write_block(0x100, nullptr, 0);
    hpi_read_block(0x100, nullptr, 0);
    EXPECT_TRUE(device.log.empty());
}

TEST_F(HpiAccess, InterruptControlWords) {
    hpi_raise_dsp_interrupt();
    hpi_clear_host_interrupt();
    EXPECT_EQ(device.log, (std::vector<Access>{W(0x00, 0x00030003), W(0x00, 0x00050005)}));
}

TEST_F(HpiAccess, EmifInitWritesBothGroupsAndReadsThemBack) {
    dsp_emif_init();
    std::vector<Access> expected = {
        W(0x00, 0x00010001), W(0x04, 0x01800000), W(0x08, 0x00003060), W(0x08, 0xFFFFFF33),
        W(0x0C, 0xFFFFFF23), W(0x04, 0x01800010), W(0x08, 0xFFFFFF23), W(0x08, 0x10D14321),
        W(0x08, 0x5733A000), W(0x08, 0x0000061A), W(0x0C, 0x0017DF2D), W(0x04, 0x01800000),
        R(0x14), R(0x18), R(0x14), R(0x18), R(0x14), R(0x1C), W(0x04, 0x01800010)};
    for (int i = 0; i < 4; ++i) {
        expected.push_back(R(0x14));
        expected.push_back(R(0x18));
    }
    expected.push_back(R(0x14));
    expected.push_back(R(0x1C));
    EXPECT_EQ(device.log, expected);
}

using HpiReset = HpiFixture;

void RecordPin(unsigned pin, bool high, void* context) {
    auto* device = static_cast<RecordingHpi*>(context);
    std::lock_guard<std::mutex> lock(device->mutex);
    device->log.push_back({'P', pin, high ? 1u : 0u});
}

TEST_F(HpiReset, PinSequenceDelaysAndControlWord) {
    gpio::port_e_write(2, true);   // a running DSP
    gpio::port_e_write(3, true);
    gpio::port_e_write(4, false);
    gpio::port_e_set_listener(3, &RecordPin, &device);
    gpio::port_e_set_listener(4, &RecordPin, &device);
    device.log.clear();
    device.resetTimes.clear();

    dsp_hard_reset(1);

    EXPECT_EQ(device.log,
              (std::vector<Access>{{'P', 3, 0}, {'P', 4, 1}, {'H', 0, 0}, {'L', 0, 0},
                                   {'P', 4, 0}, W(0x00, 0x00010001)}));
    ASSERT_EQ(device.resetTimes.size(), 2u);
    const double boardMs =
        std::chrono::duration<double, std::milli>(device.resetTimes[1] - device.resetTimes[0])
            .count() * 10.0 / kernel::tick_ms();
    EXPECT_GE(boardMs, 1.0);
    EXPECT_TRUE(gpio::port_e_read(2));
}

TEST_F(HpiReset, SecondUnforcedResetHasNoEffectForcedResetsAgain) {
    dsp_hard_reset(1);
    device.log.clear();
    dsp_hard_reset(0);
    EXPECT_TRUE(device.log.empty());
    dsp_hard_reset(1);
    EXPECT_EQ(device.log, (std::vector<Access>{{'H', 0, 0}, {'L', 0, 0}, W(0x00, 0x00010001)}));
}

TEST_F(HpiReset, AttachReportsTheResetPinLevel) {
    RecordingHpi other;
    hpi::attach(&other);  // power-on: GPE2 low
    gpio::port_e_write(2, true);
    EXPECT_EQ(other.log, (std::vector<Access>{{'H', 0, 0}, {'L', 0, 0}}));
    hpi::attach(&device);
}

TEST_F(HpiReset, BusLinesRaiseAndLowerInOrder) {
    gpio::port_e_write(3, false);
    gpio::port_e_write(4, false);
    gpio::port_e_set_listener(3, &RecordPin, &device);
    gpio::port_e_set_listener(4, &RecordPin, &device);
    board_bus_lines_raise();
    board_bus_lines_lower();
    EXPECT_EQ(device.log, (std::vector<Access>{{'P', 4, 1}, {'P', 3, 1}, {'P', 3, 0},
                                               {'P', 4, 0}}));
}

// The idle heartbeat reads the status block while another thread moves frames: the HPI lock
// keeps each sequence whole, so no frame word lands at the status address or vice versa.
TEST(HpiConcurrency, StatusReadsAgainstBlockWritesKeepFramesIntact) {
    MemoryHpi memory;
    constexpr std::uint32_t kFrame = 0x90FF0000;
    constexpr std::uint32_t kStatus = 0x0000FFE8;
    constexpr std::uint32_t kWords = 24;
    for (std::uint32_t i = 0; i < 4; ++i) memory.memory[kStatus + 4 * i] = 0x5A5A0000 + i;
    hpi::attach(&memory);

    std::atomic<bool> stop{false};
    std::atomic<int> badStatus{0};
    std::atomic<int> heartbeats{0};
    std::thread heartbeat([&] {
        while (!stop.load()) {
            ++heartbeats;
            if (hpi_read_word(kStatus) != 0x5A5A0000) ++badStatus;
            std::uint32_t block[4];
            hpi_read_block(kStatus, block, 4);
            for (std::uint32_t i = 0; i < 4; ++i) {
                if (block[i] != 0x5A5A0000 + i) ++badStatus;
            }
        }
    });
    int badFrames = 0;
    for (std::uint32_t round = 0; round < 2000 || heartbeats.load() < 2000; ++round) {
        std::uint32_t frame[kWords];
        for (std::uint32_t i = 0; i < kWords; ++i) frame[i] = (round << 8) | i;
        hpi_write_block(kFrame, frame, kWords);
        std::uint32_t back[kWords];
        hpi_read_block(kFrame, back, kWords);
        for (std::uint32_t i = 0; i < kWords; ++i) {
            if (back[i] != frame[i]) ++badFrames;
        }
    }
    stop = true;
    heartbeat.join();
    hpi::attach(nullptr);

    EXPECT_EQ(badFrames, 0);
    EXPECT_EQ(badStatus.load(), 0);
    // Nothing was written outside the frame.
    for (const auto& [address, value] : memory.memory) {
        const bool inFrame = address >= kFrame && address < kFrame + 4 * kWords;
        const bool inStatus = address >= kStatus && address < kStatus + 16;
        EXPECT_TRUE(inFrame || inStatus) << std::hex << address;
    }
}

}  // namespace
