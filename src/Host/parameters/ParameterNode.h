// The parameter tree: every setting, state and result of the instrument as a typed node.
// Slot reads and writes go through the typed accessors under the one tree lock; a write
// that changes a slot notifies the node's subscribers after the lock is released.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "Host/parameters/Error.h"
#include "Host/parameters/RecursiveMutex.h"

namespace Korvex {

enum eNodeType : std::uint32_t {
    eNodeBranch = 0,
    eNodeBoolean = 1,
    eNodePointer = 2,
    eNodeString = 3,
    eNodeInt32 = 4,
    eNodeFloat64 = 5,
};

enum eNodeAttribute : std::uint32_t {
    eAttrValue = 0,
    eAttrMinimum = 1,
    eAttrMaximum = 2,
    eAttrDefault = 3,
    eAttrChoices = 4,
    eAttrDigits = 5,
};

enum eNodeEvent : int {
    eEventValueChanged = 0,
    eEventMinimumChanged = 1,
    eEventMaximumChanged = 2,
    eEventDefaultChanged = 3,
    eEventChoicesChanged = 4,
    eEventDigitsChanged = 5,
    eEventChildrenChanged = 6,
    eEventNodeDeleted = 7,
};

constexpr unsigned NodeTypeCount = 6;
constexpr unsigned NodeAttributeCount = 6;

extern const char* const NodeTypeNames[NodeTypeCount];
extern const char* const NodeAttributeNames[NodeAttributeCount];
extern const std::uint8_t AttributeApplicabilityTable[NodeTypeCount][NodeAttributeCount];
extern const char* const NodeValueInputFormats[NodeTypeCount];
extern const char* const NodeValueOutputFormats[NodeTypeCount];
extern const char* const NodeValueReplyFormats[NodeTypeCount];

// The one tree lock; built on first use, never destroyed.
CRecursiveMutex& ParameterTreeLock();

class CParameterNode;

// The root of the settings tree: null until the start-up settings load stores it.
extern CParameterNode* ParameterTreeRoot;

class CParameterNode {
public:
    using Callback = void (*)(CParameterNode* node, int event, void* user);
    struct Subscriber {
        Callback callback;
        void* user;
    };
    // Checks a freshly parsed file before it is merged into an existing target: returns
    // true to accept the scratch tree.
    using XmlLoadVerifier = std::function<bool(CParameterNode* scratchRoot)>;

    // A detached node with zero slots and the keep flag 1. Nodes live on the heap; free a
    // node (and its subtree) with Delete.
    CParameterNode(eNodeType type, const std::string& name);
    CParameterNode(const CParameterNode&) = delete;
    CParameterNode& operator=(const CParameterNode&) = delete;

    // ---- read accessors of the node itself ----
    eNodeType GetType() const { return type; }
    const std::string& GetName() const { return name; }
    CParameterNode* GetParent() const;
    CParameterNode* GetFirstChild() const;
    CParameterNode* GetNextSibling() const;
    std::uint8_t GetKeepFlag() const;

    // ---- typed slot accessors: a node of another type, an absent attribute or an
    // index above 5 reads zero / empty and writes nothing ----
    static std::string GetStringAttribute(CParameterNode* node, unsigned index);
    static void SetStringAttribute(CParameterNode* node, unsigned index, const std::string& text);
    static double GetFloat64Attribute(CParameterNode* node, unsigned index);
    static void SetFloat64Attribute(CParameterNode* node, unsigned index, double value);
    static std::int32_t GetInt32Attribute(CParameterNode* node, unsigned index);
    static void SetInt32Attribute(CParameterNode* node, unsigned index, std::int32_t value);
    static bool GetBooleanAttribute(CParameterNode* node, unsigned index);
    static void SetBooleanAttribute(CParameterNode* node, unsigned index, bool value);
    static void* GetPointerAttribute(CParameterNode* node, unsigned index);
    static void SetPointerAttribute(CParameterNode* node, unsigned index, void* value);

    // Value (attribute 0) set with notification, by the value's type.
    static void SetValue(CParameterNode* node, bool value);
    static void SetValue(CParameterNode* node, std::int32_t value);
    static void SetValue(CParameterNode* node, double value);
    static void SetValue(CParameterNode* node, void* value);
    static void SetValue(CParameterNode* node, const std::string& value);
    static void SetValue(CParameterNode* node, const char* value);  // not the bool overload

    // Reply text of a Float64 slot ("%.15e"). When the node is null, lacks the attribute
    // or nothing could be printed, sets status to 254 if it is still 0.
    static std::string FormatFloat64Attribute(std::uint8_t& status, CParameterNode* node,
                                              unsigned index);

    static int Subscribe(CParameterNode* node, Callback callback, void* user);

    // ---- structure ----
    static int Find(CParameterNode* start, const std::string& path, CParameterNode** out);
    static int Create(CParameterNode* parent, const std::string& path, std::uint32_t type,
                      CParameterNode** out);
    static int AddChild(CParameterNode* parent, CParameterNode* child);
    static void Delete(CParameterNode* node);
    static int SetKeepFlags(CParameterNode* node, std::uint8_t flag);
    static int Prune(CParameterNode* node);

    // ---- XML form ----
    // A file to load larger than this is refused unread (9, as unreadable).
    static constexpr unsigned long MaxSettingsFileSize = 1ul << 20;
    // SaveXmlFile replaces the file in one step (KorvexReplaceFile).
    static int SaveXmlFile(const std::string& path, CParameterNode* node);
    static int WriteXml(CParameterNode* node, std::FILE* file);
    // keepRefusedValues: a value the file gives a node of the target that the node's limits
    // refuse, or that is no readable number, is not applied (the node keeps its value, the
    // path is logged once). unreadableValues: with no target, receives the nodes of the new
    // tree whose value attribute was no readable number (their value was not set).
    static int LoadXmlFile(const std::string& path, CParameterNode** root,
                           CParameterNode* target, const XmlLoadVerifier& verifier = nullptr,
                           bool keepRefusedValues = false,
                           std::vector<CParameterNode*>* unreadableValues = nullptr);
    static int CheckXmlFile(const std::string& path);

private:
    ~CParameterNode() = default;

    // Counts every link or unlink of a node anywhere (under the tree lock): a reader that
    // keeps node pointers between lock holds sees from it whether they may have gone.
    static std::uint64_t structureChanges;

    using Slots = std::variant<std::monostate, std::array<bool, 6>, std::array<void*, 6>,
                               std::array<std::string, 6>, std::array<std::int32_t, 6>,
                               std::array<double, 6>>;

    template <typename T>
    static T GetSlot(CParameterNode* node, unsigned index);
    template <typename T>
    static void SetSlot(CParameterNode* node, unsigned index, const T& value);
    static void Notify(CParameterNode* node, const std::vector<Subscriber>& subscribers,
                       int event);
    // The walk shared by Find and Create (create: make missing components of type).
    static int WalkPath(CParameterNode* start, const std::string& path, bool create,
                        std::uint32_t type, CParameterNode** out);

    friend class CTreeXmlLoader;
    friend class CTreeXmlWriter;

    const eNodeType type;
    const std::string name;
    CParameterNode* parent = nullptr;
    CParameterNode* firstChild = nullptr;
    CParameterNode* lastChild = nullptr;  // appending stays O(1) however many children
    CParameterNode* nextSibling = nullptr;
    CParameterNode* previousSibling = nullptr;
    std::vector<Subscriber> subscribers;
    std::uint8_t keep = 1;
    Slots slots;
};

}  // namespace Korvex
