#include "engine/api/EngineRegistries.h"

#include "engine/api/ZoDeviceInterface.h"
#include "engine/os/Allocator.h"
#include "engine/status/EngineStatus.h"

namespace Korvex {

namespace {
constexpr std::uint32_t kKindAlreadyRegistered = 0x54360;
constexpr std::uint32_t kUnknownKind = 0x54361;
} // namespace

// ---- device registry ----

CDeviceRegistry::~CDeviceRegistry()
{
    for (CZoDeviceInterface* deviceInterface = TakeFirst(); deviceInterface != nullptr;
         deviceInterface = TakeFirst()) {
        EngineDelete(deviceInterface);
    }
}

void CDeviceRegistry::Add(CZoDeviceInterface* deviceInterface, std::uint32_t version,
                          std::uint32_t* status)
{
    Entry* entry = EngineNew<Entry>(Entry{nullptr, deviceInterface, version});
    if (entry == nullptr) {
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
        return;
    }
    m_mutex.Lock(status);
    if (*status != 0) {
        EngineDelete(entry);
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return;
    }
    entry->next = m_head;
    m_head = entry;
    m_mutex.Unlock();
}

void CDeviceRegistry::Remove(CZoDeviceInterface* deviceInterface, std::uint32_t* status)
{
    m_mutex.Lock(status);
    if (*status != 0) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return;
    }
    Entry** link = &m_head;
    while (*link != nullptr && (*link)->deviceInterface != deviceInterface) {
        link = &(*link)->next;
    }
    Entry* found = *link;
    if (found != nullptr) {
        *link = found->next;
    }
    m_mutex.Unlock();
    if (found == nullptr) {
        *status = ENGINE_STATUS_SESSION_NOT_FOUND;
        return;
    }
    EngineDelete(found);
    *status = 0;
}

CZoDeviceInterface* CDeviceRegistry::TakeFirst()
{
    std::uint32_t status = 0;
    m_mutex.Lock(&status);
    if (status != 0) {
        return nullptr;
    }
    Entry* first = m_head;
    if (first != nullptr) {
        m_head = first->next;
    }
    m_mutex.Unlock();
    if (first == nullptr) {
        return nullptr;
    }
    CZoDeviceInterface* deviceInterface = first->deviceInterface;
    EngineDelete(first);
    return deviceInterface;
}

// ---- server registry ----

CServerRegistry::~CServerRegistry()
{
    while (m_head != nullptr) {
        Entry* next = m_head->next;
        EngineDelete(m_head);
        m_head = next;
    }
}

void CServerRegistry::Register(std::uint32_t kind, std::uint32_t version,
                               CPhysicalInterfaceFactory* factory, std::uint32_t* status)
{
    if (factory == nullptr) {
        *status = ENGINE_STATUS_NULL_POINTER;
        return;
    }
    m_mutex.Lock(status);
    if (*status != 0) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return;
    }
    Entry* entry = m_head;
    while (entry != nullptr && entry->kind != kind) {
        entry = entry->next;
    }
    if (entry != nullptr) {
        *status = kKindAlreadyRegistered;
    } else if ((version & 0xFFFFFF00u) != 0x01060000u) {
        *status = ZODEVICE_STATUS_ENGINE_INCOMPATIBILITY;
    } else {
        entry = EngineNew<Entry>(Entry{m_head, kind, factory});
        if (entry == nullptr) {
            *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
        } else {
            m_head = entry;
            *status = 0;
        }
    }
    m_mutex.Unlock();
}

void CServerRegistry::Unregister(std::uint32_t kind)
{
    std::uint32_t status = 0;
    m_mutex.Lock(&status);
    if (status != 0) {
        return;
    }
    Entry** link = &m_head;
    while (*link != nullptr && (*link)->kind != kind) {
        link = &(*link)->next;
    }
    Entry* found = *link;
    if (found != nullptr) {
        *link = found->next;
    }
    m_mutex.Unlock();
    EngineDelete(found);
}

CPhysicalInterfaceFactory* CServerRegistry::Find(std::uint32_t kind, std::uint32_t* status)
{
    m_mutex.Lock(status);
    if (*status != 0) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return nullptr;
    }
    Entry* entry = m_head;
    while (entry != nullptr && entry->kind != kind) {
        entry = entry->next;
    }
    CPhysicalInterfaceFactory* factory = entry != nullptr ? entry->factory : nullptr;
    m_mutex.Unlock();
    *status = factory != nullptr ? 0 : kUnknownKind;
    return factory;
}

bool CServerRegistry::Contains(CPhysicalInterfaceFactory* factory)
{
    std::uint32_t status = 0;
    m_mutex.Lock(&status);
    if (status != 0) {
        return false;
    }
    bool found = false;
    for (Entry* entry = m_head; entry != nullptr; entry = entry->next) {
        found = found || entry->factory == factory;
    }
    m_mutex.Unlock();
    return found;
}

} // namespace Korvex
