#include "usb/usbtmc/Usb488Class.h"

#include <cstring>

#include "engine/os/Allocator.h"
#include "engine/session/DeviceSession.h"
#include "engine/session/PhysicalInterface.h"
#include "engine/status/EngineStatus.h"
#include "usb/core/UsbEndpoint.h"
#include "usb/device/UsbDeviceManager.h"
#include "usb/device/UsbInterfaceClassIoManager.h"
#include "usb/usbtmc/Usb488BulkManager.h"
#include "usb/usbtmc/Usb488ClassRequests.h"

namespace Korvex {

namespace {
constexpr char kInterfaceString[] = "USBTMC-USB488 Interface";

// GET_CAPABILITIES, built from the device's fixed capabilities.
constexpr std::uint16_t kBcdUsbtmc = 0x0100;
constexpr std::uint16_t kBcdUsb488 = 0x0100;
constexpr std::uint8_t kTermCharSupported = 0x01;   // byte 5
constexpr std::uint8_t kIndicatorAvailable = 0x04;  // byte 4
constexpr std::uint8_t kUsb4882 = 0x04;             // byte 14
constexpr std::uint8_t kAcceptsRemoteLocal = 0x02;
constexpr std::uint8_t kAcceptsTrigger = 0x01;
constexpr std::uint8_t kSr1 = 0x04;  // byte 15
constexpr std::uint8_t kRl1 = 0x02;
constexpr std::uint8_t kDt1 = 0x01;

void BuildCapabilities(std::uint8_t* block)
{
    std::memset(block, 0, CUsb488Class::kCapabilitiesSize);
    block[2] = kBcdUsbtmc & 0xFF;
    block[3] = kBcdUsbtmc >> 8;
    block[5] = kTermCharSupported;
    block[12] = kBcdUsb488 & 0xFF;
    block[13] = kBcdUsb488 >> 8;
    block[14] = kUsb4882 | kAcceptsRemoteLocal | kAcceptsTrigger;
    block[15] = kSr1;
}
} // namespace

CUsb488Class::CUsb488Class(std::uint32_t maximumTransfer, std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_requests = EngineNew<CUsb488ClassRequests>(this, status);
    if (m_requests == nullptr) {
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
        return;
    }
    if (*status != 0) {
        return;
    }
    m_bulk = EngineNew<CUsb488BulkManager>(this, maximumTransfer, status);
    if (m_bulk == nullptr) {
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
        return;
    }
    if (*status != 0) {
        return;
    }
    m_description.interfaceClass = 0xFE;
    m_description.subClass = 3;
    m_description.protocol = 1;
    m_description.interfaceString = kInterfaceString;
    m_description.endpointCount = 3;
    m_description.endpointKinds[0] = kUsbEndpointBulkOut;
    m_description.endpointKinds[1] = kUsbEndpointBulkIn;
    m_description.endpointKinds[2] = kUsbEndpointInterruptIn;
    m_description.highSpeedInterval = 2;
    m_description.fullSpeedInterval = 1;
    m_description.interruptMaxPacket = 2;
    m_remoteLocal = EngineNew<CRemoteLocalStateMachine>(this, status);
    if (m_remoteLocal == nullptr) {
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
        return;
    }
    if (*status != 0) {
        return;
    }
    m_capabilities = static_cast<std::uint8_t*>(EngineAllocate(kCapabilitiesSize));
    if (m_capabilities == nullptr) {
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
        return;
    }
    BuildCapabilities(m_capabilities);
}

CUsb488Class::~CUsb488Class()
{
    EngineDelete(m_requests);
    EngineDelete(m_bulk);
    EngineDelete(m_remoteLocal);
    EngineFree(m_capabilities);
}

// ---- framework events ----

void CUsb488Class::OnClassRequest(const UsbSetupPacket& setup, std::uint32_t* status)
{
    m_bulk->TakeHeldHeader();
    m_requests->Dispatch(setup, status);
    ReportClosedInterface(status);
}

void CUsb488Class::ReportClosedInterface(std::uint32_t* status)
{
    // The engine closed the interface during this event (a delivery failed): the pass ends
    // with an error, and the manager stops the device and unconfigures the class after it.
    if (*status == 0 && m_io != nullptr && m_physicalInterface != nullptr &&
        m_physicalInterface->IsActive() == 0) {
        *status = ZODEVICE_STATUS_DEVICE_ERROR;
    }
}

void CUsb488Class::OnOutComplete(std::uint32_t kind, std::uint32_t code, std::uint32_t bytes,
                                 std::uint32_t* status)
{
    if (*status != 0 || kind != kUsbEndpointBulkOut) {
        return;
    }
    m_bulk->OnBulkOutComplete(code, bytes);
    ReportClosedInterface(status);
}

void CUsb488Class::OnInComplete(std::uint32_t kind, std::uint32_t code, std::uint32_t bytes,
                                std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_bulk->TakeHeldHeader();
    if (kind == kUsbEndpointBulkIn) {
        m_bulk->OnBulkInComplete(code, bytes);
    } else if (kind == kUsbEndpointControl) {
        m_requests->OnControlComplete(code);
    } else {
        m_requests->OnInterruptComplete(code);
    }
    ReportClosedInterface(status);
}

void CUsb488Class::OnActivate(std::uint32_t, std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_active = 1;
    if (m_physicalInterface == nullptr || m_physicalInterface->IsActive() == 0) {
        // No engine left to finish a clear.
        m_ownClears = 0;
    }
    if (m_ownClears == 0) {
        m_bulk->Arm(status);
    }
    m_requests->Start();
    m_remoteLocal->OnRenReleased();
}

bool CUsb488Class::LeftUnfinished() const
{
    if (m_io == nullptr || !m_io->GetDeviceManager()->GetController()->IsServicing() ||
        m_physicalInterface == nullptr || m_physicalInterface->IsActive() == 0) {
        return false;
    }
    if (m_bulk->MessageOpen()) {
        return true;
    }
    // Engine operations hold the transport, so the session stands still during a pass.
    const CDeviceSession* session = m_physicalInterface->GetSession();
    return session != nullptr && session->ExchangeUnfinished();
}

void CUsb488Class::OnDeactivate(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    const bool unfinished = LeftUnfinished();
    m_active = 0;
    m_bulk->Stop();
    m_requests->Stop();
    if (unfinished) {
        ClearAbandonedMessage();
    }
}

void CUsb488Class::ClearAbandonedMessage()
{
    m_bulk->ForgetMessage();
    if (m_physicalInterface == nullptr || m_physicalInterface->IsActive() == 0) {
        std::uint32_t status = 0;
        if (m_active != 0) {
            m_bulk->Arm(&status);
        }
        return;
    }
    ++m_ownClears;
    m_physicalInterface->DeviceClear();
}

void CUsb488Class::OnSuspend(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_remoteLocal->OnGoToLocal();
}

void CUsb488Class::OnRemoteLocalStateChanged(std::uint32_t stateCode)
{
    static const std::uint32_t kValues[4] = {1, 2, 3, 4};
    const std::uint32_t value = stateCode < 4 ? kValues[stateCode] : 2;
    if (m_physicalInterface != nullptr) {
        m_physicalInterface->ReportRemoteLocalState(value);
    }
}

// ---- interface class ----

void CUsb488Class::Configure(CUsbInterfaceClassIoManager* io, std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_bulk->Attach(io, status);
    m_requests->Attach(io, status);
    if (*status != 0) {
        m_bulk->Detach();
        m_requests->Detach();
        return;
    }
    m_io = io;
    CUsbController* controller = io->GetDeviceManager()->GetController();
    const std::uint32_t indicator = controller != nullptr ? controller->GetActivationValue() : 0;
    if (indicator != 0) {
        m_capabilities[4] |= kIndicatorAvailable;
    } else {
        m_capabilities[4] &= static_cast<std::uint8_t>(~kIndicatorAvailable);
    }
}

void CUsb488Class::Unconfigure(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_bulk->Detach();
    m_requests->Detach();
    m_io = nullptr;
}

void CUsb488Class::PulseIndicator(std::uint16_t value, std::uint32_t* status)
{
    if (m_io == nullptr) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return;
    }
    // Straight to the controller: inside a pass the device manager's mutex is not taken.
    m_io->GetDeviceManager()->GetController()->RequestIndicator(value, status);
}

