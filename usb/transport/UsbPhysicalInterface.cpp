#include "usb/transport/UsbPhysicalInterface.h"

#include "engine/device/UsbDeviceSettings.h"
#include "engine/session/MessageDescriptor.h"
#include "engine/status/EngineStatus.h"
#include "usb/device/UsbDeviceManager.h"
#include "usb/usbtmc/Usb488Class.h"

namespace Korvex {

namespace {
// Flag item 1 of the device settings: start the device when the interface opens.
constexpr std::uint32_t kStartFlag = 1;
} // namespace

CUsbPhysicalInterface::CUsbPhysicalInterface(CUsbDeviceManager* deviceManager,
                                             CUsb488Class* usbClass,
                                             CPhysicalInterfaceFactory* factory,
                                             std::uint32_t index, std::uint32_t serverKind,
                                             std::uint32_t* status)
    : CPhysicalInterface(factory, index, serverKind, status),
      m_deviceManager(deviceManager),
      m_class(usbClass)
{
    if (*status == 0 && m_class != nullptr) {
        m_class->SetPhysicalInterface(this);
        // Called by the session's operation, with the transport held.
        GetLedger().SetFetchElsewhereObserver([this] { m_class->OnFetchElsewhere(); });
    }
}

CUsbPhysicalInterface::~CUsbPhysicalInterface()
{
    Unregister();
    if (m_class != nullptr && m_class->GetPhysicalInterface() == this) {
        m_class->SetPhysicalInterface(nullptr);
    }
}

bool CUsbPhysicalInterface::InPass() const
{
    return m_deviceManager->GetController()->IsServicing();
}

void CUsbPhysicalInterface::Unregister()
{
    if (m_registered == nullptr) {
        return;
    }
    std::uint32_t status = 0;
    ReleaseTransport(&status);
    status = 0;
    // Stops a started device and unconfigures the class.
    m_deviceManager->UnregisterInterfaceClass(m_registered, &status);
    m_registered = nullptr;
}

std::uint8_t CUsbPhysicalInterface::IsActive()
{
    return m_open.load();
}

void CUsbPhysicalInterface::Open(const void* settings, std::uint32_t* status)
{
    *status = 0;
    Unregister();
    m_closePending = false;
    if (settings == nullptr) {
        *status = ENGINE_STATUS_NULL_POINTER;
        return;
    }
    const auto& usbSettings = *static_cast<const UsbDeviceSettings*>(settings);
    // The registration binds the class to its I/O manager (configure).
    CUsbInterfaceClassIoManager* io =
        m_deviceManager->RegisterInterfaceClass(usbSettings, m_class, m_class, status);
    if (*status != 0 || io == nullptr) {
        if (*status == 0) {
            *status = ZODEVICE_STATUS_DRIVER_FAULT;
        }
        return;
    }
    m_registered = io;
    // The registration disabled dispatching once: that is this interface's level, given
    // back by its first release.
    m_held = true;
    if (usbSettings.flagItems[kStartFlag] != 0) {
        m_deviceManager->Start(usbSettings, status);
    }
    if (*status != 0) {
        const std::uint32_t failure = *status;
        Unregister();
        *status = failure;
        return;
    }
    m_open = 1;
}

void CUsbPhysicalInterface::StopAndUnconfigure(std::uint32_t* status)
{
    *status = 0;
    if (m_deviceManager->IsStarted()) {
        m_deviceManager->Stop(status);
    }
    std::uint32_t unconfigure = 0;
    m_class->Unconfigure(&unconfigure);
    if (*status == 0) {
        *status = unconfigure;
    }
}

void CUsbPhysicalInterface::Close(std::uint32_t* status)
{
    *status = 0;
    if (InPass()) {
        // The class's handler is still running: only mark the interface closed.
        m_open = 0;
        m_closePending = true;
        return;
    }
    m_closePending = false;
    StopAndUnconfigure(status);
    if (*status == 0) {
        m_open = 0;
    }
}

void CUsbPhysicalInterface::FinishClose()
{
    if (!m_closePending.exchange(false)) {
        return;
    }
    std::uint32_t status = 0;
    StopAndUnconfigure(&status);
}

void CUsbPhysicalInterface::ReleaseTransport(std::uint32_t* status)
{
    *status = 0;
    if (m_held.exchange(false)) {
        m_deviceManager->EnableAsynchronousEventDispatching(status);
    }
}

void CUsbPhysicalInterface::HoldTransport(std::uint32_t* status)
{
    *status = 0;
    if (InPass()) {
        // Inside a pass: no further pass starts once the level is set; nothing to wait for.
        if (!m_held.exchange(true)) {
            m_deviceManager->DisableAsynchronousEventDispatching(status);
            if (*status != 0) {
                m_held = false;
            }
        }
        return;
    }
    if (m_held.exchange(true)) {
        // Held from inside a pass that may still run: wait it out, keep the level.
        m_deviceManager->DisableAsynchronousEventDispatching(status);
        if (*status == 0) {
            m_deviceManager->EnableAsynchronousEventDispatching(status);
        }
        return;
    }
    // Returns once no pass runs.
    m_deviceManager->DisableAsynchronousEventDispatching(status);
    if (*status != 0) {
        m_held = false;
    }
}

void CUsbPhysicalInterface::EnableTrigger(std::uint32_t* status)
{
    *status = 0;
    m_class->EnableTrigger(status);
}

void CUsbPhysicalInterface::DisableTrigger(std::uint32_t* status)
{
    *status = 0;
    m_class->DisableTrigger(status);
}

void CUsbPhysicalInterface::EnableRemoteLocalReports(std::uint32_t* status)
{
    *status = 0;
    m_class->EnableRemoteLocal(status);
}

void CUsbPhysicalInterface::DisableRemoteLocalReports(std::uint32_t* status)
{
    *status = 0;
    m_class->DisableRemoteLocal(status);
}

void CUsbPhysicalInterface::RequestInputNotification(std::uint32_t* status)
{
    *status = 0;
    m_class->RequestInputNotification(status);
}

void CUsbPhysicalInterface::ClearFinished(std::uint32_t* status)
{
    *status = 0;
    m_class->ClearFinished(status);
}

void CUsbPhysicalInterface::TransportOperation(std::uint32_t* status)
{
    *status = 0;
    m_class->ReturnToLocal(status);
}

void CUsbPhysicalInterface::AttachInputBuffer(CMessageDescriptor* descriptor,
                                              std::uint32_t* status)
{
    *status = 0;
    m_class->RegisterInputBuffer(descriptor->GetInternalBuffer(), status);
}

void CUsbPhysicalInterface::StartReceive(CMessageDescriptor* descriptor, std::uint32_t* status)
{
    *status = 0;
    m_class->PostReceiveBuffer(descriptor->Buffer(), status);
}

void CUsbPhysicalInterface::CancelReceive(std::uint32_t* count, std::uint8_t* end,
                                          std::uint32_t* status)
{
    *status = 0;
    m_class->CancelInput(count, end, status);
}

void CUsbPhysicalInterface::AttachOutputBuffer(CMessageDescriptor* descriptor,
                                               std::uint32_t* status)
{
    *status = 0;
    m_class->RegisterOutputBuffer(descriptor->GetInternalBuffer(), status);
}

void CUsbPhysicalInterface::StartSend(CMessageDescriptor* descriptor, std::uint8_t chr,
                                      std::uint8_t end, std::uint32_t* status)
{
    *status = 0;
    m_class->SendResponse(descriptor->Buffer(), chr, end, status);
}

void CUsbPhysicalInterface::CancelSend(std::uint32_t* count, std::uint32_t* status)
{
    *status = 0;
    m_class->CancelResponse(count, status);
}

std::uint8_t CUsbPhysicalInterface::IsReceiving()
{
    return m_class->InputActive() ? 1 : 0;
}

std::uint8_t CUsbPhysicalInterface::IsSending()
{
    return m_class->ResponseRequested() ? 1 : 0;
}

void CUsbPhysicalInterface::LimitChunk(CMessageDescriptor* descriptor)
{
    // Input and response windows are told apart by which of the two the descriptor is.
    m_class->LimitWindow(descriptor->Buffer(), descriptor == GetCurrentInput());
}

std::uint8_t CUsbPhysicalInterface::TermCharEnabled()
{
    return m_class->TermCharEnabled();
}

std::uint8_t CUsbPhysicalInterface::TermChar()
{
    return m_class->TermChar();
}

void CUsbPhysicalInterface::SrqAsserted(std::uint32_t* status)
{
    *status = 0;
    m_class->ServiceRequest(status);
}

void CUsbPhysicalInterface::SrqReleased(std::uint32_t* status)
{
    *status = 0;
    m_class->ServiceRequestReleased(status);
}

void CUsbPhysicalInterface::StatusByte(std::uint8_t stb, std::uint32_t* status)
{
    *status = 0;
    m_class->SendStatusByte(stb, status);
}

} // namespace Korvex
