// Saves or reloads a parameter tree whose names and values hold XML markup characters,
// white space and a Latin-1 byte, so that an independent XML parser can judge the file
// in between.
//   xml_roundtrip_tool save FILE   writes the tree
//   xml_roundtrip_tool load FILE   reloads it and checks it: equal, and a second load of
//                                  the same file into the loaded tree notifies nobody
#include <cstdio>
#include <cstring>
#include <string>

#include "Host/parameters/ParameterNode.h"

using Korvex::CParameterNode;

namespace {

const char* const Latin1Mu = "\xB5";     // as a host might send it
const char* const Utf8Mu = "\xC2\xB5";  // as it reads back: U+00B5

CParameterNode* Add(CParameterNode* parent, Korvex::eNodeType type, const std::string& name) {
    auto* node = new CParameterNode(type, name);
    CParameterNode::AddChild(parent, node);
    return node;
}

// The tree as saved (mu = the Latin-1 byte) or as expected back (mu = its UTF-8 form).
CParameterNode* BuildTree(const std::string& mu) {
    auto* root = new CParameterNode(Korvex::eNodeBranch, "host <&> \"settings\" 'x'");
    CParameterNode* ident = Add(root, Korvex::eNodeBranch, "ident\t&amp;");
    CParameterNode* name = Add(ident, Korvex::eNodeString, "name");
    CParameterNode::SetStringAttribute(name, Korvex::eAttrValue, "lab <1> & \"north\" 'bench'");
    CParameterNode::SetStringAttribute(name, Korvex::eAttrDefault, "line one\nline two\ttab");
    CParameterNode::SetStringAttribute(name, Korvex::eAttrChoices, "5 " + mu + "T|<none>");
    CParameterNode* unit = Add(ident, Korvex::eNodeString, "unit " + mu);
    CParameterNode::SetStringAttribute(unit, Korvex::eAttrValue, mu + "T");
    CParameterNode* count = Add(root, Korvex::eNodeInt32, "a<b>c");
    CParameterNode::SetInt32Attribute(count, Korvex::eAttrValue, -17);
    CParameterNode* field = Add(root, Korvex::eNodeFloat64, "\"field\"");
    CParameterNode::SetFloat64Attribute(field, Korvex::eAttrValue, 1.25e-3);
    CParameterNode* on = Add(root, Korvex::eNodeBoolean, "it's on");
    CParameterNode::SetBooleanAttribute(on, Korvex::eAttrValue, true);
    return root;
}

bool SameTree(CParameterNode* a, CParameterNode* b) {
    if (a->GetName() != b->GetName() || a->GetType() != b->GetType()) {
        std::fprintf(stderr, "node differs: '%s' vs '%s'\n", a->GetName().c_str(),
                     b->GetName().c_str());
        return false;
    }
    for (unsigned i = 0; i < Korvex::NodeAttributeCount; ++i) {
        if (CParameterNode::GetStringAttribute(a, i) != CParameterNode::GetStringAttribute(b, i) ||
            CParameterNode::GetInt32Attribute(a, i) != CParameterNode::GetInt32Attribute(b, i) ||
            CParameterNode::GetFloat64Attribute(a, i) != CParameterNode::GetFloat64Attribute(b, i) ||
            CParameterNode::GetBooleanAttribute(a, i) != CParameterNode::GetBooleanAttribute(b, i)) {
            std::fprintf(stderr, "slot %u of '%s' differs\n", i, a->GetName().c_str());
            return false;
        }
    }
    CParameterNode* ca = a->GetFirstChild();
    CParameterNode* cb = b->GetFirstChild();
    for (; ca != nullptr && cb != nullptr; ca = ca->GetNextSibling(), cb = cb->GetNextSibling()) {
        if (!SameTree(ca, cb)) return false;
    }
    if (ca != nullptr || cb != nullptr) {
        std::fprintf(stderr, "children of '%s' differ\n", a->GetName().c_str());
        return false;
    }
    return true;
}

int gNotifications = 0;

void Count(CParameterNode* node, int event, void*) {
    ++gNotifications;
    std::fprintf(stderr, "notified: '%s' event %d\n", node->GetName().c_str(), event);
}

void SubscribeAll(CParameterNode* node) {
    CParameterNode::Subscribe(node, &Count, nullptr);
    for (CParameterNode* c = node->GetFirstChild(); c != nullptr; c = c->GetNextSibling()) {
        SubscribeAll(c);
    }
}

int Save(const char* path) {
    CParameterNode* tree = BuildTree(Latin1Mu);
    const int result = CParameterNode::SaveXmlFile(path, tree);
    CParameterNode::Delete(tree);
    if (result != 0) std::fprintf(stderr, "save failed: %d\n", result);
    return result == 0 ? 0 : 1;
}

int Load(const char* path) {
    CParameterNode* loaded = nullptr;
    int result = CParameterNode::LoadXmlFile(path, &loaded, nullptr);
    if (result != 0 || loaded == nullptr) {
        std::fprintf(stderr, "load failed: %d\n", result);
        return 1;
    }
    CParameterNode* expected = BuildTree(Utf8Mu);
    bool ok = SameTree(loaded, expected);
    CParameterNode::Delete(expected);

    SubscribeAll(loaded);
    CParameterNode* root = loaded;
    result = CParameterNode::LoadXmlFile(path, &root, loaded);
    if (result != 0 || root != loaded) {
        std::fprintf(stderr, "reload into the loaded tree failed: %d\n", result);
        ok = false;
    }
    if (gNotifications != 0) ok = false;
    CParameterNode::Delete(loaded);
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "save") == 0) return Save(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "load") == 0) return Load(argv[2]);
    std::fprintf(stderr, "usage: %s save|load FILE\n", argv[0]);
    return 2;
}
