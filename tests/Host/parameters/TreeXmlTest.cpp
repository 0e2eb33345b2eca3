// The parameter tree's XML form: writer bytes, escaping, the check, loading and merging,
// and the failures of each (bad input, failing flash, deep nesting).
#include <functional>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Host/parameters/ParameterNode.h"
#include "platform/fs/FileIo.h"

namespace Korvex {
namespace {

using Node = CParameterNode;

Node* Add(Node* parent, eNodeType type, const std::string& name) {
    Node* node = new Node(type, name);
    EXPECT_EQ(Node::AddChild(parent, node), eOk);
    return node;
}

Node* Child(Node* parent, const std::string& name) {
    for (Node* c = parent->GetFirstChild(); c != nullptr; c = c->GetNextSibling()) {
        if (c->GetName() == name) return c;
    }
    return nullptr;
}

int CountChildren(Node* parent) {
    int n = 0;
    for (Node* c = parent->GetFirstChild(); c != nullptr; c = c->GetNextSibling()) ++n;
    return n;
}

// Frees a detached tree at the end of the test.
struct Owned {
    Node* node = nullptr;
    Owned() = default;
    explicit Owned(Node* n) : node(n) {}
    ~Owned() { Node::Delete(node); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
};

std::vector<std::string> gEvents;

void Record(Node* node, int event, void*) {
    gEvents.push_back(node->GetName() + ":" + std::to_string(event));
}

void SubscribeAll(Node* node) {
    Node::Subscribe(node, &Record, nullptr);
    for (Node* c = node->GetFirstChild(); c != nullptr; c = c->GetNextSibling()) {
        SubscribeAll(c);
    }
}

// Same names, types, present slots and child order.
::testing::AssertionResult SameTree(Node* a, Node* b) {
    if (a->GetName() != b->GetName() || a->GetType() != b->GetType()) {
        return ::testing::AssertionFailure() << "node " << a->GetName() << " vs " << b->GetName();
    }
    for (unsigned i = 0; i < NodeAttributeCount; ++i) {
        if (Node::GetStringAttribute(a, i) != Node::GetStringAttribute(b, i) ||
            Node::GetInt32Attribute(a, i) != Node::GetInt32Attribute(b, i) ||
            Node::GetBooleanAttribute(a, i) != Node::GetBooleanAttribute(b, i)) {
            return ::testing::AssertionFailure() << "slot " << i << " of " << a->GetName();
        }
        const double x = Node::GetFloat64Attribute(a, i);
        const double y = Node::GetFloat64Attribute(b, i);
        if (!(x == y || (std::isnan(x) && std::isnan(y)))) {
            return ::testing::AssertionFailure() << "float slot " << i << " of " << a->GetName();
        }
    }
    Node* ca = a->GetFirstChild();
    Node* cb = b->GetFirstChild();
    for (; ca != nullptr && cb != nullptr; ca = ca->GetNextSibling(), cb = cb->GetNextSibling()) {
        auto r = SameTree(ca, cb);
        if (!r) return r;
    }
    if (ca != nullptr || cb != nullptr) {
        return ::testing::AssertionFailure() << "children of " << a->GetName();
    }
    return ::testing::AssertionSuccess();
}

class TreeXmlFixture : public ::testing::Test {
protected:
    void SetUp() override {
        gEvents.clear();
        platform::fs::clear_faults();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path = ::testing::TempDir() + "treexml_" + info->test_suite_name() + "_" + info->name() +
               "_" + std::to_string(::getpid()) + ".xml";
    }
    void TearDown() override {
        platform::fs::clear_faults();
        std::remove(path.c_str());
    }

