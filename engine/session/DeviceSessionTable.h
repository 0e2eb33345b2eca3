// The table of device sessions, named by handles 0xBA5700 + slot index. It starts with 16
// slots, doubles when full and never shrinks; a removed slot is reused by the next Open.
#pragma once

#include <cstdint>

#include "engine/os/OSMutex.h"

namespace Korvex {

class CDeviceSession;
class CPhysicalInterface;

class CDeviceSessionTable {
public:
    static constexpr std::uint32_t kHandleBase = 0xBA5700;
    static constexpr std::uint32_t kInitialSlots = 16;
    static constexpr std::uint32_t kNoHandle = 0xFFFFFFFF;

    CDeviceSessionTable();
    // Destroys every session still in the table.
    ~CDeviceSessionTable();
    CDeviceSessionTable(const CDeviceSessionTable&) = delete;
    CDeviceSessionTable& operator=(const CDeviceSessionTable&) = delete;

    bool Failed() const { return m_failed != 0; }
    std::uint32_t SlotCount() const { return m_slotCount; }

    // A new session for the interface; its handle, or kNoHandle with the session's
    // construction status (0x543F0 when the table or the session cannot be allocated).
    std::uint32_t Open(CPhysicalInterface* physicalInterface, std::uint32_t* status);
    // The session of a handle, or null with 0x54310.
    CDeviceSession* Lookup(std::uint32_t handle, std::uint32_t* status);
    // Frees the slot of the handle and destroys its session after releasing the table
    // mutex (0x54310 when unknown).
    void Remove(std::uint32_t handle, std::uint32_t* status);

private:
    CDeviceSession** m_slots = nullptr;
    std::uint32_t m_slotCount = 0;
    COSMutex m_mutex;
    std::uint8_t m_failed = 1;
};

} // namespace Korvex
