// The recursive mutex of the peripheral topology. Lock order: the topology lock before
// the parameter tree lock.
#pragma once

#include "Host/parameters/RecursiveMutex.h"

namespace Korvex {

// Built on first use, never destroyed.
CRecursiveMutex& TopologyLock();

}  // namespace Korvex
