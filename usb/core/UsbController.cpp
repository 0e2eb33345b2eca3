#include "usb/core/UsbController.h"

#include "engine/status/EngineStatus.h"
#include "usb/core/UsbStatus.h"

namespace Korvex {

namespace {

// Keeps the first failure of a sequence of steps.
void Collect(std::uint32_t* first, std::uint32_t status)
{
    if (*first == 0 && status != 0) {
        *first = status;
    }
}

} // namespace

CUsbController::CUsbController(COSUsbDevice* device,
                               CUsbExceptionEventObserver* exceptionObserver,
                               std::uint32_t activeCapacity, std::uint32_t* status)
    : m_device(device), m_exceptionObserver(exceptionObserver), m_active(activeCapacity, status)
{
    if (*status == 0 && (m_serviceLock.InitFailed() != 0 || m_shortLock.InitFailed() != 0)) {
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
    }
}

CUsbController::~CUsbController() { ReleaseInterruptAttachment(); }

void CUsbController::ReleaseInterruptAttachment()
{
    if (m_attachment != nullptr) {
        if (m_attachment->attached && m_device != nullptr) {
            m_device->UnregisterHandlers();
        }
        EngineDelete(m_attachment);
        m_attachment = nullptr;
    }
}

void CUsbController::SetPowerSource(std::uint32_t) {}

std::uint32_t CUsbController::GetActivationValue() { return 0; }

void CUsbController::RequestIndicator(std::uint16_t, std::uint32_t* status)
{
    if (*status == 0) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
    }
}

std::int32_t CUsbController::GetClassValue() { return -1; }

std::uint32_t CUsbController::ServiceKey(std::uint32_t kind)
{
    switch (kind) {
        case kUsbEndpointBulkOut: return 1;
        case kUsbEndpointBulkIn: return 2;
        case kUsbEndpointInterruptIn: return 3;
        default: return 4;
    }
}

bool CUsbController::InsertListed(CUsbControllerEndpoint* endpoint)
{
    // In front of the first endpoint that is greater by (configuration, interface, alternate).
    auto key = [](const CUsbControllerEndpoint* e) {
        return (std::uint32_t{e->GetConfiguration()} << 16) |
               (std::uint32_t{e->GetInterfaceNumber()} << 8) | e->GetAlternateSetting();
    };
    CLinkedList<CUsbControllerEndpoint*>::Iterator it = nullptr;
    CLinkedList<CUsbControllerEndpoint*>::Iterator before = nullptr;
    CUsbControllerEndpoint* listed = nullptr;
    while (m_endpoints.Next(&it, &listed)) {
        if (key(listed) > key(endpoint)) {
            break;
        }
        before = it;
    }
    return m_endpoints.InsertAfter(before, endpoint);
}

CUsbEndpoint* CUsbController::CreateControlEndpoint(CUsbEndpointEventObserver* observer,
                                                    std::uint32_t* status)
{
    if (*status != 0) {
        return nullptr;
    }
    CUsbControllerEndpoint* endpoint = MakeControlEndpoint(observer, status);
    if (*status != 0 || endpoint == nullptr) {
        return nullptr;
    }
    if (!InsertListed(endpoint)) {
        DestroyEndpoint(endpoint);
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
        return nullptr;
    }
    return endpoint;
}

CUsbEndpoint* CUsbController::CreateEndpoint(std::uint8_t configuration,
                                             std::uint8_t interfaceNumber,
                                             std::uint8_t alternate, std::uint32_t kind,
                                             CUsbEndpointEventObserver* observer,
                                             std::uint32_t* status)
{
    if (*status != 0) {
        return nullptr;
    }
    CUsbControllerEndpoint* endpoint = nullptr;
    switch (kind) {
        case kUsbEndpointBulkIn:
            endpoint = MakeBulkInEndpoint(configuration, interfaceNumber, alternate, observer,
                                          status);
            break;
        case kUsbEndpointBulkOut:
            endpoint = MakeBulkOutEndpoint(configuration, interfaceNumber, alternate, observer,
                                           status);
            break;
        case kUsbEndpointInterruptIn:
            endpoint = MakeInterruptInEndpoint(configuration, interfaceNumber, alternate,
                                               observer, status);
            break;
        default:
            *status = ZODEVICE_STATUS_DRIVER_FAULT;
            return nullptr;
    }
    if (*status != 0 || endpoint == nullptr) {
        return nullptr;
    }
    if (!InsertListed(endpoint)) {
        DestroyEndpoint(endpoint);
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
        return nullptr;
    }
    return endpoint;
}

