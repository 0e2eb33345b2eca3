// USB device block model: CSR rules, the function address, bus reset values, the interrupt
// level and the violations it counts, driven register by register as the driver does.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/irq/Interrupt.h"
#include "platform/soc/SocBus.h"
#include "platform/soc/UsbdModel.h"

namespace {

namespace soc = platform::soc;
using Handshake = soc::UsbdModel::Handshake;

// The board's D+ pull-up, as the driver switches it.
void PullUp(bool on) {
    irq::InterruptsDisabled lock;
    const std::uint32_t v = soc::read32(soc::GPEDAT);
    soc::write32(soc::GPEDAT, on ? (v | 0x200) : (v & ~0x200u));
}

class UsbdModel : public ::testing::Test {
protected:
    void SetUp() override {
        model.power_on();
        model.clear_violations();
        model.set_flush_reads(1);
        PullUp(true);
    }
    void TearDown() override {
        PullUp(false);
        EXPECT_EQ(model.violations(), 0u) << model.last_violation();
    }
    static std::uint32_t Read(soc::addr_t a, std::uint32_t index) {
        irq::InterruptsDisabled lock;
        soc::write32(soc::INDEX_REG, index);
        return soc::read32(a);
    }
    static void Write(soc::addr_t a, std::uint32_t index, std::uint32_t v) {
        irq::InterruptsDisabled lock;
        soc::write32(soc::INDEX_REG, index);
        soc::write32(a, v);
    }
    static void ConfigureIn(std::uint32_t ep) {
        Write(soc::MAXP_REG, ep, 8);
        Write(soc::IN_CSR2_REG, ep, 0x30);
    }
    Handshake In(unsigned ep, std::vector<std::uint8_t>* data, bool* toggle) {
        irq::InterruptsDisabled lock;
        return model.bus_in(0, ep, data, toggle);
    }
    Handshake Out(unsigned ep, std::vector<std::uint8_t> data, bool toggle) {
        irq::InterruptsDisabled lock;
        return model.bus_out(0, ep, data.data(), static_cast<std::uint32_t>(data.size()), toggle);
    }
    Handshake Setup(std::vector<std::uint8_t> s) {
        irq::InterruptsDisabled lock;
        return model.bus_setup(0, s.data());
    }
    soc::UsbdModel& model = soc::usbd();
};

TEST_F(UsbdModel, InCsrRules) {
    ConfigureIn(1);
    {
        irq::InterruptsDisabled lock;
        soc::write32(soc::INDEX_REG, 1);
        soc::write32(soc::EP0_FIFO_REG + 4, 0xAB);
    }
    Write(soc::IN_CSR1_REG, 1, 0x01);
    EXPECT_EQ(Read(soc::IN_CSR1_REG, 1) & 0x01, 1u);
    std::vector<std::uint8_t> data;
    bool toggle = true;
    EXPECT_EQ(In(1, &data, &toggle), Handshake::Ack);
    EXPECT_EQ(data, std::vector<std::uint8_t>{0xAB});
    EXPECT_FALSE(toggle);
    EXPECT_EQ(Read(soc::IN_CSR1_REG, 1) & 0x01, 0u);  // taken by the host
    EXPECT_EQ(In(1, &data, &toggle), Handshake::Nak);
    // SEND_STALL is a level; SENT_STALL clears on a written 0.
    Write(soc::IN_CSR1_REG, 1, 0x10);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(In(1, &data, &toggle), Handshake::Stall);
    EXPECT_EQ(Read(soc::IN_CSR1_REG, 1) & 0x30, 0x30u);
    Write(soc::IN_CSR1_REG, 1, 0x10);
    EXPECT_EQ(Read(soc::IN_CSR1_REG, 1) & 0x30, 0x10u);
    // CLR_DATA_TOGGLE: the next packet is DATA0 again.
    Write(soc::IN_CSR1_REG, 1, 0x40);
    Write(soc::IN_CSR1_REG, 1, 0x01);
    EXPECT_EQ(In(1, &data, &toggle), Handshake::Ack);
    EXPECT_FALSE(toggle);
    // FIFO_FLUSH reads 1 for the set number of reads.
    model.set_flush_reads(2);
    Write(soc::IN_CSR1_REG, 1, 0x08);
    EXPECT_EQ(Read(soc::IN_CSR1_REG, 1) & 0x08, 0x08u);
    EXPECT_EQ(Read(soc::IN_CSR1_REG, 1) & 0x08, 0x08u);
    EXPECT_EQ(Read(soc::IN_CSR1_REG, 1) & 0x08, 0u);
}

TEST_F(UsbdModel, OutNaksWhileAPacketWaitsAndDropsARepeatedToggle) {
    Write(soc::MAXP_REG, 2, 8);
    EXPECT_EQ(Out(2, {1, 2, 3}, false), Handshake::Ack);
    EXPECT_EQ(Read(soc::OUT_FIFO_CNT1_REG, 2), 3u);
    EXPECT_EQ(Out(2, {4}, true), Handshake::Nak);
    {
        irq::InterruptsDisabled lock;
        for (int i = 0; i < 3; ++i) soc::read32(soc::EP0_FIFO_REG + 8);
    }
    Write(soc::OUT_CSR1_REG, 2, 0);  // release
    EXPECT_EQ(Out(2, {9}, false), Handshake::Ack);  // repeated DATA0: acknowledged, dropped
    EXPECT_EQ(Read(soc::OUT_FIFO_CNT1_REG, 2), 0u);
    EXPECT_EQ(Out(2, {5, 6}, true), Handshake::Ack);
    EXPECT_EQ(Read(soc::OUT_FIFO_CNT1_REG, 2), 2u);
}

TEST_F(UsbdModel, FunctionAddressAppliesAfterTheStatusStage) {
    EXPECT_EQ(Setup({0x00, 5, 5, 0, 0, 0, 0, 0}), Handshake::Ack);
    {
        irq::InterruptsDisabled lock;
        for (int i = 0; i < 8; ++i) soc::read32(soc::EP0_FIFO_REG);
        soc::write32(soc::FUNC_ADDR_REG, 0x85);
    }
    EXPECT_EQ(model.address(), 0);
    std::vector<std::uint8_t> data;
    bool toggle = false;
    EXPECT_EQ(In(0, &data, &toggle), Handshake::Nak);  // DATA_END not yet set
    Write(soc::EP0_CSR, 0, 0x48);
    EXPECT_EQ(In(0, &data, &toggle), Handshake::Ack);
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(model.address(), 5);
    EXPECT_EQ(Read(soc::FUNC_ADDR_REG, 0), 0x85u);
}

TEST_F(UsbdModel, BusResetRestoresTheResetValues) {
    {
        irq::InterruptsDisabled lock;
        soc::write32(soc::EP_INT_EN_REG, 0x03);
        soc::write8(soc::USB_INT_EN_REG, 0x05);
        model.bus_reset();
    }
    EXPECT_EQ(Read(soc::EP_INT_EN_REG, 0), 0x1Fu);
    EXPECT_EQ(Read(soc::USB_INT_EN_REG, 0), 0x04u);
    EXPECT_EQ(Read(soc::USB_INT_REG, 0), 0x04u);
    EXPECT_EQ(Read(soc::MAXP_REG, 1), 1u);
    EXPECT_EQ(Read(soc::PWR_REG, 0) & 8, 8u);
    EXPECT_EQ(Read(soc::PWR_REG, 0) & 8, 8u);
    EXPECT_EQ(Read(soc::PWR_REG, 0) & 8, 0u);
    EXPECT_TRUE(irq::level(soc::kUsbdVector));
    Write(soc::USB_INT_REG, 0, 4);
    EXPECT_FALSE(irq::level(soc::kUsbdVector));
}

TEST_F(UsbdModel, CountsViolations) {
    ConfigureIn(1);
    soc::read32(soc::EP_INT_REG);  // without the lock
    {
        irq::InterruptsDisabled lock;
        soc::write32(soc::INDEX_REG, 1);
        soc::write32(soc::IN_CSR1_REG, 0x01);
        soc::write32(soc::EP0_FIFO_REG + 4, 1);  // while IN_PKT_RDY
        soc::read32(soc::EP0_FIFO_REG + 8);      // nothing waiting
    }
    EXPECT_EQ(model.violations(), 3u);
    model.clear_violations();
}

TEST_F(UsbdModel, NoAnswerWithoutThePullUp) {
    PullUp(false);
    EXPECT_EQ(Setup({0x80, 6, 0, 1, 0, 0, 18, 0}), Handshake::Timeout);
}

}  // namespace
