#include "usb/usbtmc/Usb488BulkManager.h"

#include <cstring>

#include "engine/remotelocal/RemoteLocalStateMachine.h"
#include "engine/session/PhysicalInterface.h"
#include "engine/status/EngineStatus.h"
#include "usb/core/UsbEndpoint.h"
#include "usb/core/UsbController.h"
#include "usb/core/UsbStatus.h"
#include "usb/device/UsbDeviceManager.h"
#include "usb/device/UsbInterfaceClassIoManager.h"
#include "usb/usbtmc/Usb488Class.h"
#include "usb/usbtmc/Usb488ClassRequests.h"
#include "usb/usbtmc/UsbtmcProtocol.h"

namespace Korvex {

namespace {
std::uint32_t Smaller(std::uint32_t a, std::uint32_t b)
{
    return a < b ? a : b;
}
} // namespace

// ---- states ----

CUsb488BulkOutState::CUsb488BulkOutState(std::uint32_t* status)
{
    if (alignmentBuffer.ConstructionFailed() != 0) {
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
    }
}

void CUsb488BulkOutState::Reset()
{
    bTag = 0;
    alignment = 0;
    transferSize = 0;
    expected = 0;
    active = 0;
    eom = 0;
    alignmentChained = 0;
    posted = nullptr;
    postedRoom = 0;
}

CUsb488BulkInState::CUsb488BulkInState(std::uint32_t* status)
{
    if (header.ConstructionFailed() != 0) {
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
    }
}

void CUsb488BulkInState::End()
{
    header.SetNext(nullptr);
    bTag = 0;
    transferSize = 0;
    termCharEnabled = 0;
    termChar = 0;
    queued = 0;
    headerAlone = 0;
    active = 0;
}

// ---- manager ----

CUsb488BulkManager::CUsb488BulkManager(CUsb488Class* owner, std::uint32_t maximumTransfer,
                                       std::uint32_t* status)
    : m_owner(owner), m_maximumTransfer(maximumTransfer), m_out(status), m_in(status)
{
    if (m_headerReceive.ConstructionFailed() != 0) {
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
    }
}

CPhysicalInterface* CUsb488BulkManager::Engine() const
{
    return m_owner->GetPhysicalInterface();
}

void CUsb488BulkManager::Attach(CUsbInterfaceClassIoManager* io, std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_io = io;
}

void CUsb488BulkManager::Detach()
{
    m_io = nullptr;
}

void CUsb488BulkManager::Arm(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_receptionEnabled = 1;
    ArmHeaderReceive();
}

void CUsb488BulkManager::Stop()
{
    std::uint32_t status = 0;
    CancelHeaderReceive(&status);
    Unchain();
    m_out.Reset();
    m_outActive = 0;
    m_in.End();
    m_responseRequested = 0;
}

void CUsb488BulkManager::ArmHeaderReceive()
{
    // A message being received owns the endpoint; a held header keeps its place. A request
    // being answered arms the next header when its transfer ends, unless another interface's
    // FETC? waits for bus triggers (a TRIGGER may be what the request waits for).
    if (m_io == nullptr || m_receptionEnabled == 0 || m_headerArmed != 0 || m_headerHeld != 0 ||
        m_out.posted != nullptr || (m_in.active != 0 && !FetchElsewhere())) {
        return;
    }
    std::uint32_t status = 0;
    m_headerReceive.SetWindow(0, Usbtmc::kHeaderSize, &status);
    // A header begins the host's next transfer: what it owes is not known yet.
    m_io->ExpectTransferRest(kUsbEndpointBulkOut, 0, 0, &status);
    m_io->StartReceive(kUsbEndpointBulkOut, &m_headerReceive, &status);
    if (status == 0) {
        m_headerArmed = 1;
    }
}

void CUsb488BulkManager::ErrorRecovery()
{
    // The refused header is dropped and the next one awaited. Neither halt nor flush: the
    // host never sees a halt that is cleared at once, clearing it would put the device's
    // data toggle back to DATA0 behind the host's back, and by the time a refused header is
    // reported its packet has been released, so a flush could drop the host's next transfer.
    ArmHeaderReceive();
}

void CUsb488BulkManager::FlushBulkOut()
{
    if (m_io != nullptr) {
        std::uint32_t status = 0;
        m_io->Flush(kUsbEndpointBulkOut, &status);
    }
}

// ---- Bulk-OUT ----

void CUsb488BulkManager::OnBulkOutComplete(std::uint32_t result, std::uint32_t count)
{
    if (m_headerArmed != 0) {
        m_headerArmed = 0;
        OnHeader(result, count);
    } else if (m_out.posted != nullptr) {
        OnData(result, count);
    }
}

void CUsb488BulkManager::OnHeader(std::uint32_t result, std::uint32_t count)
{
    if (result == kUsbCompletionAborted) {
        return;
    }
    const std::uint8_t* header = m_headerReceive.GetStorage();
    if (result != kUsbCompletionNormal || count < Usbtmc::kHeaderSize || header == nullptr) {
        ErrorRecovery();
        return;
    }
    const std::uint8_t msgId = header[0];
    const std::uint8_t bTag = header[1];
    const bool tagMatches = static_cast<std::uint8_t>(~bTag) == header[2];
    const std::uint32_t transferSize = Usbtmc::ReadLe32(header + 4);
    const std::uint8_t attributes = header[8];
    CPhysicalInterface* engine = Engine();

    if (m_in.active != 0 &&
        (msgId != Usbtmc::kTrigger || !tagMatches || m_in.queued != 0 || engine == nullptr ||
         !engine->GetLedger().CaughtBehindFetch())) {
        // Behind the request being answered, as if it had stayed in the FIFO. Only a TRIGGER
        // for the other interface's FETC?, that the message of this request waits behind,
        // counts now (the session takes it out of turn; it interrupts nothing).
        m_headerHeld = 1;
        m_heldCount = count;
        return;
    }
    if (msgId == Usbtmc::kRequestDevDepMsgIn && tagMatches &&
        (attributes & Usbtmc::kAttributeEom) == 0 && transferSize != 0) {
        m_in.End();
        m_in.bTag = bTag;
        m_in.transferSize = transferSize;
        m_in.bytesSent = 0;
        m_in.termCharEnabled = (attributes & Usbtmc::kAttributeTermChar) != 0 ? 1 : 0;
        m_in.termChar = header[9];
        m_in.active = 1;
        m_responseRequested = 1;
        m_owner->GetClassRequests()->ResetFlags();
        ArmHeaderReceive();
        if (engine != nullptr) {
            engine->StartOutput();
        }
        return;
    }
    if (msgId == Usbtmc::kDevDepMsgOut && tagMatches && transferSize != 0) {
        m_out.Reset();
        m_out.bTag = bTag;
        m_out.transferSize = transferSize;
        m_out.eom = (attributes & Usbtmc::kAttributeEom) != 0 ? 1 : 0;
        m_out.alignment = static_cast<std::uint8_t>(transferSize % 4 != 0 ? 4 - transferSize % 4 : 0);
        m_out.expected = transferSize;
        m_out.active = 1;
        m_outActive = 1;
        m_messageOpen = 1;
        m_owner->GetRemoteLocalMachine()->OnRemote(0);
        m_owner->GetClassRequests()->ResetFlags();
        if (engine != nullptr) {
            engine->StartInput();
        }
        return;
    }
    if (msgId == Usbtmc::kTrigger && tagMatches) {
        m_owner->GetRemoteLocalMachine()->OnRemote(0);
        if (m_owner->TriggerEnabled() && engine != nullptr) {
            engine->Trigger();
        }
        ArmHeaderReceive();
        return;
    }
    ErrorRecovery();
}

void CUsb488BulkManager::Account(std::uint32_t* count, std::uint8_t* end)
{
    if (*count < m_out.expected) {
        m_out.expected -= *count;
        *end = 0;
    } else {
        *count = m_out.expected;
        m_out.expected = 0;
        *end = m_out.eom;
    }
}

void CUsb488BulkManager::Unchain()
{
    if (m_out.posted != nullptr && m_out.alignmentChained != 0) {
        m_out.posted->SetNext(nullptr);
    }
    m_out.alignmentChained = 0;
    m_out.posted = nullptr;
}

void CUsb488BulkManager::DeliverBulkOutData(std::uint32_t count, std::uint8_t end)
{
    CPhysicalInterface* engine = Engine();
    if (engine == nullptr) {
        return;
    }
    if (count != 0 && m_owner->TakeInputNotification()) {
        engine->ForwardToSession();
    }
    if (end != 0) {
        m_messageOpen = 0;
    }
    engine->OnInputReceived(count, end);
}

void CUsb488BulkManager::OnData(std::uint32_t result, std::uint32_t count)
{
    // A receive that ended before its room was filled met the host's next transfer: the host
    // gave up on this one (its deadline, say) and will not send the rest of the message.
    const bool abandoned = result == kUsbCompletionNormal && count < m_out.postedRoom;
    std::uint8_t end = 0;
    Account(&count, &end);
    Unchain();
    if (abandoned && m_out.expected != 0) {
        m_outActive = 0;
        m_out.Reset();
        // The engine's receive ends with what came; then the engine drops the message, and the
        // next header receive is armed once that clear has finished.
        DeliverBulkOutData(count, 0);
        m_owner->ClearAbandonedMessage();
        return;
    }
    if (m_out.expected == 0 || result != kUsbCompletionNormal) {
        m_outActive = 0;
        m_out.Reset();
        if (result != kUsbCompletionNormal && result != kUsbCompletionAborted) {
            FlushBulkOut();
        }
        if (result != kUsbCompletionAborted) {
            ArmHeaderReceive();
        }
    }
    DeliverBulkOutData(count, end);
}

void CUsb488BulkManager::RegisterInputBuffer(CByteBuffer*, std::uint32_t* status)
{
    // The endpoints take any chain at each receive; nothing to register ahead.
    *status = 0;
}

void CUsb488BulkManager::RegisterOutputBuffer(CByteBuffer*, std::uint32_t* status)
{
    *status = 0;
}

void CUsb488BulkManager::PostReceiveBuffer(CByteBuffer* buffer, std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    if (buffer == nullptr || m_io == nullptr || m_outActive == 0 || m_out.posted != nullptr ||
        m_headerArmed != 0) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return;
    }
    m_out.posted = buffer;
    m_out.postedRoom = buffer->BytesLeft();
    if (buffer->BytesLeft() == m_out.expected && m_out.alignment != 0) {
        m_out.alignmentBuffer.SetWindow(0, m_out.alignment, status);
        buffer->SetNext(&m_out.alignmentBuffer);
        m_out.alignmentChained = 1;
        m_out.postedRoom += m_out.alignment;
    }
    // What the message's data still owes, then its alignment bytes (a host may leave them out).
    m_io->ExpectTransferRest(kUsbEndpointBulkOut, m_out.expected, m_out.alignment, status);
    m_io->StartReceive(kUsbEndpointBulkOut, buffer, status);
    if (*status != 0) {
        Unchain();
    }
}

