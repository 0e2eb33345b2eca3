// Holds the whole tree still: takes the topology lock, then the tree lock, so no other
// thread changes nodes or peripheral nodes while a saver writes. Nestable.
#pragma once

#include "Host/parameters/RecursiveMutex.h"

namespace Korvex {

class CTreeFreeze {
public:
    CTreeFreeze();
    ~CTreeFreeze();
    CTreeFreeze(const CTreeFreeze&) = delete;
    CTreeFreeze& operator=(const CTreeFreeze&) = delete;
    bool Frozen() const { return topologyHeld && treeHeld; }

private:
    bool topologyHeld;
    bool treeHeld;
};

}  // namespace Korvex
