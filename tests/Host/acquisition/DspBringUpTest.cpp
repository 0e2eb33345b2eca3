// Bring-up of the simulated DSP with the build's program image: reset, memory interface,
// load, start, the host interrupt on "/dev/dsp-int" and SYSTEM_READY; then one exchange of
// every request of the message table.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/ProbeDouble.h"
#include "Host/acquisition/AcqExceptions.h"
#include "Host/acquisition/CKorvexDSP.h"
#include "Host/acquisition/CKorvexDSPLoader.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/peripherals/CKorvexPeripheral.h"
#include "Host/scpi/units/MeasurementUnits.h"
#include "board/dsp_devices.h"
#include "board/hpi.h"
#include "platform/devio/DevIo.h"
#include "sim/dsp/DspSim.h"
#include "support/BoardFixture.h"

namespace KorvexTest {
namespace {

namespace dsp = Korvex::CKorvexDSP;
using Korvex::CParameterNode;

constexpr std::int64_t ReplyWaitTicks = 500;  // 5 s of board time at most
constexpr std::int64_t NoReplyTicks = 30;     // how long "nothing happens" is watched

// A pulsed proton probe covering 1 to 300 MHz.
class CPulsedProbe : public korvex_test::CProbeDouble {
public:
    CPulsedProbe()
    {
        info.MinFreq = 1e6;
        info.MaxFreq = 300e6;
        info.GyroRatio = 42.57747892e6;
        info.SampleLength = 0.002;
        info.DeadTime = 20;
        designation = "pulsed";
    }
};

// Loads an image through the loader's block writes without the reset and start around it.
class CImageLoader : public Korvex::CKorvexDSPLoader {
};

class DspBringUpFixture : public korvex_test::BoardFixture {
protected:
    void SetUp() override
    {
        BoardFixture::SetUp();
        Mount();
        ASSERT_TRUE(board_register_dsp_devices());
        sim.attach();
        fd = devio::devio_open(dsp::GetInterruptDeviceName(), devio::OPEN_READ_WRITE);
        ASSERT_GE(fd, 0);
        dsp::AckHostInterrupt();
        while (Select(0) == 1) {  // what earlier tests left counted
        }
        ASSERT_TRUE(dsp::AcquireDSP());
        dsp::SetNotBooted();
        dsp::ReleaseDSP();
    }

    void TearDown() override
    {
        dsp::ReleaseDSP();
        dsp::AckHostInterrupt();
        while (Select(0) == 1) {
        }
        devio::devio_close(fd);
        sim.detach();
        Korvex::KorvexSetProbeGyroRatioSource(nullptr);
        for (const Korvex::SettingsBindingRow& row : Korvex::SettingsBindingTable) *row.pointer = nullptr;
        BoardFixture::TearDown();
    }

    std::string RomfsSource() const override { return KORVEX_ROMFS_DIR; }

    int Select(std::int64_t ticks)
    {
        devio::FdSet set;
        devio::devio_fd_zero(&set);
        devio::devio_fd_set(fd, &set);
        return devio::devio_select(fd + 1, &set, nullptr, ticks);
    }

    // Reset, memory interface and load as the steps say; false when the load failed.
    bool Load(bool reset, bool emif)
    {
        if (reset) dsp_hard_reset(1);
        if (emif) dsp_emif_init();
        try {
            CImageLoader loader;
            return loader.Load(dsp::DSPProgramPath);
        } catch (const Korvex::CCOFFParserException&) {
            return false;
        }
    }

    // Starts the program and, when it answers, receives SYSTEM_READY.
    void ExpectSystemReady()
    {
        hpi_raise_dsp_interrupt();
        ASSERT_EQ(Select(ReplyWaitTicks), 1);
        EXPECT_EQ(Select(0), 1);  // still readable: not acknowledged yet
        std::uint32_t word = 0;
        ASSERT_EQ(dsp::ReceiveMessage(dsp::SYSTEM_READY, word), 0u);
        dsp::AckHostInterrupt();
        EXPECT_EQ(Select(0), 0);
        EXPECT_EQ(word & dsp::ReplyErrorFlag, 0u);
        std::uint16_t dspMajor = 0, dspMinor = 0, cpldMajor = 0, cpldMinor = 0;
        dsp::GetReplyShorts(dspMajor, dspMinor, cpldMajor, cpldMinor);
        EXPECT_EQ(dspMajor, 2);
        EXPECT_EQ(dspMinor, 5);
        EXPECT_EQ(cpldMajor, 1);
        EXPECT_EQ(cpldMinor, 8);
        EXPECT_EQ(dsp::GetLinkState(), dsp::LinkReady);
        EXPECT_EQ(sim.boots(), 1u);
    }

