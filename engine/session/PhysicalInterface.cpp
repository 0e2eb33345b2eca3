#include "engine/session/PhysicalInterface.h"

#include "engine/session/DeviceSession.h"
#include "engine/os/Allocator.h"
#include "engine/session/MessageDescriptor.h"
#include "engine/srq/ServiceRequestStateMachine.h"
#include "engine/status/EngineStatus.h"

namespace Korvex {

CPhysicalInterface::CPhysicalInterface(CPhysicalInterfaceFactory* factory,
                                       std::uint32_t argument0, std::uint32_t argument1,
                                       std::uint32_t* status)
    : m_factory(factory), m_argument0(argument0), m_argument1(argument1)
{
    *status = 0;
    m_srq = EngineNew<CServiceRequestStateMachine>(this, &m_statusByte, status);
    if (m_srq == nullptr || *status != 0) {
        EngineDelete(m_srq);
        m_srq = nullptr;
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
    }
}

CPhysicalInterface::~CPhysicalInterface()
{
    EngineDelete(m_srq);
}

void CPhysicalInterface::StatusByteRequest(std::uint32_t* status)
{
    if (*status != 0 && *status != ZODEVICE_STATUS_DRIVER_FAULT) {
        return;
    }
    CDeviceSession* session = m_session.load();
    if (session == nullptr) {
        *status = ZODEVICE_STATUS_EVENT_ERROR;
        return;
    }
    session->ReportStatusByteRequest(status);
}

void CPhysicalInterface::AttachInputBuffer(CMessageDescriptor*, std::uint32_t* status)
{
    *status = 0;
}

void CPhysicalInterface::AttachOutputBuffer(CMessageDescriptor*, std::uint32_t* status)
{
    *status = 0;
}

void CPhysicalInterface::Bind(CDeviceSession* session, std::uint32_t* status)
{
    std::lock_guard<std::mutex> lock(m_bindMutex);
    if (m_session.load() != nullptr) {
        *status = ZODEVICE_STATUS_DEVICE_ALREADY_EXISTS;
        return;
    }
    m_session = session;
    m_notified = session;
    *status = 0;
}

void CPhysicalInterface::Unbind(CDeviceSession* session)
{
    std::lock_guard<std::mutex> lock(m_bindMutex);
    if (m_session.load() != session) {
        return;
    }
    m_session = nullptr;
    if (m_notified == session) {
        m_notified = nullptr;
    }
    m_currentInput = nullptr;
    m_currentResponse = nullptr;
    m_inputActive = 0;
    m_outputActive = 0;
}

void CPhysicalInterface::Detach(CDeviceSession* session)
{
    std::unique_lock<std::mutex> lock(m_bindMutex);
    if (m_notified == session) {
        m_notified = nullptr;
    }
    // A notification that took the session before (or that unbound it itself) may still be
    // inside it.
    m_unpinned.wait(lock, [this] { return m_pins == 0; });
}

void CPhysicalInterface::SetCurrentInput(CMessageDescriptor* descriptor)
{
    m_currentInput = descriptor;
}

void CPhysicalInterface::SetCurrentResponse(CMessageDescriptor* descriptor)
{
    m_currentResponse = descriptor;
}

void CPhysicalInterface::CancelInput()
{
    if (!m_inputActive) {
        return;
    }
    std::uint32_t count = 0;
    std::uint8_t end = 0;
    std::uint32_t status = ZODEVICE_STATUS_DRIVER_FAULT;
    CancelReceive(&count, &end, &status);
    m_inputActive = 0;
}

void CPhysicalInterface::CancelOutput()
{
    if (!m_outputActive) {
        return;
    }
    std::uint32_t count = 0;
    std::uint32_t status = ZODEVICE_STATUS_DRIVER_FAULT;
    CancelSend(&count, &status);
    m_outputActive = 0;
}

// ---- input ----

void CPhysicalInterface::ArmInput()
{
    CMessageDescriptor* descriptor = m_currentInput;
    descriptor->OpenWindow();
    LimitChunk(descriptor);
    const std::uint32_t count = descriptor->Buffer()->BytesInWindow();
    if (count == 0) {
        return;
    }
    m_armedCount = count;
    std::uint32_t status = ZODEVICE_STATUS_DRIVER_FAULT;
    StartReceive(descriptor, &status);
    if (status != 0) {
        NotifyDeviceEvent(kTransferFailed);
        return;
    }
    m_inputActive = 1;
}

void CPhysicalInterface::StartInput()
{
    if (m_session == nullptr) {
        return;
    }
    if (m_currentInput == nullptr) {
        m_session.load()->ReportHostWriting();
    } else if (!m_inputActive) {
        ArmInput();
    }
}

void CPhysicalInterface::OnInputReceived(std::uint32_t count, std::uint8_t end)
{
    if (m_session == nullptr) {
        return;
    }
    if (!m_inputActive || m_currentInput == nullptr) {
        // Nothing was armed: only an empty report is harmless.
        if (count != 0) {
            NotifyDeviceEvent(kTransferFailed);
        }
        return;
    }
    m_inputActive = 0;
    if (count > m_armedCount) {
        NotifyDeviceEvent(kTransferFailed);
        return;
    }
    CMessageDescriptor* descriptor = m_currentInput;
    if (count != 0) {
        m_session.load()->ReportNewInput();
    }
    descriptor->AddDone(count);
    if (end || descriptor->Complete()) {
        std::uint32_t status = 0;
        m_session.load()->ReportMessageReceived(descriptor, end != 0, &status);
        // A lost message leaves the buffer posted: arm it again.
        if (m_session != nullptr && m_currentInput != nullptr && !m_inputActive) {
            ArmInput();
        }
        return;
    }
    ArmInput();
}

void CPhysicalInterface::ForwardToSession()
{
    if (m_session != nullptr) {
        m_session.load()->ReportNewInput();
    }
}

// ---- output ----

void CPhysicalInterface::ArmOutput()
{
    CMessageDescriptor* descriptor = m_currentResponse;
    descriptor->OpenWindow();
    LimitChunk(descriptor);
    CByteBuffer* buffer = descriptor->Buffer();
    std::uint32_t count = buffer->BytesInWindow();
    if (count == 0) {
        return;
    }
    std::uint8_t chr = 0;
    if (TermCharEnabled()) {
        std::uint32_t index = 0;
        if (buffer->Find(TermChar(), buffer->GetStart(), count, &index)) {
            count = index + 1;
            std::uint32_t status = 0;
            buffer->SetEnd(buffer->GetStart() + count, &status);
            chr = 1;
        }
    }
    const std::uint8_t end =
        descriptor->GetEnd() && buffer->GetStart() + count == descriptor->GetRequested() ? 1 : 0;
    m_sendCount = count;
    m_sendChr = chr;
    std::uint32_t status = ZODEVICE_STATUS_DRIVER_FAULT;
    StartSend(descriptor, chr, end, &status);
    if (status != 0) {
        NotifyDeviceEvent(kTransferFailed);
        return;
    }
    m_outputActive = 1;
}

void CPhysicalInterface::StartOutput()
{
    if (m_session == nullptr) {
        return;
    }
    if (m_currentResponse == nullptr) {
        m_session.load()->ReportHostReading();
    } else if (!m_outputActive) {
        ArmOutput();
    }
}

void CPhysicalInterface::OnOutputSent(std::uint32_t count)
{
    if (m_session == nullptr) {
        return;
    }
    if (!m_outputActive || m_currentResponse == nullptr) {
        if (count != 0) {
            NotifyDeviceEvent(kTransferFailed);
        }
        return;
    }
    m_outputActive = 0;
    if (count > m_sendCount) {
        NotifyDeviceEvent(kTransferFailed);
        return;
    }
    CMessageDescriptor* descriptor = m_currentResponse;
    descriptor->AddDone(count);
    if (descriptor->Complete()) {
        std::uint32_t status = 0;
        m_session.load()->ReportResponseDone(descriptor, &status);
        return;
    }
    // The rest goes out as far as the transport takes it now; a read ended by CHR or by
    // its count leaves an empty window and the rest waits for the next read.
    ArmOutput();
}

// ---- other entry points ----

void CPhysicalInterface::DeviceClear()
{
    if (m_session != nullptr) {
        std::uint32_t status = 0;
        m_session.load()->ReportDeviceClear(&status);
    }
}

void CPhysicalInterface::Trigger()
{
    if (m_session != nullptr) {
        std::uint32_t status = 0;
        m_session.load()->ReportTrigger(&status);
    }
}

void CPhysicalInterface::RequestService(std::uint32_t* status)
{
    *status = ZODEVICE_STATUS_DRIVER_FAULT;
    if (m_srq != nullptr) {
        *status = 0;
        m_srq->OnRequestSet(status);
    }
}

void CPhysicalInterface::ClearServiceRequest(std::uint32_t* status)
{
    *status = ZODEVICE_STATUS_DRIVER_FAULT;
    if (m_srq != nullptr) {
        *status = 0;
        m_srq->OnRequestWithdrawn(status);
    }
}

void CPhysicalInterface::SetStatusByte(std::uint8_t stb, std::uint32_t* status)
{
    m_statusByte.SetStatusByte(stb, status);
}

void CPhysicalInterface::ReportRemoteLocalState(std::uint32_t value)
{
    CDeviceSession* session = m_session.load();
    if (session != nullptr) {
        std::uint32_t status = 0;
        session->ReportRemoteLocal(value, &status);
    }
}

void CPhysicalInterface::BeginSerialPoll()
{
    if (m_session.load() == nullptr || m_srq == nullptr) {
        return;
    }
    std::uint32_t status = 0;
    m_srq->OnSerialPollBegins(&status);
    if (status != 0) {
        NotifyDeviceEvent(kOtherFailure);
    }
}

void CPhysicalInterface::EndSerialPoll()
{
    if (m_session.load() == nullptr || m_srq == nullptr) {
        return;
    }
    std::uint32_t status = 0;
    m_srq->OnSerialPollEnds(&status);
    if (status != 0) {
        NotifyDeviceEvent(kOtherFailure);
    }
}

void CPhysicalInterface::NotifyDeviceEventOutside(std::uint32_t code)
{
    CDeviceSession* session = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_bindMutex);
        session = m_notified;
        if (session == nullptr) {
            return;
        }
        ++m_pins;
    }
    std::uint32_t status = 0;
    session->ReportDeviceEventOutside(code, &status);
    std::lock_guard<std::mutex> lock(m_bindMutex);
    if (--m_pins == 0) {
        m_unpinned.notify_all();
    }
}

void CPhysicalInterface::NotifyDeviceEvent(std::uint32_t code)
{
    if (m_session != nullptr) {
        std::uint32_t status = 0;
        m_session.load()->ReportDeviceEvent(code, &status);
    }
}

} // namespace Korvex
