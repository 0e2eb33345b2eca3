#include "engine/session/DeviceSessionTable.h"

#include <cstring>

#include "engine/os/Allocator.h"
#include "engine/session/DeviceSession.h"
#include "engine/status/EngineStatus.h"

namespace Korvex {

CDeviceSessionTable::CDeviceSessionTable()
{
    if (m_mutex.InitFailed()) {
        return;
    }
    m_slots = static_cast<CDeviceSession**>(
        EngineAllocate(sizeof(CDeviceSession*) * kInitialSlots));
    if (m_slots == nullptr) {
        return;
    }
    std::memset(m_slots, 0, sizeof(CDeviceSession*) * kInitialSlots);
    m_slotCount = kInitialSlots;
    m_failed = 0;
}

CDeviceSessionTable::~CDeviceSessionTable()
{
    for (std::uint32_t i = 0; i < m_slotCount; ++i) {
        EngineDelete(m_slots[i]);
    }
    EngineFree(m_slots);
}

std::uint32_t CDeviceSessionTable::Open(CPhysicalInterface* physicalInterface,
                                        std::uint32_t* status)
{
    if (m_failed) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return kNoHandle;
    }
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return kNoHandle;
    }
    std::uint32_t index = 0;
    while (index < m_slotCount && m_slots[index] != nullptr) {
        ++index;
    }
    if (index == m_slotCount) {
        const std::uint32_t grown = m_slotCount * 2;
        auto* slots = static_cast<CDeviceSession**>(
            EngineAllocate(sizeof(CDeviceSession*) * grown));
        if (slots == nullptr) {
            *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
            m_mutex.Unlock();
            return kNoHandle;
        }
        std::memset(slots, 0, sizeof(CDeviceSession*) * grown);
        std::memcpy(slots, m_slots, sizeof(CDeviceSession*) * m_slotCount);
        EngineFree(m_slots);
        m_slots = slots;
        m_slotCount = grown;
    }
    std::uint32_t handle = kNoHandle;
    CDeviceSession* session = EngineNew<CDeviceSession>(physicalInterface, status);
    if (session == nullptr) {
        *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
    } else if (!session->IsValid()) {
        *status = session->GetConstructionStatus();
        EngineDelete(session);
    } else {
        session->SetInUse(1);
        m_slots[index] = session;
        handle = kHandleBase + index;
        *status = 0;
    }
    m_mutex.Unlock();
    return handle;
}

CDeviceSession* CDeviceSessionTable::Lookup(std::uint32_t handle, std::uint32_t* status)
{
    if (m_failed) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return nullptr;
    }
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return nullptr;
    }
    CDeviceSession* session = nullptr;
    if (handle >= kHandleBase && handle - kHandleBase < m_slotCount) {
        session = m_slots[handle - kHandleBase];
    }
    *status = session != nullptr ? 0 : ENGINE_STATUS_SESSION_NOT_FOUND;
    m_mutex.Unlock();
    return session;
}

void CDeviceSessionTable::Remove(std::uint32_t handle, std::uint32_t* status)
{
    if (m_failed) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return;
    }
    std::uint32_t lockStatus = 0;
    m_mutex.Lock(&lockStatus);
    if (lockStatus != 0) {
        *status = ZODEVICE_STATUS_DRIVER_FAULT;
        return;
    }
    CDeviceSession* removed = nullptr;
    if (handle >= kHandleBase && handle - kHandleBase < m_slotCount &&
        m_slots[handle - kHandleBase] != nullptr) {
        removed = m_slots[handle - kHandleBase];
        m_slots[handle - kHandleBase] = nullptr;
        *status = 0;
    } else {
        *status = ENGINE_STATUS_SESSION_NOT_FOUND;
    }
    m_mutex.Unlock();
    // Destroyed without the table mutex: the session first waits for a device event still
    // inside it, and lookups of the other sessions go on meanwhile.
    EngineDelete(removed);
}

} // namespace Korvex
