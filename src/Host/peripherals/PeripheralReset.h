// Empties the peripheral part of the tree before settings are saved or loaded.
#pragma once

namespace Korvex {

class CParameterNode;

// With a null node does nothing. Otherwise, under the topology lock, clears the keep flag
// of every node below the node; with prune set removes them, and clears a non-null
// current_probe/object (its subscribers see event 0).
void ResetPeripheralNodes(CParameterNode* node, bool prune);

}  // namespace Korvex
