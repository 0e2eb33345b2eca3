#include "usb/device/UsbDeviceManager.h"

#include "engine/os/Allocator.h"
#include "engine/status/EngineStatus.h"
#include "platform/diag/Diag.h"
#include "platform/signal/Signal.h"
#include "usb/core/UsbStatus.h"

namespace Korvex {

namespace {

constexpr std::uint32_t kMinimumReply = 18;  // the device descriptor

void Collect(std::uint32_t* first, std::uint32_t status)
{
    if (*first == 0 && status != 0) {
        *first = status;
    }
}

void ConsistencyCheckFailed(int line)
{
    diag_printf("CUsbDeviceManager::EnableAsynchronousEventDispatching ()\n"
                "  Test failed at line %d\n",
                line);
    platform::signal::raise(platform::signal::kSigBus);
}

} // namespace

CUsbDeviceManager::CUsbDeviceManager(CUsbController* controller, std::uint32_t* status)
    : m_controller(controller)
{
    if (*status != 0) {
        return;
    }
    if (m_mutex.InitFailed() != 0 || m_holdLock.InitFailed() != 0) {
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
        return;
    }
    m_descriptors = EngineNew<CUsbDescriptorSet>();
    m_requests = EngineNew<CUsbStandardRequestManager>(this);
    if (m_descriptors == nullptr || m_requests == nullptr) {
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
        return;
    }
    m_defaultEndpoint = m_controller->CreateControlEndpoint(this, status);
}

CUsbDeviceManager::~CUsbDeviceManager()
{
    CUsbInterfaceClassIoManager* ioManager = nullptr;
    while (m_classes.PopFront(&ioManager)) {
        std::uint32_t ignored = 0;
        ioManager->GetInterfaceClass()->Unconfigure(&ignored);
        EngineDelete(ioManager);
    }
    if (m_defaultEndpoint != nullptr) {
        std::uint32_t ignored = 0;
        m_controller->RemoveEndpoint(m_defaultEndpoint, &ignored);
    }
    EngineDelete(m_replyBuffer);
    EngineDelete(m_requests);
    EngineDelete(m_descriptors);
}

bool CUsbDeviceManager::RefusedInPass(std::uint32_t* status)
{
    // The manager's mutex is never taken in a pass, and nothing the pass may still use is
    // destroyed under it.
    if (*status == 0 && m_controller->IsServicing()) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
    }
    return *status != 0;
}

bool CUsbDeviceManager::LockMutex(std::uint32_t* status)
{
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return false;
    }
    return true;
}

bool CUsbDeviceManager::IsStarted()
{
    return m_controller->IsStarted();
}

