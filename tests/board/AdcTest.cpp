// "/dev/adc0": one conversion of AIN0 per two-byte read, serialised across threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "board/adc.h"
#include "platform/devio/DevIo.h"
#include "platform/soc/AdcModel.h"
#include "platform/soc/SocBus.h"
#include "sim/board/AnalogInputs.h"

namespace {

namespace soc = platform::soc;

std::atomic<std::uint16_t> nextLevel{0};

// Every conversion sees a new level, so two conversions that overlap show as one sample.
std::uint16_t Counting(unsigned) { return nextLevel.fetch_add(1); }

class AdcDevice : public ::testing::Test {
protected:
    void SetUp() override {
        if (!devio::devio_lookup("/dev/adc0")) {
            ASSERT_TRUE(devio::devio_register(&Adc0Device));
        }
        sim::analog_reset();
        sim::analog_connect();
        fd = devio::devio_open("/dev/adc0", devio::OPEN_READ_WRITE);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override {
        devio::devio_close(fd);
        sim::analog_reset();
        soc::adc().set_source(nullptr);
    }
    int fd = -1;
};

TEST_F(AdcDevice, InitSetsPrescaler49) {
    std::uint32_t con = soc::read32(soc::ADCCON);
    EXPECT_EQ((con >> 6) & 0xFF, 0x31u);
    EXPECT_NE(con & (1u << 14), 0u);
    EXPECT_EQ(con & 0x6u, 0u);
}

TEST_F(AdcDevice, ReadsAin0) {
    std::uint16_t sample = 0;
    EXPECT_EQ(devio::devio_read(fd, &sample, 2), 2);
    EXPECT_EQ(sample, 1023);  // the empty connector
    sim::analog_set(0, 412);
    sim::analog_set(1, 7);
    EXPECT_EQ(devio::devio_read(fd, &sample, 2), 2);
    EXPECT_EQ(sample, 412);
    EXPECT_EQ(soc::adc().last_input(), 0u);
    EXPECT_EQ(soc::read32(soc::ADCTSC) & 7u, 0u);
}

TEST_F(AdcDevice, WrongLengthConvertsNothing) {
    std::uint32_t before = soc::adc().conversions();
    std::uint8_t buffer[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    EXPECT_EQ(devio::devio_read(fd, buffer, 4), -22);
    EXPECT_EQ(devio::devio_read(fd, buffer, 1), -22);
    EXPECT_EQ(soc::adc().conversions(), before);
    EXPECT_EQ(buffer[0], 0xAA);
    std::uint32_t length = 2;
    EXPECT_EQ(adc_dev_read(&Adc0Device, nullptr, &length), -22);
}

TEST_F(AdcDevice, ReadyForReadingWhenConverterFree) {
    devio::FdSet readSet;
    devio::devio_fd_set(fd, &readSet);
    EXPECT_EQ(devio::devio_select(fd + 1, &readSet, nullptr, 0), 1);
    EXPECT_EQ(adc_dev_select(&Adc0Device, devio::SELECT_WRITE), 0);
}

std::atomic<bool> inConversion{false};
std::atomic<bool> letGo{false};

std::uint16_t Held(unsigned) {
    inConversion = true;
    while (!letGo) std::this_thread::yield();
    return 300;
}

TEST_F(AdcDevice, SelectWaitsForTheConverter) {
    inConversion = false;
    letGo = false;
    soc::adc().set_source(&Held);
    std::uint16_t sample = 0;
    std::thread reader([&] { devio::devio_read(fd, &sample, 2); });
    while (!inConversion) std::this_thread::yield();
    devio::FdSet readSet;
    devio::devio_fd_set(fd, &readSet);
    EXPECT_EQ(devio::devio_select(fd + 1, &readSet, nullptr, 0), 0);  // converter busy
    std::atomic<int> selected{-1};
    std::thread selector([&] {
        devio::FdSet set;
        devio::devio_fd_set(fd, &set);
        selected = devio::devio_select(fd + 1, &set, nullptr, devio::kWaitForever);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(selected.load(), -1);
    letGo = true;
    reader.join();
    selector.join();
    EXPECT_EQ(selected.load(), 1);
    EXPECT_EQ(sample, 300);
}

TEST_F(AdcDevice, TwoThreadsGetOneConversionEach) {
    soc::adc().set_source(&Counting);
    for (int round = 0; round < 50; ++round) {
        std::uint32_t before = soc::adc().conversions();
        std::uint16_t a = 0xFFFF, b = 0xFFFF;
        int ra = 0, rb = 0;
        std::thread ta([&] { ra = devio::devio_read(fd, &a, 2); });
        std::thread tb([&] { rb = devio::devio_read(fd, &b, 2); });
        ta.join();
        tb.join();
        ASSERT_EQ(ra, 2);
        ASSERT_EQ(rb, 2);
        ASSERT_EQ(soc::adc().conversions(), before + 2);
        ASSERT_NE(a, b) << "round " << round;
    }
}

}  // namespace
