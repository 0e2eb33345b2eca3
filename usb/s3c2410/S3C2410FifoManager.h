// Moves the bytes of one endpoint and direction between a chain of byte buffers and the
// endpoint's FIFO, one packet at a time, and keeps the totals of the transfer.
//
// Both directions use each buffer's window [start, end) from its start (SetBuffer rewinds the
// cursors). IN: WriteFifo fills one packet (up to the maximum packet) from the bytes between
// cursor and end, advancing the cursor; CompletePacket hands it to the hardware. OUT: ReadFifo
// stores what the FIFO holds at the cursors (the data received is [start, cursor) of each
// buffer; a packet that does not fit stays in the FIFO for the next receive); CompletePacket
// releases the packet once the FIFO is empty.
#pragma once

#include <cstdint>

#include "engine/buffer/ByteBuffer.h"
#include "usb/s3c2410/S3C2410Registers.h"

namespace Korvex {

class CS3C2410FifoManager {
public:
    enum : std::uint32_t { kIn = 0, kOut = 1 };

    CS3C2410FifoManager(std::uint32_t maxPacket, std::uint8_t endpoint, std::uint32_t direction,
                        CS3C2410Registers* registers);
    ~CS3C2410FifoManager() = default;
    CS3C2410FifoManager(const CS3C2410FifoManager&) = delete;
    CS3C2410FifoManager& operator=(const CS3C2410FifoManager&) = delete;

    // Takes a chain (null: an empty transfer): rewinds each buffer's cursor and totals the bytes
    // to send or the free space; clears the expected-total rule.
    void SetBuffer(CByteBuffer* chain);
    // Drops the chain and clears the counters.
    void Reset();
    // One IN packet into the FIFO; returns the bytes of the chain still to send.
    std::uint32_t WriteFifo();
    // Reads what fits of the waiting OUT packet; returns the free space left in the chain.
    std::uint32_t ReadFifo();
    void Flush();
    // IN on endpoints 1-4: a packet a bus reset came into (see WriteInPacketByte) is neither
    // handed over nor counted, and the transfer does not end.
    void CompletePacket();
    // OUT: counts the bytes read of a packet that stays in the FIFO (its rest goes to the
    // next receive) and ends the transfer when the chain is full.
    void TakePartialPacket();
    // IN: nothing left to send, and on a data endpoint no packet waiting in the FIFO for
    // the host; OUT: the FIFO is empty.
    bool IsDone();

    // The transfer ends also when the running total reaches this (0: no such rule).
    void SetExpectedTotal(std::uint32_t total);

    bool IsTransferDone() const { return m_transferDone; }
    bool LastPacketShort() const { return m_lastShort; }
    bool LastPacketFull() const { return m_lastFull; }
    std::uint32_t GetBytesSent() const { return m_sent; }
    std::uint32_t GetBytesReceived() const { return m_received; }
    std::uint32_t GetLastRead() const { return m_lastRead; }
    std::uint32_t GetRemaining() const { return m_remaining; }
    std::uint32_t GetPacketCount() const { return m_packet; }
    // Size of the last packet handed to the hardware.
    std::uint32_t GetLastPacket() const { return m_lastPacket; }
    CByteBuffer* GetBuffer() const { return m_chain; }

private:
    std::uint32_t FreeSpace() const;

    CS3C2410Registers* m_registers;
    CByteBuffer* m_chain = nullptr;
    std::uint32_t m_packet = 0;     // bytes in the current packet
    std::uint32_t m_remaining = 0;  // IN: still to send; OUT: free space
    std::uint32_t m_sent = 0;
    std::uint32_t m_received = 0;
    std::uint32_t m_lastRead = 0;
    std::uint32_t m_expected = 0;
    std::uint32_t m_lastPacket = 0;
    std::uint8_t m_endpoint;
    std::uint32_t m_maxPacket;
    std::uint32_t m_direction;
    bool m_transferDone = false;
    bool m_expectedRule = false;
    bool m_lastShort = false;
    bool m_lastFull = false;
    bool m_cutByReset = false;  // IN, endpoints 1-4: a bus reset came during the packet
};

} // namespace Korvex
