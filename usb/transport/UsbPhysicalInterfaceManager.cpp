#include "usb/transport/UsbPhysicalInterfaceManager.h"

#include <vector>

#include "engine/api/ZoDeviceApi.h"
#include "engine/api/ZoDeviceInterface.h"
#include "engine/os/Allocator.h"
#include "engine/os/ScopedLock.h"
#include "engine/status/EngineStatus.h"
#include "usb/device/UsbDeviceManager.h"
#include "usb/s3c2410/S3C2410Controller.h"
#include "usb/transport/UsbPhysicalInterface.h"
#include "usb/usbtmc/Usb488Class.h"

namespace Korvex {

namespace {
constexpr std::uint32_t kApiVersion = 0x10400;  // version >> 8
constexpr std::uint32_t kDeviceWaitMs = 80;     // 8 ticks
constexpr std::uint32_t kHardwareStatusFirst = 0x54300;
constexpr std::uint32_t kHardwareStatusLast = 0x54305;

std::uint32_t DeviceCreationStatus(std::uint32_t result)
{
    switch (result) {
    case 1:
        return ZODEVICE_STATUS_HARDWARE_NOT_FOUND;
    case 2:
        return ZODEVICE_STATUS_HARDWARE_ALREADY_IN_USE;
    case 4:
        return ZODEVICE_STATUS_OUT_OF_RESOURCES;
    default:
        return ZODEVICE_STATUS_HARDWARE_ERROR;
    }
}
} // namespace

CUsbPhysicalInterfaceManager::CUsbPhysicalInterfaceManager(std::uint32_t* status)
{
    *status = 0;
    if (InitFailed() != 0) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
    } else if (m_mutex.InitFailed() != 0 || m_lifetimeMutex.InitFailed() != 0) {
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
    }
}

CUsbPhysicalInterfaceManager::~CUsbPhysicalInterfaceManager()
{
    {
        CScopedLock lifetime(m_lifetimeMutex);
        std::vector<CUsbPhysicalInterface*> left;
        {
            CScopedLock lock(m_mutex);
            left = CollectLocked();
        }
        // The sessions forget their interfaces: they are the manager's to destroy.
        for (CUsbPhysicalInterface* physicalInterface : left) {
            physicalInterface->NotifyDeviceEventOutside(kManagerDestroyed);
        }
        CScopedLock lock(m_mutex);
        for (CUsbPhysicalInterface* physicalInterface : left) {
            Forget(physicalInterface);
        }
    }
    DestroyStack();
}

std::uint32_t CUsbPhysicalInterfaceManager::Count()
{
    CScopedLock lock(m_mutex);
    return m_count;
}

CUsbDeviceManager* CUsbPhysicalInterfaceManager::GetDeviceManager()
{
    CScopedLock lock(m_mutex);
    return m_deviceManager;
}

COSUsbDevice* CUsbPhysicalInterfaceManager::GetDevice()
{
    CScopedLock lock(m_mutex);
    return m_device;
}

std::uint32_t CUsbPhysicalInterfaceManager::EventForException(std::uint32_t status)
{
    return status >= kHardwareStatusFirst && status <= kHardwareStatusLast ? kTransferFailed
                                                                           : kOtherFailure;
}

void CUsbPhysicalInterfaceManager::MakeStack(std::uint32_t* status)
{
    COSUsbDevice* device = nullptr;
    const std::uint32_t result = CreateDevice(kDeviceWaitMs, &device);
    if (result != 0) {
        *status = DeviceCreationStatus(result);
        return;
    }
    std::uint32_t made = 0;
    auto* controller = EngineNew<CS3C2410Controller>(device, this, &made);
    if (controller == nullptr || made != 0) {
        EngineDelete(controller);
        DestroyObject(device);
        *status = controller == nullptr ? ZODEVICE_STATUS_INSUFFICIENT_MEMORY : made;
        return;
    }
    auto* deviceManager = EngineNew<CUsbDeviceManager>(controller, &made);
    if (deviceManager == nullptr || made != 0) {
        EngineDelete(deviceManager);
        EngineDelete(controller);
        DestroyObject(device);
        *status = deviceManager == nullptr ? ZODEVICE_STATUS_INSUFFICIENT_MEMORY : made;
        return;
    }
    m_device = device;
    m_controller = controller;
    m_deviceManager = deviceManager;
}

void CUsbPhysicalInterfaceManager::DestroyStack()
{
    CUsbDeviceManager* deviceManager = nullptr;
    CS3C2410Controller* controller = nullptr;
    COSUsbDevice* device = nullptr;
    {
        CScopedLock lock(m_mutex);
        if (m_count != 0) {
            return;
        }
        deviceManager = m_deviceManager;
        controller = m_controller;
        device = m_device;
        m_deviceManager = nullptr;
        m_controller = nullptr;
        m_device = nullptr;
    }
    // Without the manager's mutexes: destroying the device object joins the interrupt
    // thread, which may be waiting for them after a pass.
    if (deviceManager != nullptr) {
        std::uint32_t status = 0;
        if (deviceManager->IsStarted()) {
            deviceManager->Stop(&status);
        }
        EngineDelete(deviceManager);
    }
    EngineDelete(controller);
    DestroyObject(device);
}

