// The four endpoints of the S3C2410 USB device block, fixed to hardware endpoints 0-3:
// control (8-byte packets), bulk IN, bulk OUT and interrupt IN (64-byte packets).
//
// Transfer-state bits: 0x8000 running; 0x4000 ended, to be reported; 0x2000 data stage
// finished, status stage pending (control); 0x0800 OUT; 0x0400 IN; 0x0080 ended normally;
// 0x0040 short packet; 0x0020 the host started something else; 0x0010 full packet.
//
// Starts, aborts and halts come from engine threads between DisableDispatching and
// EnableDispatching (or from the interrupt thread during a pass); services run in the pass.
#pragma once

#include <cstdint>

#include "usb/core/UsbEndpoint.h"
#include "usb/s3c2410/S3C2410FifoManager.h"
#include "usb/s3c2410/S3C2410Registers.h"

namespace Korvex {

class CS3C2410Controller;

enum : std::uint32_t {
    kUsbStateRunning = 0x8000,
    kUsbStateEnded = 0x4000,
    kUsbStateStatusPending = 0x2000,
    kUsbStateOut = 0x0800,
    kUsbStateIn = 0x0400,
    kUsbStateNormal = 0x0080,
    kUsbStateShort = 0x0040,
    kUsbStateOverridden = 0x0020,
    kUsbStateFull = 0x0010,
};

// The completion code a transfer-state word gives.
std::uint32_t UsbCompletionCode(std::uint32_t state);

// What the four endpoints share.
class CS3C2410Endpoint : public CUsbControllerEndpoint {
public:
    CS3C2410Endpoint(CS3C2410Controller* controller, CS3C2410Registers* registers,
                     std::uint8_t configuration, std::uint8_t interfaceNumber,
                     std::uint8_t alternate, std::uint8_t number, std::uint32_t kind,
                     CUsbEndpointEventObserver* observer);

    // Halt by the function (bulk and interrupt): a stall the host cannot clear.
    void Halt(std::uint32_t* status) override;
    void ClearHalt(std::uint32_t* status) override;
    // SEND_STALL of the endpoint's CSR (IN_CSR1 or OUT_CSR1); the clear also clears
    // SENT_STALL and sets DATA0. Refused (0x543A3) while halted by the function.
    void SetStall(std::uint32_t* status) override;
    bool IsStalled(std::uint32_t* status) override;
    void ClearStall(std::uint32_t* status) override;
    bool IsInterruptPending() override;
    bool IsConfigured() const { return m_configured != 0; }
    bool IsHaltedByFunction() const { return m_haltedByFunction != 0; }

protected:
    std::uint32_t Hardware() const { return m_address & 0x0F; }
    // The first step of a service: the endpoint's interrupt (or software raise) is taken.
    void TakeInterrupt();

    CS3C2410Controller* m_controller;
    CS3C2410Registers* m_registers;
    std::uint8_t m_configured = 0;
    std::uint8_t m_haltedByFunction = 0;
    // The CSR that holds the endpoint's stall and toggle bits, and those bits.
    std::uint32_t m_csr = 0;
    std::uint32_t m_sendStall = 0;
    std::uint32_t m_sentStall = 0;
    std::uint32_t m_clearToggle = 0;
};

// What the bulk and interrupt endpoints share: one FIFO manager of 64-byte packets and one CSR
// (IN_CSR1 or OUT_CSR1) for their stall, toggle and flush bits.
class CS3C2410DataEndpoint : public CS3C2410Endpoint {
public:
    std::uint16_t GetMaxPacketSize(std::uint32_t speed) override;
    std::uint8_t GetInterval(std::uint32_t speed) override;
    bool IsTransferDone(std::uint32_t* status) override;
    void Flush(std::uint32_t* status) override;
    void Configure(std::uint32_t* status) override;
    // Stall with abort: a running transfer is ended and reported as aborted, then SEND_STALL
    // is set and the configured and halted flags are cleared.
    void Deactivate(std::uint32_t* status) override;

protected:
    CS3C2410DataEndpoint(CS3C2410Controller* controller, CS3C2410Registers* registers,
                         std::uint8_t configuration, std::uint8_t interfaceNumber,
                         std::uint8_t alternate, std::uint8_t number, std::uint32_t kind,
                         std::uint32_t direction, CUsbEndpointEventObserver* observer);
    // The start both directions share: refused (0x543FF) while a transfer runs; else the
    // chain goes to the FIFO manager, the transfer runs and the endpoint interrupt is enabled.
    // False when it did not start.
    bool BeginTransfer(CByteBuffer* chain, std::uint32_t* status);
    // The service's register steps after the interrupt is cleared: reads the CSR, clears the
    // flush-pending flag once the flush is done and acknowledges SENT_STALL (the halt stays
    // until the host clears it). Returns the CSR as read.
    std::uint32_t ServiceCsr();
    // Ends the running transfer for a deactivation; returns the bytes moved.
    virtual std::uint32_t EndForDeactivation() = 0;