void CUsb488BulkManager::CancelInput(std::uint32_t* count, std::uint8_t* end,
                                     std::uint32_t* status)
{
    *count = 0;
    *end = 0;
    if (m_out.posted != nullptr && m_io != nullptr) {
        std::uint32_t abortStatus = 0;
        std::uint32_t moved = m_io->Abort(kUsbEndpointBulkOut, &abortStatus);
        Account(&moved, end);
        *count = moved;
    }
    Unchain();
    m_out.Reset();
    m_outActive = 0;
    ArmHeaderReceive();
    *status = 0;
}

std::uint32_t CUsb488BulkManager::AbortBulkOut(std::uint32_t* status)
{
    const std::uint32_t delivered = m_outActive != 0 ? m_out.transferSize - m_out.expected : 0;
    const bool posted = m_out.posted != nullptr;
    std::uint32_t partial = 0;
    std::uint8_t end = 0;
    if (posted && m_io != nullptr) {
        std::uint32_t abortStatus = 0;
        partial = m_io->Abort(kUsbEndpointBulkOut, &abortStatus);
        Account(&partial, &end);
    }
    Unchain();
    m_out.Reset();
    m_outActive = 0;
    if (m_headerArmed != 0 && m_io != nullptr) {
        std::uint32_t abortStatus = 0;
        m_io->Abort(kUsbEndpointBulkOut, &abortStatus);
    }
    m_headerArmed = 0;
    m_headerHeld = 0;
    FlushBulkOut();
    m_receptionEnabled = 1;
    ArmHeaderReceive();
    if (posted) {
        // Also an empty one: the engine's receive has ended.
        DeliverBulkOutData(partial, end);
    }
    *status = 0;
    return delivered + partial;
}

