#include "usb/s3c2410/S3C2410Registers.h"

#include "platform/hal/HalDelay.h"
#include "platform/irq/Interrupt.h"
#include "platform/soc/SocBus.h"
#include "platform/soc/UsbdModel.h"

namespace Korvex {

namespace soc = platform::soc;

namespace {

constexpr std::uint32_t kUsbVector = 25;
constexpr std::uint32_t kPullUp = 0x200;  // GPE9

} // namespace

CS3C2410Registers::CS3C2410Registers()
{
    irq::InterruptsDisabled masked;
    m_shadow = soc::read32(soc::EP_INT_EN_REG);
}

void CS3C2410Registers::EnableEndpointInterrupt(std::uint32_t endpoint)
{
    irq::InterruptsDisabled masked;
    m_shadow |= 1u << endpoint;
    soc::write32(soc::EP_INT_EN_REG, m_shadow);
}

void CS3C2410Registers::DisableEndpointInterrupt(std::uint32_t endpoint)
{
    irq::InterruptsDisabled masked;
    m_shadow &= ~(1u << endpoint);
    soc::write32(soc::EP_INT_EN_REG, m_shadow);
}

void CS3C2410Registers::ClearEndpointInterrupt(std::uint32_t endpoint)
{
    if (endpoint > 4) {
        return;
    }
    irq::InterruptsDisabled masked;
    soc::write32(soc::EP_INT_REG, 1u << endpoint);
}

void CS3C2410Registers::ConfigureEndpoint(std::uint32_t endpoint, std::uint16_t maxPacket,
                                          std::uint32_t type)
{
    {
        irq::InterruptsDisabled masked;
        soc::write32(soc::INDEX_REG, endpoint);
        if (endpoint < kEndpoints) {
            m_type[endpoint] = type;
        }
        soc::write32(soc::MAXP_REG, maxPacket / 8u);
        if (endpoint == 0) {
            return;
        }
        soc::write32(soc::IN_CSR1_REG, 0x40);
        soc::write32(soc::IN_CSR2_REG, 0x10);
        soc::write32(soc::OUT_CSR1_REG, 0x90);
        soc::write32(soc::OUT_CSR2_REG, 0x20);
        if (type != 2) {
            soc::write32(soc::IN_CSR2_REG, soc::read32(soc::IN_CSR2_REG) | 0x20);
        }
    }
    ClearEndpointInterrupt(endpoint);
}

bool CS3C2410Registers::ReadSetupPacket(UsbSetupPacket* setup)
{
    std::uint8_t bytes[8];
    irq::InterruptsDisabled masked;
    if (OutFifoCount(0) < sizeof bytes) {
        return false;
    }
    for (std::uint8_t& byte : bytes) {
        byte = static_cast<std::uint8_t>(soc::read32(soc::EP0_FIFO_REG));
    }
    *setup = UsbSetupPacket::FromBytes(bytes);
    return true;
}

void CS3C2410Registers::ServiceSetupEnd()
{
    irq::InterruptsDisabled masked;
    soc::write32(soc::INDEX_REG, 0);
    soc::write32(soc::EP0_CSR, soc::read32(soc::EP0_CSR) | 0x80);
}

void CS3C2410Registers::AcknowledgeSetup(bool dataEnd)
{
    irq::InterruptsDisabled masked;
    soc::write32(soc::INDEX_REG, 0);
    soc::write32(soc::EP0_CSR, dataEnd ? 0x48 : 0x40);
}

void CS3C2410Registers::SetAddress(std::uint16_t address)
{
    irq::InterruptsDisabled masked;
    soc::write32(soc::FUNC_ADDR_REG, (address & 0x7Fu) | 0x80u);
}

void CS3C2410Registers::DisableAllInterrupts()
{
    irq::InterruptsDisabled masked;
    soc::write32(soc::EP_INT_EN_REG, 0);
    soc::write8(soc::USB_INT_EN_REG, 0);
}

void CS3C2410Registers::ClearAllInterrupts()
{
    irq::InterruptsDisabled masked;
    soc::write32(soc::EP_INT_REG, 0x1F);
    soc::write32(soc::USB_INT_REG, 7);
}

void CS3C2410Registers::EnableInterrupts()
{
    irq::InterruptsDisabled masked;
    soc::write8(soc::USB_INT_EN_REG, static_cast<std::uint8_t>(soc::read8(soc::USB_INT_EN_REG) | 4));
    soc::write8(soc::USB_INT_EN_REG, static_cast<std::uint8_t>(soc::read8(soc::USB_INT_EN_REG) | 1));
    irq::interrupt_unmask(kUsbVector);
}

void CS3C2410Registers::DisableInterrupts()
{
    irq::InterruptsDisabled masked;
    soc::write8(soc::USB_INT_EN_REG, static_cast<std::uint8_t>(soc::read8(soc::USB_INT_EN_REG) & ~4));
    soc::write8(soc::USB_INT_EN_REG, static_cast<std::uint8_t>(soc::read8(soc::USB_INT_EN_REG) & ~1));
    irq::interrupt_mask(kUsbVector);
    irq::interrupt_acknowledge(kUsbVector);
}

void CS3C2410Registers::Attach()
{
    irq::InterruptsDisabled masked;
    soc::write32(soc::GPEDAT, soc::read32(soc::GPEDAT) | kPullUp);
    irq::interrupt_acknowledge(kUsbVector);
    irq::interrupt_unmask(kUsbVector);
    soc::write8(soc::USB_INT_EN_REG, static_cast<std::uint8_t>(soc::read8(soc::USB_INT_EN_REG) | 4));
    soc::write8(soc::USB_INT_EN_REG, static_cast<std::uint8_t>(soc::read8(soc::USB_INT_EN_REG) | 1));
}

void CS3C2410Registers::Detach()
{
    irq::InterruptsDisabled masked;
    irq::interrupt_mask(kUsbVector);
    soc::write8(soc::USB_INT_EN_REG, static_cast<std::uint8_t>(soc::read8(soc::USB_INT_EN_REG) & ~4));
    soc::write8(soc::USB_INT_EN_REG, static_cast<std::uint8_t>(soc::read8(soc::USB_INT_EN_REG) & ~1));
    soc::write32(soc::GPEDAT, soc::read32(soc::GPEDAT) & ~kPullUp);
}

bool CS3C2410Registers::CheckSuspendResume()
{
    irq::InterruptsDisabled masked;
    const std::uint32_t pending = soc::read32(soc::USB_INT_REG);
    if ((pending & 1) != 0) {
        soc::write32(soc::USB_INT_REG, 1);
        return true;
    }
    if ((pending & 2) != 0) {
        soc::write32(soc::USB_INT_REG, 2);
    }
    return false;
}

bool CS3C2410Registers::CheckReset()
{
    irq::InterruptsDisabled masked;
    if ((soc::read32(soc::USB_INT_REG) & 4) == 0) {
        return false;
    }
    soc::write32(soc::USB_INT_REG, 4);
    while ((soc::read32(soc::PWR_REG) & 8) != 0) {
    }
    const std::uint32_t enables = soc::read32(soc::EP_INT_EN_REG);
    soc::write32(soc::EP_INT_EN_REG, (enables & ~0x0Fu) | (m_shadow & 0x0Fu));
    return true;
}

std::uint32_t CS3C2410Registers::ReadIndexed(std::uint32_t endpoint, std::uint32_t address)
{
    irq::InterruptsDisabled masked;
    soc::write32(soc::INDEX_REG, endpoint);
    return soc::read32(address);
}

void CS3C2410Registers::WriteIndexed(std::uint32_t endpoint, std::uint32_t address,
                                     std::uint32_t value)
{
    irq::InterruptsDisabled masked;
    soc::write32(soc::INDEX_REG, endpoint);
    soc::write32(address, value);
}

void CS3C2410Registers::ModifyIndexed(std::uint32_t endpoint, std::uint32_t address,
                                      std::uint32_t clear, std::uint32_t set)
{
    // The action bits (flush, clear toggle, the serviced bits of EP0_CSR) act when written
    // as 1: a value read back never writes them again.
    std::uint32_t actions = 0;
    if (address == soc::OUT_CSR1_REG) {
        actions = soc::kOutFlush | soc::kOutClrToggle;
    } else if (address == soc::IN_CSR1_REG) {
        actions = endpoint == 0 ? soc::kEp0ServicedOut | soc::kEp0ServicedSetupEnd
                                : soc::kInFlush | soc::kInClrToggle;
    }
    irq::InterruptsDisabled masked;
    soc::write32(soc::INDEX_REG, endpoint);
    soc::write32(address, (soc::read32(address) & ~(clear | actions)) | set);
}

bool CS3C2410Registers::IsEndpointInterruptSet(std::uint32_t endpoint)
{
    irq::InterruptsDisabled masked;
    return (soc::read32(soc::EP_INT_REG) & (1u << endpoint)) != 0;
}

bool CS3C2410Registers::ReadFifoByte(std::uint32_t endpoint, std::uint8_t* byte)
{
    irq::InterruptsDisabled masked;
    if (OutFifoCount(endpoint) == 0) {
        return false;
    }
    hal_delay_us(1);
    *byte = static_cast<std::uint8_t>(
        soc::read32(soc::EP0_FIFO_REG + 4 * (endpoint > 3 ? 4 : endpoint)));
    return true;
}

void CS3C2410Registers::WriteFifoByte(std::uint32_t endpoint, std::uint8_t value)
{
    irq::InterruptsDisabled masked;
    hal_delay_us(1);
    soc::write32(soc::EP0_FIFO_REG + 4 * (endpoint > 3 ? 4 : endpoint), value);
}

bool CS3C2410Registers::WriteInPacketByte(std::uint32_t endpoint, std::uint32_t packetBytes,
                                          std::uint8_t value)
{
    irq::InterruptsDisabled masked;
    if (IsResetWaiting() || packetBytes >= ReadIndexed(endpoint, soc::MAXP_REG) * 8u) {
        return false;
    }
    WriteFifoByte(endpoint, value);
    return true;
}

bool CS3C2410Registers::IsResetWaiting()
{
    irq::InterruptsDisabled masked;
    return (soc::read32(soc::USB_INT_REG) & 4) != 0;
}

std::uint32_t CS3C2410Registers::OutFifoCount(std::uint32_t endpoint)
{
    return ReadIndexed(endpoint, soc::OUT_FIFO_CNT1_REG) & 0xFF;
}

bool CS3C2410Registers::GetFlushPending(std::uint32_t endpoint)
{
    irq::InterruptsDisabled masked;
    return endpoint < kEndpoints && m_flushPending[endpoint] != 0;
}

void CS3C2410Registers::SetFlushPending(std::uint32_t endpoint, bool value)
{
    irq::InterruptsDisabled masked;
    if (endpoint < kEndpoints) {
        m_flushPending[endpoint] = value ? 1 : 0;
    }
}

bool CS3C2410Registers::GetRaisePending(std::uint32_t endpoint)
{
    irq::InterruptsDisabled masked;
    return endpoint < kEndpoints && m_raisePending[endpoint] != 0;
}

void CS3C2410Registers::SetRaisePending(std::uint32_t endpoint, bool value)
{
    irq::InterruptsDisabled masked;
    if (endpoint < kEndpoints) {
        m_raisePending[endpoint] = value ? 1 : 0;
    }
}

bool CS3C2410Registers::AnyRaisePending()
{
    irq::InterruptsDisabled masked;
    for (std::uint8_t pending : m_raisePending) {
        if (pending != 0) {
            return true;
        }
    }
    return false;
}

} // namespace Korvex
