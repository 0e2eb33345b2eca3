#include "usb/usbtmc/Usb488ClassRequests.h"

#include <cstring>

#include "engine/remotelocal/RemoteLocalStateMachine.h"
#include "engine/session/PhysicalInterface.h"
#include "engine/status/EngineStatus.h"
#include "platform/diag/Diag.h"
#include "usb/core/UsbEndpoint.h"
#include "usb/device/UsbInterfaceClassIoManager.h"
#include "usb/usbtmc/Usb488BulkManager.h"
#include "usb/usbtmc/Usb488Class.h"
#include "usb/usbtmc/UsbtmcProtocol.h"

namespace Korvex {

namespace {
constexpr std::uint8_t kDeviceToHost = 0x80;
constexpr std::uint8_t kTypeMask = 0x60;
constexpr std::uint8_t kTypeClass = 0x20;
constexpr std::uint8_t kRecipientMask = 0x1F;
constexpr std::uint16_t kIndicatorPulseValue = 500;
} // namespace

CUsb488ClassRequests::CUsb488ClassRequests(CUsb488Class* owner, std::uint32_t* status)
    : m_owner(owner)
{
    for (Handler& handler : m_table) {
        handler = &CUsb488ClassRequests::OnStall;
    }
    m_table[Usbtmc::kInitiateAbortBulkOut] = &CUsb488ClassRequests::OnInitiateAbortBulkOut;
    m_table[Usbtmc::kCheckAbortBulkOutStatus] = &CUsb488ClassRequests::OnCheckAbortBulkOutStatus;
    m_table[Usbtmc::kInitiateAbortBulkIn] = &CUsb488ClassRequests::OnInitiateAbortBulkIn;
    m_table[Usbtmc::kCheckAbortBulkInStatus] = &CUsb488ClassRequests::OnCheckAbortBulkInStatus;
    m_table[Usbtmc::kInitiateClear] = &CUsb488ClassRequests::OnInitiateClear;
    m_table[Usbtmc::kCheckClearStatus] = &CUsb488ClassRequests::OnCheckClearStatus;
    m_table[Usbtmc::kGetCapabilities] = &CUsb488ClassRequests::OnGetCapabilities;
    m_table[Usbtmc::kIndicatorPulse] = &CUsb488ClassRequests::OnIndicatorPulse;
    m_table[Usbtmc::kReadStatusByte] = &CUsb488ClassRequests::OnReadStatusByte;
    m_table[Usbtmc::kRenControl] = &CUsb488ClassRequests::OnRenControl;
    m_table[Usbtmc::kGoToLocal] = &CUsb488ClassRequests::OnGoToLocal;
    m_table[Usbtmc::kLocalLockout] = &CUsb488ClassRequests::OnLocalLockout;
    if (m_reply.ConstructionFailed() != 0 || m_notification.ConstructionFailed() != 0) {
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
    }
}

CPhysicalInterface* CUsb488ClassRequests::Engine() const
{
    return m_owner->GetPhysicalInterface();
}

void CUsb488ClassRequests::Dispatch(const UsbSetupPacket& setup, std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    (this->*m_table[setup.bRequest])(setup, status);
}

void CUsb488ClassRequests::Attach(CUsbInterfaceClassIoManager* io, std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_io = io;
}

void CUsb488ClassRequests::Detach()
{
    m_io = nullptr;
}

void CUsb488ClassRequests::ResetFlags()
{
    m_clearPending = 0;
    m_abortInPending = 0;
    m_abortOutPending = 0;
}

void CUsb488ClassRequests::Start()
{
    m_enabled = 1;
    if (m_wanted != 0) {
        m_wanted = 0;
        BeginNotification(kServiceRequest, 0);
    }
}

void CUsb488ClassRequests::Stop()
{
    m_enabled = 0;
    ResetFlags();
    m_bytesReceived = 0;
    m_busy = 0;
    m_wanted = 0;
    m_statusTag = 0;
    m_readAgain = 0;
    m_notificationQueued = 0;
}

// ---- common ----

bool CUsb488ClassRequests::Accepts(const UsbSetupPacket& setup, Recipient recipient,
                                   std::uint16_t length)
{
    return (setup.bmRequestType & kDeviceToHost) != 0 &&
           (setup.bmRequestType & kTypeMask) == kTypeClass &&
           (setup.bmRequestType & kRecipientMask) == recipient && setup.wLength == length;
}

void CUsb488ClassRequests::Stall(std::uint32_t* status)
{
    if (m_io != nullptr) {
        m_io->Halt(kUsbEndpointControl, status);
    }
}

bool CUsb488ClassRequests::Guard()
{
    if (m_clearPending != 0) {
        if (m_clearsOutstanding != 0) {
            return false;
        }
        m_clearPending = 0;
        return true;
    }
    if (m_abortOutPending != 0) {
        m_abortOutPending = 0;
        m_bytesReceived = 0;
        return true;
    }
    if (m_abortInPending != 0) {
        if (m_owner->GetBulkManager()->BulkInActive()) {
            return false;
        }
        m_abortInPending = 0;
    }
    return true;
}

bool CUsb488ClassRequests::BulkInHolds()
{
    std::uint32_t fifoStatus = 0;
    const bool fifoDone = m_io == nullptr || m_io->IsTransferDone(kUsbEndpointBulkIn, &fifoStatus);
    return m_owner->GetBulkManager()->BulkInActive() || (fifoStatus == 0 && !fifoDone);
}

void CUsb488ClassRequests::FlushBulkIn()
{
    if (m_io != nullptr) {
        std::uint32_t flushStatus = 0;
        m_io->Flush(kUsbEndpointBulkIn, &flushStatus);
    }
}

void CUsb488ClassRequests::Reply(const std::uint8_t* bytes, std::uint32_t count,
                                 std::uint32_t* status)
{
    if (m_io == nullptr) {
        return;
    }
    m_reply.SetWindow(0, count, status);
    std::memcpy(m_reply.GetStorage(), bytes, count);
    m_io->StartSend(kUsbEndpointControl, &m_reply, status);
}

bool CUsb488ClassRequests::BeginStatusRequest(const UsbSetupPacket& setup, std::uint32_t* status)
{
    if (!Accepts(setup, kInterface, 1)) {
        Stall(status);
        return false;
    }
    if (!Guard()) {
        ReplyStatus(Usbtmc::kSplitInProgress, status);
        return false;
    }
    return true;
}

void CUsb488ClassRequests::ReplyStatus(std::uint8_t value, std::uint32_t* status)
{
    Reply(&value, 1, status);
}

void CUsb488ClassRequests::OnControlComplete(std::uint32_t result)
{
    if (result == kUsbCompletionNormal && m_io != nullptr) {
        std::uint32_t status = 0;
        m_io->FinishRequest(kUsbEndpointControl, &status);
    }
}

// ---- handlers ----

void CUsb488ClassRequests::OnStall(const UsbSetupPacket&, std::uint32_t* status)
{
    Stall(status);
}

void CUsb488ClassRequests::OnInitiateAbortBulkOut(const UsbSetupPacket& setup,
                                                  std::uint32_t* status)
{
    if (!Accepts(setup, kEndpoint, 2)) {
        Stall(status);
        return;
    }
    CUsb488BulkManager* bulk = m_owner->GetBulkManager();
    std::uint8_t reply[2] = {Usbtmc::kSplitInProgress, bulk->BulkOutTag()};
    if (!Guard()) {
        Reply(reply, sizeof(reply), status);
    } else if (!bulk->BulkOutActive()) {
        reply[0] = Usbtmc::kFailed;
        Reply(reply, sizeof(reply), status);
    } else if ((setup.wValue & 0xFF) != bulk->BulkOutTag()) {
        reply[0] = Usbtmc::kTransferNotInProgress;
        Reply(reply, sizeof(reply), status);
    } else {
        // The transfer is ended before the reply goes out: the host acts on the reply at
        // once, while this handler would still run.
        m_abortOutPending = 1;
        std::uint32_t endpointStatus = 0;
        m_io->Halt(kUsbEndpointBulkOut, &endpointStatus);
        std::uint32_t abortStatus = 0;
        m_bytesReceived = bulk->AbortBulkOut(&abortStatus);
        if (bulk->MessageOpen()) {
            // The engine holds the start of the message the host gave up on: it is dropped,
            // and the next header is taken only once that clear has finished, so the host's
            // next message does not continue this one.
            bulk->CancelHeaderReceive(&abortStatus);
            m_owner->ClearAbandonedMessage();
        }
        endpointStatus = 0;
        m_io->ClearHalt(kUsbEndpointBulkOut, &endpointStatus);
        reply[0] = Usbtmc::kSuccess;
        Reply(reply, sizeof(reply), status);
    }
}

void CUsb488ClassRequests::OnCheckAbortBulkOutStatus(const UsbSetupPacket& setup,
                                                     std::uint32_t* status)
{
    if (!Accepts(setup, kEndpoint, 8)) {
        Stall(status);
        return;
    }
    std::uint8_t reply[8] = {};
    if (m_abortOutPending != 0) {
        m_abortOutPending = 0;
        reply[0] = Usbtmc::kSuccess;
        Usbtmc::WriteLe32(reply + 4, m_bytesReceived);
        m_bytesReceived = 0;
    } else {
        reply[0] = Guard() ? Usbtmc::kSplitNotInProgress : Usbtmc::kSplitInProgress;
    }
    Reply(reply, sizeof(reply), status);
}

void CUsb488ClassRequests::OnInitiateAbortBulkIn(const UsbSetupPacket& setup,
                                                 std::uint32_t* status)
{
    if (!Accepts(setup, kEndpoint, 2) || (setup.wValue & 0xFF) == 0) {
        Stall(status);
        return;
    }
    CUsb488BulkManager* bulk = m_owner->GetBulkManager();
    std::uint8_t reply[2] = {Usbtmc::kSplitInProgress, bulk->BulkInTag()};
    if (!Guard()) {
        Reply(reply, sizeof(reply), status);
        return;
    }
    if (bulk->BulkInActive()) {
        if ((setup.wValue & 0xFF) != bulk->BulkInTag()) {
            reply[0] = Usbtmc::kTransferNotInProgress;
            Reply(reply, sizeof(reply), status);
            return;
        }
        m_abortInPending = 1;
        std::uint32_t abortStatus = 0;
        bulk->AbortBulkIn(&abortStatus);
        reply[0] = Usbtmc::kSuccess;
        Reply(reply, sizeof(reply), status);
        return;
    }
    std::uint32_t fifoStatus = 0;
    const bool outFifoEmpty = m_io->IsTransferDone(kUsbEndpointBulkOut, &fifoStatus);
    reply[0] = !bulk->BulkOutActive() && outFifoEmpty ? Usbtmc::kFailed
                                                      : Usbtmc::kTransferNotInProgress;
    Reply(reply, sizeof(reply), status);
}

void CUsb488ClassRequests::OnCheckAbortBulkInStatus(const UsbSetupPacket& setup,
                                                    std::uint32_t* status)
{
    if (!Accepts(setup, kEndpoint, 8)) {
        Stall(status);
        return;
    }
    CUsb488BulkManager* bulk = m_owner->GetBulkManager();
    std::uint8_t reply[8] = {};
    // What the abort left in the FIFO stays there for the host to read.
    const bool holds = BulkInHolds();
    reply[1] = holds ? 1 : 0;
    if (m_abortInPending != 0) {
        if (holds) {
            reply[0] = Usbtmc::kPending;
        } else {
            m_abortInPending = 0;
            reply[0] = Usbtmc::kSuccess;
            Usbtmc::WriteLe32(reply + 4, bulk->BulkInBytesSent());
        }
    } else {
        reply[0] = Guard() ? Usbtmc::kSplitNotInProgress : Usbtmc::kSplitInProgress;
    }
    Reply(reply, sizeof(reply), status);
}

void CUsb488ClassRequests::OnInitiateClear(const UsbSetupPacket& setup, std::uint32_t* status)
{
    if (!BeginStatusRequest(setup, status)) {
        return;
    }
    CUsb488BulkManager* bulk = m_owner->GetBulkManager();
    m_clearPending = 1;
    ++m_clearsOutstanding;
    std::uint32_t endpointStatus = 0;
    m_io->Halt(kUsbEndpointBulkOut, &endpointStatus);
    std::uint32_t bulkStatus = 0;
    if (bulk->BulkOutActive()) {
        bulk->AbortBulkOut(&bulkStatus);
    } else {
        // Bulk-OUT is halted: what its FIFO holds is stale (the rest of a request's packet,
        // say), and so is a header held behind the request answered: both go before
        // listening again.
        bulk->CancelHeaderReceive(&bulkStatus);
        endpointStatus = 0;
        if (!m_io->IsTransferDone(kUsbEndpointBulkOut, &endpointStatus)) {
            endpointStatus = 0;
            m_io->Flush(kUsbEndpointBulkOut, &endpointStatus);
        }
        // A request with nothing queued is dropped here; a transfer under way is ended by
        // the engine's clear (CancelSend).
        bulk->DropRequest();
        bulk->Arm(&bulkStatus);
    }
    m_owner->GetRemoteLocalMachine()->OnRemote(0);
    CPhysicalInterface* engine = Engine();
    bulk->ForgetMessage();
    if (engine != nullptr) {
        // Cancels the response under way (its tail and the short packet ending the read go to
        // the FIFO, emptied here).
        engine->DeviceClear();
        FlushBulkIn();
    } else {
        std::uint32_t clearStatus = 0;
        ClearFinished(&clearStatus);
    }
    // Last: the host goes on with the clear as soon as it has the reply.
    ReplyStatus(Usbtmc::kSuccess, status);
}

void CUsb488ClassRequests::OnCheckClearStatus(const UsbSetupPacket& setup, std::uint32_t* status)
{
    if (!Accepts(setup, kInterface, 2)) {
        Stall(status);
        return;
    }
    const bool bulkIn = BulkInHolds();
    std::uint8_t reply[2] = {Usbtmc::kPending, static_cast<std::uint8_t>(bulkIn ? 1 : 0)};
    if (m_clearPending != 0) {
        if (m_clearsOutstanding == 0 && !bulkIn) {
            m_clearPending = 0;
            reply[0] = Usbtmc::kSuccess;
        }
    } else {
        reply[0] = Guard() ? Usbtmc::kSplitNotInProgress : Usbtmc::kSplitInProgress;
    }
    Reply(reply, sizeof(reply), status);
}

void CUsb488ClassRequests::OnGetCapabilities(const UsbSetupPacket& setup, std::uint32_t* status)
{
    if (!Accepts(setup, kInterface, CUsb488Class::kCapabilitiesSize)) {
        Stall(status);
        return;
    }
    std::uint8_t reply[CUsb488Class::kCapabilitiesSize];
    std::memcpy(reply, m_owner->GetCapabilities(), sizeof(reply));
    reply[0] = Guard() ? Usbtmc::kSuccess : Usbtmc::kSplitInProgress;
    Reply(reply, sizeof(reply), status);
}

void CUsb488ClassRequests::OnIndicatorPulse(const UsbSetupPacket& setup, std::uint32_t* status)
{
    if (!BeginStatusRequest(setup, status)) {
        return;
    }
    ReplyStatus(Usbtmc::kSuccess, status);
    // A controller without an indicator refuses the pulse; that is no fault of the
    // interface and must not reach the exception observer.
    std::uint32_t indicatorStatus = 0;
    m_owner->PulseIndicator(kIndicatorPulseValue, &indicatorStatus);
    if (indicatorStatus != 0) {
        diag_printf("CUsb488ClassRequests: INDICATOR_PULSE not supported by the controller "
                    "(0x%X)\n",
                    static_cast<unsigned>(indicatorStatus));
    }
}

void CUsb488ClassRequests::OnReadStatusByte(const UsbSetupPacket& setup, std::uint32_t* status)
{
    if (!Accepts(setup, kInterface, 3) || setup.wValue < 2 || setup.wValue > 0x7F) {
        Stall(status);
        return;
    }
    const std::uint8_t tag = static_cast<std::uint8_t>(setup.wValue);
    std::uint8_t reply[3] = {Usbtmc::kSplitInProgress, tag, 0};
    if (!Guard()) {
        Reply(reply, sizeof(reply), status);
        return;
    }
    // Only a poll that passed its checks names the tag of the next notification.
    m_lastTag = tag;
    reply[0] = Usbtmc::kSuccess;
    Reply(reply, sizeof(reply), status);
    if (m_busy != 0) {
        m_readAgain = 1;
        return;
    }
    BeginNotification(kPoll, tag);
}

void CUsb488ClassRequests::OnRenControl(const UsbSetupPacket& setup, std::uint32_t* status)
{
    if (!BeginStatusRequest(setup, status)) {
        return;
    }
    if (setup.wValue == 0) {
        m_owner->GetRemoteLocalMachine()->OnRenReleased();
    } else {
        m_owner->GetRemoteLocalMachine()->OnRenAsserted(0);
    }
    ReplyStatus(Usbtmc::kSuccess, status);
}

void CUsb488ClassRequests::OnGoToLocal(const UsbSetupPacket& setup, std::uint32_t* status)
{
    if (!BeginStatusRequest(setup, status)) {
        return;
    }
    m_owner->GetRemoteLocalMachine()->OnGoToLocal();
    ReplyStatus(Usbtmc::kSuccess, status);
}

void CUsb488ClassRequests::OnLocalLockout(const UsbSetupPacket& setup, std::uint32_t* status)
{
    if (!BeginStatusRequest(setup, status)) {
        return;
    }
    m_owner->GetRemoteLocalMachine()->OnLocalLockout(0);
    ReplyStatus(Usbtmc::kSuccess, status);
}

// ---- engine side ----

void CUsb488ClassRequests::ClearFinished(std::uint32_t* status)
{
    *status = 0;
    if (m_clearsOutstanding == 0) {
        return;
    }
    --m_clearsOutstanding;
    if (m_clearsOutstanding == 0 && m_io != nullptr) {
        // The device empties Bulk-IN itself: the host has nothing to read to end the clear.
        FlushBulkIn();
        m_io->ClearHalt(kUsbEndpointBulkOut, status);
    }
}

void CUsb488ClassRequests::BeginNotification(Reason reason, std::uint8_t tag)
{
    m_busy = 1;
    m_reason = reason;
    m_statusTag = tag;
    m_notificationQueued = 0;
    CPhysicalInterface* engine = Engine();
    if (engine != nullptr) {
        engine->BeginSerialPoll();
    }
}

void CUsb488ClassRequests::ServiceRequest(std::uint32_t* status)
{
    *status = 0;
    if (m_busy != 0 || m_enabled == 0) {
        m_wanted = 1;
        return;
    }
    BeginNotification(kServiceRequest, 0);
}

void CUsb488ClassRequests::ServiceRequestReleased(std::uint32_t* status)
{
    *status = 0;
    m_wanted = 0;
}

void CUsb488ClassRequests::SendInterruptNotification(std::uint8_t stb, std::uint32_t* status)
{
    *status = 0;
    if (m_busy != 0 && m_notificationQueued == 0 && m_io != nullptr) {
        std::uint8_t* bytes = m_notification.GetStorage();
        bytes[0] = m_reason == kPoll ? static_cast<std::uint8_t>(Usbtmc::kNotifyStatusByte | m_statusTag)
                                     : Usbtmc::kNotifyServiceRequest;
        bytes[1] = stb;
        std::uint32_t sendStatus = 0;
        m_notification.SetWindow(0, 2, &sendStatus);
        m_io->StartSend(kUsbEndpointInterruptIn, &m_notification, &sendStatus);
        if (sendStatus == 0) {
            m_notificationQueued = 1;
        } else {
            m_busy = 0;
        }
    }
    CPhysicalInterface* engine = Engine();
    if (engine != nullptr) {
        engine->EndSerialPoll();
    }
}

void CUsb488ClassRequests::OnInterruptComplete(std::uint32_t result)
{
    m_busy = 0;
    m_notificationQueued = 0;
    if (result != kUsbCompletionNormal || (m_readAgain == 0 && m_wanted == 0)) {
        return;
    }
    // A poll waiting for its answer goes first; its status byte carries RQS when a
    // service request is pending.
    const bool poll = m_readAgain != 0;
    m_readAgain = 0;
    m_wanted = 0;
    BeginNotification(poll ? kPoll : kServiceRequest, poll ? m_lastTag : 0);
}

} // namespace Korvex
