// The peripheral-node reset that the settings code runs before every save and whole-tree
// load: the plug-in nodes lose their keep flags, with pruning they go, and the selected
// probe is forgotten.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Host/parameters/Bindings.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/peripherals/PeripheralReset.h"

namespace Korvex {
namespace {

struct Events {
    std::vector<std::string> seen;
    static void Record(CParameterNode* node, int event, void* user) {
        static_cast<Events*>(user)->seen.push_back(node->GetName() + ":" + std::to_string(event));
    }
};

// root/peripherals/{1/{1,2}, 3} (Pointer nodes) and root/current_probe/object, the latter bound as the
// current probe's node for the test.
class PeripheralReset : public ::testing::Test {
protected:
    void SetUp() override {
        root = new CParameterNode(eNodeBranch, "Korvex");
        peripherals = new CParameterNode(eNodeBranch, "peripherals");
        ASSERT_EQ(CParameterNode::AddChild(root, peripherals), eOk);
        ASSERT_EQ(CParameterNode::Create(peripherals, "1/1", eNodePointer, &grandchild1), eOk);
        ASSERT_EQ(CParameterNode::Create(peripherals, "1/2", eNodePointer, &grandchild2), eOk);
        ASSERT_EQ(CParameterNode::Find(peripherals, "1", &child1), eOk);
        ASSERT_EQ(CParameterNode::Create(peripherals, "3", eNodePointer, &child3), eOk);
        ASSERT_EQ(CParameterNode::Create(root, "current_probe/object", eNodePointer, &object), eOk);
        CParameterNode::SetValue(object, static_cast<void*>(&probe));
        previousObject = g_pCurrentProbeObject;
        g_pCurrentProbeObject = object;
        ASSERT_EQ(CParameterNode::Subscribe(object, &Events::Record, &objectEvents), eOk);
    }
    void TearDown() override {
        g_pCurrentProbeObject = previousObject;
        CParameterNode::Delete(root);
    }

    std::vector<std::string> ChildNames(CParameterNode* node) {
        std::vector<std::string> names;
        for (CParameterNode* c = node->GetFirstChild(); c; c = c->GetNextSibling())
            names.push_back(c->GetName());
        return names;
    }

    int probe = 0;
    CParameterNode* root = nullptr;
    CParameterNode* peripherals = nullptr;
    CParameterNode* child1 = nullptr;
    CParameterNode* child3 = nullptr;
    CParameterNode* grandchild1 = nullptr;
    CParameterNode* grandchild2 = nullptr;
    CParameterNode* object = nullptr;
    CParameterNode* previousObject = nullptr;
    Events objectEvents;
};

TEST_F(PeripheralReset, NullNodeDoesNothing) {
    ResetPeripheralNodes(nullptr, true);
    ResetPeripheralNodes(nullptr, false);
    EXPECT_EQ(ChildNames(peripherals), (std::vector<std::string>{"1", "3"}));
    EXPECT_EQ(child1->GetKeepFlag(), 1);
    EXPECT_EQ(CParameterNode::GetPointerAttribute(object, eAttrValue), &probe);
    EXPECT_TRUE(objectEvents.seen.empty());
}

TEST_F(PeripheralReset, WithoutPruneTheNodesStayWithoutKeepFlags) {
    ResetPeripheralNodes(peripherals, false);
    EXPECT_EQ(ChildNames(peripherals), (std::vector<std::string>{"1", "3"}));
    EXPECT_EQ(ChildNames(child1), (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(child1->GetKeepFlag(), 0);
    EXPECT_EQ(child3->GetKeepFlag(), 0);
    EXPECT_EQ(grandchild1->GetKeepFlag(), 0);
    EXPECT_EQ(grandchild2->GetKeepFlag(), 0);
    EXPECT_EQ(peripherals->GetKeepFlag(), 1);
    EXPECT_EQ(root->GetKeepFlag(), 1);
    // The device objects go even without pruning: the current probe is forgotten first.
    EXPECT_EQ(CParameterNode::GetPointerAttribute(object, eAttrValue), nullptr);
    EXPECT_EQ(objectEvents.seen, (std::vector<std::string>{"object:0"}));
}

TEST_F(PeripheralReset, PruneRemovesChildrenAndGrandchildrenButKeepsTheNode) {
    Events removed;
    ASSERT_EQ(CParameterNode::Subscribe(grandchild2, &Events::Record, &removed), eOk);
    ASSERT_EQ(CParameterNode::Subscribe(child3, &Events::Record, &removed), eOk);
    // Even with its own keep flag clear, the node itself is not pruned.
    ASSERT_EQ(CParameterNode::SetKeepFlags(peripherals, 0), eOk);

    ResetPeripheralNodes(peripherals, true);

    EXPECT_EQ(peripherals->GetFirstChild(), nullptr);
    CParameterNode* found = nullptr;
    EXPECT_EQ(CParameterNode::Find(root, "peripherals", &found), eOk);
    EXPECT_EQ(found, peripherals);
    EXPECT_EQ(removed.seen, (std::vector<std::string>{"2:7", "3:7"}));
    // The rest of the tree is untouched.
    EXPECT_EQ(CParameterNode::Find(root, "current_probe/object", &found), eOk);
}

TEST_F(PeripheralReset, PruneForgetsTheCurrentProbeWithOneValueEvent) {
    ResetPeripheralNodes(peripherals, true);
    EXPECT_EQ(CParameterNode::GetPointerAttribute(object, eAttrValue), nullptr);
    EXPECT_EQ(objectEvents.seen, (std::vector<std::string>{"object:0"}));

    // Nothing selected: no further event.
    CParameterNode* replugged = nullptr;
    ASSERT_EQ(CParameterNode::Create(peripherals, "5", eNodePointer, &replugged), eOk);
    ResetPeripheralNodes(peripherals, true);
    EXPECT_EQ(peripherals->GetFirstChild(), nullptr);
    EXPECT_EQ(objectEvents.seen.size(), 1u);
}

TEST_F(PeripheralReset, PruneWithoutABoundProbeNodeStillEmptiesTheSubtree) {
    g_pCurrentProbeObject = nullptr;
    ResetPeripheralNodes(peripherals, true);
    EXPECT_EQ(peripherals->GetFirstChild(), nullptr);
    EXPECT_EQ(CParameterNode::GetPointerAttribute(object, eAttrValue), &probe);
    EXPECT_TRUE(objectEvents.seen.empty());
}

}  // namespace
}  // namespace Korvex
