// The parameter tree's XML form: the writer, the well-formedness check and the loader that
// merges a file into an existing subtree. Files are streamed in 1024-byte blocks through
// expat; the tree is never built as a document in memory.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include <expat.h>

#include "Host/parameters/FileServices.h"
#include "Host/parameters/Logger.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/parameters/SettingsLimits.h"
#include "platform/fs/FileIo.h"

namespace Korvex {

namespace {

constexpr std::size_t XmlBlockSize = 1024;
// Elements nested deeper than this are refused (by the loader and the writer), so that
// the recursive tree operations never meet a deeper tree from a file.
constexpr unsigned MaxXmlDepth = 64;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

struct ParserFree {
    void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};
using ParserHandle = std::unique_ptr<std::remove_pointer_t<XML_Parser>, ParserFree>;

// Length of the UTF-8 sequence at s that encodes one character XML allows, or 0 when the
// bytes there are no such sequence (malformed, overlong, surrogate, U+FFFE, U+FFFF).
std::size_t XmlCharLength(const unsigned char* s, std::size_t n) {
    const unsigned char c = s[0];
    if (c < 0x80) return 1;
    auto cont = [&](std::size_t i, unsigned char lo, unsigned char hi) {
        return i < n && s[i] >= lo && s[i] <= hi;
    };
    if (c >= 0xC2 && c <= 0xDF) return cont(1, 0x80, 0xBF) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        const unsigned char lo = c == 0xE0 ? 0xA0 : 0x80;
        const unsigned char hi = c == 0xED ? 0x9F : 0xBF;
        if (!cont(1, lo, hi) || !cont(2, 0x80, 0xBF)) return 0;
        if (c == 0xEF && s[1] == 0xBF && s[2] >= 0xBE) return 0;
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        const unsigned char lo = c == 0xF0 ? 0x90 : 0x80;
        const unsigned char hi = c == 0xF4 ? 0x8F : 0xBF;
        return cont(1, lo, hi) && cont(2, 0x80, 0xBF) && cont(3, 0x80, 0xBF) ? 4 : 0;
    }
    return 0;
}

// Appends text as the inside of a double-quoted attribute value. Markup characters become
// entities, tab/LF/CR character references (so attribute normalisation keeps them), other
// C0 controls are dropped, and a byte that is no part of a valid UTF-8 character is
// written as &#xHH; (it reads back as U+00HH, encoded in UTF-8).
void AppendEscaped(std::string& out, const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        switch (c) {
            case '&': out += "&amp;"; ++i; continue;
            case '<': out += "&lt;"; ++i; continue;
            case '>': out += "&gt;"; ++i; continue;
            case '"': out += "&quot;"; ++i; continue;
            case '\'': out += "&apos;"; ++i; continue;
            case '\t': out += "&#9;"; ++i; continue;
            case '\n': out += "&#10;"; ++i; continue;
            case '\r': out += "&#13;"; ++i; continue;
            default: break;
        }
        if (c < 0x20) {
            ++i;
            continue;
        }
        const std::size_t len = XmlCharLength(s + i, n - i);
        if (len == 0) {
            out += "&#x";
            out += hex[c >> 4];
            out += hex[c & 0x0F];
            out += ';';
            ++i;
            continue;
        }
        out.append(text, i, len);
        i += len;
    }
}

// Whether only white space follows a scanned number: "12abc" or "0x10" is no number.
bool OnlySpaceAfter(const char* end) {
    while (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r') ++end;
    return *end == '\0';
}

// The "%d" scan of the file format without its undefined cases: leading white space, an
// optional sign and at least one digit. A number outside the int32 range is unreadable.
// Limits and defaults ignore what follows the number; a value (whole) must be nothing but
// the number and white space.
bool ScanInt32(const char* text, std::int32_t& value, bool whole) {
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 10);
    if (end == text || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
    if (whole && !OnlySpaceAfter(end)) return false;
    value = static_cast<std::int32_t>(v);
    return true;
}

// The "%lf" scan: the leading number is taken, the rest ignored. A magnitude too large
// for a double is unreadable; a tiny one reads as the nearest (subnormal or zero) double.
// A value (whole) must also be finite, decimal and followed by nothing but white space;
// a limit or default may be an infinity or NaN, as the writer prints them.
bool ScanFloat64(const char* text, double& value, bool whole) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (end == text) return false;
    if (errno == ERANGE && std::isinf(v)) return false;
    if (whole) {
        if (!std::isfinite(v) || !OnlySpaceAfter(end)) return false;
        for (const char* c = text; c != end; ++c)
            if (*c == 'x' || *c == 'X') return false;
    }
    value = v;
    return true;
}

