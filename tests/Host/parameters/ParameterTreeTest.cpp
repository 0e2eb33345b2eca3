// Parameter tree structure: paths, creation, adding, deleting, keep flags, pruning, the tree
// lock and the freeze.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "Host/parameters/ParameterNode.h"
#include "Host/parameters/TreeFreeze.h"
#include "Host/peripherals/TopologyLock.h"
#include "TreeTestSupport.h"

namespace Korvex {
namespace {

using test::EventTap;
using test::TestTree;

CParameterNode* Add(CParameterNode* parent, const char* name, eNodeType type = eNodeInt32) {
    auto* node = new CParameterNode(type, name);
    EXPECT_EQ(CParameterNode::AddChild(parent, node), eOk);
    return node;
}

std::vector<std::string> ChildNames(CParameterNode* node) {
    std::vector<std::string> names;
    for (CParameterNode* c = node->GetFirstChild(); c != nullptr; c = c->GetNextSibling())
        names.push_back(c->GetName());
    return names;
}

TEST(ParameterTreeFind, ComponentsDotsAndFailures) {
    TestTree tree;
    CParameterNode* a = Add(tree.root, "a", eNodeBranch);
    CParameterNode* b = Add(a, "b", eNodePointer);
    CParameterNode* c = Add(b, "c", eNodeString);  // any node may have children
    CParameterNode* out = nullptr;

    EXPECT_EQ(CParameterNode::Find(tree.root, ".", &out), eOk);
    EXPECT_EQ(out, tree.root);
    EXPECT_EQ(CParameterNode::Find(tree.root, "a/b/c", &out), eOk);
    EXPECT_EQ(out, c);
    EXPECT_EQ(CParameterNode::Find(c, "../..", &out), eOk);
    EXPECT_EQ(out, a);
    EXPECT_EQ(CParameterNode::Find(tree.root, "a/./b/../b", &out), eOk);
    EXPECT_EQ(out, b);

    out = nullptr;
    EXPECT_EQ(CParameterNode::Find(tree.root, "..", &out), ePathNotFound);
    EXPECT_EQ(CParameterNode::Find(tree.root, "a/", &out), ePathTrailingSlash);
    EXPECT_EQ(CParameterNode::Find(tree.root, "x/", &out), ePathNotFound);
    EXPECT_EQ(CParameterNode::Find(tree.root, "", &out), ePathNotFound);
    EXPECT_EQ(CParameterNode::Find(tree.root, "/a", &out), ePathNotFound);
    EXPECT_EQ(CParameterNode::Find(tree.root, "a//b", &out), ePathNotFound);
    EXPECT_EQ(CParameterNode::Find(tree.root, "A", &out), ePathNotFound);
    EXPECT_EQ(CParameterNode::Find(tree.root, "a/b/c/d", &out), ePathNotFound);
    EXPECT_EQ(out, nullptr);  // written only on success

    EXPECT_EQ(CParameterNode::Find(nullptr, "a", &out), eBadNodeArgument);
    EXPECT_EQ(CParameterNode::Find(tree.root, "a", nullptr), eBadNodeArgument);
}

TEST(ParameterTreeFind, FirstOfSameNamedSiblingsWins) {
    TestTree tree;
    CParameterNode* first = Add(tree.root, "twin");
    Add(tree.root, "twin");
    CParameterNode* out = nullptr;
    EXPECT_EQ(CParameterNode::Find(tree.root, "twin", &out), eOk);
    EXPECT_EQ(out, first);
    EXPECT_EQ(CParameterNode::Create(tree.root, "twin/x", eNodeInt32, &out), eOk);
    EXPECT_EQ(out->GetParent(), first);
    EXPECT_EQ(ChildNames(tree.root), (std::vector<std::string>{"twin", "twin"}));

    auto* empty = Add(tree.root, "");
    EXPECT_EQ(CParameterNode::Find(tree.root, "", &out), eOk);
    EXPECT_EQ(out, empty);
    EXPECT_EQ(CParameterNode::Find(tree.root, "/twin", &out), ePathNotFound);  // "" is a leaf
}

// Create x/y: the parent's subscribers see x arrive, then x's subscribers (added from the
// parent's callback) see y arrive.
struct SubscribeToNewChild {
    EventTap* childTap;
    static void OnChildren(CParameterNode* node, int event, void* user) {
        auto* self = static_cast<SubscribeToNewChild*>(user);
        if (event == eEventChildrenChanged && node->GetFirstChild() != nullptr &&
            node->GetFirstChild()->GetName() == "x") {
            CParameterNode::Subscribe(node->GetFirstChild(), &EventTap::Record, self->childTap);
        }
    }
};

TEST(ParameterTreeCreate, MakesEveryMissingComponentWithTheGivenType) {
    std::vector<std::string> log;
    EventTap rootTap{&log, "root"};
    EventTap xTap{&log, "x"};
    SubscribeToNewChild hook{&xTap};
    TestTree tree;
    CParameterNode::Subscribe(tree.root, &EventTap::Record, &rootTap);
    CParameterNode::Subscribe(tree.root, &SubscribeToNewChild::OnChildren, &hook);

    CParameterNode* y = nullptr;
    ASSERT_EQ(CParameterNode::Create(tree.root, "x/y", eNodePointer, &y), eOk);
    EXPECT_EQ(log, (std::vector<std::string>{"root:root:6", "x:x:6"}));
    CParameterNode* x = tree.root->GetFirstChild();
    EXPECT_EQ(x->GetType(), eNodePointer);
    EXPECT_EQ(y->GetType(), eNodePointer);
    EXPECT_EQ(y->GetName(), "y");
    EXPECT_EQ(y->GetParent(), x);
    EXPECT_EQ(y->GetKeepFlag(), 1);
    EXPECT_EQ(CParameterNode::GetPointerAttribute(y, eAttrValue), nullptr);

    // Existing components are used whatever their type; nothing new is reported.
    log.clear();
    CParameterNode* again = nullptr;
    EXPECT_EQ(CParameterNode::Create(tree.root, "x/y", eNodeFloat64, &again), eOk);
    EXPECT_EQ(again, y);
    EXPECT_EQ(CParameterNode::Create(tree.root, "x/./y", eNodeBranch, &again), eOk);
    EXPECT_EQ(again, y);
    EXPECT_TRUE(log.empty());
}

TEST(ParameterTreeCreate, FailuresKeepWhatWasMadeBefore) {
    TestTree tree;
    CParameterNode* out = nullptr;
    // A Branch (or an unknown type) cannot be made.
    EXPECT_EQ(CParameterNode::Create(tree.root, "b", eNodeBranch, &out), eBadNodeArgument);
    EXPECT_EQ(CParameterNode::Create(tree.root, "b", 6, &out), eBadNodeArgument);
    EXPECT_EQ(tree.root->GetFirstChild(), nullptr);
    EXPECT_EQ(out, nullptr);

    // A trailing "/" fails after the component before it exists.
    EXPECT_EQ(CParameterNode::Create(tree.root, "a/", eNodeInt32, &out), ePathTrailingSlash);
    EXPECT_EQ(ChildNames(tree.root), (std::vector<std::string>{"a"}));
    EXPECT_EQ(out, nullptr);

    // ".." above the root fails after "m" has been made.
    EXPECT_EQ(CParameterNode::Create(tree.root, "m/../../q", eNodeInt32, &out), ePathNotFound);
    EXPECT_EQ(ChildNames(tree.root), (std::vector<std::string>{"a", "m"}));

    // Missing parts with type Branch fail at the first missing one.
    EXPECT_EQ(CParameterNode::Create(tree.root, "a/z/w", eNodeBranch, &out), eBadNodeArgument);
    EXPECT_EQ(ChildNames(tree.root->GetFirstChild()), std::vector<std::string>{});

    EXPECT_EQ(CParameterNode::Create(nullptr, "a", eNodeInt32, &out), eBadNodeArgument);
    EXPECT_EQ(CParameterNode::Create(tree.root, "a", eNodeInt32, nullptr), eBadNodeArgument);
}

TEST(ParameterTreeAddChild, AppendsAndNotifiesTheParent) {
    std::vector<std::string> log;
    EventTap tap{&log, "p"};
    TestTree tree;
    CParameterNode::Subscribe(tree.root, &EventTap::Record, &tap);
    Add(tree.root, "one");
    Add(tree.root, "two");
    Add(tree.root, "three");
    EXPECT_EQ(ChildNames(tree.root), (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(log, (std::vector<std::string>{"p:root:6", "p:root:6", "p:root:6"}));
}

TEST(ParameterTreeAddChild, RefusesNullLinkedAndCyclicChildren) {
    std::vector<std::string> log;
    EventTap tap{&log, "t"};
    TestTree tree;
    CParameterNode* a = Add(tree.root, "a", eNodeBranch);
    CParameterNode* b = Add(a, "b");
    CParameterNode* c = Add(b, "c");
    Add(tree.root, "d");
    for (CParameterNode* node : {tree.root, a, b, c})
        CParameterNode::Subscribe(node, &EventTap::Record, &tap);

    EXPECT_EQ(CParameterNode::AddChild(tree.root, nullptr), eBadNodeArgument);
    EXPECT_EQ(CParameterNode::AddChild(nullptr, c), eBadNodeArgument);
    EXPECT_EQ(CParameterNode::AddChild(tree.root, b), eBadNodeArgument);  // has a parent
    EXPECT_EQ(CParameterNode::AddChild(c, a), eBadNodeArgument);

    // A detached subtree cannot go under itself or its own descendants.
    CParameterNode* loose = new CParameterNode(eNodeBranch, "loose");
    CParameterNode* inner = Add(loose, "inner");
    CParameterNode* innermost = Add(inner, "innermost");
    CParameterNode::Subscribe(loose, &EventTap::Record, &tap);
    EXPECT_EQ(CParameterNode::AddChild(loose, loose), eBadNodeArgument);
    EXPECT_EQ(CParameterNode::AddChild(innermost, loose), eBadNodeArgument);
    EXPECT_EQ(CParameterNode::AddChild(inner, loose), eBadNodeArgument);
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(loose->GetParent(), nullptr);
    EXPECT_EQ(ChildNames(innermost), std::vector<std::string>{});
    EXPECT_EQ(ChildNames(tree.root), (std::vector<std::string>{"a", "d"}));
    EXPECT_EQ(ChildNames(b), (std::vector<std::string>{"c"}));

    EXPECT_EQ(CParameterNode::AddChild(c, loose), eOk);
    CParameterNode* out = nullptr;
    EXPECT_EQ(CParameterNode::Find(tree.root, "a/b/c/loose/inner/innermost", &out), eOk);
    EXPECT_EQ(out, innermost);
}

// Deleting a subtree reports bottom-up, child by child: each node's own subscribers get 7,
// then its parent's subscribers get 6 with the deleted node as argument.
TEST(ParameterTreeDelete, ReportsBottomUpChildByChild) {
    std::vector<std::string> log;
    std::vector<EventTap> taps;
    taps.reserve(8);
    TestTree tree;
    CParameterNode* n = Add(tree.root, "n", eNodeBranch);
    CParameterNode* c1 = Add(n, "c1");
    CParameterNode* g1 = Add(c1, "g1");
    CParameterNode* c2 = Add(n, "c2");
    Add(tree.root, "after");
    for (CParameterNode* node : {tree.root, n, c1, g1, c2}) {
        taps.push_back(EventTap{&log, node->GetName()});
        CParameterNode::Subscribe(node, &EventTap::Record, &taps.back());
    }
    CParameterNode::Delete(n);
    EXPECT_EQ(log, (std::vector<std::string>{
                       "g1:g1:7", "c1:g1:6",                // g1, under c1
                       "c1:c1:7", "n:c1:6",                 // c1, under n
                       "c2:c2:7", "n:c2:6",                 // c2, under n
                       "n:n:7", "root:n:6",                 // n itself
                   }));
    EXPECT_EQ(ChildNames(tree.root), (std::vector<std::string>{"after"}));
    CParameterNode::Delete(nullptr);
}

TEST(ParameterTreeDelete, RelinksSiblingsFromAnyPosition) {
    TestTree tree;
    CParameterNode* nodes[5];
    const char* names[] = {"a", "b", "c", "d", "e"};
    for (int i = 0; i < 5; ++i) nodes[i] = Add(tree.root, names[i]);
    CParameterNode::Delete(nodes[2]);
    EXPECT_EQ(ChildNames(tree.root), (std::vector<std::string>{"a", "b", "d", "e"}));
    CParameterNode::Delete(nodes[0]);
    EXPECT_EQ(ChildNames(tree.root), (std::vector<std::string>{"b", "d", "e"}));
    CParameterNode::Delete(nodes[4]);
    EXPECT_EQ(ChildNames(tree.root), (std::vector<std::string>{"b", "d"}));
    Add(tree.root, "f");  // appended after the new last child
    EXPECT_EQ(ChildNames(tree.root), (std::vector<std::string>{"b", "d", "f"}));
    CParameterNode* out = nullptr;
    EXPECT_EQ(CParameterNode::Find(tree.root, "f/../d", &out), eOk);
    EXPECT_EQ(out, nodes[3]);
}

TEST(ParameterTreePrune, RemovesUnmarkedNodesAndTellsWhenMarkedOnesWentWithThem) {
    TestTree tree;
    CParameterNode* out = nullptr;
    for (const char* path : {"a/a1", "a/a2", "b/b1/b11", "c"})
        ASSERT_EQ(CParameterNode::Create(tree.root, path, eNodeInt32, &out), eOk);
    EXPECT_EQ(CParameterNode::SetKeepFlags(tree.root, 0), eOk);
    EXPECT_EQ(tree.root->GetFirstChild()->GetFirstChild()->GetKeepFlag(), 0);
    EXPECT_EQ(CParameterNode::SetKeepFlags(tree.root, 1), eOk);
    EXPECT_EQ(tree.root->GetFirstChild()->GetFirstChild()->GetKeepFlag(), 1);

    // Unmarked: a/a2, b, b/b1 (b/b1/b11 marked), c.
    CParameterNode* a = nullptr;
    ASSERT_EQ(CParameterNode::Find(tree.root, "a", &a), eOk);
    for (const char* path : {"a/a2", "b", "c"}) {
        ASSERT_EQ(CParameterNode::Find(tree.root, path, &out), eOk);
        ASSERT_EQ(CParameterNode::SetKeepFlags(out, 0), eOk);
    }
    ASSERT_EQ(CParameterNode::Find(tree.root, "b/b1/b11", &out), eOk);
    ASSERT_EQ(CParameterNode::SetKeepFlags(out, 1), eOk);
    EXPECT_EQ(CParameterNode::Prune(tree.root), ePrunedNodeHadChildren);
    EXPECT_EQ(ChildNames(tree.root), (std::vector<std::string>{"a"}));
    EXPECT_EQ(ChildNames(a), (std::vector<std::string>{"a1"}));

    // A fully marked tree loses nothing.
    EXPECT_EQ(CParameterNode::Prune(tree.root), eOk);
    EXPECT_EQ(ChildNames(a), (std::vector<std::string>{"a1"}));
    EXPECT_EQ(CParameterNode::Prune(nullptr), eBadNodeArgument);
    EXPECT_EQ(CParameterNode::SetKeepFlags(nullptr, 1), eBadNodeArgument);
}

TEST(ParameterTreePrune, AnUnmarkedNodeGivenIsDeletedItself) {
    std::vector<std::string> log;
    EventTap tap{&log, "root"};
    TestTree tree;
    CParameterNode* leaf = Add(tree.root, "leaf");
    CParameterNode::Subscribe(tree.root, &EventTap::Record, &tap);
    CParameterNode::SetKeepFlags(leaf, 0);
    EXPECT_EQ(CParameterNode::Prune(leaf), eOk);  // no children: 0
    EXPECT_EQ(tree.root->GetFirstChild(), nullptr);
    EXPECT_EQ(log, (std::vector<std::string>{"root:leaf:6"}));
}

TEST(ParameterTreePrune, DeepTreesDeleteAndPruneWhole) {
    TestTree tree;
    std::string path = "n0";
    for (int i = 1; i < 64; ++i) path += "/n" + std::to_string(i);
    CParameterNode* deepest = nullptr;
    ASSERT_EQ(CParameterNode::Create(tree.root, path, eNodeString, &deepest), eOk);
    CParameterNode* out = nullptr;
    ASSERT_EQ(CParameterNode::Find(tree.root, path, &out), eOk);
    EXPECT_EQ(out, deepest);
    CParameterNode::SetKeepFlags(tree.root->GetFirstChild(), 0);
    EXPECT_EQ(CParameterNode::Prune(tree.root), eOk);  // each unmarked one goes after its child
    EXPECT_EQ(tree.root->GetFirstChild(), nullptr);

    ASSERT_EQ(CParameterNode::Create(tree.root, path, eNodeString, &deepest), eOk);
    CParameterNode::Delete(tree.root->GetFirstChild());
    EXPECT_EQ(tree.root->GetFirstChild(), nullptr);
}

// A thread whose wait for the tree lock is broken gets 47 and changes nothing.
TEST(ParameterTreeLock, FailedLockChangesNothing) {
    std::vector<std::string> log;
    EventTap tap{&log, "t"};
    TestTree tree;
    CParameterNode* a = Add(tree.root, "a");
    CParameterNode::Subscribe(tree.root, &EventTap::Record, &tap);
    CParameterNode::Subscribe(a, &EventTap::Record, &tap);
    CParameterNode* loose = new CParameterNode(eNodeInt32, "loose");
    CParameterNode* out = nullptr;
    int result = -1;

    test::RunWithBrokenTreeLock([&] { result = CParameterNode::Find(tree.root, "a", &out); });
    EXPECT_EQ(result, eGeneralFailure);
    EXPECT_EQ(out, nullptr);
    test::RunWithBrokenTreeLock(
        [&] { result = CParameterNode::Create(tree.root, "b", eNodeInt32, &out); });
    EXPECT_EQ(result, eGeneralFailure);
    test::RunWithBrokenTreeLock([&] { result = CParameterNode::AddChild(tree.root, loose); });
    EXPECT_EQ(result, eGeneralFailure);
    EXPECT_EQ(loose->GetParent(), nullptr);
    test::RunWithBrokenTreeLock([&] { result = CParameterNode::SetKeepFlags(tree.root, 0); });
    EXPECT_EQ(result, eGeneralFailure);
    EXPECT_EQ(a->GetKeepFlag(), 1);
    CParameterNode::SetKeepFlags(a, 0);
    test::RunWithBrokenTreeLock([&] { result = CParameterNode::Prune(tree.root); });
    EXPECT_EQ(result, eGeneralFailure);
    EXPECT_EQ(a->GetKeepFlag(), 0);
    CParameterNode::SetKeepFlags(a, 1);
    test::RunWithBrokenTreeLock([&] { CParameterNode::Delete(a); });

    EXPECT_EQ(ChildNames(tree.root), (std::vector<std::string>{"a"}));
    EXPECT_EQ(out, nullptr);
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(ParameterTreeLock().Owner(), 0u);
    CParameterNode::Delete(loose);
}

TEST(ParameterTreeFreeze, HoldsTopologyThenTreeAndNests) {
    const kernel::handle_t self = kernel::thread_self();
    {
        CTreeFreeze outer;
        ASSERT_TRUE(outer.Frozen());
        EXPECT_EQ(TopologyLock().Owner(), self);
        EXPECT_EQ(ParameterTreeLock().Owner(), self);
        {
            CTreeFreeze inner;
            EXPECT_TRUE(inner.Frozen());
            EXPECT_EQ(TopologyLock().Depth(), 2);
            EXPECT_EQ(ParameterTreeLock().Depth(), 2);
        }
        EXPECT_EQ(TopologyLock().Depth(), 1);
        EXPECT_EQ(ParameterTreeLock().Depth(), 1);
    }
    EXPECT_EQ(TopologyLock().Owner(), 0u);
    EXPECT_EQ(ParameterTreeLock().Owner(), 0u);
}

// Another thread's set blocks until the freeze ends, and then takes effect.
TEST(ParameterTreeFreeze, ExcludesAnotherThreadsSet) {
    TestTree tree;
    CParameterNode* n = Add(tree.root, "n");
    std::atomic<bool> setDone{false};
    std::promise<void> aboutToSet;
    std::thread other;
    {
        CTreeFreeze freeze;
        ASSERT_TRUE(freeze.Frozen());
        other = std::thread([&] {
            aboutToSet.set_value();
            CParameterNode::SetValue(n, std::int32_t{7});
            setDone = true;
        });
        aboutToSet.get_future().wait();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(setDone.load());
        EXPECT_EQ(CParameterNode::GetInt32Attribute(n, eAttrValue), 0);
    }
    other.join();
    EXPECT_TRUE(setDone.load());
    EXPECT_EQ(CParameterNode::GetInt32Attribute(n, eAttrValue), 7);
}

// Structure changes, lookups and value traffic from several threads on one tree.
TEST(ParameterTreeConcurrency, CreateFindDeleteAndSetTogether) {
    constexpr int Threads = 4;
    constexpr int Rounds = 500;
    std::atomic<int> childEvents{0};
    TestTree tree;
    CParameterNode* shared = nullptr;
    ASSERT_EQ(CParameterNode::Create(tree.root, "shared/value", eNodeInt32, &shared), eOk);
    CParameterNode::Subscribe(
        tree.root,
        [](CParameterNode*, int event, void* user) {
            if (event == eEventChildrenChanged)
                static_cast<std::atomic<int>*>(user)->fetch_add(1, std::memory_order_relaxed);
        },
        &childEvents);
    std::vector<std::thread> workers;
    for (int t = 0; t < Threads; ++t) {
        workers.emplace_back([&, t] {
            const std::string mine = "w" + std::to_string(t);
            for (int i = 0; i < Rounds; ++i) {
                CParameterNode* leaf = nullptr;
                EXPECT_EQ(CParameterNode::Create(tree.root, mine + "/x/y", eNodeFloat64, &leaf),
                          eOk);
                CParameterNode::SetValue(leaf, static_cast<double>(i) + 0.5);
                CParameterNode* found = nullptr;
                EXPECT_EQ(CParameterNode::Find(tree.root, "shared/value", &found), eOk);
                CParameterNode::SetValue(found, std::int32_t{t * Rounds + i});
                EXPECT_EQ(CParameterNode::Find(tree.root, mine + "/x/y", &found), eOk);
                EXPECT_EQ(CParameterNode::GetFloat64Attribute(found, eAttrValue), i + 0.5);
                EXPECT_EQ(CParameterNode::Find(tree.root, mine, &found), eOk);
                CParameterNode::Delete(found);
            }
        });
    }
    for (std::thread& w : workers) w.join();
    EXPECT_EQ(ChildNames(tree.root), (std::vector<std::string>{"shared"}));
    EXPECT_EQ(childEvents.load(), Threads * Rounds * 2);  // each wN added, then deleted
}

}  // namespace
}  // namespace Korvex
