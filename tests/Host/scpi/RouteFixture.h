// The topology fixture with a running parser and one test host: the ROUTe and MMEMory
// commands against the simulated peripheral controller and the board's file systems.
#pragma once

#include <memory>
#include <string>

#include "Host/acquisition/AcquisitionSeam.h"
#include "Host/peripherals/TopologyFixture.h"
#include "Host/scpi/parser/KorvexHostParser.h"
#include "Host/scpi/support/TestHost.h"

namespace korvex_test {

// A measurement is initiated.
class MeasuringSeam : public Korvex::CAcquisitionSeam {
public:
    bool TriggerActive() override { return true; }
};

class RouteFixture : public TopologyFixture {
protected:
    void SetUp() override {
        TopologyFixture::SetUp();
        if (HasFatalFailure()) return;
        Korvex::InstallProbeGyroRatioSource();
        parser = std::make_unique<Korvex::CKorvexHostParser>();
        ASSERT_EQ(parser->Running(), 1);
        Korvex::CParameterNode::SetPointerAttribute(Korvex::g_pScpiParserObject, Korvex::eAttrValue,
                                                    parser.get());
        host = std::make_unique<Korvex::test::CTestHost>(parser.get());
    }
    void TearDown() override {
        host.reset();
        parser.reset();
        Korvex::CAcquisitionSeam::Install(nullptr);
        TopologyFixture::TearDown();
    }

    std::string Ask(const std::string& text) { return host->Exchange(text, 10000); }
    std::string Error() { return host->NextError(); }
    // The errors queued so far, "|"-joined ("" for none).
    std::string Errors() {
        std::string all;
        for (std::string e = Error(); e != "0,No error"; e = Error()) all += (all.empty() ? "" : "|") + e;
        return all;
    }

    std::unique_ptr<Korvex::CKorvexHostParser> parser;
    std::unique_ptr<Korvex::test::CTestHost> host;
};

}  // namespace korvex_test