    void WriteText(const std::string& text) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
    }
    std::string ReadText() {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    bool Exists() { return ::access(path.c_str(), F_OK) == 0; }

    // root "settings" with one leaf of each type and a nested Branch.
    static Node* SampleTree() {
        Node* root = new Node(eNodeBranch, "settings");
        Node* b = Add(root, eNodeBoolean, "on");
        Node::SetBooleanAttribute(b, eAttrValue, true);
        Node* p = Add(root, eNodePointer, "obj");
        Node::SetPointerAttribute(p, eAttrValue, root);
        Node* s = Add(root, eNodeString, "host");
        Node::SetStringAttribute(s, eAttrValue, "korvex 50%");
        Node::SetStringAttribute(s, eAttrDefault, "k");
        Node::SetStringAttribute(s, eAttrChoices, "a,b");
        Node* i = Add(root, eNodeInt32, "count");
        Node::SetInt32Attribute(i, eAttrValue, -5);
        Node::SetInt32Attribute(i, eAttrMinimum, -10);
        Node::SetInt32Attribute(i, eAttrMaximum, 10);
        Node::SetInt32Attribute(i, eAttrDefault, 3);
        Node* f = Add(root, eNodeFloat64, "field");
        Node::SetFloat64Attribute(f, eAttrValue, 0.1);
        Node::SetFloat64Attribute(f, eAttrMinimum, 1e-20);
        Node::SetFloat64Attribute(f, eAttrMaximum, 1.5);
        Node::SetFloat64Attribute(f, eAttrDefault, -1234567.891);
        Node::SetFloat64Attribute(f, eAttrDigits, 6);
        Node* sub = Add(root, eNodeBranch, "sub");
        Add(sub, eNodeInt32, "n");
        Add(sub, eNodeBranch, "empty");
        return root;
    }

    static constexpr const char* SampleText =
        "<Branch name=\"settings\">\n"
        "<Boolean name=\"on\" value=\"1\" default=\"0\"/>\n"
        "<Pointer name=\"obj\" value=\"00000000\"/>\n"
        "<String name=\"host\" value=\"korvex 50%\" default=\"k\" choices=\"a,b\"/>\n"
        "<Int32 name=\"count\" value=\"-5\" minimum=\"-10\" maximum=\"10\" default=\"3\"/>\n"
        "<Float64 name=\"field\" value=\"0.1\" minimum=\"1e-20\" maximum=\"1.5\" "
        "default=\"-1234567.891\" digits=\"6\"/>\n"
        "<Branch name=\"sub\">\n"
        "<Int32 name=\"n\" value=\"0\" minimum=\"0\" maximum=\"0\" default=\"0\"/>\n"
        "<Branch name=\"empty\">\n"
        "</Branch>\n"
        "</Branch>\n"
        "</Branch>\n";

    // Loads text into target; returns the status and leaves the result in out.
    int LoadText(const std::string& text, Node* target, Node** out,
                 const Node::XmlLoadVerifier& verifier = nullptr) {
        WriteText(text);
        return Node::LoadXmlFile(path, out, target, verifier);
    }

    std::string path;
};

// ---------------------------------------------------------------------------------------

using TreeXmlWriter = TreeXmlFixture;

TEST_F(TreeXmlWriter, WritesEveryTypeByteForByte) {
    Owned tree(SampleTree());
    ASSERT_EQ(Node::SaveXmlFile(path, tree.node), eOk);
    EXPECT_EQ(ReadText(), SampleText);
    EXPECT_EQ(Node::CheckXmlFile(path), eOk);
}

TEST_F(TreeXmlWriter, OutermostNodeIsABranchElementWhateverItsType) {
    Owned leaf(new Node(eNodeInt32, "lonely"));
    Node::SetInt32Attribute(leaf.node, eAttrValue, 4);
    ASSERT_EQ(Node::SaveXmlFile(path, leaf.node), eOk);
    EXPECT_EQ(ReadText(), "<Branch name=\"lonely\">\n</Branch>\n");
}

TEST_F(TreeXmlWriter, FailuresReportAndLeaveNoFile) {
    Owned tree(SampleTree());
    EXPECT_EQ(Node::SaveXmlFile(::testing::TempDir() + "no/such/dir/x.xml", tree.node),
              eCannotOpenFile);
    EXPECT_EQ(Node::SaveXmlFile(path, nullptr), eBadNodeArgument);

    // A node of an unknown type ends the write with 47; the partial file is removed.
    Add(tree.node, static_cast<eNodeType>(6), "alien");
    EXPECT_EQ(Node::SaveXmlFile(path, tree.node), eGeneralFailure);
    EXPECT_FALSE(Exists());
}

TEST_F(TreeXmlWriter, TreeDeeperThanTheLoaderTakesIsNotWritten) {
    Owned tree(new Node(eNodeBranch, "d1"));
    Node* n = tree.node;
    for (int d = 2; d <= 64; ++d) n = Add(n, eNodeBranch, "d" + std::to_string(d));
    EXPECT_EQ(Node::SaveXmlFile(path, tree.node), eOk);  // 64 elements deep
    const std::string deepest = ReadText();
    Add(n, eNodeBoolean, "leaf65");
    EXPECT_EQ(Node::SaveXmlFile(path, tree.node), eGeneralFailure);
    EXPECT_EQ(ReadText(), deepest);  // the last good save stays
}

// ---------------------------------------------------------------------------------------

using TreeXmlWriteFault = TreeXmlFixture;

TEST_F(TreeXmlWriteFault, FailedWriteMidFileGives11AndNoFile) {
    Owned tree(SampleTree());
    for (int i = 0; i < 300; ++i) Add(tree.node, eNodeInt32, "pad" + std::to_string(i));
    platform::fs::arm_write_fault_after(1000);
    EXPECT_EQ(Node::SaveXmlFile(path, tree.node), eWriteFailed);
    EXPECT_FALSE(Exists());
    // The fault was one-shot: the next save goes through.
    EXPECT_EQ(Node::SaveXmlFile(path, tree.node), eOk);
    EXPECT_EQ(Node::CheckXmlFile(path), eOk);
}

TEST_F(TreeXmlWriteFault, BufferedWriteFailingAtFlushGives11AndNoFile) {
    Owned tree(SampleTree());
    platform::fs::arm_write_fault_after(10);  // the whole file fits in the stdio buffer
    EXPECT_EQ(Node::SaveXmlFile(path, tree.node), eWriteFailed);
    EXPECT_FALSE(Exists());
}

// A save replaces the file in one step: a failure leaves the old file as it was and no
// unfinished .tmp beside it.
TEST_F(TreeXmlWriteFault, FailedSaveKeepsTheOldFile) {
    Owned tree(SampleTree());
    const std::function<void()> faults[] = {
        [] { platform::fs::arm_close_fault(); },
        [] { platform::fs::arm_write_fault_after(10); },
    };
    for (const auto& arm : faults) {
        WriteText("old contents");
        arm();
        EXPECT_EQ(Node::SaveXmlFile(path, tree.node), eWriteFailed);
        EXPECT_EQ(ReadText(), "old contents");
        EXPECT_NE(::access((path + ".tmp").c_str(), F_OK), 0);
    }
}

// ---------------------------------------------------------------------------------------

using TreeXmlEscape = TreeXmlFixture;

TEST_F(TreeXmlEscape, MarkupWhitespaceAndControlsAreEscapedOrDropped) {
    Owned tree(new Node(eNodeBranch, "r&<>\"'"));
    Node* s = Add(tree.node, eNodeString, "a\tb");
    Node::SetStringAttribute(s, eAttrValue, std::string("x\ny\rz\x01\x1f" "end", 10));
    Node::SetStringAttribute(s, eAttrDefault, std::string("nul\0in", 6));
    ASSERT_EQ(Node::SaveXmlFile(path, tree.node), eOk);
    EXPECT_EQ(ReadText(),
              "<Branch name=\"r&amp;&lt;&gt;&quot;&apos;\">\n"
              "<String name=\"a&#9;b\" value=\"x&#10;y&#13;zend\" default=\"nulin\" "
              "choices=\"\"/>\n"
              "</Branch>\n");
    EXPECT_EQ(Node::CheckXmlFile(path), eOk);

    Node* loaded = nullptr;
    ASSERT_EQ(Node::LoadXmlFile(path, &loaded, nullptr), eOk);
    Owned own(loaded);
    EXPECT_EQ(loaded->GetName(), "r&<>\"'");
    Node* ls = Child(loaded, "a\tb");
    ASSERT_NE(ls, nullptr);
    EXPECT_EQ(Node::GetStringAttribute(ls, eAttrValue), "x\ny\rzend");
    EXPECT_EQ(Node::GetStringAttribute(ls, eAttrDefault), "nulin");
}

TEST_F(TreeXmlEscape, BytesThatAreNoUtf8ReadBackAsLatin1Characters) {
    Owned tree(new Node(eNodeBranch, "r"));
    Node* s = Add(tree.node, eNodeString, "caf\xE9");
    // Valid UTF-8 (é, €, U+1F600) passes; a lone byte, an overlong form, a surrogate, a cut
    // sequence and U+FFFE (no XML character) are written byte by byte as references.
    Node::SetStringAttribute(s, eAttrValue,
                             "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80|\xB5|\xC0\x80|\xED\xA0\x80|"
                             "\xE2\x82|\xEF\xBF\xBE");
    ASSERT_EQ(Node::SaveXmlFile(path, tree.node), eOk);
    EXPECT_EQ(ReadText(),
              "<Branch name=\"r\">\n"
              "<String name=\"caf&#xE9;\" value=\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80|&#xB5;|"
              "&#xC0;&#x80;|&#xED;&#xA0;&#x80;|&#xE2;&#x82;|&#xEF;&#xBF;&#xBE;\" default=\"\" "
              "choices=\"\"/>\n"
              "</Branch>\n");
    EXPECT_EQ(Node::CheckXmlFile(path), eOk);

    Node* loaded = nullptr;
    ASSERT_EQ(Node::LoadXmlFile(path, &loaded, nullptr), eOk);
    Owned own(loaded);
    Node* ls = Child(loaded, "caf\xC3\xA9");
    ASSERT_NE(ls, nullptr);
    EXPECT_EQ(Node::GetStringAttribute(ls, eAttrValue),
              "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80|\xC2\xB5|\xC3\x80\xC2\x80|"
              "\xC3\xAD\xC2\xA0\xC2\x80|\xC3\xA2\xC2\x82|\xC3\xAF\xC2\xBF\xC2\xBE");
}

TEST_F(TreeXmlEscape, EntityAmpersandLoadsSavesChecksAndReloadsEqual) {
    Node* loaded = nullptr;
    ASSERT_EQ(LoadText("<Branch name=\"r\"><String name=\"s\" value=\"a&amp;b\"/></Branch>",
                       nullptr, &loaded),
              eOk);
    Owned own(loaded);
    EXPECT_EQ(Node::GetStringAttribute(Child(loaded, "s"), eAttrValue), "a&b");

    ASSERT_EQ(Node::SaveXmlFile(path, loaded), eOk);
    EXPECT_EQ(Node::CheckXmlFile(path), eOk);
    SubscribeAll(loaded);
    Node* again = loaded;
    EXPECT_EQ(Node::LoadXmlFile(path, &again, loaded), eOk);
    EXPECT_EQ(Node::GetStringAttribute(Child(loaded, "s"), eAttrValue), "a&b");
    EXPECT_TRUE(gEvents.empty());
}

// ---------------------------------------------------------------------------------------

using TreeXmlCheck = TreeXmlFixture;

TEST_F(TreeXmlCheck, ReportsWellFormedBrokenAndMissing) {
    WriteText("<?xml version=\"1.0\"?>\n<!-- c --><Branch name=\"r\">text</Branch>\n");
    EXPECT_EQ(Node::CheckXmlFile(path), eOk);
    WriteText("<Branch name=\"r\"><String name=\"s\" value=\"a&b\"/></Branch>");
    EXPECT_EQ(Node::CheckXmlFile(path), eXmlNotWellFormed);
    WriteText("<Branch name=\"r\">");
    EXPECT_EQ(Node::CheckXmlFile(path), eXmlNotWellFormed);
    WriteText("");
    EXPECT_EQ(Node::CheckXmlFile(path), eXmlNotWellFormed);
    std::remove(path.c_str());
    EXPECT_EQ(Node::CheckXmlFile(path), eCannotOpenFile);
}

TEST_F(TreeXmlCheck, FilesOfWholeBlocksEndWithAnEmptyFinalBlock) {
    for (std::size_t size : {1023u, 1024u, 1025u, 2048u}) {
        const std::string head = "<Branch name=\"r\">\n<String name=\"s\" value=\"";
        const std::string tail = "\"/>\n</Branch>\n";
        const std::string pad(size - head.size() - tail.size(), 'x');
        WriteText(head + pad + tail);
        ASSERT_EQ(ReadText().size(), size);
        EXPECT_EQ(Node::CheckXmlFile(path), eOk) << size;
        Node* loaded = nullptr;
        ASSERT_EQ(Node::LoadXmlFile(path, &loaded, nullptr), eOk) << size;
        Owned own(loaded);
        EXPECT_EQ(Node::GetStringAttribute(Child(loaded, "s"), eAttrValue), pad);
    }
}

// ---------------------------------------------------------------------------------------

using TreeXmlLoad = TreeXmlFixture;

TEST_F(TreeXmlLoad, SaveAndReloadIntoTheSameSubtreeChangesNothing) {
    Owned tree(SampleTree());
    Node* obj = Child(tree.node, "obj");
    ASSERT_EQ(Node::SaveXmlFile(path, tree.node), eOk);
    SubscribeAll(tree.node);
    Node* root = tree.node;
    EXPECT_EQ(Node::LoadXmlFile(path, &root, tree.node), eOk);
    EXPECT_EQ(root, tree.node);
    EXPECT_TRUE(gEvents.empty());
    EXPECT_EQ(Node::GetPointerAttribute(obj, eAttrValue), tree.node);  // never loaded
    EXPECT_EQ(Node::SaveXmlFile(path, tree.node), eOk);
    EXPECT_EQ(ReadText(), SampleText);
}

TEST_F(TreeXmlLoad, IntoNullTargetBuildsANewTree) {
    Owned tree(SampleTree());
    ASSERT_EQ(Node::SaveXmlFile(path, tree.node), eOk);
    Node* loaded = tree.node;  // overwritten
    ASSERT_EQ(Node::LoadXmlFile(path, &loaded, nullptr), eOk);
    Owned own(loaded);
    ASSERT_NE(loaded, tree.node);
    EXPECT_EQ(loaded->GetParent(), nullptr);
    Node::SetPointerAttribute(Child(tree.node, "obj"), eAttrValue, nullptr);
    EXPECT_TRUE(SameTree(loaded, tree.node));
}

TEST_F(TreeXmlLoad, MergeCreatesMissingAndDeletesUnnamedNodesInFileOrder) {
    Owned tree(new Node(eNodeBranch, "r"));
    Node* a = Add(tree.node, eNodeInt32, "a");
    Add(tree.node, eNodeInt32, "gone");
    SubscribeAll(tree.node);
    Node* root = nullptr;
    EXPECT_EQ(LoadText("<Branch name=\"r\">"
                       "<Int32 name=\"a\" value=\"1\" minimum=\"2\"/>"
                       "<Float64 name=\"new\" value=\"2.5\"/>"
                       "<Int32 name=\"a\" value=\"3\"/>"
                       "</Branch>",
                       tree.node, &root),
              eOk);
    EXPECT_EQ(root, tree.node);
    // Re-streaming the file keeps every set in file order, the repeated one included.
    EXPECT_EQ(gEvents, (std::vector<std::string>{"a:0", "a:1", "r:6", "a:0", "gone:7", "gone:6"}));
    EXPECT_EQ(Node::GetInt32Attribute(a, eAttrValue), 3);
    EXPECT_EQ(Node::GetFloat64Attribute(Child(tree.node, "new"), eAttrValue), 2.5);
    EXPECT_EQ(Child(tree.node, "gone"), nullptr);
    EXPECT_EQ(CountChildren(tree.node), 2);
}

TEST_F(TreeXmlLoad, LeafElementNamingABranchMarksOnlyThatNode) {
    // A leaf element naming an existing Branch marks only that node, not its children.
    Owned tree(new Node(eNodeBranch, "r"));
    Node* b = Add(tree.node, eNodeBranch, "b");
    Add(b, eNodeInt32, "x");
    Node* root = nullptr;
    EXPECT_EQ(LoadText("<Branch name=\"r\"><Int32 name=\"b\" value=\"1\"/></Branch>",
                       tree.node, &root),
              eOk);
    EXPECT_EQ(Child(tree.node, "b"), b);
    EXPECT_EQ(b->GetFirstChild(), nullptr);
}

TEST_F(TreeXmlLoad, BooleanNonZeroReadsTrueAndSavesAsOne) {
    Node* loaded = nullptr;
    ASSERT_EQ(LoadText("<Branch name=\"r\"><Boolean name=\"one\" value=\"1\"/>"
                       "<Boolean name=\"seven\" value=\"7\" default=\"-3\"/></Branch>",
                       nullptr, &loaded),
              eOk);
    Owned own(loaded);
    EXPECT_TRUE(Node::GetBooleanAttribute(Child(loaded, "one"), eAttrValue));
    EXPECT_TRUE(Node::GetBooleanAttribute(Child(loaded, "seven"), eAttrValue));
    ASSERT_EQ(Node::SaveXmlFile(path, loaded), eOk);
    EXPECT_EQ(ReadText(),
              "<Branch name=\"r\">\n"
              "<Boolean name=\"one\" value=\"1\" default=\"0\"/>\n"
              "<Boolean name=\"seven\" value=\"1\" default=\"1\"/>\n"
              "</Branch>\n");
}

TEST_F(TreeXmlLoad, UnreadableAttributeEndsTheElementsAttributes) {
    Node* loaded = nullptr;
    ASSERT_EQ(LoadText("<Branch name=\"r\">"
                       "<Int32 name=\"i\" value=\"5\" minimum=\"abc\" maximum=\"9\"/>"
                       "<Int32 name=\"k\" value=\"6\" colour=\"red\" maximum=\"9\"/>"
                       "<Int32 name=\"c\" value=\"7\" choices=\"1\" maximum=\"9\"/>"
                       "<String name=\"s\" default=\"d\" value=\"v\"/>"
                       "</Branch>",
                       nullptr, &loaded),
              eOk);
    Owned own(loaded);
    for (const char* name : {"i", "k", "c"}) {
        Node* n = Child(loaded, name);
        ASSERT_NE(n, nullptr) << name;  // still named, still kept
        EXPECT_NE(Node::GetInt32Attribute(n, eAttrValue), 0) << name;
        EXPECT_EQ(Node::GetInt32Attribute(n, eAttrMaximum), 0) << name;
    }
    EXPECT_EQ(Node::GetStringAttribute(Child(loaded, "s"), eAttrValue), "v");
    EXPECT_EQ(Node::GetStringAttribute(Child(loaded, "s"), eAttrDefault), "d");
}

TEST_F(TreeXmlLoad, PointerAttributesAreNeverApplied) {
    Owned tree(new Node(eNodeBranch, "r"));
    Node* p = Add(tree.node, eNodePointer, "p");
    int object = 0;
    Node::SetPointerAttribute(p, eAttrValue, &object);
    Node* root = nullptr;
    EXPECT_EQ(LoadText("<Branch name=\"r\"><Pointer name=\"p\" value=\"00000000\"/></Branch>",
                       tree.node, &root),
              eOk);
    EXPECT_EQ(Node::GetPointerAttribute(p, eAttrValue), &object);
}

TEST_F(TreeXmlLoad, ElementOfAnotherTypeIsReadByTheNodesType) {
    Owned tree(new Node(eNodeBranch, "r"));
    Node* f = Add(tree.node, eNodeFloat64, "f");
    Node* i = Add(tree.node, eNodeInt32, "i");
    Node* root = nullptr;
    EXPECT_EQ(LoadText("<Branch name=\"r\"><Int32 name=\"f\" value=\"2.5\" digits=\"3\"/>"
                       "<Float64 name=\"i\" value=\"7.9\" digits=\"3\"/></Branch>",
                       tree.node, &root),
              eOk);
    EXPECT_EQ(f->GetType(), eNodeFloat64);
    EXPECT_EQ(Node::GetFloat64Attribute(f, eAttrValue), 2.5);
    EXPECT_EQ(Node::GetFloat64Attribute(f, eAttrDigits), 3.0);
    EXPECT_EQ(i->GetType(), eNodeInt32);
    EXPECT_EQ(Node::GetInt32Attribute(i, eAttrValue), 0);  // "7.9" is no whole number
}

TEST_F(TreeXmlLoad, NumbersOutOfRangeAreUnreadable) {
    Node* loaded = nullptr;
    ASSERT_EQ(LoadText("<Branch name=\"r\">"
                       "<Int32 name=\"max\" value=\"2147483647\" minimum=\"-2147483648\"/>"
                       "<Int32 name=\"over\" value=\" 42 \" minimum=\"2147483648\" maximum=\"1\"/>"
                       "<Int32 name=\"huge\" value=\"-99999999999999999999\"/>"
                       "<Boolean name=\"b\" value=\"4294967297\"/>"
                       "<Float64 name=\"f\" value=\"1e-320\" minimum=\"1e999\" maximum=\"1\"/>"
                       "<Float64 name=\"g\" value=\"-1e999\"/>"
                       "</Branch>",
                       nullptr, &loaded),
              eOk);
    Owned own(loaded);
    Node* max = Child(loaded, "max");
    EXPECT_EQ(Node::GetInt32Attribute(max, eAttrValue), INT32_MAX);
    EXPECT_EQ(Node::GetInt32Attribute(max, eAttrMinimum), INT32_MIN);
    Node* over = Child(loaded, "over");
    EXPECT_EQ(Node::GetInt32Attribute(over, eAttrValue), 42);
    EXPECT_EQ(Node::GetInt32Attribute(over, eAttrMinimum), 0);
    EXPECT_EQ(Node::GetInt32Attribute(over, eAttrMaximum), 0);
    EXPECT_EQ(Node::GetInt32Attribute(Child(loaded, "huge"), eAttrValue), 0);
    EXPECT_FALSE(Node::GetBooleanAttribute(Child(loaded, "b"), eAttrValue));
    Node* f = Child(loaded, "f");
    EXPECT_GT(Node::GetFloat64Attribute(f, eAttrValue), 0.0);  // subnormal, not lost
    EXPECT_EQ(Node::GetFloat64Attribute(f, eAttrMinimum), 0.0);
    EXPECT_EQ(Node::GetFloat64Attribute(f, eAttrMaximum), 0.0);
    EXPECT_EQ(Node::GetFloat64Attribute(Child(loaded, "g"), eAttrValue), 0.0);
}

TEST_F(TreeXmlLoad, FloatsRoundTripWithFifteenDigits) {
    Owned tree(new Node(eNodeBranch, "r"));
    Node* f = Add(tree.node, eNodeFloat64, "f");
    Node::SetFloat64Attribute(f, eAttrValue, 1e-20);
    Node::SetFloat64Attribute(f, eAttrMinimum, -INFINITY);
    Node::SetFloat64Attribute(f, eAttrMaximum, 4.9406564584124654e-324);
    Node::SetFloat64Attribute(f, eAttrDefault, NAN);
    ASSERT_EQ(Node::SaveXmlFile(path, tree.node), eOk);
    EXPECT_EQ(ReadText(),
              "<Branch name=\"r\">\n<Float64 name=\"f\" value=\"1e-20\" minimum=\"-inf\" "
              "maximum=\"4.94065645841247e-324\" default=\"nan\" digits=\"0\"/>\n</Branch>\n");
    Node* loaded = nullptr;
    ASSERT_EQ(Node::LoadXmlFile(path, &loaded, nullptr), eOk);
    Owned own(loaded);
    EXPECT_TRUE(SameTree(loaded, tree.node));
}

TEST_F(TreeXmlLoad, OpenFailureLeavesTargetAndPointer) {
    Owned tree(SampleTree());
    std::remove(path.c_str());
    Node* root = tree.node;
    EXPECT_EQ(Node::LoadXmlFile(path, &root, tree.node), eCannotOpenFile);
    EXPECT_EQ(root, tree.node);
    EXPECT_EQ(tree.node->GetKeepFlag(), 1);
    Node* fresh = tree.node;
    EXPECT_EQ(Node::LoadXmlFile(path, &fresh, nullptr), eCannotOpenFile);
    EXPECT_EQ(fresh, nullptr);
}

// ---------------------------------------------------------------------------------------

using TreeXmlNames = TreeXmlFixture;

TEST_F(TreeXmlNames, NamesAreChildNamesNeverPaths) {
    Owned top(new Node(eNodeBranch, "top"));
    Node* sibling = Add(top.node, eNodeInt32, "sibling");
    Node* target = Add(top.node, eNodeBranch, "t");
    Node* a = Add(target, eNodeBranch, "a");
    Node* b = Add(a, eNodeInt32, "b");
    Node* root = nullptr;
    EXPECT_EQ(LoadText("<Branch name=\"t\">"
                       "<Branch name=\"a\"><Int32 name=\"b\" value=\"1\"/></Branch>"
                       "<Int32 name=\"../sibling\" value=\"5\"/>"
                       "<Int32 name=\"..\" value=\"6\"/>"
                       "<Int32 name=\"a/b\" value=\"7\"/>"
                       "<Int32 name=\".\" value=\"8\"/>"
                       "</Branch>",
                       target, &root),
              eOk);
    EXPECT_EQ(Node::GetInt32Attribute(sibling, eAttrValue), 0);
    EXPECT_EQ(Node::GetInt32Attribute(b, eAttrValue), 1);
    EXPECT_EQ(Child(top.node, "t"), target);
    EXPECT_EQ(CountChildren(target), 5);
    EXPECT_EQ(Node::GetInt32Attribute(Child(target, "a/b"), eAttrValue), 7);
    EXPECT_EQ(Node::GetInt32Attribute(Child(target, ".."), eAttrValue), 6);

    // And they save and load back as the same names.
    ASSERT_EQ(Node::SaveXmlFile(path, target), eOk);
    Node* loaded = nullptr;
    ASSERT_EQ(Node::LoadXmlFile(path, &loaded, nullptr), eOk);
    Owned own(loaded);
    EXPECT_TRUE(SameTree(loaded, target));
}

TEST_F(TreeXmlNames, FirstOfSameNamedSiblingsWins) {
    Owned tree(new Node(eNodeBranch, "r"));
    Node* first = Add(tree.node, eNodeInt32, "d");
    Node* second = Add(tree.node, eNodeInt32, "d");
    Node::SetInt32Attribute(second, eAttrValue, 9);
    Node* root = nullptr;
    EXPECT_EQ(LoadText("<Branch name=\"r\"><Int32 name=\"d\" value=\"4\"/></Branch>",
                       tree.node, &root),
              eOk);
    EXPECT_EQ(tree.node->GetFirstChild(), first);
    EXPECT_EQ(Node::GetInt32Attribute(first, eAttrValue), 4);
    EXPECT_EQ(CountChildren(tree.node), 1);  // the unnamed second one is pruned
}

// The loader finds siblings by name through an index; a subscriber that deletes a node while
// the load runs must not leave it a stale entry (ASan would see the freed node used).
TEST_F(TreeXmlNames, NodeDeletedByASubscriberDuringTheLoadIsNotUsed) {
    Owned tree(new Node(eNodeBranch, "r"));
    Node* a = Add(tree.node, eNodeInt32, "a");
    Node* b = Add(tree.node, eNodeInt32, "b");
    Add(tree.node, eNodeInt32, "c");
    ASSERT_EQ(Node::Subscribe(a, [](Node*, int, void* user) {
        Node*& victim = *static_cast<Node**>(user);
        if (victim != nullptr) Node::Delete(victim);
        victim = nullptr;
    }, &b), eOk);
    Node* root = nullptr;
    EXPECT_EQ(LoadText("<Branch name=\"r\"><Int32 name=\"a\" value=\"1\"/><Int32 name=\"b\" value=\"2\"/>"
                       "<Int32 name=\"c\" value=\"3\"/></Branch>",
                       tree.node, &root),
              eOk);
    EXPECT_EQ(b, nullptr);  // the subscriber ran
    Node* found = nullptr;
    ASSERT_EQ(Node::Find(tree.node, "b", &found), eOk);  // made anew, after c
    EXPECT_EQ(Node::GetInt32Attribute(found, eAttrValue), 2);
    EXPECT_EQ(found->GetNextSibling(), nullptr);
    EXPECT_EQ(CountChildren(tree.node), 3);
}

// ---------------------------------------------------------------------------------------

using TreeXmlIgnored = TreeXmlFixture;

TEST_F(TreeXmlIgnored, IgnoredElementsAndTheirContentChangeNothing) {
    Owned tree(new Node(eNodeBranch, "r"));
    Node* keep = Add(tree.node, eNodeInt32, "keep");
    Node* root = nullptr;
    EXPECT_EQ(LoadText("<Branch name=\"r\">"
                       "<Branch><Int32 name=\"in_nameless\" value=\"1\"/></Branch>"
                       "<Foo name=\"nothing\"><Int32 name=\"in_unknown\" value=\"1\"/></Foo>"
                       "<Foo name=\"keep\" value=\"3\"><Branch name=\"x\"/></Foo>"
                       "<Int32 name=\"leaf\" value=\"2\"><Int32 name=\"in_leaf\"/>"
                       "<Branch name=\"deeper\"><Int32 name=\"in_leaf2\"/></Branch></Int32>"
                       "<Int32 name=\"after\" value=\"4\"/>"
                       "</Branch>",
                       tree.node, &root),
              eOk);
    // Unknown element naming an existing node: its attributes apply by the node's type.
    EXPECT_EQ(Node::GetInt32Attribute(keep, eAttrValue), 3);
    EXPECT_EQ(keep->GetFirstChild(), nullptr);
    Node* leaf = Child(tree.node, "leaf");
    ASSERT_NE(leaf, nullptr);
    EXPECT_EQ(leaf->GetFirstChild(), nullptr);
    EXPECT_EQ(Node::GetInt32Attribute(Child(tree.node, "after"), eAttrValue), 4);
    EXPECT_EQ(CountChildren(tree.node), 3);  // keep, leaf, after
}

TEST_F(TreeXmlIgnored, WithoutAUsableOutermostBranchThereIsNoRoot) {
    for (const char* text : {"<Int32 name=\"r\" value=\"1\"/>",
                             "<Branch><Branch name=\"r\"/></Branch>",
                             "<Foo name=\"r\"><Branch name=\"r\"/></Foo>"}) {
        Node* loaded = reinterpret_cast<Node*>(this);
        EXPECT_EQ(LoadText(text, nullptr, &loaded), eXmlNotWellFormed) << text;
        EXPECT_EQ(loaded, nullptr) << text;

        Owned tree(new Node(eNodeBranch, "r"));
        Add(tree.node, eNodeInt32, "x");
        Node* root = tree.node;
        EXPECT_EQ(LoadText(text, tree.node, &root), eXmlNotWellFormed) << text;
        EXPECT_EQ(root, tree.node);
        EXPECT_EQ(CountChildren(tree.node), 1);
    }
}

// ---------------------------------------------------------------------------------------

using TreeXmlMergeSafety = TreeXmlFixture;

TEST_F(TreeXmlMergeSafety, ParseErrorLeavesTargetPointerAndSubscribersAlone) {
    Owned top(new Node(eNodeBranch, "top"));
    Node* target = Add(top.node, eNodeBranch, "r");
    Node* i = Add(target, eNodeInt32, "i");
    Node* gone = Add(target, eNodeInt32, "gone");
    SubscribeAll(top.node);
    Node* bound = target;
    EXPECT_EQ(LoadText("<Branch name=\"r\"><Int32 name=\"i\" value=\"5\"/>"
                       "<Int32 name=\"new\" value=\"1\"/><Broken</Branch>",
                       target, &bound),
              eXmlNotWellFormed);
    EXPECT_EQ(bound, target);
    EXPECT_TRUE(gEvents.empty());
    EXPECT_EQ(Child(top.node, "r"), target);
    EXPECT_EQ(target->GetFirstChild(), i);
    EXPECT_EQ(i->GetNextSibling(), gone);
    EXPECT_EQ(gone->GetNextSibling(), nullptr);
    EXPECT_EQ(Node::GetInt32Attribute(i, eAttrValue), 0);
    EXPECT_EQ(gone->GetKeepFlag(), 1);
    EXPECT_EQ(target->GetKeepFlag(), 1);
}

TEST_F(TreeXmlMergeSafety, OtherOutermostNameIsRefusedForATarget) {
    Owned tree(new Node(eNodeBranch, "r"));
    Node* x = Add(tree.node, eNodeInt32, "x");
    SubscribeAll(tree.node);
    Node* bound = tree.node;
    EXPECT_EQ(LoadText("<Branch name=\"other\"><Int32 name=\"x\" value=\"5\"/></Branch>",
                       tree.node, &bound),
              eXmlNotWellFormed);
    EXPECT_EQ(bound, tree.node);
    EXPECT_EQ(tree.node->GetFirstChild(), x);
    EXPECT_EQ(Node::GetInt32Attribute(x, eAttrValue), 0);
    EXPECT_EQ(x->GetKeepFlag(), 1);
    EXPECT_TRUE(gEvents.empty());
}

TEST_F(TreeXmlMergeSafety, VerifierSeesTheFileAndCanRefuseIt) {
    Owned tree(new Node(eNodeBranch, "r"));
    Node* x = Add(tree.node, eNodeInt32, "x");
    SubscribeAll(tree.node);
    const std::string text = "<Branch name=\"r\"><Int32 name=\"x\" value=\"5\"/></Branch>";
    int calls = 0;
    auto refuse = [&](Node* scratch) {
        ++calls;
        EXPECT_NE(scratch, tree.node);
        Node* sx = nullptr;
        EXPECT_EQ(Node::Find(scratch, "x", &sx), eOk);
        EXPECT_EQ(Node::GetInt32Attribute(sx, eAttrValue), 5);
        return false;
    };
    Node* bound = tree.node;
    EXPECT_EQ(LoadText(text, tree.node, &bound, refuse), eXmlNotWellFormed);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(bound, tree.node);
    EXPECT_EQ(Node::GetInt32Attribute(x, eAttrValue), 0);
    EXPECT_TRUE(gEvents.empty());

    EXPECT_EQ(LoadText(text, tree.node, &bound, [](Node*) { return true; }), eOk);
    EXPECT_EQ(Node::GetInt32Attribute(x, eAttrValue), 5);
    EXPECT_EQ(gEvents, std::vector<std::string>{"x:0"});

    // Not called for a file that does not parse; a refused null-target load frees the tree.
    calls = 0;
    EXPECT_EQ(LoadText("<Branch name=\"r\">", tree.node, &bound, refuse), eXmlNotWellFormed);
    EXPECT_EQ(calls, 0);
    Node* fresh = nullptr;
    EXPECT_EQ(LoadText(text, nullptr, &fresh, refuse), eXmlNotWellFormed);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(fresh, nullptr);
}

TEST_F(TreeXmlMergeSafety, FileBrokenBetweenCheckAndMergeKeepsWhatWasApplied) {
    Owned tree(new Node(eNodeBranch, "r"));
    Node* x = Add(tree.node, eNodeInt32, "x");
    Node* y = Add(tree.node, eNodeInt32, "y");
    // The verifier runs between the two passes; here it breaks the file behind the loader.
    auto breakFile = [&](Node*) {
        WriteText("<Branch name=\"r\"><Int32 name=\"x\" value=\"8\"/><Int32 name=\"z\"/><");
        return true;
    };
    Node* bound = tree.node;
    EXPECT_EQ(LoadText("<Branch name=\"r\"><Int32 name=\"x\" value=\"5\"/></Branch>", tree.node,
                       &bound, breakFile),
              eXmlNotWellFormed);
    EXPECT_EQ(bound, tree.node);
    EXPECT_EQ(Node::GetInt32Attribute(x, eAttrValue), 8);
    EXPECT_EQ(x->GetNextSibling(), y);  // nothing pruned
    EXPECT_EQ(CountChildren(tree.node), 3);
    EXPECT_EQ(y->GetKeepFlag(), 1);
}

TEST_F(TreeXmlMergeSafety, NullTargetParseErrorFreesThePartialTree) {
    Node* loaded = reinterpret_cast<Node*>(this);
    EXPECT_EQ(LoadText("<Branch name=\"r\"><Int32 name=\"a\" value=\"1\"/><x", nullptr, &loaded),
              eXmlNotWellFormed);
    EXPECT_EQ(loaded, nullptr);  // the sanitizer build proves the nodes were freed
}

TEST_F(TreeXmlMergeSafety, NestingDeeperThan64IsRefused) {
    auto nested = [](int depth) {
        std::string text;
        for (int d = 1; d < depth; ++d) text += "<Branch name=\"d" + std::to_string(d) + "\">";
        text += "<Int32 name=\"leaf\" value=\"1\"/>";
        for (int d = 1; d < depth; ++d) text += "</Branch>";
        return text;
    };
    Node* loaded = nullptr;
    ASSERT_EQ(LoadText(nested(64), nullptr, &loaded), eOk);
    Owned own(loaded);
    Node* leaf = nullptr;
    std::string leafPath;
    for (int d = 2; d < 64; ++d) leafPath += "d" + std::to_string(d) + "/";
    EXPECT_EQ(Node::Find(loaded, leafPath + "leaf", &leaf), eOk);

    Owned tree(new Node(eNodeBranch, "d1"));
    Node* x = Add(tree.node, eNodeInt32, "x");
    SubscribeAll(tree.node);
    Node* bound = tree.node;
    EXPECT_EQ(LoadText(nested(65), tree.node, &bound), eXmlNotWellFormed);
    EXPECT_EQ(bound, tree.node);
    EXPECT_EQ(tree.node->GetFirstChild(), x);
    EXPECT_EQ(x->GetNextSibling(), nullptr);
    EXPECT_TRUE(gEvents.empty());

    Node* none = nullptr;
    std::string deep;
    for (int d = 0; d < 60000; ++d) deep += "<Branch name=\"d\">";  // within the size bound
    EXPECT_EQ(LoadText(deep, nullptr, &none), eXmlNotWellFormed);
    EXPECT_EQ(none, nullptr);
}

}  // namespace
}  // namespace Korvex