void CUsbController::RemoveEndpoint(CUsbEndpoint* endpoint, std::uint32_t* status)
{
    if (*status != 0 || endpoint == nullptr) {
        return;
    }
    auto* own = static_cast<CUsbControllerEndpoint*>(endpoint);
    // Out of the active array first: the service must never reach a destroyed endpoint.
    for (std::uint32_t i = 0; i < m_active.GetCount(); ++i) {
        if (m_active.At(i)->value == own) {
            m_active.RemoveAt(i);
            break;
        }
    }
    if (!m_endpoints.Remove(own)) {
        *status = USB_STATUS_NO_ENDPOINT;
        return;
    }
    DestroyEndpoint(own);
}

void CUsbController::DestroyRemainingEndpoints()
{
    m_active.Clear();
    CUsbControllerEndpoint* endpoint = nullptr;
    while (m_endpoints.PopFront(&endpoint)) {
        DestroyEndpoint(endpoint);
    }
}

bool CUsbController::IsValidConfiguration(std::uint8_t value)
{
    CLinkedList<CUsbControllerEndpoint*>::Iterator it = nullptr;
    CUsbControllerEndpoint* endpoint = nullptr;
    while (m_endpoints.Next(&it, &endpoint)) {
        if (endpoint->GetConfiguration() == value) {
            return true;
        }
    }
    return false;
}

bool CUsbController::IsValidInterface(std::uint8_t configuration, std::uint8_t interfaceNumber,
                                      std::uint8_t alternate)
{
    CLinkedList<CUsbControllerEndpoint*>::Iterator it = nullptr;
    CUsbControllerEndpoint* endpoint = nullptr;
    while (m_endpoints.Next(&it, &endpoint)) {
        // The default endpoint is listed as 0 / 0 / 0 but belongs to no interface.
        if (endpoint->GetKind() != kUsbEndpointControl &&
            endpoint->GetConfiguration() == configuration &&
            endpoint->GetInterfaceNumber() == interfaceNumber &&
            endpoint->GetAlternateSetting() == alternate) {
            return true;
        }
    }
    return false;
}

bool CUsbController::IsActiveInterface(std::uint8_t interfaceNumber)
{
    return GetAlternateSetting(interfaceNumber) != 255;
}

std::uint8_t CUsbController::GetAlternateSetting(std::uint8_t interfaceNumber)
{
    for (std::uint32_t i = 0; i < m_active.GetCount(); ++i) {
        CUsbControllerEndpoint* endpoint = m_active.At(i)->value;
        if (endpoint->GetKind() != kUsbEndpointControl &&
            endpoint->GetInterfaceNumber() == interfaceNumber) {
            return endpoint->GetAlternateSetting();
        }
    }
    return 255;
}

bool CUsbController::IsActiveEndpoint(const CUsbEndpoint* endpoint)
{
    for (std::uint32_t i = 0; i < m_active.GetCount(); ++i) {
        if (m_active.At(i)->value == endpoint) {
            return true;
        }
    }
    return false;
}

CUsbControllerEndpoint* CUsbController::FindActive(std::uint8_t address)
{
    for (std::uint32_t i = 0; i < m_active.GetCount(); ++i) {
        CUsbControllerEndpoint* endpoint = m_active.At(i)->value;
        if (endpoint->GetAddress() == address) {
            return endpoint;
        }
    }
    return nullptr;
}

CUsbControllerEndpoint* CUsbController::FindDefault()
{
    CLinkedList<CUsbControllerEndpoint*>::Iterator it = nullptr;
    CUsbControllerEndpoint* endpoint = nullptr;
    while (m_endpoints.Next(&it, &endpoint)) {
        if (endpoint->GetKind() == kUsbEndpointControl) {
            return endpoint;
        }
    }
    return nullptr;
}

bool CUsbController::IsEndpointHalted(std::uint8_t address, std::uint32_t* status)
{
    if (*status != 0) {
        return false;
    }
    CUsbControllerEndpoint* endpoint = FindActive(address);
    if (endpoint == nullptr) {
        *status = USB_STATUS_NO_ENDPOINT;
        return false;
    }
    return endpoint->IsStalled(status);
}

void CUsbController::HaltEndpoint(std::uint8_t address, std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    CUsbControllerEndpoint* endpoint = FindActive(address);
    if (endpoint == nullptr) {
        *status = USB_STATUS_NO_ENDPOINT;
        return;
    }
    endpoint->SetStall(status);
}

void CUsbController::ClearEndpointHalt(std::uint8_t address, std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    CUsbControllerEndpoint* endpoint = FindActive(address);
    if (endpoint == nullptr) {
        *status = USB_STATUS_NO_ENDPOINT;
        return;
    }
    endpoint->ClearStall(status);
}