std::vector<CUsbPhysicalInterface*> CUsbPhysicalInterfaceManager::CollectLocked() const
{
    std::vector<CUsbPhysicalInterface*> collected;
    CLinkedList<CUsbPhysicalInterface*>::Iterator it = nullptr;
    CUsbPhysicalInterface* value = nullptr;
    while (m_interfaces.Next(&it, &value)) {
        collected.push_back(value);
    }
    return collected;
}

void CUsbPhysicalInterfaceManager::Free(CUsbPhysicalInterface* physicalInterface)
{
    CUsb488Class* usbClass = physicalInterface->GetClass();
    EngineDelete(physicalInterface);
    EngineDelete(usbClass);
}

bool CUsbPhysicalInterfaceManager::Forget(CUsbPhysicalInterface* physicalInterface)
{
    if (!m_interfaces.Remove(physicalInterface)) {
        return false;
    }
    --m_count;
    Free(physicalInterface);
    return true;
}

CPhysicalInterface* CUsbPhysicalInterfaceManager::CreateInterface(
    const ZoOpenDescriptor* descriptor, std::uint32_t interfaceArgument, std::uint32_t* status)
{
    if (descriptor == nullptr || descriptor->serverKind != kServerKindUsb) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return nullptr;
    }
    if (interfaceArgument != 0) {
        *status = ZODEVICE_STATUS_HARDWARE_NOT_FOUND;
        return nullptr;
    }
    if ((descriptor->apiVersion >> 8) != kApiVersion) {
        *status = ZODEVICE_STATUS_PLUGIN_INCOMPATIBILITY;
        return nullptr;
    }
    CUsbPhysicalInterface* created = nullptr;
    {
        CScopedLock lock(m_mutex);
        if (!lock.Held()) {
            *status = ZODEVICE_STATUS_DRIVER_FAULT;
            return nullptr;
        }
        *status = 0;
        if (m_deviceManager == nullptr) {
            MakeStack(status);
        }
        CUsb488Class* usbClass = nullptr;
        if (*status == 0) {
            const auto maximumTransfer = static_cast<std::uint32_t>(m_controller->GetClassValue());
            usbClass = EngineNew<CUsb488Class>(maximumTransfer, status);
            if (usbClass == nullptr) {
                *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
            }
        }
        if (*status == 0) {
            created = EngineNew<CUsbPhysicalInterface>(m_deviceManager, usbClass, this,
                                                       interfaceArgument, kServerKindUsb, status);
            if (created == nullptr) {
                *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
            }
        }
        if (*status == 0 && !m_interfaces.PushBack(created)) {
            *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
        }
        if (*status == 0) {
            ++m_count;
            return created;
        }
        EngineDelete(created);
        EngineDelete(usbClass);
        created = nullptr;
    }
    // A failure leaves the manager as it was: a stack made for nothing goes again.
    DestroyStack();
    return nullptr;
}

void CUsbPhysicalInterfaceManager::DestroyInterface(CPhysicalInterface* physicalInterface,
                                                    std::uint32_t* status)
{
    auto* target = dynamic_cast<CUsbPhysicalInterface*>(physicalInterface);
    if (target == nullptr || target->GetFactory() != this || target->GetArgument0() != 0 ||
        target->GetArgument1() != kServerKindUsb) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return;
    }
    {
        CScopedLock lifetime(m_lifetimeMutex);
        CScopedLock lock(m_mutex);
        if (!lock.Held() || !Forget(target)) {
            *status = ZODEVICE_STATUS_DRIVER_FAULT;
            return;
        }
    }
    DestroyStack();
    *status = 0;
}

void CUsbPhysicalInterfaceManager::OnUsbException(COSUsbDevice* device, std::uint32_t status)
{
    const std::uint32_t event = EventForException(status);
    CScopedLock lifetime(m_lifetimeMutex);
    if (!lifetime.Held()) {
        return;
    }
    std::vector<CUsbPhysicalInterface*> collected;
    {
        CScopedLock lock(m_mutex);
        if (!lock.Held() || m_device == nullptr || m_device != device) {
            return;
        }
        collected = CollectLocked();
    }
    for (CUsbPhysicalInterface* physicalInterface : collected) {
        // A closed interface has nothing to close, and its session may be on its way out.
        if (physicalInterface->IsActive() != 0) {
            physicalInterface->NotifyDeviceEventOutside(event);
        }
        physicalInterface->FinishClose();
    }
}

void CUsbPhysicalInterfaceManager::OnUsbDeviceEvent(COSUsbDevice* device)
{
    {
        CScopedLock lifetime(m_lifetimeMutex);
        std::vector<CUsbPhysicalInterface*> collected;
        {
            CScopedLock lock(m_mutex);
            if (!lock.Held() || m_device == nullptr || m_device != device) {
                return;
            }
            collected = CollectLocked();
        }
        // The session forgets the interface first, so no engine call reaches it while it
        // closes.
        for (CUsbPhysicalInterface* physicalInterface : collected) {
            const bool open = physicalInterface->IsActive() != 0;
            physicalInterface->NotifyDeviceEventOutside(kDeviceGone);
            if (open) {
                std::uint32_t closeStatus = 0;
                physicalInterface->Close(&closeStatus);
            }
        }
        CScopedLock lock(m_mutex);
        for (CUsbPhysicalInterface* physicalInterface : collected) {
            Forget(physicalInterface);
        }
    }
    DestroyStack();
}

} // namespace Korvex
