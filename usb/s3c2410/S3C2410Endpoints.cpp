#include "usb/s3c2410/S3C2410Endpoints.h"

#include "engine/status/EngineStatus.h"
#include "platform/irq/Interrupt.h"
#include "platform/soc/UsbdModel.h"
#include "usb/core/UsbStatus.h"

namespace Korvex {

namespace soc = platform::soc;
using soc::kEp0DataEnd;
using soc::kEp0InPktRdy;
using soc::kEp0OutPktRdy;
using soc::kEp0SendStall;
using soc::kEp0SentStall;
using soc::kEp0SetupEnd;
using soc::kInClrToggle;
using soc::kInFlush;
using soc::kInPktRdy;
using soc::kInSendStall;
using soc::kInSentStall;
using soc::kOutClrToggle;
using soc::kOutFlush;
using soc::kOutPktRdy;
using soc::kOutSendStall;
using soc::kOutSentStall;

namespace {

constexpr std::uint32_t kBulkPacket = 64;
constexpr std::uint32_t kControlPacket = 8;

} // namespace

std::uint32_t UsbCompletionCode(std::uint32_t state)
{
    if ((state & kUsbStateNormal) != 0) {
        return kUsbCompletionNormal;
    }
    if ((state & kUsbStateShort) != 0) {
        return kUsbCompletionShort;
    }
    if ((state & kUsbStateOverridden) != 0) {
        return kUsbCompletionOverridden;
    }
    return kUsbCompletionNone;
}

// ---- common -------------------------------------------------------------------------------

CS3C2410Endpoint::CS3C2410Endpoint(CS3C2410Controller* controller, CS3C2410Registers* registers,
                                   std::uint8_t configuration, std::uint8_t interfaceNumber,
                                   std::uint8_t alternate, std::uint8_t number,
                                   std::uint32_t kind, CUsbEndpointEventObserver* observer)
    : CUsbControllerEndpoint(configuration, interfaceNumber, alternate, number, kind, observer),
      m_controller(controller),
      m_registers(registers)
{
}

void CS3C2410Endpoint::Halt(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    SetStall(status);
    m_haltedByFunction = 1;
}

void CS3C2410Endpoint::ClearHalt(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_haltedByFunction = 0;
    ClearStall(status);
}

void CS3C2410Endpoint::SetStall(std::uint32_t* status)
{
    if (*status == 0) {
        m_registers->ModifyIndexed(Hardware(), m_csr, 0, m_sendStall);
    }
}

bool CS3C2410Endpoint::IsStalled(std::uint32_t* status)
{
    return *status == 0 && (m_registers->ReadIndexed(Hardware(), m_csr) & m_sendStall) != 0;
}

void CS3C2410Endpoint::ClearStall(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    if (m_haltedByFunction != 0) {
        *status = USB_STATUS_HALTED_BY_FUNCTION;
        return;
    }
    do {
        m_registers->ModifyIndexed(Hardware(), m_csr, m_sendStall | m_sentStall, 0);
    } while ((m_registers->ReadIndexed(Hardware(), m_csr) & m_sendStall) != 0);
    m_registers->ModifyIndexed(Hardware(), m_csr, 0, m_clearToggle);
}

bool CS3C2410Endpoint::IsInterruptPending()
{
    return m_registers->IsEndpointInterruptSet(Hardware()) ||
           m_registers->GetRaisePending(Hardware());
}

void CS3C2410Endpoint::TakeInterrupt()
{
    const std::uint32_t hw = Hardware();
    if (m_registers->IsEndpointInterruptSet(hw) || m_registers->GetRaisePending(hw)) {
        m_registers->ClearEndpointInterrupt(hw);
    }
    m_registers->SetRaisePending(hw, false);
}

// ---- bulk and interrupt --------------------------------------------------------------------

CS3C2410DataEndpoint::CS3C2410DataEndpoint(CS3C2410Controller* controller,
                                           CS3C2410Registers* registers,
                                           std::uint8_t configuration,
                                           std::uint8_t interfaceNumber, std::uint8_t alternate,
                                           std::uint8_t number, std::uint32_t kind,
                                           std::uint32_t direction,
                                           CUsbEndpointEventObserver* observer)
    : CS3C2410Endpoint(controller, registers, configuration, interfaceNumber, alternate, number,
                       kind, observer),
      m_fifo(kBulkPacket, number, direction, registers),
      m_direction(direction)
{
    const bool in = direction == CS3C2410FifoManager::kIn;
    m_csr = in ? soc::IN_CSR1_REG : soc::OUT_CSR1_REG;
    m_sendStall = in ? kInSendStall : kOutSendStall;
    m_sentStall = in ? kInSentStall : kOutSentStall;
    m_clearToggle = in ? kInClrToggle : kOutClrToggle;
}

std::uint16_t CS3C2410DataEndpoint::GetMaxPacketSize(std::uint32_t) { return kBulkPacket; }

std::uint8_t CS3C2410DataEndpoint::GetInterval(std::uint32_t) { return 0; }

bool CS3C2410DataEndpoint::IsTransferDone(std::uint32_t* status)
{
    return *status == 0 && m_fifo.IsDone();
}

void CS3C2410DataEndpoint::Flush(std::uint32_t* status)
{
    if (*status == 0) {
        m_fifo.Flush();
    }
}

void CS3C2410DataEndpoint::Configure(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_registers->ConfigureEndpoint(Hardware(), kBulkPacket, m_kind);
    m_configured = 1;
}

bool CS3C2410DataEndpoint::BeginTransfer(CByteBuffer* chain, std::uint32_t* status)
{
    if (*status != 0) {
        return false;
    }
    if ((m_transferState & (kUsbStateRunning | kUsbStateEnded)) != 0) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return false;
    }
    m_fifo.SetBuffer(chain);
    m_transferState =
        kUsbStateRunning | (m_direction == CS3C2410FifoManager::kIn ? kUsbStateIn : kUsbStateOut);
    m_registers->EnableEndpointInterrupt(Hardware());
    return true;
}

