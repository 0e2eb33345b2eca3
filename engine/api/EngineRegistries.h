// The engine's two registries: the live interface objects (device registry) and the
// transports' factories by server kind (server registry). Each is a singly linked list
// behind its own mutex.
#pragma once

#include <cstdint>

#include "engine/os/OSMutex.h"

namespace Korvex {

class CPhysicalInterfaceFactory;
class CZoDeviceInterface;

class CDeviceRegistry {
public:
    CDeviceRegistry() = default;
    // Destroys every interface object still registered, one at a time.
    ~CDeviceRegistry();
    CDeviceRegistry(const CDeviceRegistry&) = delete;
    CDeviceRegistry& operator=(const CDeviceRegistry&) = delete;

    bool Failed() const { return m_mutex.InitFailed() != 0; }
    // 0x543F0 when the entry cannot be allocated, 0x543FF when the mutex fails.
    void Add(CZoDeviceInterface* deviceInterface, std::uint32_t version, std::uint32_t* status);
    // 0x54310 when it is not registered.
    void Remove(CZoDeviceInterface* deviceInterface, std::uint32_t* status);
    // Takes one interface object off the list (null when empty).
    CZoDeviceInterface* TakeFirst();

private:
    struct Entry {
        Entry* next;
        CZoDeviceInterface* deviceInterface;
        std::uint32_t version;
    };
    COSMutex m_mutex;
    Entry* m_head = nullptr;
};

class CServerRegistry {
public:
    CServerRegistry() = default;
    ~CServerRegistry();
    CServerRegistry(const CServerRegistry&) = delete;
    CServerRegistry& operator=(const CServerRegistry&) = delete;

    bool Failed() const { return m_mutex.InitFailed() != 0; }
    void Register(std::uint32_t kind, std::uint32_t version, CPhysicalInterfaceFactory* factory,
                  std::uint32_t* status);
    void Unregister(std::uint32_t kind);
    // The factory of a kind, or null with 0x54361.
    CPhysicalInterfaceFactory* Find(std::uint32_t kind, std::uint32_t* status);
    // True when the factory is registered (under any kind).
    bool Contains(CPhysicalInterfaceFactory* factory);

private:
    struct Entry {
        Entry* next;
        std::uint32_t kind;
        CPhysicalInterfaceFactory* factory;
    };
    COSMutex m_mutex;
    Entry* m_head = nullptr;
};

} // namespace Korvex
