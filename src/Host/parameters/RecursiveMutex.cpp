#include "Host/parameters/RecursiveMutex.h"

#include <cassert>

namespace Korvex {

// The owner is written only by the thread that holds (or is about to give up) the kernel
// mutex, so a thread that reads its own handle there is the holder, and any other thread
// reads something else: the test needs no scheduler lock. The depth is touched only by the
// holder; Depth() from another thread is a snapshot.

CRecursiveMutex::CRecursiveMutex() : owner(0), depth(0) { kernel::mutex_init(&mutex); }

CRecursiveMutex::~CRecursiveMutex() { kernel::mutex_destroy(&mutex); }

bool CRecursiveMutex::Lock() {
    const kernel::handle_t self = kernel::thread_self();
    if (owner.load(std::memory_order_relaxed) == self) {
        depth.store(depth.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        return true;
    }
    if (!kernel::mutex_lock(&mutex)) return false;  // wait broken: we hold nothing
    depth.store(1, std::memory_order_relaxed);
    owner.store(self, std::memory_order_relaxed);
    return true;
}

void CRecursiveMutex::Unlock() {
    if (owner.load(std::memory_order_relaxed) != kernel::thread_self()) {
        // Not ours to release: leave the holder's hold intact.
        assert(!"CRecursiveMutex::Unlock by a thread that does not hold it");
        return;
    }
    const std::int32_t remaining = depth.load(std::memory_order_relaxed) - 1;
    if (remaining <= 0) {
        owner.store(0, std::memory_order_relaxed);
        depth.store(0, std::memory_order_relaxed);
        kernel::mutex_unlock(&mutex);
    } else {
        depth.store(remaining, std::memory_order_relaxed);
    }
}

kernel::handle_t CRecursiveMutex::Owner() const { return owner.load(std::memory_order_relaxed); }

std::int32_t CRecursiveMutex::Depth() const { return depth.load(std::memory_order_relaxed); }

}  // namespace Korvex
