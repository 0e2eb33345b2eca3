// IIC controller model: addressing per segment, byte steps, acknowledge rules and faults,
// driven register by register as a driver would.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/gpio/GpioPortE.h"
#include "platform/irq/Interrupt.h"
#include "platform/soc/IicModel.h"
#include "platform/soc/SocBus.h"

namespace {

namespace soc = platform::soc;

constexpr std::uint32_t kPending = 1u << 4;
constexpr std::uint32_t kIntEnable = 1u << 5;
constexpr std::uint32_t kAck = 1u << 7;
constexpr std::uint32_t kMasterTx = 0xD0;  // master transmit, output enabled
constexpr std::uint32_t kMasterRx = 0x90;
constexpr std::uint32_t kStart = 0x20;

// Records every bus phase as text; reads return 0xA0, 0xA1, ...
class Recorder : public soc::I2cSlave {
public:
    bool Start(std::uint8_t address7, bool read) override {
        log.push_back("S" + std::to_string(address7) + (read ? "r" : "w"));
        return ackStart;
    }
    bool Write(std::uint8_t byte) override {
        log.push_back("W" + std::to_string(byte));
        return ackWrites;
    }
    std::uint8_t Read(bool ack) override {
        log.push_back(ack ? "R+" : "R-");
        return next++;
    }
    void Stop() override { log.push_back("P"); }

    std::vector<std::string> log;
    bool ackStart = true;
    bool ackWrites = true;
    std::uint8_t next = 0xA0;
};

class IicModel : public ::testing::Test {
protected:
    void SetUp() override {
        soc::iic().power_on();
        platform::gpio::port_e_write(soc::kI2cSegmentPin, false);
        soc::i2c_attach(0, 0x50, &seg0);
        soc::i2c_attach(1, 0x50, &seg1);
        soc::write32(soc::IICCON, kIntEnable | kAck);
    }
    void TearDown() override {
        soc::write32(soc::IICSTAT, 0);
        soc::i2c_detach(0, 0x50);
        soc::i2c_detach(1, 0x50);
        platform::gpio::port_e_write(soc::kI2cSegmentPin, false);
        soc::iic().power_on();
    }
    void Start(std::uint8_t byte, std::uint32_t mode) {
        soc::write32(soc::IICSTAT, mode);
        soc::write32(soc::IICDS, byte);
        soc::write32(soc::IICSTAT, mode | kStart);
    }
    bool Pending() { return (soc::read32(soc::IICCON) & kPending) != 0; }
    void Resume(bool ack = true) { soc::write32(soc::IICCON, kIntEnable | (ack ? kAck : 0)); }
    bool Acked() { return (soc::read32(soc::IICSTAT) & 1) == 0; }
    bool Busy() { return (soc::read32(soc::IICSTAT) & kStart) != 0; }

