#include "usb/s3c2410/S3C2410FifoManager.h"

#include "platform/hal/HalDelay.h"
#include "platform/irq/Interrupt.h"
#include "platform/soc/UsbdModel.h"

namespace Korvex {

namespace soc = platform::soc;

CS3C2410FifoManager::CS3C2410FifoManager(std::uint32_t maxPacket, std::uint8_t endpoint,
                                         std::uint32_t direction, CS3C2410Registers* registers)
    : m_registers(registers), m_endpoint(endpoint), m_maxPacket(maxPacket), m_direction(direction)
{
    m_registers->SetFlushPending(endpoint, false);
}

void CS3C2410FifoManager::SetBuffer(CByteBuffer* chain)
{
    Reset();
    m_chain = chain;
    for (CByteBuffer* buffer = chain; buffer != nullptr; buffer = buffer->GetNext()) {
        buffer->Rewind();
        m_remaining += buffer->BytesLeft();
    }
}

void CS3C2410FifoManager::Reset()
{
    m_chain = nullptr;
    m_packet = 0;
    m_remaining = 0;
    m_sent = 0;
    m_received = 0;
    m_lastRead = 0;
    m_expected = 0;
    m_expectedRule = false;
    m_transferDone = false;
    m_lastShort = false;
    m_lastFull = false;
    m_lastPacket = 0;
    m_cutByReset = false;
}

void CS3C2410FifoManager::SetExpectedTotal(std::uint32_t total)
{
    m_expected = total;
    m_expectedRule = true;
}

std::uint32_t CS3C2410FifoManager::WriteFifo()
{
    m_remaining = 0;
    for (CByteBuffer* buffer = m_chain; buffer != nullptr; buffer = buffer->GetNext()) {
        std::uint8_t* storage = buffer->GetStorage();
        while (!m_cutByReset && m_packet < m_maxPacket && buffer->BytesLeft() > 0) {
            if (m_expectedRule && m_sent + m_packet >= m_expected) {
                break;
            }
            const std::uint32_t cursor = buffer->GetCursor();
            if (m_endpoint == 0) {
                m_registers->WriteFifoByte(0, storage[cursor]);
            } else if (!m_registers->WriteInPacketByte(m_endpoint, m_packet, storage[cursor])) {
                m_cutByReset = true;
                break;
            }
            std::uint32_t ignored = 0;
            buffer->SetCursor(cursor + 1, &ignored);
            ++m_packet;
        }
        m_remaining += buffer->BytesLeft();
    }
    return m_remaining;
}

std::uint32_t CS3C2410FifoManager::FreeSpace() const
{
    std::uint32_t free = 0;
    for (CByteBuffer* buffer = m_chain; buffer != nullptr; buffer = buffer->GetNext()) {
        free += buffer->BytesLeft();
    }
    return free;
}

std::uint32_t CS3C2410FifoManager::ReadFifo()
{
    m_lastRead = 0;
    for (CByteBuffer* buffer = m_chain; buffer != nullptr; buffer = buffer->GetNext()) {
        std::uint8_t* storage = buffer->GetStorage();
        std::uint8_t byte = 0;
        while (buffer->BytesLeft() > 0 && m_registers->ReadFifoByte(m_endpoint, &byte)) {
            const std::uint32_t cursor = buffer->GetCursor();
            storage[cursor] = byte;
            std::uint32_t ignored = 0;
            buffer->SetCursor(cursor + 1, &ignored);
            ++m_packet;
            ++m_lastRead;
        }
    }
    m_remaining = FreeSpace();
    return m_remaining;
}

void CS3C2410FifoManager::Flush()
{
    if (m_direction == kIn) {
        m_sent += m_packet;
    } else {
        m_received += m_packet;
    }
    if (m_registers->GetType(m_endpoint) == 2) {
        m_registers->ModifyIndexed(m_endpoint, soc::OUT_CSR1_REG, 0, 0x10);
    } else if (m_endpoint != 0) {
        m_registers->ModifyIndexed(m_endpoint, soc::IN_CSR1_REG, 0, 0x08);
    }
    m_registers->SetFlushPending(m_endpoint, true);
    m_packet = 0;
}

void CS3C2410FifoManager::CompletePacket()
{
    irq::InterruptsDisabled masked;
    if (m_direction == kIn && m_endpoint != 0 &&
        (m_cutByReset || m_registers->IsResetWaiting())) {
        // A bus reset came during the packet: nothing more goes to the reset endpoint and the
        // packet does not count; the transfer runs on until the reset's deconfiguration ends
        // it (code 3).
        m_cutByReset = true;
        m_transferDone = false;
        return;
    }
    std::uint32_t& total = m_direction == kIn ? m_sent : m_received;
    total += m_packet;
    m_lastShort = m_packet < m_maxPacket;
    m_lastFull = m_packet == m_maxPacket;
    m_lastPacket = m_packet;
    if (m_direction == kOut) {
        // A receive ends when its chain is full; a short packet does not end it.
        m_transferDone = m_expectedRule ? (m_expected == total || m_lastShort) : FreeSpace() == 0;
    } else {
        m_transferDone = m_lastShort || (m_expectedRule && m_expected == total);
    }
    m_packet = 0;
    hal_delay_us(1);
    if (m_direction == kIn) {
        if (m_endpoint != 0) {
            m_registers->ModifyIndexed(m_endpoint, soc::IN_CSR1_REG, 0, 0x01);
        } else {
            m_registers->WriteIndexed(0, soc::EP0_CSR, m_transferDone ? 0x0A : 0x02);
        }
    } else {
        if (m_endpoint != 0) {
            m_registers->ModifyIndexed(m_endpoint, soc::OUT_CSR1_REG, 0x01, 0);
        } else {
            m_registers->WriteIndexed(0, soc::EP0_CSR, m_transferDone ? 0x48 : 0x40);
        }
    }
}

void CS3C2410FifoManager::TakePartialPacket()
{
    m_received += m_packet;
    m_packet = 0;
    m_transferDone = FreeSpace() == 0;
}

bool CS3C2410FifoManager::IsDone()
{
    if (m_direction == kIn) {
        // A packet still waiting in a data endpoint's FIFO for the host (the short packet
        // an abort leaves, say) is something left to send as well.
        return m_remaining == 0 &&
               (m_endpoint == 0 ||
                (m_registers->ReadIndexed(m_endpoint, soc::IN_CSR1_REG) & soc::kInPktRdy) == 0);
    }
    return m_registers->OutFifoCount(m_endpoint) == 0;
}

} // namespace Korvex