void CUsb488BulkManager::CancelHeaderReceive(std::uint32_t* status)
{
    if (m_headerArmed != 0 && m_io != nullptr) {
        std::uint32_t abortStatus = 0;
        m_io->Abort(kUsbEndpointBulkOut, &abortStatus);
    }
    m_headerArmed = 0;
    m_headerHeld = 0;
    m_receptionEnabled = 0;
    *status = 0;
}

bool CUsb488BulkManager::FetchElsewhere() const
{
    CPhysicalInterface* engine = Engine();
    return engine != nullptr && engine->GetLedger().FetchElsewhere();
}

void CUsb488BulkManager::OnFetchElsewhere()
{
    ArmHeaderReceive();
}

void CUsb488BulkManager::TakeHeldHeader()
{
    // The header reaches the engine as a delivery of the transport: only inside a pass.
    if (m_headerHeld == 0 || m_in.active != 0 || m_io == nullptr ||
        !m_io->GetDeviceManager()->GetController()->IsServicing()) {
        return;
    }
    m_headerHeld = 0;
    OnHeader(kUsbCompletionNormal, m_heldCount);
}

void CUsb488BulkManager::LimitWindow(CByteBuffer* window, bool input)
{
    std::uint32_t limit = 0;
    if (input) {
        if (m_outActive != 0 && m_out.posted == nullptr) {
            limit = Smaller(m_out.expected, m_maximumTransfer);
        }
    } else if (m_responseRequested != 0 && m_in.active != 0 && m_in.queued == 0) {
        limit = Smaller(m_in.transferSize, m_maximumTransfer);
    }
    if (window->BytesInWindow() > limit) {
        std::uint32_t status = 0;
        window->SetEnd(window->GetStart() + limit, &status);
    }
}