void CUsbController::Start(CUsbDeviceEventObserver* observer, std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    ClearAllInterrupts(status);
    CUsbControllerEndpoint* control = FindDefault();
    if (*status == 0 && control == nullptr) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
    }
    if (*status != 0) {
        return;
    }
    control->Configure(status);
    m_active.Clear();
    m_active.Insert(control, ServiceKey(kUsbEndpointControl), status);
    if (*status == 0 && m_attachment == nullptr) {
        m_attachment = EngineNew<CInterruptAttachment>(
            CInterruptAttachment{CResolver(this, true), CResolver(this, false), false});
        if (m_attachment == nullptr) {
            *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
        } else if (m_device->RegisterHandlers(&m_attachment->primary,
                                              &m_attachment->secondary) != 0) {
            *status = ZODEVICE_STATUS_DRIVER_FAULT;
        } else {
            m_attachment->attached = true;
        }
    }
    if (*status != 0) {
        return;
    }
    m_observer = observer;
    Attach(status);
    std::uint32_t lockStatus = 0;
    m_shortLock.Lock(&lockStatus);
    m_started = true;
    if (m_disableCount == 0) {
        m_dispatching = true;
        EnableInterrupts(status);
    }
    m_shortLock.Unlock();
}

void CUsbController::Stop(std::uint32_t* status)
{
    std::uint32_t first = *status;
    std::uint32_t lockStatus = 0;
    m_shortLock.Lock(&lockStatus);
    m_started = false;
    m_dispatching = false;
    m_shortLock.Unlock();
    std::uint32_t step = 0;
    Detach(&step);
    Collect(&first, step);
    for (std::uint32_t i = 0; i < m_active.GetCount(); ++i) {
        step = 0;
        m_active.At(i)->value->Deactivate(&step);
        Collect(&first, step);
    }
    m_active.Clear();
    step = 0;
    ClearAllInterrupts(&step);
    Collect(&first, step);
    m_observer = nullptr;
    m_configuration = 0;
    step = 0;
    OnEndpointsReleased(&step);
    Collect(&first, step);
    *status = first;
}

bool CUsbController::IsStarted()
{
    std::uint32_t lockStatus = 0;
    m_shortLock.Lock(&lockStatus);
    const bool started = m_started;
    m_shortLock.Unlock();
    return started;
}

void CUsbController::Deconfigure(std::uint32_t* status)
{
    CUsbControllerEndpoint* control = nullptr;
    for (std::uint32_t i = 0; i < m_active.GetCount(); ++i) {
        CUsbControllerEndpoint* endpoint = m_active.At(i)->value;
        if (endpoint->GetKind() == kUsbEndpointControl) {
            control = endpoint;
            continue;
        }
        std::uint32_t step = 0;
        endpoint->Deactivate(&step);
        Collect(status, step);
    }
    m_active.Clear();
    if (control == nullptr) {
        control = FindDefault();
    }
    if (control != nullptr) {
        std::uint32_t step = 0;
        m_active.Insert(control, ServiceKey(kUsbEndpointControl), &step);
        Collect(status, step);
    }
    m_configuration = 0;
    std::uint32_t step = 0;
    OnEndpointsReleased(&step);
    Collect(status, step);
}

void CUsbController::SetConfiguration(std::uint16_t value, std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    if (m_configuration != 0) {
        Deconfigure(status);
    }
    if (*status == 0 && value != 0) {
        CLinkedList<CUsbControllerEndpoint*>::Iterator it = nullptr;
        CUsbControllerEndpoint* endpoint = nullptr;
        while (*status == 0 && m_endpoints.Next(&it, &endpoint)) {
            if (endpoint->GetKind() == kUsbEndpointControl ||
                endpoint->GetConfiguration() != value || endpoint->GetAlternateSetting() != 0) {
                continue;
            }
            endpoint->Configure(status);
            m_active.Insert(endpoint, ServiceKey(endpoint->GetKind()), status);
        }
        OnConfigurationSelected(status);
        OnConfigurationApplied(status);
        if (*status == 0) {
            m_configuration = value;
        }
    }
    if (m_observer != nullptr) {
        m_observer->OnConfigurationChanged(m_configuration, status);
    }
}

void CUsbController::SetInterface(std::uint8_t configuration, std::uint8_t interfaceNumber,
                                  std::uint8_t alternate, std::uint32_t* status)
{
    if (*status == 0) {
        for (std::uint32_t i = 0; i < m_active.GetCount();) {
            CUsbControllerEndpoint* endpoint = m_active.At(i)->value;
            if (endpoint->GetKind() != kUsbEndpointControl &&
                endpoint->GetInterfaceNumber() == interfaceNumber) {
                endpoint->Deactivate(status);
                m_active.RemoveAt(i);
                continue;
            }
            ++i;
        }
        CLinkedList<CUsbControllerEndpoint*>::Iterator it = nullptr;
        CUsbControllerEndpoint* endpoint = nullptr;
        while (*status == 0 && m_endpoints.Next(&it, &endpoint)) {
            if (endpoint->GetKind() == kUsbEndpointControl ||
                endpoint->GetConfiguration() != configuration ||
                endpoint->GetInterfaceNumber() != interfaceNumber ||
                endpoint->GetAlternateSetting() != alternate) {
                continue;
            }
            endpoint->Configure(status);
            m_active.Insert(endpoint, ServiceKey(endpoint->GetKind()), status);
        }
    }
    if (m_observer != nullptr) {
        // An error on the way still reaches the observer, with the status.
        std::uint32_t reported = *status;
        m_observer->OnInterfaceChanged(configuration, interfaceNumber, alternate, &reported);
        *status = reported;
    }
}

