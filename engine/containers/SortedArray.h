// Fixed-capacity array of {value, key} entries kept in ascending key order; entries with
// equal keys keep their insertion order. The entry array is allocated at construction.
// No locking: the owner serialises access.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "engine/os/Allocator.h"
#include "engine/status/EngineStatus.h"

namespace Korvex {

template <typename T>
class CSortedArray {
    static_assert(std::is_trivially_copyable<T>::value, "entries are moved as bytes");

public:
    struct Entry {
        T value;
        std::uint32_t key;
    };

    // Allocates capacity entries (0 allocates nothing). On failure *status := 0x543F0 and
    // the capacity stays 0; else *status := 0.
    CSortedArray(std::uint32_t capacity, std::uint32_t* status)
    {
        if (capacity != 0) {
            m_entries = static_cast<Entry*>(EngineAllocate(sizeof(Entry) * capacity));
            if (m_entries == nullptr) {
                *status = ZODEVICE_STATUS_INSUFFICIENT_MEMORY;
                return;
            }
        }
        m_capacity = capacity;
        *status = 0;
    }
    ~CSortedArray() { EngineFree(m_entries); }
    CSortedArray(const CSortedArray&) = delete;
    CSortedArray& operator=(const CSortedArray&) = delete;

    // Does nothing when *status already holds a failure. Places {value, key} after every
    // entry whose key is not greater. A full array is left unchanged: *status := 0x543F1.
    void Insert(const T& value, std::uint32_t key, std::uint32_t* status)
    {
        if (*status != 0) {
            return;
        }
        if (m_count >= m_capacity) {
            *status = ZODEVICE_STATUS_OUT_OF_RESOURCES;
            return;
        }
        std::uint32_t index = 0;
        while (index < m_count && m_entries[index].key <= key) {
            ++index;
        }
        std::memmove(&m_entries[index + 1], &m_entries[index],
                     sizeof(Entry) * (m_count - index));
        m_entries[index].value = value;
        m_entries[index].key = key;
        ++m_count;
    }

    // Removes the entry at index, shifting the later ones down; nothing past the count.
    void RemoveAt(std::uint32_t index)
    {
        if (index >= m_count) {
            return;
        }
        std::memmove(&m_entries[index], &m_entries[index + 1],
                     sizeof(Entry) * (m_count - index - 1));
        --m_count;
    }

    // The entry at index, or null past the count.
    Entry* At(std::uint32_t index) { return index < m_count ? &m_entries[index] : nullptr; }
    const Entry* At(std::uint32_t index) const
    {
        return index < m_count ? &m_entries[index] : nullptr;
    }

    std::uint32_t GetCount() const { return m_count; }
    std::uint32_t GetCapacity() const { return m_capacity; }
    void Clear() { m_count = 0; }

private:
    std::uint32_t m_capacity = 0;
    std::uint32_t m_count = 0;
    Entry* m_entries = nullptr;
};

} // namespace Korvex
