// The acquisition thread's system flow against the simulated DSP: the start-up handshake
// with the main thread, the version checks and the reload cycle, and a DSP that never
// boots.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <thread>

#include "AcqFlowsTestSupport.h"
#include "Host/acquisition/CKorvexDSP.h"
#include "Host/acquisition/CKorvexHostAcquisition.h"
#include "Host/acquisition/CRegistrableObject.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/Error.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/parameters/PowerHooks.h"
#include "Host/parameters/RecursiveMutex.h"
#include "board/dsp_devices.h"
#include "platform/kernel/Kernel.h"
#include "sim/dsp/DspSim.h"
#include "support/BoardFixture.h"
#include "support/FactoryTree.h"

namespace KorvexTest {
namespace {

namespace dsp = Korvex::CKorvexDSP;
using Korvex::CKorvexHostAcquisition;
using Korvex::CParameterNode;

std::string NodeText(CParameterNode* node)
{
    Korvex::CRecursiveLock lock(Korvex::ParameterTreeLock());
    return CParameterNode::GetStringAttribute(node, 0);
}

class AcqSystemFlowFixture : public korvex_test::BoardFixture {
protected:
    void SetUp() override
    {
        BoardFixture::SetUp();
        Mount();
        ASSERT_TRUE(board_register_dsp_devices());
        sim.attach();
        ASSERT_EQ(CParameterNode::LoadXmlFile("/romfs/factory.xml", &root, nullptr), 0);
        Korvex::ParameterTreeRoot = root;
        ASSERT_EQ(Korvex::KorvexBindSettingsNodes(), 0);
        restartsBefore = Korvex::RestartRequestCount();
    }

    void TearDown() override
    {
        acq.reset();  // ends the thread before anything it uses goes
        dsp::ReleaseDSP();
        dsp::AckHostInterrupt();
        sim.detach();
        korvex_test::UnloadFactoryTree(root);
        BoardFixture::TearDown();
    }

    std::string RomfsSource() const override { return KORVEX_ROMFS_DIR; }

    void StartController()
    {
        acq = std::make_unique<CKorvexHostAcquisition>();
        acq->Start();
    }

    sim::dsp::DspSim sim;
    CParameterNode* root = nullptr;
    unsigned restartsBefore = 0;
    std::unique_ptr<CKorvexHostAcquisition> acq;
};

using AcqSystemFlow = AcqSystemFlowFixture;

TEST_F(AcqSystemFlow, StartsAndReachesTheTriggerFlow)
{
    StartController();
    std::uint8_t accepted = 7, started = 7;
    ASSERT_EQ(acq->WaitForDspStarted(EventDeadlineMs, accepted, started), 1);
    EXPECT_EQ(accepted, 1);
    EXPECT_EQ(started, 1);
    EXPECT_EQ(acq->WaitForAcqStarted(EventDeadlineMs), 1);
    ASSERT_TRUE(Eventually([&] { return acq->GetSystemPhase() == 2; }, EventDeadline));
    EXPECT_TRUE(acq->IsSystemUp());
    EXPECT_EQ(NodeText(Korvex::g_pVersionsDspFirmware), "2.5");
    EXPECT_EQ(NodeText(Korvex::g_pVersionsCpld), "1.8");
    EXPECT_EQ(sim.requests(dsp::PW_DEFAULT_CONFIGURATION), 1u);
    EXPECT_EQ(sim.requests(dsp::EXTERNAL_REFERENCE), 1u);
    EXPECT_EQ(sim.requests(dsp::TRIGGER_OUT), 1u);
    EXPECT_EQ(acq->Clear(), 0);

    // Later calls answer at once.
    accepted = started = 0;
    EXPECT_EQ(acq->WaitForDspStarted(0, accepted, started), 1);
    EXPECT_EQ(accepted, 1);
    EXPECT_EQ(acq->WaitForAcqStarted(0), 1);

    // Idle heartbeat checks pass while the DSP counts: no reload.
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(sim.boots(), 1u);
    EXPECT_EQ(Korvex::RestartRequestCount(), restartsBefore);
}

// A refused version reloads the program at most once a second, leaving the reported
// version in the node.
struct RefusedVersion {
    std::uint16_t dspMajor, dspMinor, cpldMajor, cpldMinor;
    const char* dspText;
    const char* cpldText;  // null: the CPLD is never looked at
};

void PrintTo(const RefusedVersion& v, std::ostream* out)
{
    *out << "DSP " << v.dspMajor << "." << v.dspMinor << ", CPLD " << v.cpldMajor << "." << v.cpldMinor;
}

class AcqSystemFlowVersions : public AcqSystemFlowFixture,
                              public ::testing::WithParamInterface<RefusedVersion> {
};

TEST_P(AcqSystemFlowVersions, RefusedVersionReloadsAtMostOncePerSecond)
{
    const RefusedVersion& v = GetParam();
    sim.report_versions(v.dspMajor, v.dspMinor, v.cpldMajor, v.cpldMinor);
    const Clock::time_point start = Clock::now();
    StartController();

    std::uint8_t accepted = 7, started = 7;
    EXPECT_EQ(acq->WaitForDspStarted(300, accepted, started), 0);
    EXPECT_EQ(accepted, 7);  // untouched
    EXPECT_EQ(started, 7);
    EXPECT_EQ(acq->WaitForAcqStarted(EventDeadlineMs), 1);  // the thread is up all the same

    ASSERT_TRUE(Eventually([&] { return sim.boots() >= 3; }, EventDeadline));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1900));
    EXPECT_FALSE(acq->IsSystemUp());
    EXPECT_EQ(acq->Clear(), Korvex::eAcquisitionNotUp);
    EXPECT_EQ(NodeText(Korvex::g_pVersionsDspFirmware), v.dspText);
    if (v.cpldText != nullptr) {
        EXPECT_EQ(NodeText(Korvex::g_pVersionsCpld), v.cpldText);
    }
    EXPECT_EQ(Korvex::RestartRequestCount(), restartsBefore);