void CUsbDeviceManager::BuildDescriptors(const UsbDeviceSettings& settings,
                                         std::uint32_t* status)
{
    EngineDelete(m_descriptors);
    m_descriptors = EngineNew<CUsbDescriptorSet>();
    if (m_descriptors == nullptr) {
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
        return;
    }
    const bool selfPowered = settings.flagItems[0] != 0;
    const std::uint8_t maxPower = settings.byteItems[1];
    m_descriptors->SetProductInfo(settings.u16Items[1], settings.u16Items[2], settings.string1,
                                  settings.string2, status);
    m_descriptors->SetVendorInfo(settings.u16Items[0], settings.string0, status);
    for (std::uint32_t speed : {kUsbFullSpeed, kUsbHighSpeed}) {
        m_descriptors->SetDeviceClass(
            speed, 0, 0, 0, static_cast<std::uint8_t>(m_defaultEndpoint->GetMaxPacketSize(speed)),
            status);
    }
    CLinkedList<CUsbInterfaceClassIoManager*>::Iterator it = nullptr;
    CUsbInterfaceClassIoManager* ioManager = nullptr;
    while (*status == 0 && m_classes.Next(&it, &ioManager)) {
        const std::uint8_t configuration = ioManager->GetConfiguration();
        if (!m_descriptors->HasConfiguration(configuration)) {
            if ((selfPowered && maxPower > 50) || (!selfPowered && maxPower == 0)) {
                *status = USB_STATUS_SETTINGS_INVALID;
                return;
            }
            for (std::uint32_t speed : {kUsbFullSpeed, kUsbHighSpeed}) {
                m_descriptors->AddConfiguration(speed, configuration, selfPowered, false,
                                                maxPower, settings.string3, status);
            }
        }
        const UsbInterfaceDescription& description =
            ioManager->GetInterfaceClass()->GetInterfaceDescription();
        const char* text =
            settings.string4[0] != '\0' ? settings.string4 : description.interfaceString;
        for (std::uint32_t speed : {kUsbFullSpeed, kUsbHighSpeed}) {
            m_descriptors->AddInterface(speed, configuration, ioManager->GetInterfaceNumber(),
                                        ioManager->GetAlternateSetting(),
                                        description.interfaceClass, description.subClass,
                                        description.protocol, text, status);
            for (std::uint32_t kind = 1; kind < CUsbInterfaceClassIoManager::kKinds; ++kind) {
                CUsbEndpoint* endpoint = ioManager->GetEndpoint(kind);
                if (endpoint == nullptr) {
                    continue;
                }
                m_descriptors->AddEndpoint(speed, configuration, ioManager->GetInterfaceNumber(),
                                           ioManager->GetAlternateSetting(), kind,
                                           endpoint->GetAddress() & 0x0F,
                                           endpoint->GetMaxPacketSize(speed),
                                           endpoint->GetInterval(speed), status);
            }
        }
    }
    m_descriptors->Validate(status);
}

void CUsbDeviceManager::Start(const UsbDeviceSettings& settings, std::uint32_t* status)
{
    if (RefusedInPass(status)) {
        return;
    }
    m_controller->DisableDispatching(status);
    if (*status != 0) {
        return;
    }
    if (LockMutex(status)) {
        // A refused start leaves the running device's descriptors alone.
        if (m_started != 0) {
            *status = ZODEVICE_STATUS_DEVICE_ALREADY_EXISTS;
        } else {
            BuildDescriptors(settings, status);
        }
        if (*status == 0) {
            std::uint32_t size = m_descriptors->GetMaxDescriptorSize();
            if (size < kMinimumReply) {
                size = kMinimumReply;
            }
            EngineDelete(m_replyBuffer);
            m_replyBuffer = EngineNew<CByteBuffer>(size);
            if (m_replyBuffer == nullptr || m_replyBuffer->ConstructionFailed() != 0) {
                EngineDelete(m_replyBuffer);
                m_replyBuffer = nullptr;
                *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
            }
        }
        if (*status == 0) {
            m_controller->SetPowerSource(settings.flagItems[0] != 0 ? 1 : 2);
            m_controller->Start(this, status);
        }
        if (*status == 0) {
            m_started = 1;
        }
        m_mutex.Unlock();
    }
    std::uint32_t enableStatus = 0;
    m_controller->EnableDispatching(&enableStatus);
    Collect(status, enableStatus);
}

void CUsbDeviceManager::StopLocked(std::uint32_t* status)
{
    if (m_started == 0) {
        return;
    }
    std::uint32_t first = 0;
    std::uint32_t step = 0;
    m_controller->Stop(&step);
    Collect(&first, step);
    step = 0;
    CancelControl(&step);
    Collect(&first, step);
    step = 0;
    DeactivateAll(&step);
    Collect(&first, step);
    EngineDelete(m_replyBuffer);
    m_replyBuffer = nullptr;
    m_started = 0;
    Collect(status, first);
}

void CUsbDeviceManager::Stop(std::uint32_t* status)
{
    std::uint32_t first = 0;
    if (RefusedInPass(&first)) {
        Collect(status, first);
        return;
    }
    m_controller->DisableDispatching(&first);
    if (LockMutex(&first)) {
        StopLocked(&first);
        m_mutex.Unlock();
    }
    std::uint32_t enableStatus = 0;
    m_controller->EnableDispatching(&enableStatus);
    Collect(&first, enableStatus);
    Collect(status, first);
}

