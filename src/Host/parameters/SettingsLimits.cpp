#include "Host/parameters/SettingsLimits.h"

#include <algorithm>

#include "Host/parameters/Logger.h"
#include "Host/parameters/ParameterNode.h"

namespace Korvex {

namespace {

bool AmongChoices(const std::string& value, const std::string& choices) {
    if (choices.empty()) return true;
    std::string::size_type start = 0;
    for (;;) {
        const std::string::size_type end = choices.find_first_of("|,", start);
        if (choices.compare(start, end == std::string::npos ? std::string::npos : end - start,
                            value) == 0)
            return true;
        if (end == std::string::npos) return false;
        start = end + 1;
    }
}

CParameterNode* ChildNamed(CParameterNode* parent, const std::string& name) {
    if (parent == nullptr) return nullptr;
    for (CParameterNode* c = parent->GetFirstChild(); c != nullptr; c = c->GetNextSibling())
        if (c->GetName() == name) return c;
    return nullptr;
}

void CopyValue(CParameterNode* to, CParameterNode* from) {
    switch (to->GetType()) {
        case eNodeBoolean:
            CParameterNode::SetBooleanAttribute(
                to, eAttrValue, CParameterNode::GetBooleanAttribute(from, eAttrValue));
            break;
        case eNodeInt32:
            CParameterNode::SetInt32Attribute(to, eAttrValue,
                                              CParameterNode::GetInt32Attribute(from, eAttrValue));
            break;
        case eNodeFloat64:
            CParameterNode::SetFloat64Attribute(
                to, eAttrValue, CParameterNode::GetFloat64Attribute(from, eAttrValue));
            break;
        case eNodeString:
            CParameterNode::SetStringAttribute(
                to, eAttrValue, CParameterNode::GetStringAttribute(from, eAttrValue));
            break;
        default:
            break;
    }
}

// The reference tree is walked beside the tree; a subtree the reference lacks is still
// checked, its refused values only logged.
unsigned Walk(CParameterNode* node, CParameterNode* reference, const std::string& path,
              const char* logPrefix, const std::vector<CParameterNode*>& unreadable) {
    unsigned kept = 0;
    for (CParameterNode* c = node->GetFirstChild(); c != nullptr; c = c->GetNextSibling()) {
        const std::string childPath = path.empty() ? c->GetName() : path + "/" + c->GetName();
        CParameterNode* counterpart = ChildNamed(reference, c->GetName());
        if (c->GetType() == eNodeBranch) {
            kept += Walk(c, counterpart, childPath, logPrefix, unreadable);
            continue;
        }
        if (KorvexValueWithinLimits(c) &&
            std::find(unreadable.begin(), unreadable.end(), c) == unreadable.end())
            continue;
        Logger().Printf("%s%s out of range; factory value kept\n", logPrefix, childPath.c_str());
        if (counterpart != nullptr && counterpart->GetType() == c->GetType()) {
            CopyValue(c, counterpart);
            ++kept;
        }
    }
    return kept;
}

}  // namespace

bool KorvexAcceptsValue(CParameterNode* node, std::int32_t value) {
    if (node == nullptr || node->GetType() != eNodeInt32) return true;
    return value >= CParameterNode::GetInt32Attribute(node, eAttrMinimum) &&
           value <= CParameterNode::GetInt32Attribute(node, eAttrMaximum);
}

bool KorvexAcceptsValue(CParameterNode* node, double value) {
    if (node == nullptr || node->GetType() != eNodeFloat64) return true;
    return value >= CParameterNode::GetFloat64Attribute(node, eAttrMinimum) &&
           value <= CParameterNode::GetFloat64Attribute(node, eAttrMaximum);
}

bool KorvexAcceptsValue(CParameterNode* node, const std::string& value) {
    if (node == nullptr || node->GetType() != eNodeString) return true;
    return AmongChoices(value, CParameterNode::GetStringAttribute(node, eAttrChoices));
}

bool KorvexValueWithinLimits(CParameterNode* node) {
    if (node == nullptr) return true;
    switch (node->GetType()) {
        case eNodeInt32:
            return KorvexAcceptsValue(node, CParameterNode::GetInt32Attribute(node, eAttrValue));
        case eNodeFloat64:
            return KorvexAcceptsValue(node, CParameterNode::GetFloat64Attribute(node, eAttrValue));
        case eNodeString:
            return KorvexAcceptsValue(node, CParameterNode::GetStringAttribute(node, eAttrValue));
        default:
            return true;
    }
}

unsigned KorvexKeepReferenceValues(CParameterNode* tree, CParameterNode* reference,
                                   const char* logPrefix,
                                   const std::vector<CParameterNode*>& unreadable) {
    if (tree == nullptr) return 0;
    return Walk(tree, reference, std::string(), logPrefix, unreadable);
}

}  // namespace Korvex
