// A kernel mutex that its owning thread may take again. The parameter tree lock, the
// SCPI status lock and the topology lock are instances.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/kernel/Kernel.h"

namespace Korvex {

class CRecursiveMutex {
public:
    CRecursiveMutex();
    ~CRecursiveMutex();
    CRecursiveMutex(const CRecursiveMutex&) = delete;
    CRecursiveMutex& operator=(const CRecursiveMutex&) = delete;

    // True when the caller holds the mutex afterwards; false when the kernel wait was
    // broken, in which case nothing about the mutex changed.
    bool Lock();
    // Drops one level of the caller's hold; the last level frees the mutex.
    void Unlock();

    kernel::handle_t Owner() const;
    std::int32_t Depth() const;

private:
    kernel::Mutex mutex;
    std::atomic<kernel::handle_t> owner;  // 0 when free
    std::atomic<std::int32_t> depth;      // nested holds of the owner, 0 when free
};

// Scoped hold of a CRecursiveMutex. Locked() tells whether the hold was obtained.
class CRecursiveLock {
public:
    explicit CRecursiveLock(CRecursiveMutex& m) : mutex(m), locked(m.Lock()) {}
    ~CRecursiveLock() {
        if (locked) mutex.Unlock();
    }
    CRecursiveLock(const CRecursiveLock&) = delete;
    CRecursiveLock& operator=(const CRecursiveLock&) = delete;
    bool Locked() const { return locked; }

private:
    CRecursiveMutex& mutex;
    bool locked;
};

}  // namespace Korvex