    CS3C2410FifoManager m_fifo;

private:
    std::uint32_t m_direction;
};

// Bulk IN on hardware endpoint 1; the interrupt-IN endpoint is the same on endpoint 3.
class CS3C2410BulkInEndpoint : public CS3C2410DataEndpoint {
public:
    CS3C2410BulkInEndpoint(CS3C2410Controller* controller, CS3C2410Registers* registers,
                           std::uint8_t configuration, std::uint8_t interfaceNumber,
                           std::uint8_t alternate, CUsbEndpointEventObserver* observer);

    // Sends the chain: packets of 64 bytes, ended by a short (or zero-length) packet. The
    // first packet goes to the FIFO at once when it is free, else once the host took the
    // previous one. Refused (0x543FF) while a transfer runs.
    void StartSend(CByteBuffer* chain, std::uint32_t* status) override;
    // Ends a running transfer: the packet not yet taken is flushed, a zero-length packet ends
    // the host's read, and the bytes the host took are returned. None running: 0x54325.
    std::uint32_t Abort(std::uint32_t* status) override;
    // Drops the packet waiting for the host; a transfer that waited only for that ends.
    void Flush(std::uint32_t* status) override;
    void Service(std::uint32_t* status) override;

protected:
    CS3C2410BulkInEndpoint(CS3C2410Controller* controller, CS3C2410Registers* registers,
                           std::uint8_t configuration, std::uint8_t interfaceNumber,
                           std::uint8_t alternate, std::uint8_t number, std::uint32_t kind,
                           CUsbEndpointEventObserver* observer);
    // Ends the running transfer; returns the bytes the host took.
    std::uint32_t EndTransfer(bool sendZeroLength);
    std::uint32_t EndForDeactivation() override { return EndTransfer(false); }
    void WritePacket();
};

class CS3C2410InterruptInEndpoint : public CS3C2410BulkInEndpoint {
public:
    CS3C2410InterruptInEndpoint(CS3C2410Controller* controller, CS3C2410Registers* registers,
                                std::uint8_t configuration, std::uint8_t interfaceNumber,
                                std::uint8_t alternate, CUsbEndpointEventObserver* observer);

    // The class's maximum-packet value (the hardware keeps 64).
    std::uint16_t GetMaxPacketSize(std::uint32_t speed) override;
    void SetMaxPacketProperty(std::uint32_t speed, std::uint16_t value,
                              std::uint32_t* status) override;
    std::uint8_t GetInterval(std::uint32_t speed) override;
    void SetInterval(std::uint32_t speed, std::uint8_t value, std::uint32_t* status) override;
    // Always acts: a running transfer ends as for bulk IN; none running returns 0.
    std::uint32_t Abort(std::uint32_t* status) override;

private:
    std::uint16_t m_maxPacket = 64;
    std::uint8_t m_interval = 0;
};

// Bulk OUT on hardware endpoint 2.
class CS3C2410BulkOutEndpoint : public CS3C2410DataEndpoint {
public:
    CS3C2410BulkOutEndpoint(CS3C2410Controller* controller, CS3C2410Registers* registers,
                            std::uint8_t configuration, std::uint8_t interfaceNumber,
                            std::uint8_t alternate, CUsbEndpointEventObserver* observer);