// ---- Bulk-IN ----

std::uint32_t CUsb488BulkManager::StripUsbtmcBulkInHeader(std::uint32_t count)
{
    m_in.bytesSent = count < Usbtmc::kHeaderSize ? 0 : count - Usbtmc::kHeaderSize;
    return m_in.bytesSent;
}

void CUsb488BulkManager::QueueBulkIn(CByteBuffer* data, std::uint32_t count,
                                     std::uint8_t attributes, std::uint32_t* status)
{
    std::uint8_t* header = m_in.header.GetStorage();
    std::memset(header, 0, Usbtmc::kHeaderSize);
    header[0] = Usbtmc::kDevDepMsgIn;
    header[1] = m_in.bTag;
    header[2] = static_cast<std::uint8_t>(~m_in.bTag);
    Usbtmc::WriteLe32(header + 4, count);
    header[8] = attributes;
    m_in.header.SetWindow(0, Usbtmc::kHeaderSize, status);
    m_in.header.SetNext(data);
    m_in.queued = 1;
    m_io->StartSend(kUsbEndpointBulkIn, &m_in.header, status);
    if (*status != 0) {
        m_in.header.SetNext(nullptr);
        m_in.queued = 0;
    }
}

void CUsb488BulkManager::SendResponse(CByteBuffer* buffer, std::uint8_t termCharFound,
                                      std::uint8_t eom, std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    if (buffer == nullptr || m_io == nullptr || m_in.active == 0 || m_responseRequested == 0 ||
        m_in.queued != 0) {
        // Nothing goes out without a request to answer.
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return;
    }
    std::uint8_t attributes = 0;
    if (eom != 0) {
        attributes |= Usbtmc::kAttributeEom;
    }
    if (termCharFound != 0) {
        attributes |= Usbtmc::kAttributeTermChar;
    }
    QueueBulkIn(buffer, buffer->BytesInWindow(), attributes, status);
}

