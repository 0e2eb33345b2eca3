// The instrument's settings tree as tests need it: the factory defaults loaded from the
// repository's romfs/factory.xml, made the root and bound; and small text edits for making
// variants of settings files.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "Host/parameters/Bindings.h"
#include "Host/parameters/ParameterNode.h"

namespace korvex_test {

// Loads the factory tree as the root and binds it; null (with a test failure) when it cannot.
inline Korvex::CParameterNode* LoadFactoryTree() {
    using namespace Korvex;
    CParameterNode* root = nullptr;
    const std::string path = std::string(KORVEX_SOURCE_DIR) + "/romfs/factory.xml";
    EXPECT_EQ(CParameterNode::LoadXmlFile(path, &root, nullptr), 0) << path;
    ParameterTreeRoot = root;
    EXPECT_EQ(KorvexBindSettingsNodes(), 0);
    return root;
}

// Unbinds everything, clears the root and frees the tree.
inline void UnloadFactoryTree(Korvex::CParameterNode* root) {
    using namespace Korvex;
    for (const SettingsBindingRow& row : SettingsBindingTable) *row.pointer = nullptr;
    ParameterTreeRoot = nullptr;
    if (root) CParameterNode::Delete(root);
}

// text with its one occurrence of from replaced by to.
inline std::string Replace(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

// text without the line holding needle.
inline std::string DropLine(const std::string& text, const std::string& needle) {
    const std::size_t at = text.find(needle);
    EXPECT_NE(at, std::string::npos) << needle;
    if (at == std::string::npos) return text;
    const std::size_t begin = text.rfind('\n', at) + 1;
    const std::size_t end = text.find('\n', at);
    return text.substr(0, begin) + text.substr(end + 1);
}

}  // namespace korvex_test
