// Parameter tree structure: the tree lock, the root, path lookup and creation, adding,
// deleting, keep flags and pruning.
#include "Host/parameters/ParameterNode.h"

namespace Korvex {

CRecursiveMutex& ParameterTreeLock() {
    // Never destroyed: static constructors and threads still running at exit may use it.
    static CRecursiveMutex* const lock = new CRecursiveMutex;
    return *lock;
}

CParameterNode* ParameterTreeRoot = nullptr;

std::uint64_t CParameterNode::structureChanges = 0;

namespace {

// Cuts path at its first "/": head before it, rest after it; false when there is no "/".
bool CutPath(const std::string& path, std::string::size_type from, std::string& head,
             std::string::size_type& rest) {
    const std::string::size_type slash = path.find('/', from);
    if (slash == std::string::npos) {
        head.assign(path, from, std::string::npos);
        return false;
    }
    head.assign(path, from, slash - from);
    rest = slash + 1;
    return true;
}

}  // namespace

// Shared walk of Find and Create: each component in turn is ".", "..", or the first child
// named exactly so. Create (create == true) makes a missing child of the given type.
int CParameterNode::WalkPath(CParameterNode* start, const std::string& path, bool create,
                             std::uint32_t type, CParameterNode** out) {
    if (start == nullptr || out == nullptr) return eBadNodeArgument;
    CRecursiveLock lock(ParameterTreeLock());
    if (!lock.Locked()) return eGeneralFailure;

    CParameterNode* current = start;
    std::string head;
    std::string::size_type from = 0;
    for (;;) {
        std::string::size_type rest = 0;
        const bool more = CutPath(path, from, head, rest);
        CParameterNode* next = nullptr;
        if (head == ".") {
            next = current;
        } else if (head == "..") {
            next = current->parent;
        } else {
            for (CParameterNode* c = current->firstChild; c != nullptr; c = c->nextSibling) {
                if (c->name == head) {
                    next = c;
                    break;
                }
            }
            if (next == nullptr && create) {
                if (type == eNodeBranch || type >= NodeTypeCount) return eBadNodeArgument;
                next = new CParameterNode(static_cast<eNodeType>(type), head);
                AddChild(current, next);
            }
        }
        if (next == nullptr) return ePathNotFound;
        if (!more) {
            *out = next;
            return eOk;
        }
        if (rest == path.size()) return ePathTrailingSlash;
        current = next;
        from = rest;
    }
}

int CParameterNode::Find(CParameterNode* start, const std::string& path, CParameterNode** out) {
    return WalkPath(start, path, false, eNodeBranch, out);
}

int CParameterNode::Create(CParameterNode* parent, const std::string& path, std::uint32_t type,
                           CParameterNode** out) {
    return WalkPath(parent, path, true, type, out);
}

int CParameterNode::AddChild(CParameterNode* parent, CParameterNode* child) {
    if (parent == nullptr || child == nullptr) return eBadNodeArgument;
    std::vector<Subscriber> snapshot;
    {
        CRecursiveLock lock(ParameterTreeLock());
        if (!lock.Locked()) return eGeneralFailure;
        if (child->parent != nullptr || child->nextSibling != nullptr ||
            child->previousSibling != nullptr) {
            return eBadNodeArgument;
        }
        // The child is detached, so it is the root of its own tree: the parent must not
        // lie in it, or the tree would become a cycle.
        for (CParameterNode* a = parent; a != nullptr; a = a->parent) {
            if (a == child) return eBadNodeArgument;
        }
        if (parent->firstChild == nullptr) {
            parent->firstChild = child;
        } else {
            parent->lastChild->nextSibling = child;
            child->previousSibling = parent->lastChild;
        }
        parent->lastChild = child;
        child->parent = parent;
        ++structureChanges;
        snapshot = parent->subscribers;
    }
    Notify(parent, snapshot, eEventChildrenChanged);
    return eOk;
}

void CParameterNode::Delete(CParameterNode* node) {
    if (node == nullptr) return;
    std::vector<Subscriber> own;
    std::vector<Subscriber> parents;
    {
        CRecursiveLock lock(ParameterTreeLock());
        if (!lock.Locked()) return;
        if (node->previousSibling != nullptr) {
            node->previousSibling->nextSibling = node->nextSibling;
        } else if (node->parent != nullptr) {
            node->parent->firstChild = node->nextSibling;
        }
        if (node->nextSibling != nullptr) {
            node->nextSibling->previousSibling = node->previousSibling;
        } else if (node->parent != nullptr) {
            node->parent->lastChild = node->previousSibling;
        }
        node->nextSibling = nullptr;
        node->previousSibling = nullptr;
        ++structureChanges;
        // Each child unlinks itself, so the first child is always the next one.
        while (node->firstChild != nullptr) Delete(node->firstChild);
        own = node->subscribers;
        if (node->parent != nullptr) parents = node->parent->subscribers;
    }
    Notify(node, own, eEventNodeDeleted);
    Notify(node, parents, eEventChildrenChanged);
    delete node;
}

int CParameterNode::SetKeepFlags(CParameterNode* node, std::uint8_t flag) {
    if (node == nullptr) return eBadNodeArgument;
    CRecursiveLock lock(ParameterTreeLock());
    if (!lock.Locked()) return eGeneralFailure;
    for (CParameterNode* c = node->firstChild; c != nullptr; c = c->nextSibling) {
        SetKeepFlags(c, flag);
    }
    node->keep = flag;
    return eOk;
}

int CParameterNode::Prune(CParameterNode* node) {
    if (node == nullptr) return eBadNodeArgument;
    CRecursiveLock lock(ParameterTreeLock());
    if (!lock.Locked()) return eGeneralFailure;
    int result = eOk;
    CParameterNode* child = node->firstChild;
    while (child != nullptr) {
        CParameterNode* next = child->nextSibling;
        if (Prune(child) == ePrunedNodeHadChildren) result = ePrunedNodeHadChildren;
        child = next;
    }
    if (node->keep == 0) {
        if (node->firstChild != nullptr) result = ePrunedNodeHadChildren;
        Delete(node);
    }
    return result;
}

}  // namespace Korvex