    Recorder seg0, seg1;
};

TEST_F(IicModel, StartAddressesTheSlaveOfTheSelectedSegment) {
    Start(0x50 << 1, kMasterTx);
    EXPECT_TRUE(Pending());
    EXPECT_TRUE(Acked());
    EXPECT_TRUE(Busy());
    EXPECT_TRUE(irq::interrupt_pending(soc::kIicVector));
    soc::write32(soc::IICSTAT, kMasterTx);  // STOP
    EXPECT_FALSE(Busy());
    EXPECT_EQ(seg0.log, (std::vector<std::string>{"S80w", "P"}));
    EXPECT_TRUE(seg1.log.empty());

    platform::gpio::port_e_write(soc::kI2cSegmentPin, true);
    Resume();
    Start(0x50 << 1 | 1, kMasterRx);
    EXPECT_EQ(soc::iic().last_segment(), 1u);
    EXPECT_EQ(seg1.log, (std::vector<std::string>{"S80r"}));
    EXPECT_EQ(seg0.log.size(), 2u);

    // Nobody at 0x51: no acknowledge, but the step completes.
    soc::write32(soc::IICSTAT, kMasterTx);
    Resume();
    Start(0x51 << 1, kMasterTx);
    EXPECT_TRUE(Pending());
    EXPECT_FALSE(Acked());
}

TEST_F(IicModel, TransmitSendsIicdsOnlyWhenWrittenSinceTheLastByte) {
    Start(0x50 << 1, kMasterTx);
    soc::write32(soc::IICDS, 0x11);
    Resume();
    EXPECT_TRUE(Pending());
    soc::write32(soc::IICDS, 0x22);
    Resume();
    EXPECT_TRUE(Pending());
    // Clear pending, then STOP: no extra byte.
    Resume();
    EXPECT_FALSE(Pending());
    soc::write32(soc::IICSTAT, kMasterTx);
    EXPECT_EQ(seg0.log, (std::vector<std::string>{"S80w", "W17", "W34", "P"}));
    EXPECT_EQ(soc::iic().bytes_moved(), 3u);
}

TEST_F(IicModel, ReceiveClocksOneBytePerClearAndNothingAfterANack) {
    Start(0x50 << 1 | 1, kMasterRx);
    Resume(true);
    EXPECT_EQ(soc::read32(soc::IICDS), 0xA0u);
    Resume(false);
    EXPECT_EQ(soc::read32(soc::IICDS), 0xA1u);
    EXPECT_TRUE(Pending());
    Resume(true);  // after the NACK the bus stays still
    EXPECT_FALSE(Pending());
    soc::write32(soc::IICSTAT, kMasterRx);
    EXPECT_EQ(seg0.log, (std::vector<std::string>{"S80r", "R+", "R-", "P"}));
}

TEST_F(IicModel, ByteNotAcknowledgedEndsTheTransmit) {
    seg0.ackWrites = false;
    Start(0x50 << 1, kMasterTx);
    soc::write32(soc::IICDS, 1);
    Resume();
    EXPECT_FALSE(Acked());
    soc::write32(soc::IICDS, 2);
    Resume();
    EXPECT_FALSE(Pending());
    EXPECT_EQ(seg0.log.size(), 2u);
}

TEST_F(IicModel, PendingBitCannotBeSetBySoftwareAndInterruptFollowsEnable) {
    soc::write32(soc::IICCON, kPending | kIntEnable);
    EXPECT_FALSE(Pending());
    irq::interrupt_acknowledge(soc::kIicVector);
    soc::write32(soc::IICCON, 0);  // interrupt disabled
    Start(0x50 << 1, kMasterTx);
    EXPECT_TRUE(Pending());
    EXPECT_FALSE(irq::interrupt_pending(soc::kIicVector));
    soc::write32(soc::IICCON, kPending);  // writing 1 keeps it
    EXPECT_TRUE(Pending());
}

TEST_F(IicModel, SlaveNacksItsNextAddresses) {
    soc::iic().nack_addresses(0x50, 2);
    for (int i = 0; i < 3; ++i) {
        Start(0x50 << 1, kMasterTx);
        EXPECT_EQ(Acked(), i == 2) << i;
        soc::write32(soc::IICSTAT, kMasterTx);
        Resume();
    }
    EXPECT_EQ(seg0.log, (std::vector<std::string>{"S80w", "P"}));
}

TEST_F(IicModel, BusHeldBusyIgnoresStartUntilItFrees) {
    soc::iic().hold_bus_busy(1000000);
    EXPECT_TRUE(Busy());
    Start(0x50 << 1, kMasterTx);
    EXPECT_FALSE(Pending());
    soc::write32(soc::IICSTAT, kMasterTx);
    EXPECT_TRUE(Busy());
    EXPECT_TRUE(seg0.log.empty());
    soc::iic().hold_bus_busy(0);
    EXPECT_FALSE(Busy());
    Start(0x50 << 1, kMasterTx);
    EXPECT_TRUE(Pending());
}

TEST_F(IicModel, SclRateFollowsClockSourceAndDivider) {
    soc::write32(soc::IICCON, 0x40);
    EXPECT_EQ(soc::iic().scl_hz(), 97656u);
    soc::write32(soc::IICCON, 0x07);
    EXPECT_EQ(soc::iic().scl_hz(), 390625u);
    soc::write32(soc::IICCON, 0x4F);
    EXPECT_EQ(soc::iic().scl_hz(), 6103u);
}

}  // namespace
