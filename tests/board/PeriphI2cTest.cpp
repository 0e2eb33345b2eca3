// Peripheral frame transfers on the second bus segment: what goes on the wire for a frame,
// the announced-length rules, caller and module buffers.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "I2cFixture.h"
#include "board/periph_i2c.h"
#include "platform/gpio/GpioPortE.h"

namespace {

namespace soc = platform::soc;
using korvex_test::RecordingSlave;

constexpr std::uint8_t kAddress7 = 0x12;
constexpr std::uint8_t kAddressByte = kAddress7 << 1;

std::vector<std::uint8_t> Frame(std::uint32_t length) {
    std::vector<std::uint8_t> frame(length);
    frame[0] = kAddressByte;
    frame[1] = static_cast<std::uint8_t>(length >> 8);
    frame[2] = static_cast<std::uint8_t>(length);
    for (std::uint32_t i = 3; i < length; ++i) frame[i] = static_cast<std::uint8_t>(i * 7);
    return frame;
}

class PeriphI2c : public korvex_test::I2cFixture {
protected:
    void SetUp() override {
        I2cFixture::SetUp();
        periph_i2c_set_bus(&s3c2410_i2c_bus);
        periph_i2c_set_clock(100000);
        soc::i2c_attach(1, kAddress7, &controller);
    }
    void TearDown() override {
        soc::i2c_detach(1, kAddress7);
        I2cFixture::TearDown();
    }
    RecordingSlave controller;
};

TEST_F(PeriphI2c, SendsEverythingButTheAddressByteOnSegmentOne) {
    const auto frame = Frame(6);
    EXPECT_TRUE(periph_i2c_send_frame(frame.data()));
    EXPECT_TRUE(platform::gpio::port_e_read(soc::kI2cSegmentPin));
    EXPECT_EQ(soc::iic().last_segment(), 1u);
    EXPECT_EQ(controller.written, std::vector<std::uint8_t>(frame.begin() + 1, frame.end()));
    EXPECT_EQ(controller.log.front(), "S18w");
    EXPECT_EQ(controller.log.back(), "P");

    controller.ackStart = false;
    EXPECT_FALSE(periph_i2c_send_frame(frame.data()));
}

TEST_F(PeriphI2c, AnnouncedLengthBelowFourIsRefusedUnsent) {
    for (std::uint32_t length : {0u, 1u, 2u, 3u}) {
        auto frame = Frame(6);
        frame[1] = 0;
        frame[2] = static_cast<std::uint8_t>(length);
        EXPECT_FALSE(periph_i2c_send_frame(frame.data())) << length;
    }
    EXPECT_TRUE(controller.log.empty());
    EXPECT_FALSE(periph_i2c_send_frame(nullptr));
}

TEST_F(PeriphI2c, ReceivesAWholeFrameIntoTheCallerBuffer) {
    const auto frame = Frame(9);
    controller.reply.assign(frame.begin() + 1, frame.end());
    std::uint8_t buffer[16] = {};
    std::uint8_t* out = nullptr;
    std::uint32_t length = 0;
    ASSERT_TRUE(periph_i2c_receive_frame(kAddressByte, &out, buffer, sizeof buffer, &length));
    EXPECT_EQ(out, buffer);
    EXPECT_EQ(length, 9u);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 9), frame);
    // Header read with ACK, rest continued without a new START, NACK on the last byte.
    EXPECT_EQ(controller.log, (std::vector<std::string>{"S18r", "R+", "R+", "R+", "R+", "R+",
                                                        "R+", "R+", "R-", "P"}));
}

TEST_F(PeriphI2c, LengthFourIsRejectedAfterTheHeader) {
    controller.reply = {0x00, 0x04, 0xAA};
    std::uint8_t buffer[16] = {};
    std::uint8_t* out = nullptr;
    std::uint32_t length = 99;
    EXPECT_FALSE(periph_i2c_receive_frame(kAddressByte, &out, buffer, sizeof buffer, &length));
    EXPECT_EQ(length, 4u);
}

TEST_F(PeriphI2c, CallerBufferTooSmallForTheAnnouncedLength) {
    const auto frame = Frame(12);
    controller.reply.assign(frame.begin() + 1, frame.end());
    std::uint8_t buffer[10] = {};
    std::uint8_t* out = nullptr;
    std::uint32_t length = 0;
    EXPECT_FALSE(periph_i2c_receive_frame(kAddressByte, &out, buffer, sizeof buffer, &length));
    EXPECT_EQ(length, 12u);
    std::uint32_t untouched = 7;
    EXPECT_FALSE(periph_i2c_receive_frame(kAddressByte, &out, buffer, 3, &untouched));
    EXPECT_EQ(untouched, 7u);
}

TEST_F(PeriphI2c, NoAnswerGivesLengthZero) {
    controller.ackStart = false;
    std::uint8_t* out = nullptr;
    std::uint32_t length = 99;
    EXPECT_FALSE(periph_i2c_receive_frame(kAddressByte, &out, nullptr, 0, &length));
    EXPECT_EQ(length, 0u);
}

TEST_F(PeriphI2c, ModuleBufferGrowsWithTheFrames) {
    for (std::uint32_t size : {5u, 300u, 40u, 1000u}) {
        const auto frame = Frame(size);
        controller.reply.assign(frame.begin() + 1, frame.end());
        std::uint8_t* out = nullptr;
        std::uint32_t length = 0;
        ASSERT_TRUE(periph_i2c_receive_frame(kAddressByte, &out, nullptr, 0, &length)) << size;
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(length, size);
        EXPECT_EQ(std::vector<std::uint8_t>(out, out + size), frame) << size;
    }
}

TEST_F(PeriphI2c, ClockSetsTheBitDelayAndTheBusRate) {
    periph_i2c_set_clock(100000);
    EXPECT_EQ(periph_i2c_bit_delay_ns(), 10000u);
    periph_i2c_set_clock(10000);
    EXPECT_EQ(periph_i2c_bit_delay_ns(), 100000u);
    EXPECT_TRUE(periph_i2c_send_frame(Frame(4).data()));
    EXPECT_EQ(soc::iic().scl_hz(), 9765u);  // PCLK/512 / (9 + 1)
}

}  // namespace