CUsbInterfaceClassIoManager* CUsbDeviceManager::RegisterInterfaceClass(
    const UsbDeviceSettings& settings, CUsbInterfaceClass* interfaceClass,
    CUsbInterfaceClassEventObserver* observer, std::uint32_t* status)
{
    if (RefusedInPass(status)) {
        return nullptr;
    }
    // This disable is the registration's own: it stays until the class's first enable.
    m_controller->DisableDispatching(status);
    if (*status != 0) {
        return nullptr;
    }
    CUsbInterfaceClassIoManager* made = nullptr;
    if (LockMutex(status)) {
        if (m_started != 0) {
            *status = ZODEVICE_STATUS_DEVICE_ALREADY_EXISTS;
        } else {
            made = EngineNew<CUsbInterfaceClassIoManager>(this, settings.byteItems[0],
                                                          settings.byteItems[2], 0,
                                                          interfaceClass, observer);
            if (made == nullptr) {
                *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
            }
            if (made != nullptr) {
                made->CreateEndpoints(status);
            }
            if (*status == 0) {
                // Ordered by (configuration, interface, alternate).
                auto key = [](const CUsbInterfaceClassIoManager* m) {
                    return (std::uint32_t{m->GetConfiguration()} << 16) |
                           (std::uint32_t{m->GetInterfaceNumber()} << 8) |
                           m->GetAlternateSetting();
                };
                CLinkedList<CUsbInterfaceClassIoManager*>::Iterator it = nullptr;
                CLinkedList<CUsbInterfaceClassIoManager*>::Iterator before = nullptr;
                CUsbInterfaceClassIoManager* listed = nullptr;
                while (m_classes.Next(&it, &listed) && key(listed) <= key(made)) {
                    before = it;
                }
                if (!m_classes.InsertAfter(before, made)) {
                    *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
                }
            }
            if (*status == 0) {
                interfaceClass->Configure(made, status);
                if (*status != 0) {
                    m_classes.Remove(made);
                }
            }
            if (*status != 0) {
                EngineDelete(made);
                made = nullptr;
            }
        }
        m_mutex.Unlock();
    }
    if (made != nullptr) {
        std::uint32_t lockStatus = 0;
        m_holdLock.Lock(&lockStatus);
        made->m_registrationHold = m_holders.PushBack(made);
        m_holdLock.Unlock();
        if (!made->m_registrationHold) {
            // Nowhere to record the hold: give it back at once.
            std::uint32_t ignored = 0;
            m_controller->EnableDispatching(&ignored);
        }
        return made;
    }
    std::uint32_t ignored = 0;
    m_controller->EnableDispatching(&ignored);
    return nullptr;
}

void CUsbDeviceManager::UnregisterInterfaceClass(CUsbInterfaceClassIoManager* ioManager,
                                                 std::uint32_t* status)
{
    if (RefusedInPass(status) || ioManager == nullptr) {
        return;
    }
    m_controller->DisableDispatching(status);
    if (*status != 0) {
        return;
    }
    if (LockMutex(status)) {
        if (!m_classes.Remove(ioManager)) {
            *status = ZODEVICE_STATUS_DRIVER_FAULT;
        } else {
            // A started device is stopped first: its endpoints must leave the bus.
            StopLocked(status);
            std::uint32_t ignored = 0;
            ioManager->Deactivate(&ignored);
            ioManager->GetInterfaceClass()->Unconfigure(&ignored);
            {
                std::uint32_t lockStatus = 0;
                m_holdLock.Lock(&lockStatus);
                const bool held = ioManager->m_registrationHold;
                if (held) {
                    m_holders.Remove(ioManager);
                    ioManager->m_registrationHold = false;
                }
                m_holdLock.Unlock();
                if (held) {
                    m_controller->EnableDispatching(&ignored);
                }
            }
            EngineDelete(ioManager);
        }
        m_mutex.Unlock();
    }
    std::uint32_t enableStatus = 0;
    m_controller->EnableDispatching(&enableStatus);
    Collect(status, enableStatus);
}

