// The factory settings tree, bound, a running parser and one test host, for the parser and
// dispatch tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Host/acquisition/AcquisitionSeam.h"
#include "Host/parameters/Bindings.h"
#include "support/FactoryTree.h"
#include "support/SubscriberGate.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/scpi/parser/KorvexHostParser.h"
#include "Host/scpi/support/TestHost.h"

namespace Korvex::test {

class ParserFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = korvex_test::LoadFactoryTree();
        ASSERT_NE(root, nullptr);
        parser = std::make_unique<CKorvexHostParser>();
        ASSERT_EQ(parser->Running(), 1);
        CParameterNode::SetPointerAttribute(g_pScpiParserObject, eAttrValue, parser.get());
        host = std::make_unique<CTestHost>(parser.get());
        ASSERT_EQ(host->Exchange("*CLS"), "");
        ClearQueue(*host);
    }

    void TearDown() override
    {
        host.reset();
        parser.reset();
        CAcquisitionSeam::Install(nullptr);
        korvex_test::UnloadFactoryTree(root);
    }

    static void ClearQueue(CTestHost& h)
    {
        while (h.NextError() != "0,No error") {
        }
    }

    CParameterNode* root = nullptr;
    std::unique_ptr<CKorvexHostParser> parser;
    std::unique_ptr<CTestHost> host;
};


}  // namespace Korvex::test