std::uint32_t CS3C2410DataEndpoint::ServiceCsr()
{
    const std::uint32_t hw = Hardware();
    const std::uint32_t csr = m_registers->ReadIndexed(hw, m_csr);
    const std::uint32_t flush = m_direction == CS3C2410FifoManager::kIn ? kInFlush : kOutFlush;
    if (m_registers->GetFlushPending(hw) && (csr & flush) == 0) {
        m_registers->SetFlushPending(hw, false);
    }
    if ((csr & m_sentStall) != 0) {
        // Only the handshake bit: the halt stays until the host clears it.
        m_registers->ModifyIndexed(hw, m_csr, m_sentStall, 0);
    }
    return csr;
}

void CS3C2410DataEndpoint::Deactivate(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    if ((m_transferState & (kUsbStateRunning | kUsbStateEnded)) != 0) {
        const std::uint32_t moved = EndForDeactivation();
        if (m_observer != nullptr && m_direction == CS3C2410FifoManager::kIn) {
            m_observer->OnInComplete(this, kUsbCompletionAborted, moved, status);
        } else if (m_observer != nullptr) {
            m_observer->OnOutComplete(this, kUsbCompletionAborted, moved, status);
        }
    }
    // As a bus reset does: nothing the FIFO held (a packet no transfer owns, the short packet
    // ending an aborted read) reaches the next configuration.
    std::uint32_t flushStatus = 0;
    Flush(&flushStatus);
    m_registers->ModifyIndexed(Hardware(), m_csr, 0, m_sendStall);
    m_configured = 0;
    m_haltedByFunction = 0;
}

// ---- bulk IN / interrupt IN ----------------------------------------------------------------