bool CarriesAttribute(std::uint32_t type, unsigned index) {
    return type < NodeTypeCount && index < NodeAttributeCount &&
           AttributeApplicabilityTable[type][index] != 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Writer

class CTreeXmlWriter {
public:
    explicit CTreeXmlWriter(std::FILE* f) : file(f) {}

    // The node's subtree as one Branch element, whatever the node's own type.
    int WriteBranch(CParameterNode* node, unsigned depth) {
        if (depth > MaxXmlDepth) return eGeneralFailure;
        std::string line = "<Branch name=\"";
        AppendEscaped(line, node->GetName());
        line += "\">\n";
        int result = Print(line);
        for (CParameterNode* child = node->GetFirstChild(); result == eOk && child != nullptr;
             child = child->GetNextSibling()) {
            if (child->GetType() == eNodeBranch) {
                result = WriteBranch(child, depth + 1);
            } else if (depth + 1 > MaxXmlDepth) {
                result = eGeneralFailure;
            } else {
                result = WriteLeaf(child);
            }
        }
        return result == eOk ? Print("</Branch>\n") : result;
    }

private:
    int WriteLeaf(CParameterNode* node) {
        const std::uint32_t type = node->GetType();
        if (type >= NodeTypeCount) return eGeneralFailure;
        std::string line = "<";
        line += NodeTypeNames[type];
        line += " name=\"";
        AppendEscaped(line, node->GetName());
        line += '"';
        for (unsigned index = 0; index < NodeAttributeCount; ++index) {
            if (!CarriesAttribute(type, index)) continue;
            line += ' ';
            line += NodeAttributeNames[index];
            line += "=\"";
            AppendValue(line, node, type, index);
            line += '"';
        }
        line += "/>\n";
        return Print(line);
    }

    // One slot, read under the tree lock by its accessor, printed in the output format.
    static void AppendValue(std::string& line, CParameterNode* node, std::uint32_t type,
                            unsigned index) {
        char buffer[40];
        switch (type) {
            case eNodeBoolean:
                std::snprintf(buffer, sizeof buffer, NodeValueOutputFormats[type],
                              CParameterNode::GetBooleanAttribute(node, index) ? 1 : 0);
                line += buffer;
                break;
            case eNodeInt32:
                std::snprintf(buffer, sizeof buffer, NodeValueOutputFormats[type],
                              static_cast<int>(CParameterNode::GetInt32Attribute(node, index)));
                line += buffer;
                break;
            case eNodeFloat64:
                std::snprintf(buffer, sizeof buffer, NodeValueOutputFormats[type],
                              CParameterNode::GetFloat64Attribute(node, index));
                line += buffer;
                break;
            case eNodeString:
                AppendEscaped(line, CParameterNode::GetStringAttribute(node, index));
                break;
            default:  // Pointer: pointers are not saved
                line += "00000000";
                break;
        }
    }

    int Print(const std::string& line) {
        if (std::fwrite(line.data(), 1, line.size(), file) != line.size() ||
            std::ferror(file)) {
            return eWriteFailed;
        }
        return eOk;
    }

    std::FILE* file;
};

int CParameterNode::WriteXml(CParameterNode* node, std::FILE* file) {
    if (node == nullptr || file == nullptr) return eBadNodeArgument;
    return CTreeXmlWriter(file).WriteBranch(node, 1);
}

int CParameterNode::SaveXmlFile(const std::string& path, CParameterNode* node) {
    if (node == nullptr) return eBadNodeArgument;
    return KorvexReplaceFile(path, [node](std::FILE* file) { return WriteXml(node, file); });
}

// ---------------------------------------------------------------------------------------
// Parsing

namespace {

// Feeds the open file to the parser in blocks of up to 1024 bytes, the last one final (a
// file of a multiple of 1024 bytes ends with an empty final block). False on a parse or
// read error.
bool StreamFile(std::FILE* file, XML_Parser parser) {
    char block[XmlBlockSize];
    for (;;) {
        const std::size_t n = std::fread(block, 1, sizeof block, file);
        if (std::ferror(file)) return false;
        const bool last = n < sizeof block;
        if (XML_Parse(parser, block, static_cast<int>(n), last ? XML_TRUE : XML_FALSE) !=
            XML_STATUS_OK) {
            return false;
        }
        if (last) return true;
    }
}

}  // namespace

int CParameterNode::CheckXmlFile(const std::string& path) {
    FileHandle file(platform::fs::open(path.c_str(), "r"));
    if (!file) return eCannotOpenFile;
    ParserHandle parser(XML_ParserCreate(nullptr));
    if (!parser) return eGeneralFailure;
    return StreamFile(file.get(), parser.get()) ? eOk : eXmlNotWellFormed;
}

// ---------------------------------------------------------------------------------------
// Loader

// One pass of the file over the tree: the element handlers and their state. A pass with
// no root builds a new detached tree; a pass with a root merges the file into it (the
// outermost element must then carry the root's name).
class CTreeXmlLoader {
public:
    // checkValues: values merged into nodes that were there must lie within their limits.
    // unreadableValues: where the nodes go whose value attribute was no readable number
    // (when values are not checked).
    CTreeXmlLoader(CParameterNode* target, bool checkValues,
                   std::vector<CParameterNode*>* unreadableValues = nullptr)
        : root(target), checkValues(target != nullptr && checkValues),
          unreadable(unreadableValues) {}

    // Streams the file; eOk, or eXmlNotWellFormed / eGeneralFailure. On failure a tree
    // this pass built is deleted again.
    int Run(std::FILE* file) {
        const bool built = root == nullptr;
        ParserHandle handle(XML_ParserCreate(nullptr));
        int result = eGeneralFailure;
        if (handle) {
            parser = handle.get();
            XML_SetUserData(parser, this);
            XML_SetElementHandler(parser, &CTreeXmlLoader::StartElement,
                                  &CTreeXmlLoader::EndElement);
            result = StreamFile(file, parser) ? failure : eXmlNotWellFormed;
            if (failure != eOk) result = failure;
            if (result == eOk && root == nullptr) result = eXmlNotWellFormed;
        }
        if (result != eOk && built && root != nullptr) {
            CParameterNode::Delete(root);
            root = nullptr;
        }
        return result;
    }

    CParameterNode* Root() const { return root; }

private:
    static void StartElement(void* user, const XML_Char* element, const XML_Char** attributes) {
        static_cast<CTreeXmlLoader*>(user)->Start(element, attributes);
    }
    static void EndElement(void* user, const XML_Char* element) {
        static_cast<CTreeXmlLoader*>(user)->End(element);
    }

    void Fail(int code) {
        if (failure == eOk) failure = code;
        XML_StopParser(parser, XML_FALSE);
    }

    void Start(const char* element, const char** attributes) {
        if (failure != eOk) return;
        if (++depth > MaxXmlDepth) {
            Fail(eXmlNotWellFormed);
            return;
        }
        if (ignored > 0) {
            ++ignored;
            return;
        }
        const bool outermost = !seenOutermost;
        seenOutermost = true;
        // No name, or no node to hang it under: the element and all inside it are ignored.
        if (attributes[0] == nullptr || (!outermost && path.empty())) {
            ignored = 1;
            return;
        }
        const std::string name = attributes[1];
        const bool branch = std::strcmp(element, NodeTypeNames[eNodeBranch]) == 0;
        if (outermost) {
            if (branch) StartOutermost(name);
            else ignored = 1;
            return;
        }
        if (branch) {
            StartBranch(name);
        } else {
            StartLeaf(element, name, attributes + 2);
            ignored = 1;  // a leaf never becomes the current node; its content is ignored
        }
    }

    void End(const char*) {
        if (failure != eOk) return;
        --depth;
        if (ignored > 0) {
            --ignored;
            return;
        }
        if (!path.empty()) path.pop_back();
    }

    void StartOutermost(const std::string& name) {
        if (root == nullptr) {
            root = new CParameterNode(eNodeBranch, name);
        } else if (root->GetName() != name) {
            Fail(eXmlNotWellFormed);  // a merge only into the node of the same name
            return;
        }
        path.push_back(root);
        MarkKept(root);
    }

    void StartBranch(const std::string& name) {
        CParameterNode* node = nullptr;
        if (!FindChild(path.back(), name, node)) return;
        if (node == nullptr) {
            node = new CParameterNode(eNodeBranch, name);
            if (!Append(node)) return;
        }
        path.push_back(node);
        MarkKept(node);
    }

    void StartLeaf(const char* element, const std::string& name, const char** attributes) {
        std::uint32_t elementType = NodeTypeCount;
        for (std::uint32_t t = eNodeBoolean; t < NodeTypeCount; ++t) {
            if (std::strcmp(element, NodeTypeNames[t]) == 0) elementType = t;
        }
        CParameterNode* node = nullptr;
        if (!FindChild(path.back(), name, node)) return;
        // A value merged into a node that was there must lie within that node's limits.
        const bool existed = node != nullptr;
        if (node == nullptr) {
            if (elementType == NodeTypeCount) return;  // names nothing: ignored
            node = new CParameterNode(static_cast<eNodeType>(elementType), name);
            if (!Append(node)) return;
        }
        ApplyAttributes(node, attributes, checkValues && existed);
        MarkKept(node);
    }

    // The attributes after the name, in file order, read by the node's own type. A key
    // that names no attribute, an attribute the type lacks or an unreadable limit or
    // default ends the element's attributes. An unreadable value is out of range: it is
    // not applied and the other attributes are. With checkValue, a value the node's limits
    // refuse is not applied (the node keeps its value; the path is logged) and the other
    // attributes are.
    void ApplyAttributes(CParameterNode* node, const char** attributes, bool checkValue) {
        const std::uint32_t type = node->GetType();
        if (type == eNodePointer) return;  // pointers are never loaded
        for (const char** a = attributes; a[0] != nullptr; a += 2) {
            unsigned index = NodeAttributeCount;
            for (unsigned i = 0; i < NodeAttributeCount; ++i) {
                if (std::strcmp(a[0], NodeAttributeNames[i]) == 0) index = i;
            }
            if (!CarriesAttribute(type, index)) return;
            const char* text = a[1];
            switch (type) {
                case eNodeBoolean: {
                    std::int32_t v = 0;
                    if (!ScanInt32(text, v, index == eAttrValue)) {
                        if (UnreadableValue(node, index, checkValue)) break;
                        return;
                    }
                    CParameterNode::SetBooleanAttribute(node, index, v != 0);
                    break;
                }
                case eNodeInt32: {
                    std::int32_t v = 0;
                    if (!ScanInt32(text, v, index == eAttrValue)) {
                        if (UnreadableValue(node, index, checkValue)) break;
                        return;
                    }
                    if (Refused(node, index, checkValue, KorvexAcceptsValue(node, v))) break;
                    CParameterNode::SetInt32Attribute(node, index, v);
                    break;
                }
                case eNodeFloat64: {
                    double v = 0.0;
                    if (!ScanFloat64(text, v, index == eAttrValue)) {
                        if (UnreadableValue(node, index, checkValue)) break;
                        return;
                    }
                    if (Refused(node, index, checkValue, KorvexAcceptsValue(node, v))) break;
                    CParameterNode::SetFloat64Attribute(node, index, v);
                    break;
                }
                case eNodeString:
                    if (Refused(node, index, checkValue, KorvexAcceptsValue(node, std::string(text))))
                        break;
                    CParameterNode::SetStringAttribute(node, index, text);
                    break;
                default:
                    return;
            }
        }
    }

    bool Refused(CParameterNode* node, unsigned index, bool checkValue, bool accepted) {
        if (!checkValue || index != eAttrValue || accepted) return false;
        std::string at;
        for (const CParameterNode* n : path) at += n->GetName() + "/";
        Logger().Printf("%s%s out of range; value kept\n", at.c_str(), node->GetName().c_str());
        return true;
    }

    // A value attribute that is no number (or overflows) is skipped like a refused one:
    // logged when values are checked, else remembered for the caller. False for the other
    // attributes, whose unreadable number ends the element.
    bool UnreadableValue(CParameterNode* node, unsigned index, bool checkValue) {
        if (index != eAttrValue) return false;
        if (!Refused(node, index, checkValue, false) && unreadable != nullptr)
            unreadable->push_back(node);
        return true;
    }

    // The first child of parent named exactly name (names are never paths here), or null.
    // Each parent's children are indexed by name once, so that a load stays linear in the
    // file's size however many siblings it names; the indexes are dropped whenever the tree
    // changed under them (a subscriber may add or delete nodes while the load runs).
    bool FindChild(CParameterNode* parent, const std::string& name, CParameterNode*& found) {
        CRecursiveLock lock(ParameterTreeLock());
        if (!lock.Locked()) {
            Fail(eGeneralFailure);
            return false;
        }
        if (indexedAt != CParameterNode::structureChanges) {
            children.clear();
            indexedAt = CParameterNode::structureChanges;
        }
        auto index = children.find(parent);
        if (index == children.end()) {
            index = children.emplace(parent, ChildIndex()).first;
            for (CParameterNode* c = parent->firstChild; c != nullptr; c = c->nextSibling)
                index->second.emplace(c->name, c);  // the first of equal names wins
        }
        const auto hit = index->second.find(name);
        found = hit == index->second.end() ? nullptr : hit->second;
        return true;
    }

    bool Append(CParameterNode* node) {
        CParameterNode* parent = path.back();
        std::uint64_t before = 0;
        {
            CRecursiveLock lock(ParameterTreeLock());
            before = CParameterNode::structureChanges;
        }
        if (CParameterNode::AddChild(parent, node) != eOk) {
            CParameterNode::Delete(node);
            Fail(eGeneralFailure);
            return false;
        }
        CRecursiveLock lock(ParameterTreeLock());
        // Only this append changed the tree: the indexes stay good with the new child in.
        if (indexedAt == before && CParameterNode::structureChanges == before + 1) {
            indexedAt = before + 1;
            const auto index = children.find(parent);
            if (index != children.end()) index->second.emplace(node->name, node);
        }
        return true;
    }

    void MarkKept(CParameterNode* node) {
        CRecursiveLock lock(ParameterTreeLock());
        if (!lock.Locked()) {
            Fail(eGeneralFailure);
            return;
        }
        node->keep = 1;
    }

    using ChildIndex = std::unordered_map<std::string, CParameterNode*>;

    XML_Parser parser = nullptr;
    CParameterNode* root;
    const bool checkValues;
    std::vector<CParameterNode*>* const unreadable;
    std::unordered_map<CParameterNode*, ChildIndex> children;  // see FindChild
    std::uint64_t indexedAt = 0;
    std::vector<CParameterNode*> path;  // open Branch elements; back() is the current node
    unsigned depth = 0;                 // open elements of any kind
    unsigned ignored = 0;               // open elements inside (and including) an ignored one
    bool seenOutermost = false;
    int failure = eOk;
};

int CParameterNode::LoadXmlFile(const std::string& path, CParameterNode** root,
                                CParameterNode* target, const XmlLoadVerifier& verifier,
                                bool keepRefusedValues,
                                std::vector<CParameterNode*>* unreadableValues) {
    if (root == nullptr) return eBadNodeArgument;
    if (target == nullptr) *root = nullptr;
    FileHandle file(platform::fs::open(path.c_str(), "r"));
    if (!file) return eCannotOpenFile;
    // No settings file comes near the bound: a larger one is refused unread, as unreadable.
    if (std::fseek(file.get(), 0, SEEK_END) != 0) return eCannotOpenFile;
    const long size = std::ftell(file.get());
    if (size < 0 || static_cast<unsigned long>(size) > MaxSettingsFileSize) return eCannotOpenFile;
    std::rewind(file.get());

    // First pass: the file as a tree of its own. Nothing of the target is touched yet.
    std::vector<CParameterNode*> unreadable;
    CTreeXmlLoader scratch(nullptr, false, &unreadable);
    int result = scratch.Run(file.get());
    if (result != eOk) return result;
    // Freed on every way out unless handed to the caller (the verifier may throw).
    std::unique_ptr<CParameterNode, void (*)(CParameterNode*)> scratchRoot(scratch.Root(),
                                                                          &Delete);
    bool accepted = target == nullptr || scratchRoot->GetName() == target->GetName();
    if (accepted && verifier) accepted = verifier(scratchRoot.get());
    if (!accepted) return eXmlNotWellFormed;
    if (target == nullptr) {
        *root = scratchRoot.release();
        if (unreadableValues != nullptr) *unreadableValues = std::move(unreadable);
        return Prune(*root);
    }
    scratchRoot.reset();

    // Second pass: the same file streamed into the target, creating, setting and notifying
    // in file order; then everything the file did not name is pruned.
    std::rewind(file.get());
    SetKeepFlags(target, 0);
    CTreeXmlLoader merge(target, keepRefusedValues);
    result = merge.Run(file.get());
    if (result != eOk) {
        // The file changed or could not be read again: keep what was applied, prune nothing.
        SetKeepFlags(target, 1);
        return result;
    }
    *root = target;
    return Prune(target);
}

}  // namespace Korvex