    void ExpectNoSystemReady()
    {
        hpi_raise_dsp_interrupt();
        EXPECT_EQ(Select(NoReplyTicks), 0);
        EXPECT_EQ(sim.boots(), 0u);
        EXPECT_NE(sim.state(), sim::dsp::DspSim::State::Running);
        EXPECT_EQ(dsp::GetLinkState(), dsp::LinkNotBooted);
    }

    sim::dsp::DspSim sim;
    int fd = -1;
};

using DspBringUp = DspBringUpFixture;

TEST_F(DspBringUp, ResetMemoryLoadAndStartGiveSystemReady)
{
    ASSERT_TRUE(Load(true, true));
    EXPECT_EQ(sim.state(), sim::dsp::DspSim::State::AwaitingProgram);
    ExpectSystemReady();
}

TEST_F(DspBringUp, LoadDSPCodeGivesSystemReady)
{
    ASSERT_EQ(dsp::LoadDSPCode(), 0u);
    ASSERT_EQ(Select(ReplyWaitTicks), 1);
    std::uint32_t word = 0;
    ASSERT_EQ(dsp::ReceiveMessage(dsp::SYSTEM_READY, word), 0u);
    dsp::AckHostInterrupt();
    EXPECT_EQ(dsp::GetLinkState(), dsp::LinkReady);
}

TEST_F(DspBringUp, NoResetNoStart)
{
    // Loaded, but the DSP was never reset: it does not await a program.
    Load(false, true);
    ExpectNoSystemReady();
}

TEST_F(DspBringUp, NoMemoryInterfaceNoStart)
{
    EXPECT_FALSE(Load(true, false));  // external memory does not keep the checked block
    ExpectNoSystemReady();
}

TEST_F(DspBringUp, CorruptDescriptorNoStart)
{
    ASSERT_TRUE(Load(true, true));
    const std::uint32_t check = hpi_read_word(7 * 4);
    hpi_write_word(7 * 4, check ^ 0x1);
    ExpectNoSystemReady();
}

TEST_F(DspBringUp, EveryRequestIsAnswered)
{
    ASSERT_TRUE(Load(true, true));
    ExpectSystemReady();

    CParameterNode* root = nullptr;
    ASSERT_EQ(CParameterNode::LoadXmlFile("/romfs/factory.xml", &root, nullptr), 0);
    Korvex::ParameterTreeRoot = root;  // deleted by the board fixture
    ASSERT_EQ(Korvex::KorvexBindSettingsNodes(), 0);
    CPulsedProbe probe;
    CParameterNode::SetValue(Korvex::g_pCurrentProbeObject, static_cast<void*>(&probe));
    Korvex::KorvexSetProbeGyroRatioSource([](double& ratio) {
        ratio = 42.57747892e6;
        return 0;
    });
    float low = 60e6f, high = 70e6f, step = 0.0f;
    dsp::SetSearchParameters(low, high, step, 0);

    const std::uint32_t requests[] = {
        dsp::PW_DEFAULT_CONFIGURATION, dsp::PW_PROBE_CONNECT, dsp::PW_MEASURE_PARMS,
        dsp::EXTERNAL_REFERENCE, dsp::TRIGGER_OUT, dsp::INITIATE_SEARCH, dsp::GET_SEARCH_RESULT,
        dsp::INITIATE_TRACKING, dsp::INITIATE_FIXED_MEASUREMENT, dsp::TRIGGER,
        dsp::GET_PW_MEASUREMENT, dsp::REQUEST_SIGNAL, dsp::RELEASE_SIGNAL, dsp::ABORT,
        dsp::LL_SET_FREQUENCY, dsp::LL_SET_VOLTAGES, dsp::LL_SET_FIELD_MODULATION, dsp::QUIT};
    for (std::uint32_t id : requests) {
        SCOPED_TRACE(dsp::GetRequestName(id));
        ASSERT_EQ(dsp::SendMessage(id), 0u);
        ASSERT_EQ(Select(ReplyWaitTicks), 1);
        std::uint32_t word = 0;
        EXPECT_EQ(dsp::ReceiveMessage(dsp::ReplyIdOf(id), word), 0u);
        EXPECT_EQ(word & dsp::ReplyErrorFlag, 0u);
        dsp::AckHostInterrupt();
        dsp::ReleaseDSP();
        EXPECT_EQ(sim.requests(id), 1u);
        EXPECT_EQ(dsp::GetLinkState(), dsp::LinkReady);
    }
    EXPECT_EQ(sim.violations(), 0u);
    CParameterNode::SetValue(Korvex::g_pCurrentProbeObject, static_cast<void*>(nullptr));
}

}  // namespace
}  // namespace KorvexTest
