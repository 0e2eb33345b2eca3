// The tree freeze: topology lock, then tree lock; released in reverse order.
#include "Host/parameters/TreeFreeze.h"

#include "Host/parameters/ParameterNode.h"
#include "Host/peripherals/TopologyLock.h"

namespace Korvex {

CTreeFreeze::CTreeFreeze() : topologyHeld(TopologyLock().Lock()), treeHeld(false) {
    if (!topologyHeld) return;
    treeHeld = ParameterTreeLock().Lock();
    if (!treeHeld) {
        // A freeze either holds both locks or none.
        TopologyLock().Unlock();
        topologyHeld = false;
    }
}

CTreeFreeze::~CTreeFreeze() {
    if (treeHeld) ParameterTreeLock().Unlock();
    if (topologyHeld) TopologyLock().Unlock();
}

}  // namespace Korvex