void CUsbDeviceManager::DisableAsynchronousEventDispatching(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    m_controller->DisableDispatching(status);
}

void CUsbDeviceManager::EnableAsynchronousEventDispatching(std::uint32_t* status)
{
    if (*status != 0) {
        return;
    }
    if (m_controller == nullptr) {
        ConsistencyCheckFailed(429);
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return;
    }
    if (m_controller->IsServicing()) {
        ConsistencyCheckFailed(434);
    }
    // The first enable after a registration gives back the registration's disable.
    std::uint32_t lockStatus = 0;
    m_holdLock.Lock(&lockStatus);
    CUsbInterfaceClassIoManager* holder = nullptr;
    if (m_holders.PopFront(&holder)) {
        holder->m_registrationHold = false;
    }
    m_holdLock.Unlock();
    m_controller->EnableDispatching(status);
}

CUsbEndpoint* CUsbDeviceManager::ClaimControl(CUsbSharedDefaultEndpoint* owner,
                                              std::uint32_t* status)
{
    if (*status != 0) {
        return nullptr;
    }
    if (m_controller->IsServicing()) {
        m_controlOwner = owner;
        return m_defaultEndpoint;
    }
    if (!LockMutex(status)) {
        return nullptr;
    }
    m_controlOwner = owner;
    m_mutex.Unlock();
    return m_defaultEndpoint;
}

void CUsbDeviceManager::ReleaseControl(CUsbSharedDefaultEndpoint* owner)
{
    if (m_controller->IsServicing()) {
        if (m_controlOwner == owner) {
            m_controlOwner = nullptr;
        }
        return;
    }
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (m_controlOwner == owner) {
        m_controlOwner = nullptr;
    }
    if (lockStatus == 0) {
        m_mutex.Unlock();
    }
}

CUsbInterfaceClassIoManager* CUsbDeviceManager::FindByInterface(std::uint8_t interfaceNumber)
{
    CLinkedList<CUsbInterfaceClassIoManager*>::Iterator it = nullptr;
    CUsbInterfaceClassIoManager* ioManager = nullptr;
    while (m_classes.Next(&it, &ioManager)) {
        if (ioManager->IsActive() && ioManager->GetInterfaceNumber() == interfaceNumber) {
            return ioManager;
        }
    }
    return nullptr;
}

CUsbInterfaceClassIoManager* CUsbDeviceManager::FindByEndpoint(std::uint8_t address)
{
    CLinkedList<CUsbInterfaceClassIoManager*>::Iterator it = nullptr;
    CUsbInterfaceClassIoManager* ioManager = nullptr;
    while (m_classes.Next(&it, &ioManager)) {
        if (ioManager->IsActive() && ioManager->HasEndpointAddress(address)) {
            return ioManager;
        }
    }
    return nullptr;
}

void CUsbDeviceManager::CancelControl(std::uint32_t* status)
{
    CUsbSharedDefaultEndpoint* owner = m_controlOwner;
    if (owner != nullptr) {
        owner->Cancel(status);
    }
    m_controlOwner = nullptr;
}

void CUsbDeviceManager::DeactivateAll(std::uint32_t* status)
{
    CLinkedList<CUsbInterfaceClassIoManager*>::Iterator it = nullptr;
    CUsbInterfaceClassIoManager* ioManager = nullptr;
    while (m_classes.Next(&it, &ioManager)) {
        if (ioManager->IsActive()) {
            std::uint32_t step = 0;
            ioManager->Deactivate(&step);
            Collect(status, step);
        }
    }
}