    // Once the DSP reports the right versions, the next pass starts the system.
    sim.report_true_versions();
    ASSERT_EQ(acq->WaitForDspStarted(EventDeadlineMs, accepted, started), 1);
    EXPECT_EQ(accepted, 1);
    EXPECT_EQ(started, 1);
    EXPECT_TRUE(Eventually([&] { return acq->GetSystemPhase() == 2; }, EventDeadline));
}

INSTANTIATE_TEST_SUITE_P(
    AcqSystemFlow, AcqSystemFlowVersions,
    ::testing::Values(RefusedVersion{2, 4, 1, 8, "2.4", nullptr},
                      RefusedVersion{2, 6, 1, 8, "2.6", nullptr},
                      RefusedVersion{2, 5, 1, 7, "2.5", "1.7"},
                      RefusedVersion{2, 5, 1, 9, "2.5", "1.9"}),
    [](const ::testing::TestParamInfo<RefusedVersion>& info) {
        return "Dsp" + std::to_string(info.param.dspMajor) + std::to_string(info.param.dspMinor) +
               "Cpld" + std::to_string(info.param.cpldMajor) + std::to_string(info.param.cpldMinor);
    });

TEST_F(AcqSystemFlow, DspRefusingBootNeverBlocksTheSenders)
{
    sim.refuse_boot(true);
    const Clock::time_point start = Clock::now();
    StartController();
    EXPECT_EQ(acq->WaitForAcqStarted(EventDeadlineMs), 1);
    std::uint8_t accepted = 7, started = 7;
    EXPECT_EQ(acq->WaitForDspStarted(200, accepted, started), 0);
    EXPECT_EQ(acq->Clear(), Korvex::eAcquisitionNotUp);

    // An initiation and an abort queued while no flow runs: both senders are released by
    // the next reload instead of waiting for ever.
    Korvex::CMailBox<Korvex::PipeMsg> messages(Korvex::AcqMessagePipePath);
    Korvex::CMailBox<Korvex::AbortMsg> aborts(Korvex::AcqAbortPipePath);
    ASSERT_EQ(messages.valid, 1);
    ASSERT_EQ(aborts.valid, 1);
    Korvex::CCompletionSemaphore initiated, aborted;
    Korvex::PipeMsg initiate;
    initiate.command = Korvex::PipeMsg::Initiate;
    initiate.completion = initiated.Token();
    Korvex::AbortMsg abort;
    abort.completion = aborted.Token();
    ASSERT_TRUE(messages.Write(initiate));
    ASSERT_TRUE(aborts.Write(abort));
    EXPECT_TRUE(Eventually([&] { return kernel::semaphore_peek(initiated.Get()) == 1; }, EventDeadline));
    EXPECT_TRUE(Eventually([&] { return kernel::semaphore_peek(aborted.Get()) == 1; }, EventDeadline));
    EXPECT_EQ(acq->GetLastAcqError(), Korvex::eAcquisitionNotUp);
    EXPECT_FALSE(acq->IsTriggerActive());

    // No pass is shorter than a second, even though nothing boots.
    ASSERT_TRUE(Eventually([&] { return acq->GetLastAcqError() != 0; }, EventDeadline));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(900));
    EXPECT_EQ(sim.boots(), 0u);
    EXPECT_EQ(Korvex::RestartRequestCount(), restartsBefore);
}

}  // namespace
}  // namespace KorvexTest
