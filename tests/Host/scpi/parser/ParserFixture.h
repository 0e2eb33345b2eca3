// The factory settings tree, bound, a running parser and one test host, for the parser and
// dispatch tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Host/acquisition/AcquisitionSeam.h"
#include "Host/parameters/Bindings.h"
#include "support/FactoryTree.h"
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

// A subscriber that holds the parser thread until the test opens the gate.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool entered = false;
    bool open = false;

    static void Hold(CParameterNode*, int event, void* user)
    {
        if (event != 0) return;
        auto* g = static_cast<Gate*>(user);
        std::unique_lock<std::mutex> lock(g->m);
        g->entered = true;
        g->cv.notify_all();
        g->cv.wait(lock, [g] { return g->open; });
    }
    bool WaitEntered()
    {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, std::chrono::seconds(5), [this] { return entered; });
    }
    void Open()
    {
        std::lock_guard<std::mutex> lock(m);
        open = true;
        cv.notify_all();
    }
};

}  // namespace Korvex::test
