#include "Host/parameters/RecursiveMutex.h"

#include <cassert>

namespace Korvex {

CRecursiveMutex::CRecursiveMutex() : owner(0), depth(0) { kernel::mutex_init(&mutex); }

CRecursiveMutex::~CRecursiveMutex() { kernel::mutex_destroy(&mutex); }

bool CRecursiveMutex::Lock() {
    kernel::scheduler_lock();
    kernel::handle_t self = kernel::thread_self();
    if (owner != 0 && owner == self) {
        ++depth;
        kernel::scheduler_unlock();
        return true;
    }
    kernel::scheduler_unlock();
    if (!kernel::mutex_lock(&mutex)) return false;  // wait broken: we hold nothing
    kernel::scheduler_lock();
    depth = 1;
    owner = self;
    kernel::scheduler_unlock();
    return true;
}

void CRecursiveMutex::Unlock() {
    kernel::scheduler_lock();
    if (owner != kernel::thread_self()) {
        // Not ours to release: leave the holder's hold intact.
        assert(!"CRecursiveMutex::Unlock by a thread that does not hold it");
        kernel::scheduler_unlock();
        return;
    }
    std::int32_t remaining = depth - 1;
    if (remaining <= 0) {
        owner = 0;
        depth = 0;
        kernel::scheduler_unlock();
        kernel::mutex_unlock(&mutex);
    } else {
        depth = remaining;
        kernel::scheduler_unlock();
    }
}

kernel::handle_t CRecursiveMutex::Owner() const {
    kernel::scheduler_lock();
    kernel::handle_t h = owner;
    kernel::scheduler_unlock();
    return h;
}

std::int32_t CRecursiveMutex::Depth() const {
    kernel::scheduler_lock();
    std::int32_t d = depth;
    kernel::scheduler_unlock();
    return d;
}

}  // namespace Korvex
