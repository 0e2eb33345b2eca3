// Register level of the S3C2410 USB device block: every register access of the driver runs
// here, with IRQ and FIQ masked (the interrupt-disable lock) for the access and restored to
// their previous state afterwards, so the operations nest. INDEX_REG is written inside the
// same masked stretch as the indexed register that follows.
#pragma once

#include <cstdint>

#include "usb/core/UsbSetupPacket.h"

namespace Korvex {

class CS3C2410Registers {
public:
    static constexpr std::uint32_t kEndpoints = 4;
    static constexpr std::uint32_t kNotConfigured = 0xFF;

    // Reads the EP_INT_EN shadow from the hardware.
    CS3C2410Registers();
    ~CS3C2410Registers() = default;
    CS3C2410Registers(const CS3C2410Registers&) = delete;
    CS3C2410Registers& operator=(const CS3C2410Registers&) = delete;

    void EnableEndpointInterrupt(std::uint32_t endpoint);
    void DisableEndpointInterrupt(std::uint32_t endpoint);
    // Endpoints 0-4; larger numbers write nothing.
    void ClearEndpointInterrupt(std::uint32_t endpoint);
    void ConfigureEndpoint(std::uint32_t endpoint, std::uint16_t maxPacket, std::uint32_t type);
    // false when no whole SETUP waits (a bus reset took it away).
    bool ReadSetupPacket(UsbSetupPacket* setup);
    void ServiceSetupEnd();
    void AcknowledgeSetup(bool dataEnd);
    void SetAddress(std::uint16_t address);
    void DisableAllInterrupts();
    void ClearAllInterrupts();
    void EnableInterrupts();
    void DisableInterrupts();
    void Attach();
    void Detach();
    bool IsAttached() const { return true; }
    // True for a suspend (cleared); a resume is cleared and gives false.
    bool CheckSuspendResume();
    // True for a bus reset: cleared, PWR_REG bit 3 waited out, the endpoint interrupt enables
    // of endpoints 0-3 written again from the shadow.
    bool CheckReset();

    // Raw accesses for the endpoints (each masked on its own).
    std::uint32_t ReadIndexed(std::uint32_t endpoint, std::uint32_t address);
    void WriteIndexed(std::uint32_t endpoint, std::uint32_t address, std::uint32_t value);
    // value := (value & ~clear) | set, as one masked read-modify-write.
    void ModifyIndexed(std::uint32_t endpoint, std::uint32_t address, std::uint32_t clear,
                       std::uint32_t set);
    bool IsEndpointInterruptSet(std::uint32_t endpoint);
    // One FIFO byte when the OUT FIFO holds one (count and read in one masked stretch, so a
    // bus reset cannot come between them); the FIFO of endpoints above 3 is EP4's.
    bool ReadFifoByte(std::uint32_t endpoint, std::uint8_t* byte);
    void WriteFifoByte(std::uint32_t endpoint, std::uint8_t value);
    // One byte of an IN packet of endpoint 1-4 that already holds packetBytes: refused (false,
    // nothing written) while a bus reset waits to be served (it emptied the FIFO and set its
    // maximum packet back to 8) or when the FIFO's maximum packet is reached. The checks and
    // the write are one masked stretch, so a reset cannot come between them.
    bool WriteInPacketByte(std::uint32_t endpoint, std::uint32_t packetBytes, std::uint8_t value);
    // USB_INT bit 2: a bus reset not yet served by CheckReset.
    bool IsResetWaiting();
    // Bytes waiting in the endpoint's OUT FIFO.
    std::uint32_t OutFifoCount(std::uint32_t endpoint);

    std::uint32_t GetShadow() const { return m_shadow; }
    std::uint32_t GetType(std::uint32_t endpoint) const
    {
        return endpoint < kEndpoints ? m_type[endpoint] : kNotConfigured;
    }
    // Flags kept per hardware endpoint 0-3 (all access under the interrupt-disable lock).
    bool GetFlushPending(std::uint32_t endpoint);
    void SetFlushPending(std::uint32_t endpoint, bool value);
    bool GetRaisePending(std::uint32_t endpoint);
    void SetRaisePending(std::uint32_t endpoint, bool value);
    bool AnyRaisePending();

private:
    std::uint32_t m_shadow;
    std::uint8_t m_flushPending[kEndpoints] = {};
    std::uint8_t m_raisePending[kEndpoints] = {};
    std::uint32_t m_type[kEndpoints] = {kNotConfigured, kNotConfigured, kNotConfigured,
                                        kNotConfigured};
};

} // namespace Korvex