void CUsbDeviceManager::OnConfigurationChanged(std::uint16_t value, std::uint32_t* status)
{
    std::uint32_t first = 0;
    CancelControl(&first);
    DeactivateAll(&first);
    if (value != 0) {
        CLinkedList<CUsbInterfaceClassIoManager*>::Iterator it = nullptr;
        CUsbInterfaceClassIoManager* ioManager = nullptr;
        while (m_classes.Next(&it, &ioManager)) {
            if (ioManager->GetConfiguration() == value && ioManager->GetAlternateSetting() == 0) {
                std::uint32_t step = 0;
                ioManager->Activate(m_controller->GetActivationValue(), &step);
                Collect(&first, step);
            }
        }
    }
    Collect(status, first);
}

void CUsbDeviceManager::OnInterfaceChanged(std::uint8_t configuration,
                                           std::uint8_t interfaceNumber, std::uint8_t alternate,
                                           std::uint32_t* status)
{
    CUsbInterfaceClassIoManager* current = FindByInterface(interfaceNumber);
    if (current == nullptr) {
        Collect(status, ZODEVICE_STATUS_DRIVER_FAULT);
    } else {
        current->Deactivate(status);
    }
    CLinkedList<CUsbInterfaceClassIoManager*>::Iterator it = nullptr;
    CUsbInterfaceClassIoManager* ioManager = nullptr;
    while (m_classes.Next(&it, &ioManager)) {
        if (ioManager->GetConfiguration() == configuration &&
            ioManager->GetInterfaceNumber() == interfaceNumber &&
            ioManager->GetAlternateSetting() == alternate) {
            std::uint32_t step = 0;
            ioManager->Activate(m_controller->GetActivationValue(), &step);
            Collect(status, step);
            return;
        }
    }
    Collect(status, ZODEVICE_STATUS_DRIVER_FAULT);
}

void CUsbDeviceManager::OnDeconfigured(std::uint32_t* status)
{
    CancelControl(status);
    DeactivateAll(status);
}

void CUsbDeviceManager::OnReset(std::uint32_t* status)
{
    CancelControl(status);
    DeactivateAll(status);
}

void CUsbDeviceManager::OnSuspend(std::uint32_t* status)
{
    CLinkedList<CUsbInterfaceClassIoManager*>::Iterator it = nullptr;
    CUsbInterfaceClassIoManager* ioManager = nullptr;
    while (m_classes.Next(&it, &ioManager)) {
        if (ioManager->IsActive()) {
            std::uint32_t step = 0;
            ioManager->OnSuspend(&step);
            Collect(status, step);
        }
    }
}

void CUsbDeviceManager::OnSetup(const UsbSetupPacket& setup, std::uint32_t* status)
{
    const std::uint8_t type = setup.bmRequestType & 0x60;
    if (type == 0) {
        m_requests->OnSetup(setup, status);
        return;
    }
    CUsbInterfaceClassIoManager* target = nullptr;
    if (type == 0x20) {
        const std::uint8_t recipient = setup.bmRequestType & 0x1F;
        if (recipient == 1) {
            target = FindByInterface(static_cast<std::uint8_t>(setup.wIndex & 0x0F));
        } else if (recipient == 2) {
            target = FindByEndpoint(static_cast<std::uint8_t>(setup.wIndex & 0x8F));
        }
    }
    if (target == nullptr) {
        std::uint32_t stall = 0;
        m_defaultEndpoint->Halt(&stall);
        return;
    }
    target->OnSetup(setup, status);
}

void CUsbDeviceManager::OnOutComplete(CUsbEndpoint*, std::uint32_t code, std::uint32_t bytes,
                                      std::uint32_t* status)
{
    if (m_controlOwner != nullptr) {
        m_controlOwner->OnOutComplete(code, bytes, status);
    }
}

void CUsbDeviceManager::OnInComplete(CUsbEndpoint*, std::uint32_t code, std::uint32_t bytes,
                                     std::uint32_t* status)
{
    if (m_controlOwner != nullptr) {
        m_controlOwner->OnInComplete(code, bytes, status);
    }
}

} // namespace Korvex