    // Receives until the chain is full, or until a short packet has brought all that the
    // transfer owes (ExpectTransferRest: its alignment bytes may be absent). A packet that
    // cannot continue what the transfer still owes (ExpectTransferRest): short and shorter than
    // that, or longer than that with its padding, belongs to the host's next transfer (the host
    // gave up on this one) and ends the receive early, left in the FIFO for the next receive.
    // Data already waiting is taken by the next pass.
    void StartReceive(CByteBuffer* chain, std::uint32_t* status) override;
    void ExpectTransferRest(std::uint32_t bytes, std::uint32_t padding) override
    {
        m_nextTransferRest = bytes;
        m_nextTransferPadding = padding;
    }
    std::uint32_t Abort(std::uint32_t* status) override;
    void Flush(std::uint32_t* status) override;
    void Service(std::uint32_t* status) override;

protected:
    std::uint32_t EndForDeactivation() override;

private:
    void ReceivePacket();
    void Report(std::uint32_t* status);

    // The FIFO holds the rest of a packet whose start an earlier receive took.
    std::uint8_t m_restOfPacket = 0;
    // The length of the packet being read, as it arrived.
    std::uint32_t m_packetLength = 0;
    // What the host's transfer owed when this receive started (with the padding that may follow
    // it), and the values for the next one.
    std::uint32_t m_transferRest = 0;
    std::uint32_t m_transferPadding = 0;
    std::uint32_t m_nextTransferRest = 0;
    std::uint32_t m_nextTransferPadding = 0;
};

// The default endpoint (hardware endpoint 0).
class CS3C2410ControlEndpoint : public CS3C2410Endpoint {
public:
    CS3C2410ControlEndpoint(CS3C2410Controller* controller, CS3C2410Registers* registers,
                            CUsbEndpointEventObserver* observer);

    std::uint16_t GetMaxPacketSize(std::uint32_t speed) override;
    std::uint8_t GetInterval(std::uint32_t speed) override;
    // OUT data stage of the current request.
    void StartReceive(CByteBuffer* chain, std::uint32_t* status) override;
    // IN data stage: ends at wLength without a zero-length packet, or with a short packet.
    void StartSend(CByteBuffer* chain, std::uint32_t* status) override;
    std::uint32_t Abort(std::uint32_t* status) override;
    bool IsTransferDone(std::uint32_t* status) override;
    void Flush(std::uint32_t* status) override;
    void FinishRequest(std::uint32_t* status) override;
    // Stalls the current request.
    void Halt(std::uint32_t* status) override;
    void Configure(std::uint32_t* status) override;
    void Deactivate(std::uint32_t* status) override;
    void SetStall(std::uint32_t* status) override;
    bool IsStalled(std::uint32_t* status) override;
    void ClearStall(std::uint32_t* status) override;
    void ClearHalt(std::uint32_t* status) override;
    void Service(std::uint32_t* status) override;

private:
    // Acknowledges the SETUP and hands the chain of the data stage (ended at wLength) to fifo.
    void OpenDataStage(CS3C2410FifoManager* fifo, CByteBuffer* chain, std::uint32_t direction);
    // One IN packet of the data stage; the stage's last one leaves the status stage pending.
    void SendPacket();
    void ReportOpenStage(std::uint32_t code, std::uint32_t* status);

    CS3C2410FifoManager m_out;
    CS3C2410FifoManager m_in;
    std::uint16_t m_wLength = 0;
    std::uint8_t m_setupAwaitsAck = 0;
    std::uint8_t m_statusStagePending = 0;
};

} // namespace Korvex