CS3C2410BulkInEndpoint::CS3C2410BulkInEndpoint(CS3C2410Controller* controller,
                                               CS3C2410Registers* registers,
                                               std::uint8_t configuration,
                                               std::uint8_t interfaceNumber,
                                               std::uint8_t alternate,
                                               CUsbEndpointEventObserver* observer)
    : CS3C2410BulkInEndpoint(controller, registers, configuration, interfaceNumber, alternate, 1,
                             kUsbEndpointBulkIn, observer)
{
}

CS3C2410BulkInEndpoint::CS3C2410BulkInEndpoint(CS3C2410Controller* controller,
                                               CS3C2410Registers* registers,
                                               std::uint8_t configuration,
                                               std::uint8_t interfaceNumber,
                                               std::uint8_t alternate, std::uint8_t number,
                                               std::uint32_t kind,
                                               CUsbEndpointEventObserver* observer)
    : CS3C2410DataEndpoint(controller, registers, configuration, interfaceNumber, alternate,
                           number, kind, CS3C2410FifoManager::kIn, observer)
{
}

void CS3C2410BulkInEndpoint::WritePacket()
{
    m_fifo.WriteFifo();
    m_fifo.CompletePacket();
    if (m_fifo.IsTransferDone()) {
        m_transferState = kUsbStateEnded | kUsbStateIn | kUsbStateNormal;
    }
}

void CS3C2410BulkInEndpoint::StartSend(CByteBuffer* chain, std::uint32_t* status)
{
    if (!BeginTransfer(chain, status)) {
        return;
    }
    // The FIFO may still hold a packet the host has not taken: the service writes then.
    if ((m_registers->ReadIndexed(Hardware(), soc::IN_CSR1_REG) & kInPktRdy) == 0) {
        WritePacket();
    }
}

std::uint32_t CS3C2410BulkInEndpoint::EndTransfer(bool sendZeroLength)
{
    m_registers->DisableEndpointInterrupt(Hardware());
    // A packet still in the FIFO was not taken by the host: it does not count.
    const bool waiting =
        (m_registers->ReadIndexed(Hardware(), soc::IN_CSR1_REG) & kInPktRdy) != 0;
    const std::uint32_t taken = m_fifo.GetBytesSent() - (waiting ? m_fifo.GetLastPacket() : 0);
    m_fifo.Flush();
    if (sendZeroLength) {
        m_fifo.SetBuffer(nullptr);
        m_fifo.CompletePacket();
    }
    m_transferState = 0;
    m_fifo.Reset();
    return taken;
}

void CS3C2410BulkInEndpoint::Flush(std::uint32_t* status)
{
    CS3C2410DataEndpoint::Flush(status);
    // A transfer that waited only for the host to take its last packet has ended with the
    // flush: the next pass reports it.
    if (*status == 0 && (m_transferState & kUsbStateEnded) != 0) {
        m_registers->SetRaisePending(Hardware(), true);
    }
}

std::uint32_t CS3C2410BulkInEndpoint::Abort(std::uint32_t* status)
{
    if (*status != 0) {
        return 0;
    }
    if ((m_transferState & (kUsbStateRunning | kUsbStateEnded)) == 0) {
        *status = USB_STATUS_NOTHING_TO_ABORT;
        return 0;
    }
    return EndTransfer(true);
}

void CS3C2410BulkInEndpoint::Service(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    TakeInterrupt();
    std::uint32_t csr = ServiceCsr();
    if ((csr & kInPktRdy) != 0) {
        return;
    }
    if ((m_transferState & kUsbStateRunning) != 0) {
        WritePacket();
        csr = m_registers->ReadIndexed(Hardware(), soc::IN_CSR1_REG);
    }
    // Reported once the host has taken the transfer's last packet.
    if ((m_transferState & kUsbStateEnded) != 0 && (csr & kInPktRdy) == 0) {
        m_registers->DisableEndpointInterrupt(Hardware());
        const std::uint32_t code = UsbCompletionCode(m_transferState);
        const std::uint32_t sent = m_fifo.GetBytesSent();
        m_transferState = 0;
        m_fifo.Reset();
        if (m_observer != nullptr) {
            m_observer->OnInComplete(this, code, sent, status);
        }
    }
}