// ---- engine side ----

void CUsb488Class::EnableTrigger(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    if (m_triggerEnabled != 0) {
        *status = ZODEVICE_STATUS_EVENT_ALREADY_ENABLED;
        return;
    }
    m_triggerEnabled = 1;
    m_capabilities[15] |= kDt1;
}

void CUsb488Class::DisableTrigger(std::uint32_t* status)
{
    if (*status != 0 || m_triggerEnabled == 0) {
        return;
    }
    m_triggerEnabled = 0;
    m_capabilities[15] &= static_cast<std::uint8_t>(~kDt1);
}

void CUsb488Class::EnableRemoteLocal(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    if (m_remoteLocalEnabled != 0) {
        *status = ZODEVICE_STATUS_EVENT_ALREADY_ENABLED;
        return;
    }
    m_remoteLocalEnabled = 1;
    m_remoteLocal->EnableNotify();
    m_capabilities[15] |= kRl1;
    const std::uint32_t code = m_remoteLocal->GetStateCode();
    if (code >= 1 && code <= 3) {
        OnRemoteLocalStateChanged(code);
    }
}

void CUsb488Class::DisableRemoteLocal(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_remoteLocalEnabled = 0;
    m_remoteLocal->DisableNotify();
    m_capabilities[15] &= static_cast<std::uint8_t>(~kRl1);
}

