// The topology lock object.
#include "Host/peripherals/TopologyLock.h"

namespace Korvex {

CRecursiveMutex& TopologyLock() {
    // Never destroyed: threads still running at exit may hold or take it.
    static CRecursiveMutex* const lock = new CRecursiveMutex;
    return *lock;
}

}  // namespace Korvex