CS3C2410InterruptInEndpoint::CS3C2410InterruptInEndpoint(CS3C2410Controller* controller,
                                                         CS3C2410Registers* registers,
                                                         std::uint8_t configuration,
                                                         std::uint8_t interfaceNumber,
                                                         std::uint8_t alternate,
                                                         CUsbEndpointEventObserver* observer)
    : CS3C2410BulkInEndpoint(controller, registers, configuration, interfaceNumber, alternate, 3,
                             kUsbEndpointInterruptIn, observer)
{
}

std::uint16_t CS3C2410InterruptInEndpoint::GetMaxPacketSize(std::uint32_t)
{
    return m_maxPacket;
}

void CS3C2410InterruptInEndpoint::SetMaxPacketProperty(std::uint32_t speed,
                                                       std::uint16_t value,
                                                       std::uint32_t* status)
{
    if (*status == 0 && speed == kUsbFullSpeed) {
        m_maxPacket = value;
    }
}

std::uint8_t CS3C2410InterruptInEndpoint::GetInterval(std::uint32_t) { return m_interval; }

void CS3C2410InterruptInEndpoint::SetInterval(std::uint32_t speed, std::uint8_t value,
                                              std::uint32_t* status)
{
    if (*status == 0 && speed == kUsbFullSpeed) {
        m_interval = value;
    }
}

std::uint32_t CS3C2410InterruptInEndpoint::Abort(std::uint32_t* status)
{
    if (*status != 0) {
        return 0;
    }
    if ((m_transferState & (kUsbStateRunning | kUsbStateEnded)) == 0) {
        return 0;
    }
    return EndTransfer(false);
}

// ---- bulk OUT ------------------------------------------------------------------------------

CS3C2410BulkOutEndpoint::CS3C2410BulkOutEndpoint(CS3C2410Controller* controller,
                                                 CS3C2410Registers* registers,
                                                 std::uint8_t configuration,
                                                 std::uint8_t interfaceNumber,
                                                 std::uint8_t alternate,
                                                 CUsbEndpointEventObserver* observer)
    : CS3C2410DataEndpoint(controller, registers, configuration, interfaceNumber, alternate, 2,
                           kUsbEndpointBulkOut, CS3C2410FifoManager::kOut, observer)
{
}

void CS3C2410BulkOutEndpoint::StartReceive(CByteBuffer* chain, std::uint32_t* status)
{
    m_transferRest = m_nextTransferRest;
    m_transferPadding = m_nextTransferPadding;
    m_nextTransferRest = 0;
    m_nextTransferPadding = 0;
    if (!BeginTransfer(chain, status)) {
        return;
    }
    const bool waiting = (m_registers->ReadIndexed(2, soc::OUT_CSR1_REG) & kOutPktRdy) != 0;
    if (!waiting) {
        m_restOfPacket = 0;
    }
    // A packet already waiting is served by the next pass, when the chain can take data.
    if (m_fifo.GetRemaining() > 0 && waiting) {
        m_registers->SetRaisePending(2, true);
    }
}

void CS3C2410BulkOutEndpoint::Flush(std::uint32_t* status)
{
    CS3C2410DataEndpoint::Flush(status);
    m_restOfPacket = 0;
    m_transferRest = 0;
    m_transferPadding = 0;
}

