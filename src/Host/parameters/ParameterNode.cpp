// Parameter nodes: the name tables, the slots of each type and the typed accessors.
#include "Host/parameters/ParameterNode.h"

#include <utility>

namespace Korvex {

const char* const NodeTypeNames[NodeTypeCount] = {
    "Branch", "Boolean", "Pointer", "String", "Int32", "Float64",
};

const char* const NodeAttributeNames[NodeAttributeCount] = {
    "value", "minimum", "maximum", "default", "choices", "digits",
};

// Row: node type; column: attribute index; 1 when the type carries the attribute.
const std::uint8_t AttributeApplicabilityTable[NodeTypeCount][NodeAttributeCount] = {
    {0, 0, 0, 0, 0, 0},  // Branch
    {1, 0, 0, 1, 0, 0},  // Boolean
    {1, 0, 0, 0, 0, 0},  // Pointer
    {1, 0, 0, 1, 1, 0},  // String
    {1, 1, 1, 1, 0, 0},  // Int32
    {1, 1, 1, 1, 0, 1},  // Float64
};

const char* const NodeValueInputFormats[NodeTypeCount] = {"", "%d", "", "", "%d", "%lf"};
const char* const NodeValueOutputFormats[NodeTypeCount] = {"", "%d", "", "", "%d", "%.15g"};
const char* const NodeValueReplyFormats[NodeTypeCount] = {"", "%d", "", "", "%d", "%.15e"};

namespace {

bool CarriesAttribute(eNodeType type, unsigned index) {
    return type < NodeTypeCount && index < NodeAttributeCount &&
           AttributeApplicabilityTable[type][index] != 0;
}

}  // namespace

CParameterNode::CParameterNode(eNodeType nodeType, const std::string& nodeName)
    : type(nodeType), name(nodeName) {
    switch (type) {
        case eNodeBoolean: slots.emplace<std::array<bool, 6>>(); break;
        case eNodePointer: slots.emplace<std::array<void*, 6>>(); break;
        case eNodeString: slots.emplace<std::array<std::string, 6>>(); break;
        case eNodeInt32: slots.emplace<std::array<std::int32_t, 6>>(); break;
        case eNodeFloat64: slots.emplace<std::array<double, 6>>(); break;
        default: break;  // a Branch has no slots
    }
    // emplace value-initialises the array: false, null, empty text, 0, 0.0.
}

CParameterNode* CParameterNode::GetParent() const {
    CRecursiveLock lock(ParameterTreeLock());
    return lock.Locked() ? parent : nullptr;
}

CParameterNode* CParameterNode::GetFirstChild() const {
    CRecursiveLock lock(ParameterTreeLock());
    return lock.Locked() ? firstChild : nullptr;
}

CParameterNode* CParameterNode::GetNextSibling() const {
    CRecursiveLock lock(ParameterTreeLock());
    return lock.Locked() ? nextSibling : nullptr;
}

std::uint8_t CParameterNode::GetKeepFlag() const {
    CRecursiveLock lock(ParameterTreeLock());
    return lock.Locked() ? keep : 0;
}

// Get rule: copy the slot under the tree lock when the node is of T's type and carries the
// attribute; otherwise the zero of T.
template <typename T>
T CParameterNode::GetSlot(CParameterNode* node, unsigned index) {
    if (node == nullptr) return T{};
    CRecursiveLock lock(ParameterTreeLock());
    if (!lock.Locked() || !CarriesAttribute(node->type, index)) return T{};
    const auto* values = std::get_if<std::array<T, 6>>(&node->slots);
    return values != nullptr ? (*values)[index] : T{};
}

// Set rule: store a changed value under the tree lock, then call a snapshot of the
// subscribers after the lock is released, with the attribute index as event.
template <typename T>
void CParameterNode::SetSlot(CParameterNode* node, unsigned index, const T& value) {
    if (node == nullptr) return;
    std::vector<Subscriber> snapshot;
    {
        CRecursiveLock lock(ParameterTreeLock());
        if (!lock.Locked() || !CarriesAttribute(node->type, index)) return;
        auto* values = std::get_if<std::array<T, 6>>(&node->slots);
        if (values == nullptr) return;
        // == is IEEE equality for doubles: -0.0 equals 0.0 and a NaN equals nothing.
        if ((*values)[index] == value) return;
        (*values)[index] = value;
        snapshot = node->subscribers;
    }
    Notify(node, snapshot, static_cast<int>(index));
}

// The XML reader and writer reach the slots through these as well.
template bool CParameterNode::GetSlot<bool>(CParameterNode*, unsigned);
template void* CParameterNode::GetSlot<void*>(CParameterNode*, unsigned);
template std::string CParameterNode::GetSlot<std::string>(CParameterNode*, unsigned);
template std::int32_t CParameterNode::GetSlot<std::int32_t>(CParameterNode*, unsigned);
template double CParameterNode::GetSlot<double>(CParameterNode*, unsigned);
template void CParameterNode::SetSlot<bool>(CParameterNode*, unsigned, const bool&);
template void CParameterNode::SetSlot<void*>(CParameterNode*, unsigned, void* const&);
template void CParameterNode::SetSlot<std::string>(CParameterNode*, unsigned,
                                                   const std::string&);
template void CParameterNode::SetSlot<std::int32_t>(CParameterNode*, unsigned,
                                                    const std::int32_t&);
template void CParameterNode::SetSlot<double>(CParameterNode*, unsigned, const double&);

void CParameterNode::Notify(CParameterNode* node, const std::vector<Subscriber>& snapshot,
                            int event) {
    for (const Subscriber& s : snapshot) s.callback(node, event, s.user);
}

std::string CParameterNode::GetStringAttribute(CParameterNode* node, unsigned index) {
    return GetSlot<std::string>(node, index);
}

void CParameterNode::SetStringAttribute(CParameterNode* node, unsigned index,
                                        const std::string& text) {
    SetSlot<std::string>(node, index, text);
}

double CParameterNode::GetFloat64Attribute(CParameterNode* node, unsigned index) {
    return GetSlot<double>(node, index);
}

void CParameterNode::SetFloat64Attribute(CParameterNode* node, unsigned index, double value) {
    SetSlot<double>(node, index, value);
}

std::int32_t CParameterNode::GetInt32Attribute(CParameterNode* node, unsigned index) {
    return GetSlot<std::int32_t>(node, index);
}

void CParameterNode::SetInt32Attribute(CParameterNode* node, unsigned index,
                                       std::int32_t value) {
    SetSlot<std::int32_t>(node, index, value);
}

bool CParameterNode::GetBooleanAttribute(CParameterNode* node, unsigned index) {
    return GetSlot<bool>(node, index);
}

void CParameterNode::SetBooleanAttribute(CParameterNode* node, unsigned index, bool value) {
    SetSlot<bool>(node, index, value);
}

void* CParameterNode::GetPointerAttribute(CParameterNode* node, unsigned index) {
    return GetSlot<void*>(node, index);
}

void CParameterNode::SetPointerAttribute(CParameterNode* node, unsigned index, void* value) {
    SetSlot<void*>(node, index, value);
}

void CParameterNode::SetValue(CParameterNode* node, bool value) {
    SetSlot<bool>(node, eAttrValue, value);
}

void CParameterNode::SetValue(CParameterNode* node, std::int32_t value) {
    SetSlot<std::int32_t>(node, eAttrValue, value);
}

void CParameterNode::SetValue(CParameterNode* node, double value) {
    SetSlot<double>(node, eAttrValue, value);
}

void CParameterNode::SetValue(CParameterNode* node, void* value) {
    SetSlot<void*>(node, eAttrValue, value);
}

void CParameterNode::SetValue(CParameterNode* node, const std::string& value) {
    SetSlot<std::string>(node, eAttrValue, value);
}

void CParameterNode::SetValue(CParameterNode* node, const char* value) {
    if (value == nullptr) return;
    SetSlot<std::string>(node, eAttrValue, std::string(value));
}

std::string CParameterNode::FormatFloat64Attribute(std::uint8_t& status, CParameterNode* node,
                                                   unsigned index) {
    constexpr std::uint8_t eInternalInconsistency = 254;
    bool read = false;
    double value = 0.0;
    if (node != nullptr) {
        CRecursiveLock lock(ParameterTreeLock());
        const auto* values = std::get_if<std::array<double, 6>>(&node->slots);
        if (lock.Locked() && values != nullptr && CarriesAttribute(node->type, index)) {
            value = (*values)[index];
            read = true;
        }
    }
    char buffer[26] = {};
    int n = read ? std::snprintf(buffer, sizeof buffer, NodeValueReplyFormats[eNodeFloat64],
                                 value)
                 : 0;
    if (n <= 0) {
        if (status == 0) status = eInternalInconsistency;
        return std::string();
    }
    return std::string(buffer);
}

int CParameterNode::Subscribe(CParameterNode* node, Callback callback, void* user) {
    if (node == nullptr || callback == nullptr) return eBadNodeArgument;
    CRecursiveLock lock(ParameterTreeLock());
    if (!lock.Locked()) return eGeneralFailure;
    node->subscribers.push_back(Subscriber{callback, user});
    return eOk;
}

}  // namespace Korvex
