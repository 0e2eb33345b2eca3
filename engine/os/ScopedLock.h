// Holds an engine mutex for a scope.
#pragma once

#include <cstdint>

#include "engine/os/OSMutex.h"

// Locks at construction and unlocks at the end of the scope; Held() is false when the mutex
// could not be taken (then nothing is unlocked). The mutex is kept as a pointer, null when not
// held: a reference and a flag made GCC 12 report a false -Wfree-nonheap-object at -O2 in a
// caller that destroys a vector on the early return.
class CScopedLock {
public:
    explicit CScopedLock(COSMutex& mutex) : m_mutex(&mutex)
    {
        std::uint32_t status = 0;
        mutex.Lock(&status);
        if (status != 0) {
            m_mutex = nullptr;
        }
    }
    ~CScopedLock()
    {
        if (m_mutex != nullptr) {
            m_mutex->Unlock();
        }
    }
    CScopedLock(const CScopedLock&) = delete;
    CScopedLock& operator=(const CScopedLock&) = delete;
    bool Held() const { return m_mutex != nullptr; }

private:
    COSMutex* m_mutex;
};
