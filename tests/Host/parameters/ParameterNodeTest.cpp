// Parameter nodes: tables, slots per type, the set and get rules, notification, reply text.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "Host/parameters/ParameterNode.h"
#include "TreeTestSupport.h"

namespace Korvex {
namespace {

using test::EventTap;
using test::TestTree;

CParameterNode* Make(TestTree& tree, const char* name, eNodeType type) {
    CParameterNode* node = nullptr;
    EXPECT_EQ(CParameterNode::Create(tree.root, name, type, &node), eOk);
    return node;
}

TEST(ParameterNodeTables, NamesFormatsAndApplicability) {
    const char* types[] = {"Branch", "Boolean", "Pointer", "String", "Int32", "Float64"};
    const char* attrs[] = {"value", "minimum", "maximum", "default", "choices", "digits"};
    for (unsigned i = 0; i < 6; ++i) {
        EXPECT_STREQ(NodeTypeNames[i], types[i]);
        EXPECT_STREQ(NodeAttributeNames[i], attrs[i]);
    }
    const std::uint8_t expected[6][6] = {
        {0, 0, 0, 0, 0, 0}, {1, 0, 0, 1, 0, 0}, {1, 0, 0, 0, 0, 0},
        {1, 0, 0, 1, 1, 0}, {1, 1, 1, 1, 0, 0}, {1, 1, 1, 1, 0, 1},
    };
    EXPECT_EQ(std::memcmp(AttributeApplicabilityTable, expected, sizeof expected), 0);
    EXPECT_STREQ(NodeValueInputFormats[eNodeFloat64], "%lf");
    EXPECT_STREQ(NodeValueOutputFormats[eNodeFloat64], "%.15g");
    EXPECT_STREQ(NodeValueReplyFormats[eNodeFloat64], "%.15e");
    for (unsigned t : {eNodeBoolean, eNodeInt32}) {
        EXPECT_STREQ(NodeValueInputFormats[t], "%d");
        EXPECT_STREQ(NodeValueOutputFormats[t], "%d");
        EXPECT_STREQ(NodeValueReplyFormats[t], "%d");
    }
    for (unsigned t : {eNodeBranch, eNodePointer, eNodeString}) {
        EXPECT_STREQ(NodeValueInputFormats[t], "");
        EXPECT_STREQ(NodeValueOutputFormats[t], "");
        EXPECT_STREQ(NodeValueReplyFormats[t], "");
    }
}

TEST(ParameterNodeSlots, NewNodeIsDetachedKeptAndZero) {
    TestTree tree;
    CParameterNode* node = new CParameterNode(eNodeString, "fresh");
    EXPECT_EQ(node->GetType(), eNodeString);
    EXPECT_EQ(node->GetName(), "fresh");
    EXPECT_EQ(node->GetParent(), nullptr);
    EXPECT_EQ(node->GetFirstChild(), nullptr);
    EXPECT_EQ(node->GetNextSibling(), nullptr);
    EXPECT_EQ(node->GetKeepFlag(), 1);
    for (unsigned i = 0; i < 6; ++i) EXPECT_EQ(CParameterNode::GetStringAttribute(node, i), "");
    CParameterNode::Delete(node);

    CParameterNode* f = Make(tree, "f", eNodeFloat64);
    CParameterNode* n = Make(tree, "n", eNodeInt32);
    CParameterNode* b = Make(tree, "b", eNodeBoolean);
    CParameterNode* p = Make(tree, "p", eNodePointer);
    for (unsigned i = 0; i < 6; ++i) {
        EXPECT_EQ(CParameterNode::GetFloat64Attribute(f, i), 0.0);
        EXPECT_FALSE(std::signbit(CParameterNode::GetFloat64Attribute(f, i)));
        EXPECT_EQ(CParameterNode::GetInt32Attribute(n, i), 0);
        EXPECT_FALSE(CParameterNode::GetBooleanAttribute(b, i));
        EXPECT_EQ(CParameterNode::GetPointerAttribute(p, i), nullptr);
    }
}

// Absent attributes, indices above 5, accessors of another type and null nodes: nothing is
// written, nobody is notified, reads give zero.
TEST(ParameterNodeSlots, AbsentAttributesOtherTypesAndNullNodes) {
    std::vector<std::string> log;
    EventTap tap{&log, "s"};
    TestTree tree;
    CParameterNode* s = Make(tree, "s", eNodeString);
    CParameterNode* n = Make(tree, "n", eNodeInt32);
    CParameterNode* f = Make(tree, "f", eNodeFloat64);
    CParameterNode* branch = new CParameterNode(eNodeBranch, "br");
    ASSERT_EQ(CParameterNode::AddChild(tree.root, branch), eOk);
    for (CParameterNode* node : {s, n, f, branch}) {
        CParameterNode::Subscribe(node, &EventTap::Record, &tap);
    }

    CParameterNode::SetStringAttribute(s, eAttrMinimum, "low");
    CParameterNode::SetStringAttribute(s, 6, "x");
    CParameterNode::SetInt32Attribute(n, eAttrDigits, 3);
    CParameterNode::SetInt32Attribute(n, eAttrChoices, 3);
    CParameterNode::SetFloat64Attribute(f, eAttrChoices, 1.0);
    CParameterNode::SetFloat64Attribute(f, 100, 1.0);
    // Accessors of another type.
    CParameterNode::SetInt32Attribute(s, eAttrValue, 5);
    CParameterNode::SetFloat64Attribute(n, eAttrValue, 5.0);
    CParameterNode::SetStringAttribute(f, eAttrValue, "5");
    CParameterNode::SetBooleanAttribute(n, eAttrValue, true);
    CParameterNode::SetPointerAttribute(s, eAttrValue, &log);
    CParameterNode::SetValue(branch, std::int32_t{1});
    CParameterNode::SetValue(branch, "text");
    // Null nodes.
    CParameterNode::SetValue(nullptr, 1.0);
    CParameterNode::SetStringAttribute(nullptr, eAttrValue, "x");
    EXPECT_TRUE(log.empty());

    EXPECT_EQ(CParameterNode::GetStringAttribute(s, eAttrMinimum), "");
    EXPECT_EQ(CParameterNode::GetStringAttribute(s, 6), "");
    EXPECT_EQ(CParameterNode::GetInt32Attribute(n, eAttrDigits), 0);
    EXPECT_EQ(CParameterNode::GetInt32Attribute(s, eAttrValue), 0);
    EXPECT_EQ(CParameterNode::GetFloat64Attribute(n, eAttrValue), 0.0);
    EXPECT_EQ(CParameterNode::GetStringAttribute(f, eAttrValue), "");
    EXPECT_FALSE(CParameterNode::GetBooleanAttribute(n, eAttrValue));
    EXPECT_EQ(CParameterNode::GetPointerAttribute(s, eAttrValue), nullptr);
    EXPECT_EQ(CParameterNode::GetInt32Attribute(branch, eAttrValue), 0);
    EXPECT_EQ(CParameterNode::GetFloat64Attribute(nullptr, eAttrValue), 0.0);
    EXPECT_EQ(CParameterNode::GetStringAttribute(nullptr, eAttrValue), "");

    // Present attributes of each type still work.
    CParameterNode::SetStringAttribute(s, eAttrChoices, "A|B");
    CParameterNode::SetFloat64Attribute(f, eAttrDigits, 4.0);
    EXPECT_EQ(CParameterNode::GetStringAttribute(s, eAttrChoices), "A|B");
    EXPECT_EQ(CParameterNode::GetFloat64Attribute(f, eAttrDigits), 4.0);
    EXPECT_EQ(log, (std::vector<std::string>{"s:s:4", "s:f:5"}));
}

TEST(ParameterNodeSetRule, EqualValuesAreSilentChangesNotifyOnceWithTheIndex) {
    std::vector<std::string> log;
    EventTap tap{&log, "t"};
    TestTree tree;
    CParameterNode* n = Make(tree, "n", eNodeInt32);
    CParameterNode* s = Make(tree, "s", eNodeString);
    CParameterNode* b = Make(tree, "b", eNodeBoolean);
    CParameterNode* p = Make(tree, "p", eNodePointer);
    for (CParameterNode* node : {n, s, b, p})
        CParameterNode::Subscribe(node, &EventTap::Record, &tap);

    CParameterNode::SetInt32Attribute(n, eAttrValue, 0);  // equals the zero slot
    CParameterNode::SetInt32Attribute(n, eAttrMaximum, 10);
    CParameterNode::SetInt32Attribute(n, eAttrMaximum, 10);
    CParameterNode::SetInt32Attribute(n, eAttrMinimum, -10);
    CParameterNode::SetInt32Attribute(n, eAttrDefault, 3);
    CParameterNode::SetStringAttribute(s, eAttrValue, "");
    CParameterNode::SetStringAttribute(s, eAttrValue, "abc");
    CParameterNode::SetStringAttribute(s, eAttrValue, "abc");
    CParameterNode::SetStringAttribute(s, eAttrValue, std::string("abc\0", 4));  // longer
    CParameterNode::SetBooleanAttribute(b, eAttrDefault, true);
    CParameterNode::SetBooleanAttribute(b, eAttrDefault, true);
    CParameterNode::SetPointerAttribute(p, eAttrValue, &log);
    CParameterNode::SetPointerAttribute(p, eAttrValue, &log);
    EXPECT_EQ(log, (std::vector<std::string>{"t:n:2", "t:n:1", "t:n:3", "t:s:0", "t:s:0",
                                             "t:b:3", "t:p:0"}));
    EXPECT_EQ(CParameterNode::GetInt32Attribute(n, eAttrMaximum), 10);
    EXPECT_EQ(CParameterNode::GetInt32Attribute(n, eAttrMinimum), -10);
    EXPECT_EQ(CParameterNode::GetStringAttribute(s, eAttrValue).size(), 4u);
    EXPECT_TRUE(CParameterNode::GetBooleanAttribute(b, eAttrDefault));
    EXPECT_EQ(CParameterNode::GetPointerAttribute(p, eAttrValue), &log);
}

TEST(ParameterNodeSetRule, Float64UsesIeeeEquality) {
    std::vector<std::string> log;
    EventTap tap{&log, "t"};
    TestTree tree;
    CParameterNode* f = Make(tree, "f", eNodeFloat64);
    CParameterNode::Subscribe(f, &EventTap::Record, &tap);

    CParameterNode::SetFloat64Attribute(f, eAttrValue, -0.0);  // equals the stored 0.0
    EXPECT_TRUE(log.empty());
    EXPECT_FALSE(std::signbit(CParameterNode::GetFloat64Attribute(f, eAttrValue)));

    const double nan = std::numeric_limits<double>::quiet_NaN();
    CParameterNode::SetFloat64Attribute(f, eAttrValue, nan);
    CParameterNode::SetFloat64Attribute(f, eAttrValue, nan);  // NaN equals nothing
    EXPECT_EQ(log.size(), 2u);
    EXPECT_TRUE(std::isnan(CParameterNode::GetFloat64Attribute(f, eAttrValue)));

    CParameterNode::SetFloat64Attribute(f, eAttrValue, 1.5);
    CParameterNode::SetFloat64Attribute(f, eAttrValue, 1.5);
    EXPECT_EQ(log.size(), 3u);
    EXPECT_EQ(CParameterNode::GetFloat64Attribute(f, eAttrValue), 1.5);
}

TEST(ParameterNodeSetRule, SetValueWritesTheValueOfEachType) {
    std::vector<std::string> log;
    EventTap tap{&log, "t"};
    TestTree tree;
    CParameterNode* b = Make(tree, "b", eNodeBoolean);
    CParameterNode* n = Make(tree, "n", eNodeInt32);
    CParameterNode* f = Make(tree, "f", eNodeFloat64);
    CParameterNode* p = Make(tree, "p", eNodePointer);
    CParameterNode* s = Make(tree, "s", eNodeString);
    for (CParameterNode* node : {b, n, f, p, s})
        CParameterNode::Subscribe(node, &EventTap::Record, &tap);

    CParameterNode::SetValue(b, true);
    CParameterNode::SetValue(n, std::int32_t{-7});
    CParameterNode::SetValue(f, 2.25);
    CParameterNode::SetValue(p, static_cast<void*>(&log));
    CParameterNode::SetValue(s, "text");  // the text overload, not bool
    CParameterNode::SetValue(s, std::string("text"));
    CParameterNode::SetValue(s, static_cast<const char*>(nullptr));
    EXPECT_EQ(log, (std::vector<std::string>{"t:b:0", "t:n:0", "t:f:0", "t:p:0", "t:s:0"}));
    EXPECT_TRUE(CParameterNode::GetBooleanAttribute(b, eAttrValue));
    EXPECT_EQ(CParameterNode::GetInt32Attribute(n, eAttrValue), -7);
    EXPECT_EQ(CParameterNode::GetFloat64Attribute(f, eAttrValue), 2.25);
    EXPECT_EQ(CParameterNode::GetPointerAttribute(p, eAttrValue), &log);
    EXPECT_EQ(CParameterNode::GetStringAttribute(s, eAttrValue), "text");
    EXPECT_FALSE(CParameterNode::GetBooleanAttribute(s, eAttrValue));
}

TEST(ParameterNodeNotification, SubscribedTwiceIsCalledTwice) {
    std::vector<std::string> log;
    EventTap first{&log, "1"};
    EventTap second{&log, "2"};
    TestTree tree;
    CParameterNode* n = Make(tree, "n", eNodeInt32);
    EXPECT_EQ(CParameterNode::Subscribe(n, &EventTap::Record, &first), eOk);
    EXPECT_EQ(CParameterNode::Subscribe(n, &EventTap::Record, &second), eOk);
    EXPECT_EQ(CParameterNode::Subscribe(n, &EventTap::Record, &first), eOk);
    CParameterNode::SetValue(n, std::int32_t{1});
    EXPECT_EQ(log, (std::vector<std::string>{"1:n:0", "2:n:0", "1:n:0"}));
    EXPECT_EQ(CParameterNode::Subscribe(nullptr, &EventTap::Record, &first), eBadNodeArgument);
    EXPECT_EQ(CParameterNode::Subscribe(n, nullptr, &first), eBadNodeArgument);
}

struct LockSeen {
    kernel::handle_t owner;
    std::int32_t depth;
    static void Record(CParameterNode*, int, void* user) {
        auto* seen = static_cast<LockSeen*>(user);
        seen->owner = ParameterTreeLock().Owner();
        seen->depth = ParameterTreeLock().Depth();
    }
};

TEST(ParameterNodeNotification, CallbacksRunWithoutTheSettersOwnHold) {
    LockSeen seen{99, 99};
    TestTree tree;
    CParameterNode* n = Make(tree, "n", eNodeInt32);
    CParameterNode::Subscribe(n, &LockSeen::Record, &seen);
    CParameterNode::SetValue(n, std::int32_t{1});
    EXPECT_EQ(seen.owner, 0u);
    EXPECT_EQ(seen.depth, 0);
    {
        CRecursiveLock outer(ParameterTreeLock());
        ASSERT_TRUE(outer.Locked());
        CParameterNode::SetValue(n, std::int32_t{2});
    }
    EXPECT_EQ(seen.owner, kernel::thread_self());
    EXPECT_EQ(seen.depth, 1);  // the outer hold only
}

struct Chain {
    CParameterNode* target;
    static void SetTarget(CParameterNode* node, int event, void* user) {
        if (event != eEventValueChanged) return;
        auto* chain = static_cast<Chain*>(user);
        CParameterNode::SetValue(chain->target,
                                 CParameterNode::GetInt32Attribute(node, eAttrValue) * 10);
    }
};

TEST(ParameterNodeNotification, CallbackSettingAnotherNodeNotifiesItsSubscribers) {
    std::vector<std::string> log;
    EventTap tapA{&log, "a"};
    EventTap tapB{&log, "b"};
    TestTree tree;
    CParameterNode* a = Make(tree, "a", eNodeInt32);
    CParameterNode* b = Make(tree, "b", eNodeInt32);
    Chain chain{b};
    CParameterNode::Subscribe(a, &EventTap::Record, &tapA);
    CParameterNode::Subscribe(a, &Chain::SetTarget, &chain);
    CParameterNode::Subscribe(a, &EventTap::Record, &tapA);
    CParameterNode::Subscribe(b, &EventTap::Record, &tapB);
    CParameterNode::SetValue(a, std::int32_t{4});
    EXPECT_EQ(CParameterNode::GetInt32Attribute(b, eAttrValue), 40);
    EXPECT_EQ(log, (std::vector<std::string>{"a:a:0", "b:b:0", "a:a:0"}));
}

struct LateSubscriber {
    std::vector<std::string>* log;
    EventTap tap;
    bool added = false;
    static void AddTap(CParameterNode* node, int, void* user) {
        auto* late = static_cast<LateSubscriber*>(user);
        if (late->added) return;
        late->added = true;
        CParameterNode::Subscribe(node, &EventTap::Record, &late->tap);
    }
};

TEST(ParameterNodeNotification, SubscriberAddedDuringNotificationWaitsForTheNextChange) {
    std::vector<std::string> log;
    LateSubscriber late{&log, EventTap{&log, "late"}};
    TestTree tree;
    CParameterNode* s = Make(tree, "s", eNodeString);
    CParameterNode::Subscribe(s, &LateSubscriber::AddTap, &late);
    CParameterNode::SetValue(s, "one");
    EXPECT_TRUE(late.added);
    EXPECT_TRUE(log.empty());
    CParameterNode::SetValue(s, "two");
    EXPECT_EQ(log, (std::vector<std::string>{"late:s:0"}));
}

TEST(ParameterNodeFormat, ReplyTextOfFloat64Slots) {
    TestTree tree;
    CParameterNode* f = Make(tree, "f", eNodeFloat64);
    std::uint8_t status = 0;
    CParameterNode::SetValue(f, 1.5);
    EXPECT_EQ(CParameterNode::FormatFloat64Attribute(status, f, eAttrValue),
              "1.500000000000000e+00");
    CParameterNode::SetFloat64Attribute(f, eAttrMinimum, -1.0e-300);
    EXPECT_EQ(CParameterNode::FormatFloat64Attribute(status, f, eAttrMinimum),
              "-1.000000000000000e-300");
    CParameterNode::SetFloat64Attribute(f, eAttrMaximum, -0.0);  // equal to 0.0: not stored
    EXPECT_EQ(CParameterNode::FormatFloat64Attribute(status, f, eAttrMaximum),
              "0.000000000000000e+00");
    CParameterNode::SetFloat64Attribute(f, eAttrDigits, 6.0);
    EXPECT_EQ(CParameterNode::FormatFloat64Attribute(status, f, eAttrDigits),
              "6.000000000000000e+00");
    EXPECT_EQ(status, 0);
}

TEST(ParameterNodeFormat, UnreadableSlotsSetStatus254Once) {
    TestTree tree;
    CParameterNode* f = Make(tree, "f", eNodeFloat64);
    CParameterNode* n = Make(tree, "n", eNodeInt32);
    CParameterNode::SetValue(n, std::int32_t{5});
    struct Case {
        CParameterNode* node;
        unsigned index;
    } cases[] = {{nullptr, 0}, {f, eAttrChoices}, {f, 6}, {n, eAttrValue}};
    for (const Case& c : cases) {
        std::uint8_t status = 0;
        EXPECT_EQ(CParameterNode::FormatFloat64Attribute(status, c.node, c.index), "");
        EXPECT_EQ(status, 254);
        status = 17;  // an earlier failure stays
        EXPECT_EQ(CParameterNode::FormatFloat64Attribute(status, c.node, c.index), "");
        EXPECT_EQ(status, 17);
    }
}

// A thread whose wait for the tree lock is broken reads zero and writes nothing.
TEST(ParameterNodeLock, FailedLockReadsZeroAndChangesNothing) {
    std::vector<std::string> log;
    EventTap tap{&log, "t"};
    TestTree tree;
    CParameterNode* n = Make(tree, "n", eNodeInt32);
    CParameterNode* f = Make(tree, "f", eNodeFloat64);
    CParameterNode::SetValue(n, std::int32_t{5});
    CParameterNode::SetValue(f, 2.5);
    CParameterNode::Subscribe(n, &EventTap::Record, &tap);

    test::RunWithBrokenTreeLock([&] { CParameterNode::SetValue(n, std::int32_t{6}); });
    EXPECT_EQ(CParameterNode::GetInt32Attribute(n, eAttrValue), 5);
    EXPECT_TRUE(log.empty());

    std::int32_t read = -1;
    test::RunWithBrokenTreeLock([&] { read = CParameterNode::GetInt32Attribute(n, eAttrValue); });
    EXPECT_EQ(read, 0);

    std::uint8_t status = 0;
    std::string text = "unset";
    test::RunWithBrokenTreeLock(
        [&] { text = CParameterNode::FormatFloat64Attribute(status, f, eAttrValue); });
    EXPECT_EQ(text, "");
    EXPECT_EQ(status, 254);

    int result = -1;
    test::RunWithBrokenTreeLock(
        [&] { result = CParameterNode::Subscribe(n, &EventTap::Record, &tap); });
    EXPECT_EQ(result, eGeneralFailure);
    CParameterNode::SetValue(n, std::int32_t{7});
    EXPECT_EQ(log.size(), 1u);  // the subscriber list did not grow

    CParameterNode* parent = reinterpret_cast<CParameterNode*>(1);
    std::uint8_t keep = 9;
    test::RunWithBrokenTreeLock([&] { parent = n->GetParent(); });
    test::RunWithBrokenTreeLock([&] { keep = n->GetKeepFlag(); });
    EXPECT_EQ(parent, nullptr);
    EXPECT_EQ(keep, 0);
    EXPECT_EQ(n->GetParent(), tree.root);
}

struct Counter {
    std::atomic<int> calls{0};
    static void Count(CParameterNode* node, int, void* user) {
        // Reads under the lock again from inside the notification.
        (void)CParameterNode::GetInt32Attribute(node, eAttrValue);
        static_cast<Counter*>(user)->calls.fetch_add(1, std::memory_order_relaxed);
    }
};

// Several threads set, read and subscribe on shared nodes; each change of a thread's own
// node reaches its subscriber exactly once.
TEST(ParameterNodeConcurrency, SettersGettersAndSubscribersOnSharedNodes) {
    constexpr int Threads = 4;
    constexpr int Rounds = 2000;
    Counter counters[Threads];
    Counter sharedCounter;
    TestTree tree;
    CParameterNode* shared = Make(tree, "shared", eNodeFloat64);
    CParameterNode* text = Make(tree, "text", eNodeString);
    CParameterNode* own[Threads];
    for (int t = 0; t < Threads; ++t) {
        own[t] = Make(tree, ("own" + std::to_string(t)).c_str(), eNodeInt32);
        CParameterNode::Subscribe(own[t], &Counter::Count, &counters[t]);
    }
    std::vector<std::thread> workers;
    for (int t = 0; t < Threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 1; i <= Rounds; ++i) {
                CParameterNode::SetValue(own[t], std::int32_t{i});
                CParameterNode::SetValue(shared, static_cast<double>(t * Rounds + i));
                CParameterNode::SetValue(text, std::to_string(t) + ":" + std::to_string(i));
                EXPECT_GT(CParameterNode::GetFloat64Attribute(shared, eAttrValue), 0.0);
                EXPECT_FALSE(CParameterNode::GetStringAttribute(text, eAttrValue).empty());
                if (i % 500 == 0)
                    CParameterNode::Subscribe(shared, &Counter::Count, &sharedCounter);
            }
        });
    }
    for (std::thread& w : workers) w.join();
    for (int t = 0; t < Threads; ++t) {
        EXPECT_EQ(counters[t].calls.load(), Rounds);
        EXPECT_EQ(CParameterNode::GetInt32Attribute(own[t], eAttrValue), Rounds);
    }
}

}  // namespace
}  // namespace Korvex