void CS3C2410BulkOutEndpoint::ReceivePacket()
{
    const std::uint32_t waiting = m_registers->OutFifoCount(2);
    const std::uint32_t received = m_fifo.GetBytesReceived();
    const std::uint32_t owed = m_transferRest > received ? m_transferRest - received : 0;
    // A whole packet the transfer cannot hold: short of what it owes (a short packet would end
    // it), or longer than its rest and padding (its last packet would be the rest alone).
    const bool another = (waiting < kBulkPacket && waiting < owed) ||
                         waiting > owed + m_transferPadding;
    if (m_restOfPacket == 0) {
        m_packetLength = waiting;
    }
    if (m_transferRest != 0 && m_restOfPacket == 0 && another) {
        // The host's transfer ended short of what it owes; the packet starts its next, which
        // the next receive takes.
        m_transferRest = 0;
        m_transferState = kUsbStateEnded | kUsbStateOut | kUsbStateNormal;
        return;
    }
    if (m_fifo.GetRemaining() > 0) {
        m_fifo.ReadFifo();
    }
    bool shortEnd = false;
    if (m_registers->OutFifoCount(2) == 0) {
        m_fifo.CompletePacket();
        m_restOfPacket = 0;
        // A short packet ends the host's transfer: once it has brought every byte the transfer
        // owes, alignment bytes the host left out are not waited for.
        shortEnd = m_transferRest != 0 && m_packetLength < kBulkPacket &&
                   m_fifo.GetBytesReceived() >= m_transferRest;
    } else {
        m_fifo.TakePartialPacket();
        m_restOfPacket = 1;
    }
    if (m_fifo.IsTransferDone() || shortEnd) {
        m_transferState = kUsbStateEnded | kUsbStateOut | kUsbStateNormal;
    }
}

void CS3C2410BulkOutEndpoint::Report(std::uint32_t* status)
{
    if (m_registers->OutFifoCount(2) == 0) {
        m_registers->DisableEndpointInterrupt(2);
    }
    const std::uint32_t code = UsbCompletionCode(m_transferState);
    const std::uint32_t received = m_fifo.GetBytesReceived();
    m_transferState = 0;
    m_fifo.Reset();
    if (m_observer != nullptr) {
        m_observer->OnOutComplete(this, code, received, status);
    }
}

std::uint32_t CS3C2410BulkOutEndpoint::Abort(std::uint32_t* status)
{
    if (*status != 0) {
        return 0;
    }
    if ((m_transferState & kUsbStateOut) == 0) {
        return 0;
    }
    if ((m_transferState & kUsbStateRunning) != 0 &&
        (m_registers->ReadIndexed(2, soc::OUT_CSR1_REG) & kOutPktRdy) != 0) {
        ReceivePacket();
    }
    m_registers->DisableEndpointInterrupt(2);
    const std::uint32_t received = m_fifo.GetBytesReceived();
    m_registers->SetRaisePending(2, false);
    m_fifo.Reset();
    m_transferState = 0;
    return received;
}

std::uint32_t CS3C2410BulkOutEndpoint::EndForDeactivation()
{
    std::uint32_t ignored = 0;
    return Abort(&ignored);
}

void CS3C2410BulkOutEndpoint::Service(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    TakeInterrupt();
    if (m_transferState == 0) {
        return;  // the packet waits in the FIFO; the host is NAKed
    }
    const std::uint32_t csr = ServiceCsr();
    if ((m_transferState & kUsbStateEnded) == 0 && (csr & kOutPktRdy) != 0) {
        ReceivePacket();
    }
    if ((m_transferState & kUsbStateEnded) != 0) {
        Report(status);
    }
}

// ---- control -------------------------------------------------------------------------------

CS3C2410ControlEndpoint::CS3C2410ControlEndpoint(CS3C2410Controller* controller,
                                                 CS3C2410Registers* registers,
                                                 CUsbEndpointEventObserver* observer)
    : CS3C2410Endpoint(controller, registers, 0, 0, 0, 0, kUsbEndpointControl, observer),
      m_out(kControlPacket, 0, CS3C2410FifoManager::kOut, registers),
      m_in(kControlPacket, 0, CS3C2410FifoManager::kIn, registers)
{
}

std::uint16_t CS3C2410ControlEndpoint::GetMaxPacketSize(std::uint32_t) { return kControlPacket; }

std::uint8_t CS3C2410ControlEndpoint::GetInterval(std::uint32_t) { return 0; }

