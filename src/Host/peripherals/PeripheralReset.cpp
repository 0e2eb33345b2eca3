#include "Host/peripherals/PeripheralReset.h"

#include "Host/parameters/Bindings.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/peripherals/TopologyLock.h"

namespace Korvex {

namespace {

void ClearKeepFlags(CParameterNode* node) {
    for (CParameterNode* child = node->GetFirstChild(); child; child = child->GetNextSibling()) {
        CParameterNode::SetKeepFlags(child, 0);
    }
}

}  // namespace

void ResetPeripheralNodes(CParameterNode* node, bool prune) {
    if (!node) return;
    CRecursiveLock topology(TopologyLock());
    {
        CRecursiveLock tree(ParameterTreeLock());
        ClearKeepFlags(node);
    }
    if (!prune) return;
    // Prune below the node only: the node itself stays whatever its own keep flag says.
    CParameterNode* child = node->GetFirstChild();
    while (child) {
        CParameterNode* next = child->GetNextSibling();
        CParameterNode::Prune(child);
        child = next;
    }
    if (g_pCurrentProbeObject && CParameterNode::GetPointerAttribute(g_pCurrentProbeObject, eAttrValue))
        CParameterNode::SetValue(g_pCurrentProbeObject, static_cast<void*>(nullptr));
}

}  // namespace Korvex