void CUsb488BulkManager::FinishBulkIn(std::uint32_t count, bool arm)
{
    const bool engineData = m_in.headerAlone == 0;
    const std::uint32_t sent = StripUsbtmcBulkInHeader(count);
    m_responseRequested = 0;
    m_in.End();
    if (arm && m_receptionEnabled != 0) {
        ArmHeaderReceive();
    }
    CPhysicalInterface* engine = Engine();
    if (engineData && engine != nullptr) {
        // The rest of a longer response waits for the next request (its window is 0 now).
        engine->OnOutputSent(sent);
    }
    if (arm) {
        TakeHeldHeader();
    }
}

void CUsb488BulkManager::OnBulkInComplete(std::uint32_t result, std::uint32_t count)
{
    if (m_in.queued == 0) {
        return;
    }
    FinishBulkIn(count, result == kUsbCompletionNormal);
}

void CUsb488BulkManager::CancelResponse(std::uint32_t* count, std::uint32_t* status)
{
    *count = 0;
    *status = 0;
    if (m_in.queued == 0 || m_in.headerAlone != 0 || m_io == nullptr) {
        return;
    }
    // The engine has withdrawn the response: the end of this transfer is not reported.
    m_in.headerAlone = 1;
    // The endpoint's abort ends the host's read with a short packet; a halt would reset
    // the device's data toggle behind the host's back.
    std::uint32_t abortStatus = 0;
    const std::uint32_t moved = m_io->Abort(kUsbEndpointBulkIn, &abortStatus);
    if (abortStatus == USB_STATUS_NOTHING_TO_ABORT) {
        // Its completion is on the way and ends the request.
        return;
    }
    FinishBulkIn(moved, true);
    *count = m_in.bytesSent;
}

void CUsb488BulkManager::AbortBulkIn(std::uint32_t* status)
{
    *status = 0;
    if (m_io == nullptr || m_in.active == 0) {
        return;
    }
    if (m_in.queued != 0) {
        if (m_in.headerAlone != 0) {
            return;
        }
        std::uint32_t abortStatus = 0;
        const std::uint32_t moved = m_io->Abort(kUsbEndpointBulkIn, &abortStatus);
        if (abortStatus == USB_STATUS_NOTHING_TO_ABORT) {
            return;
        }
        FinishBulkIn(moved, true);
        return;
    }
    m_responseRequested = 0;
    m_in.headerAlone = 1;
    QueueBulkIn(nullptr, 0, 0, status);
}

void CUsb488BulkManager::DropRequest()
{
    if (m_in.active == 0 || m_in.queued != 0) {
        return;
    }
    m_responseRequested = 0;
    m_in.End();
    ArmHeaderReceive();
}

} // namespace Korvex