void CS3C2410ControlEndpoint::OpenDataStage(CS3C2410FifoManager* fifo, CByteBuffer* chain,
                                            std::uint32_t direction)
{
    m_registers->AcknowledgeSetup(false);
    m_setupAwaitsAck = 0;
    fifo->SetBuffer(chain);
    fifo->SetExpectedTotal(m_wLength);
    m_transferState = kUsbStateRunning | direction;
}

void CS3C2410ControlEndpoint::SendPacket()
{
    m_in.WriteFifo();
    m_in.CompletePacket();
    if (m_in.IsTransferDone()) {
        m_statusStagePending = 1;
        m_transferState = kUsbStateStatusPending | kUsbStateIn |
                          (m_in.LastPacketFull() ? kUsbStateFull : kUsbStateShort);
    }
}

void CS3C2410ControlEndpoint::StartReceive(CByteBuffer* chain, std::uint32_t* status)
{
    if (*status == 0) {
        OpenDataStage(&m_out, chain, kUsbStateOut);
    }
}

void CS3C2410ControlEndpoint::StartSend(CByteBuffer* chain, std::uint32_t* status)
{
    if (*status == 0) {
        OpenDataStage(&m_in, chain, kUsbStateIn);
        SendPacket();
    }
}

std::uint32_t CS3C2410ControlEndpoint::Abort(std::uint32_t* status)
{
    if (*status != 0) {
        return 0;
    }
    std::uint32_t moved = 0;
    if ((m_transferState & kUsbStateOut) != 0) {
        if ((m_transferState & kUsbStateRunning) != 0 &&
            (m_registers->ReadIndexed(0, soc::EP0_CSR) & kEp0OutPktRdy) != 0) {
            m_out.ReadFifo();
        }
        moved = m_out.GetBytesReceived() + m_out.GetPacketCount();
        m_out.Reset();
    } else {
        moved = m_in.GetBytesSent();
        m_in.Reset();
    }
    m_transferState = 0;
    m_statusStagePending = 0;
    return moved;
}

bool CS3C2410ControlEndpoint::IsTransferDone(std::uint32_t* status)
{
    if (*status != 0) {
        return false;
    }
    return (m_transferState & kUsbStateOut) != 0 ? m_out.IsDone() : m_in.IsDone();
}

void CS3C2410ControlEndpoint::Flush(std::uint32_t* status)
{
    if (*status == 0) {
        m_in.Flush();
    }
}

void CS3C2410ControlEndpoint::FinishRequest(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    if (m_setupAwaitsAck != 0) {
        m_registers->AcknowledgeSetup(true);
        m_setupAwaitsAck = 0;
        m_transferState = 0;
    }
}

void CS3C2410ControlEndpoint::Halt(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    SetStall(status);
    m_transferState = 0;
    m_statusStagePending = 0;
}

void CS3C2410ControlEndpoint::Configure(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_registers->ConfigureEndpoint(0, kControlPacket, kUsbEndpointControl);
    m_registers->EnableEndpointInterrupt(0);
    m_configured = 1;
}

void CS3C2410ControlEndpoint::ReportOpenStage(std::uint32_t code, std::uint32_t* status)
{
    const bool out = (m_transferState & kUsbStateOut) != 0;
    std::uint32_t ignored = 0;
    const std::uint32_t moved = Abort(&ignored);
    if (m_observer == nullptr) {
        return;
    }
    if (out) {
        m_observer->OnOutComplete(this, code, moved, status);
    } else {
        m_observer->OnInComplete(this, code, moved, status);
    }
}

void CS3C2410ControlEndpoint::Deactivate(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    if ((m_transferState & (kUsbStateRunning | kUsbStateStatusPending)) != 0) {
        ReportOpenStage(kUsbCompletionAborted, status);
    }
    m_registers->DisableEndpointInterrupt(0);
    m_configured = 0;
}