void CUsbController::DisableDispatching(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_shortLock.Lock(status);
    if (*status != 0) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return;
    }
    ++m_disableCount;
    if (m_started) {
        m_dispatching = false;
        DisableInterrupts(status);
    }
    m_shortLock.Unlock();
    if (IsServicing()) {
        return;  // the pass that runs is the caller's own; no further pass until enabled
    }
    // Waits out a running pass.
    std::uint32_t lockStatus = 0;
    m_serviceLock.Lock(&lockStatus);
    if (lockStatus == 0) {
        m_serviceLock.Unlock();
    }
}

void CUsbController::EnableDispatching(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_shortLock.Lock(status);
    if (*status != 0) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return;
    }
    if (m_disableCount > 0) {
        --m_disableCount;
    }
    if (m_disableCount == 0 && m_started) {
        m_dispatching = true;
        EnableInterrupts(status);
    }
    m_shortLock.Unlock();
}

bool CUsbController::IsDispatching()
{
    std::uint32_t lockStatus = 0;
    m_shortLock.Lock(&lockStatus);
    const bool dispatching = m_dispatching;
    m_shortLock.Unlock();
    return dispatching;
}

std::uint32_t CUsbController::GetDisableCount()
{
    std::uint32_t lockStatus = 0;
    m_shortLock.Lock(&lockStatus);
    const std::uint32_t count = m_disableCount;
    m_shortLock.Unlock();
    return count;
}

bool CUsbController::IsServicing() const
{
    return m_inPass.load() && m_device != nullptr && m_device->IsHandlerThread();
}

bool CUsbController::AcknowledgeInterrupt()
{
    if (!IsInterruptOurs()) {
        return false;
    }
    std::uint32_t status = 0;
    DisableInterrupts(&status);
    return true;
}

void CUsbController::ServiceInterrupts()
{
    std::uint32_t lockStatus = 0;
    m_serviceLock.Lock(&lockStatus);
    if (lockStatus != 0) {
        return;
    }
    bool dispatching = false;
    m_shortLock.Lock(&lockStatus);
    dispatching = m_dispatching;
    m_shortLock.Unlock();
    if (!dispatching) {
        m_serviceLock.Unlock();
        return;
    }
    m_inPass.store(true);
    BeginPass();
    std::uint32_t first = 0;
    for (std::uint32_t i = 0; i < m_active.GetCount(); ++i) {
        CUsbControllerEndpoint* endpoint = m_active.At(i)->value;
        const bool control = endpoint->GetKind() == kUsbEndpointControl;
        if (endpoint->IsInterruptPending()) {
            std::uint32_t step = 0;
            endpoint->Service(&step);
            Collect(&first, step);
        }
        if (control) {
            break;
        }
    }
    std::uint32_t step = 0;
    if (CheckSuspendResume(&step) && m_observer != nullptr) {
        m_observer->OnSuspend(&step);
    }
    Collect(&first, step);
    step = 0;
    if (CheckReset(&step)) {
        // A bus reset leaves the configuration: transfers end with code 3 and the classes
        // are told before the reset itself.
        if (m_configuration != 0) {
            Deconfigure(&step);
        }
        if (m_observer != nullptr) {
            m_observer->OnReset(&step);
        }
    }
    Collect(&first, step);
    step = 0;
    if (CheckExtraEvent(&step)) {
        Deconfigure(&step);
        if (m_observer != nullptr) {
            m_observer->OnDeconfigured(&step);
        }
    }
    Collect(&first, step);
    step = 0;
    m_shortLock.Lock(&lockStatus);
    if (m_dispatching) {
        EnableInterrupts(&step);
    }
    m_shortLock.Unlock();
    Collect(&first, step);
    m_inPass.store(false);
    m_serviceLock.Unlock();
    if (first != 0 && m_exceptionObserver != nullptr) {
        m_exceptionObserver->OnUsbException(m_device, first);
    }
}

std::uint32_t CUsbController::CResolver::HandleInterrupt(std::uint32_t)
{
    if (m_primary) {
        return m_controller->AcknowledgeInterrupt() ? 1 : 0;
    }
    m_controller->ServiceInterrupts();
    return 0;
}

} // namespace Korvex
