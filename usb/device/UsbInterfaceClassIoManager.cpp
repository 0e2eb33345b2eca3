#include "usb/device/UsbInterfaceClassIoManager.h"

#include "engine/os/Allocator.h"
#include "engine/status/EngineStatus.h"
#include "usb/core/UsbController.h"
#include "usb/device/UsbDeviceManager.h"

namespace Korvex {

CUsbInterfaceClassIoManager::CUsbInterfaceClassIoManager(
    CUsbDeviceManager* manager, std::uint8_t configuration, std::uint8_t interfaceNumber,
    std::uint8_t alternate, CUsbInterfaceClass* interfaceClass,
    CUsbInterfaceClassEventObserver* observer)
    : m_manager(manager),
      m_configuration(configuration),
      m_interfaceNumber(interfaceNumber),
      m_alternate(alternate),
      m_class(interfaceClass),
      m_observer(observer)
{
}

CUsbInterfaceClassIoManager::~CUsbInterfaceClassIoManager() { RemoveEndpoints(); }

void CUsbInterfaceClassIoManager::CreateEndpoints(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_shared = EngineNew<CUsbSharedDefaultEndpoint>(m_manager, this);
    if (m_shared == nullptr) {
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
        return;
    }
    m_endpoints[0] = m_shared;
    const UsbInterfaceDescription& description = m_class->GetInterfaceDescription();
    CUsbController* controller = m_manager->GetController();
    for (std::uint32_t i = 0; i < description.endpointCount && *status == 0; ++i) {
        const std::uint32_t kind = description.endpointKinds[i];
        if (kind == kUsbEndpointControl || kind >= kKinds || m_endpoints[kind] != nullptr) {
            *status = ZODEVICE_STATUS_DRIVER_FAULT;
            break;
        }
        CUsbEndpoint* endpoint = controller->CreateEndpoint(m_configuration, m_interfaceNumber,
                                                            m_alternate, kind, this, status);
        if (*status != 0) {
            break;
        }
        if (kind == kUsbEndpointInterruptIn) {
            endpoint->SetMaxPacketProperty(kUsbFullSpeed, description.interruptMaxPacket, status);
            endpoint->SetMaxPacketProperty(kUsbHighSpeed, description.interruptMaxPacket, status);
            endpoint->SetInterval(kUsbFullSpeed, description.fullSpeedInterval, status);
            endpoint->SetInterval(kUsbHighSpeed, description.highSpeedInterval, status);
        }
        m_endpoints[kind] = endpoint;
    }
    if (*status != 0) {
        RemoveEndpoints();
    }
}

void CUsbInterfaceClassIoManager::RemoveEndpoints()
{
    CUsbController* controller = m_manager->GetController();
    for (std::uint32_t kind = 1; kind < kKinds; ++kind) {
        if (m_endpoints[kind] != nullptr) {
            std::uint32_t ignored = 0;
            controller->RemoveEndpoint(m_endpoints[kind], &ignored);
            m_endpoints[kind] = nullptr;
        }
    }
    m_endpoints[0] = nullptr;
    EngineDelete(m_shared);
    m_shared = nullptr;
}

bool CUsbInterfaceClassIoManager::HasEndpointAddress(std::uint8_t address) const
{
    for (std::uint32_t kind = 1; kind < kKinds; ++kind) {
        if (m_endpoints[kind] != nullptr && m_endpoints[kind]->GetAddress() == address) {
            return true;
        }
    }
    return false;
}

CUsbEndpoint* CUsbInterfaceClassIoManager::Forward(std::uint32_t kind, std::uint32_t* status)
{
    if (*status != 0) {
        return nullptr;
    }
    CUsbEndpoint* endpoint = GetEndpoint(kind);
    if (endpoint == nullptr) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
    }
    return endpoint;
}

void CUsbInterfaceClassIoManager::StartReceive(std::uint32_t kind, CByteBuffer* chain,
                                               std::uint32_t* status)
{
    if (CUsbEndpoint* endpoint = Forward(kind, status)) {
        endpoint->StartReceive(chain, status);
    }
}

void CUsbInterfaceClassIoManager::ExpectTransferRest(std::uint32_t kind, std::uint32_t bytes,
                                                     std::uint32_t padding, std::uint32_t* status)
{
    if (CUsbEndpoint* endpoint = Forward(kind, status)) {
        endpoint->ExpectTransferRest(bytes, padding);
    }
}

void CUsbInterfaceClassIoManager::StartSend(std::uint32_t kind, CByteBuffer* chain,
                                            std::uint32_t* status)
{
    if (CUsbEndpoint* endpoint = Forward(kind, status)) {
        endpoint->StartSend(chain, status);
    }
}

std::uint32_t CUsbInterfaceClassIoManager::Abort(std::uint32_t kind, std::uint32_t* status)
{
    CUsbEndpoint* endpoint = Forward(kind, status);
    return endpoint != nullptr ? endpoint->Abort(status) : 0;
}

bool CUsbInterfaceClassIoManager::IsTransferDone(std::uint32_t kind, std::uint32_t* status)
{
    CUsbEndpoint* endpoint = Forward(kind, status);
    return endpoint != nullptr && endpoint->IsTransferDone(status);
}

void CUsbInterfaceClassIoManager::Flush(std::uint32_t kind, std::uint32_t* status)
{
    if (CUsbEndpoint* endpoint = Forward(kind, status)) {
        endpoint->Flush(status);
    }
}

void CUsbInterfaceClassIoManager::FinishRequest(std::uint32_t kind, std::uint32_t* status)
{
    if (CUsbEndpoint* endpoint = Forward(kind, status)) {
        endpoint->FinishRequest(status);
    }
}

void CUsbInterfaceClassIoManager::Halt(std::uint32_t kind, std::uint32_t* status)
{
    if (CUsbEndpoint* endpoint = Forward(kind, status)) {
        endpoint->Halt(status);
    }
}

void CUsbInterfaceClassIoManager::ClearHalt(std::uint32_t kind, std::uint32_t* status)
{
    if (CUsbEndpoint* endpoint = Forward(kind, status)) {
        endpoint->ClearHalt(status);
    }
}

void CUsbInterfaceClassIoManager::Activate(std::uint32_t value, std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_active = 1;
    m_observer->OnActivate(value, status);
    if (*status != 0) {
        m_active = 0;
    }
}

void CUsbInterfaceClassIoManager::Deactivate(std::uint32_t* status)
{
    if (m_active == 0) {
        return;
    }
    m_observer->OnDeactivate(status);
    m_active = 0;
}

void CUsbInterfaceClassIoManager::OnSuspend(std::uint32_t* status)
{
    m_observer->OnSuspend(status);
}

void CUsbInterfaceClassIoManager::OnSetup(const UsbSetupPacket& setup, std::uint32_t* status)
{
    m_observer->OnClassRequest(setup, status);
}

void CUsbInterfaceClassIoManager::OnOutComplete(CUsbEndpoint* endpoint, std::uint32_t code,
                                                std::uint32_t bytes, std::uint32_t* status)
{
    m_observer->OnOutComplete(endpoint->GetKind(), code, bytes, status);
}

void CUsbInterfaceClassIoManager::OnInComplete(CUsbEndpoint* endpoint, std::uint32_t code,
                                               std::uint32_t bytes, std::uint32_t* status)
{
    m_observer->OnInComplete(endpoint->GetKind(), code, bytes, status);
}

} // namespace Korvex