void CUsb488Class::RequestInputNotification(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_inputNotification = 1;
}

bool CUsb488Class::TakeInputNotification()
{
    const bool wanted = m_inputNotification != 0;
    m_inputNotification = 0;
    return wanted;
}

void CUsb488Class::ClearFinished(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    if (m_ownClears != 0) {
        --m_ownClears;
        if (m_ownClears == 0 && m_active != 0) {
            m_bulk->Arm(status);
        }
        return;
    }
    m_requests->ClearFinished(status);
}

void CUsb488Class::RegisterInputBuffer(CByteBuffer* buffer, std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_bulk->RegisterInputBuffer(buffer, status);
}

void CUsb488Class::PostReceiveBuffer(CByteBuffer* buffer, std::uint32_t* status)
{
    m_bulk->PostReceiveBuffer(buffer, status);
}

void CUsb488Class::CancelInput(std::uint32_t* count, std::uint8_t* end, std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_bulk->CancelInput(count, end, status);
}

void CUsb488Class::RegisterOutputBuffer(CByteBuffer* buffer, std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_bulk->RegisterOutputBuffer(buffer, status);
}

void CUsb488Class::SendResponse(CByteBuffer* buffer, std::uint8_t termCharFound,
                                std::uint8_t eom, std::uint32_t* status)
{
    m_bulk->SendResponse(buffer, termCharFound, eom, status);
}

void CUsb488Class::CancelResponse(std::uint32_t* count, std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_bulk->CancelResponse(count, status);
}

bool CUsb488Class::InputActive() const
{
    return m_bulk->ReceptionEnabled() && m_bulk->BulkOutActive();
}

bool CUsb488Class::ResponseRequested() const
{
    return m_bulk->ReceptionEnabled() && m_bulk->ResponseRequested();
}

void CUsb488Class::LimitWindow(CByteBuffer* window, bool input)
{
    m_bulk->LimitWindow(window, input);
}

std::uint8_t CUsb488Class::TermCharEnabled() const
{
    return m_bulk->TermCharEnabled();
}

std::uint8_t CUsb488Class::TermChar() const
{
    return m_bulk->TermChar();
}

void CUsb488Class::SendStatusByte(std::uint8_t stb, std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_requests->SendInterruptNotification(stb, status);
}

void CUsb488Class::ServiceRequest(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_requests->ServiceRequest(status);
}

void CUsb488Class::ServiceRequestReleased(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_requests->ServiceRequestReleased(status);
}

void CUsb488Class::ReturnToLocal(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_remoteLocal->OnReturnToLocal();
}

void CUsb488Class::OnFetchElsewhere()
{
    m_bulk->OnFetchElsewhere();
}

} // namespace Korvex