void CS3C2410ControlEndpoint::SetStall(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    {
        // One masked stretch: a new SETUP must not arrive between the two writes (0x48 would
        // release it unread).
        irq::InterruptsDisabled masked;
        m_registers->WriteIndexed(0, soc::EP0_CSR, kEp0SendStall);
        m_registers->WriteIndexed(0, soc::EP0_CSR, 0x48);
    }
    m_setupAwaitsAck = 0;
}

bool CS3C2410ControlEndpoint::IsStalled(std::uint32_t* status)
{
    return *status == 0 && (m_registers->ReadIndexed(0, soc::EP0_CSR) & kEp0SendStall) != 0;
}

void CS3C2410ControlEndpoint::ClearStall(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_registers->ModifyIndexed(0, soc::EP0_CSR, kEp0SendStall | 0x4B, 0);
    m_registers->ModifyIndexed(0, soc::EP0_CSR, kEp0SentStall | 0x4B, 0);
}

void CS3C2410ControlEndpoint::ClearHalt(std::uint32_t* status) { ClearStall(status); }

void CS3C2410ControlEndpoint::Service(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    TakeInterrupt();
    std::uint32_t csr = m_registers->ReadIndexed(0, soc::EP0_CSR);
    if ((csr & kEp0SetupEnd) != 0) {
        m_registers->ServiceSetupEnd();
        // The host ended the open transfer with a new SETUP.
        if ((m_transferState & (kUsbStateRunning | kUsbStateStatusPending)) != 0) {
            ReportOpenStage((m_transferState & kUsbStateStatusPending) != 0
                                ? kUsbCompletionNormal
                                : kUsbCompletionOverridden,
                            status);
        }
        m_transferState = 0;
        m_statusStagePending = 0;
    }
    if ((csr & kEp0SentStall) != 0) {
        m_registers->ModifyIndexed(0, soc::EP0_CSR, kEp0SentStall | 0x4B, 0);
    }
    csr = m_registers->ReadIndexed(0, soc::EP0_CSR);
    if ((csr & kEp0InPktRdy) == 0 && (m_transferState & kUsbStateRunning) != 0 &&
        (m_transferState & kUsbStateIn) != 0) {
        SendPacket();
        return;
    }
    if ((csr & kEp0OutPktRdy) != 0) {
        if ((m_transferState & (kUsbStateRunning | kUsbStateStatusPending)) != 0 &&
            (m_transferState & kUsbStateOut) != 0) {
            m_out.ReadFifo();
            m_out.CompletePacket();
            if (m_out.IsTransferDone()) {
                const std::uint32_t received = m_out.GetBytesReceived();
                m_out.Reset();
                m_transferState = 0;
                if (m_observer != nullptr) {
                    m_observer->OnOutComplete(this, kUsbCompletionNormal, received, status);
                }
            }
            return;
        }
        if ((m_transferState & (kUsbStateRunning | kUsbStateStatusPending)) != 0) {
            // An IN stage was still open when the next SETUP came.
            ReportOpenStage((m_transferState & kUsbStateStatusPending) != 0
                                ? kUsbCompletionNormal
                                : kUsbCompletionOverridden,
                            status);
        }
        UsbSetupPacket setup{};
        if (!m_registers->ReadSetupPacket(&setup)) {
            return;
        }
        m_setupAwaitsAck = 1;
        m_wLength = setup.wLength;
        if (m_observer != nullptr) {
            m_observer->OnSetup(setup, status);
        }
        return;
    }
    if (m_statusStagePending != 0 && (csr & kEp0DataEnd) == 0) {
        m_statusStagePending = 0;
        if ((m_transferState & kUsbStateStatusPending) != 0 &&
            (m_transferState & kUsbStateIn) != 0) {
            const std::uint32_t sent = m_in.GetBytesSent();
            m_transferState = 0;
            m_in.Reset();
            if (m_observer != nullptr) {
                m_observer->OnInComplete(this, kUsbCompletionNormal, sent, status);
            }
        } else {
            m_transferState = 0;
        }
    }
}

} // namespace Korvex
