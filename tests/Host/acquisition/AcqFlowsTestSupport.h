// A running acquisition controller against the simulated DSP for the flow, search and
// control tests: the board's DSP devices, the factory settings, the simulated DSP on a test
// clock (running with the steady clock unless a test pauses it), probe doubles registered
// by channel path for the probe services, and a recorder of the request frames the host
// writes.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Host/acquisition/CKorvexDSP.h"
#include "Host/acquisition/CKorvexHostAcquisition.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/parameters/RecursiveMutex.h"
#include "Host/scpi/exec/KorvexChannel.h"
#include "Host/scpi/status/KorvexScpiStatus.h"
#include "board/dsp_devices.h"
#include "platform/hpi/HpiWindow.h"
#include "sim/dsp/DspSim.h"
#include "support/BoardFixture.h"
#include "support/FactoryTree.h"
#include "Host/peripherals/CKorvexPeripheral.h"

namespace KorvexTest {

using Clock = std::chrono::steady_clock;

// How long a test waits for what it expects to happen: generous, for a loaded machine (a wait
// that is met returns at once).
constexpr std::chrono::seconds EventDeadline{30};
constexpr std::uint16_t EventDeadlineMs = 30000;

// Polls until the condition holds or the limit passes; the condition's last value.
template <typename Condition>
bool Eventually(Condition condition, std::chrono::milliseconds limit)
{
    const Clock::time_point end = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > end) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A pulsed-wave probe with a channel address, a frequency range, an optional Hall sensor;
// its remembered frequency is the base class's stored value.
class CAcqProbe : public Korvex::CKorvexPwMeasuringPeripheral {
public:
    CAcqProbe(const std::vector<std::uint8_t>& levels, double minHz, double maxHz)
        : CKorvexPwMeasuringPeripheral(Address(levels))
    {
        info.MinFreq = minHz;
        info.MaxFreq = maxHz;
        info.FreqMultiplier = 1.0;
        info.GyroRatio = 42.57747892e6;
        info.PulsePeriod = 0.01;
        info.SampleLength = 0.001;
    }

    std::uint32_t GetTypeCode() const override { return 1; }
    std::uint16_t GetIdentifierWord() const override { return 0; }
    std::uint32_t GetIdentifierNumber() const override { return 0; }
    std::string GetIdentityText() const override { return "probe"; }
    bool IsInitialised() const override { return true; }
    int Initialise() override { return 0; }
    std::uint8_t GetSubChannelCount() const override { return 0; }
    int ReadDeviceMemory(std::vector<std::uint8_t>&) override { return 0; }
    int WriteDeviceMemory(const std::vector<std::uint8_t>&) override { return 0; }
    int Activate() override { return 0; }
    double GetMinFreq() const override { return info.MinFreq; }
    double GetMaxFreq() const override { return info.MaxFreq; }
    double GetGyroRatio() const override { return info.GyroRatio; }
    bool GetHallState() const override { return hall; }
    int ReadHallWords(std::uint16_t&, std::uint16_t&, std::uint16_t&, std::uint16_t&) override { return 0; }
    int GetHallValue(float& x, float& y, float& z, float& magnitude, float& scale) override
    {
        x = y = z = 0.0f;
        magnitude = hallField;
        scale = hallTolerance;
        return hallResult;
    }
    const Korvex::PwPhysicalInformation* GetPhysicalInformation() const override { return &info; }
    int WriteWords(std::uint32_t, std::uint32_t) override { return 0; }

    static Korvex::CKorvexChannel Address(const std::vector<std::uint8_t>& levels)
    {
        Korvex::CKorvexChannel address;
        for (std::uint8_t level : levels) address.AddLevel(level);
        return address;
    }

    Korvex::PwPhysicalInformation info{};
    bool hall = false;
    int hallResult = 0;
    float hallField = 0.0f;      // tesla
    float hallTolerance = 0.05f;
};

// The probe services of the acquisition tests (they replace the interim ones in this test
// program): probes registered by channel path; nothing registered answers as nothing
// connected.
namespace probes {
void Register(CAcqProbe* probe);
void Clear();
std::string Path(const Korvex::CKorvexChannel& channel);
}  // namespace probes

// Forwards the host port to the simulated DSP and keeps the last request frame of each id.
class CRecordingPort : public platform::hpi::HpiDevice {
public:
    explicit CRecordingPort(platform::hpi::HpiDevice& target) : dsp(target) {}

    void write(std::uint32_t offset, std::uint32_t value) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            namespace hpi = platform::hpi;
            if (offset == hpi::HPIA) address = value;
            if (offset == hpi::HPID_WRITE_INC || offset == hpi::HPID_WRITE_FIXED) {
                if (address >= Korvex::CKorvexDSP::RequestFrameAddress &&
                    address < Korvex::CKorvexDSP::RequestFrameAddress + Korvex::CKorvexDSP::MaxFrameBytes) {
                    frame[(address - Korvex::CKorvexDSP::RequestFrameAddress) / 4] = value;
                }
                if (offset == hpi::HPID_WRITE_INC) address += 4;
            }
            if (offset == hpi::HPIC && (value & 0x2u) != 0 && frame.count(0) != 0) {
                const std::uint32_t id = frame[0];
                std::vector<std::uint32_t> words(Korvex::CKorvexDSP::GetRequestLength(id) / 4);
                for (std::size_t i = 0; i < words.size(); ++i) words[i] = frame[static_cast<std::uint32_t>(i)];
                sent[id].push_back(words);
            }
        }
        dsp.write(offset, value);
    }
    std::uint32_t read(std::uint32_t offset) override { return dsp.read(offset); }
    void set_reset(bool held) override { dsp.set_reset(held); }

    std::vector<std::vector<std::uint32_t>> Sent(std::uint32_t id)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return sent[id];
    }

private:
    platform::hpi::HpiDevice& dsp;
    std::mutex mutex;
    std::uint32_t address = 0;
    std::map<std::uint32_t, std::uint32_t> frame;
    std::map<std::uint32_t, std::vector<std::vector<std::uint32_t>>> sent;
};

// Exposes the flows for tests that run a step on their own thread.
class CTestController : public Korvex::CKorvexHostAcquisition {
public:
    using CKorvexHostAcquisition::SystemFlow;
};

inline float F32(std::uint32_t word)
{
    float value;
    std::memcpy(&value, &word, sizeof value);
    return value;
}

class AcqFlowsFixture : public korvex_test::BoardFixture {
protected:
    void SetUp() override
    {
        BoardFixture::SetUp();
        Mount();
        ASSERT_TRUE(board_register_dsp_devices());
        clock->resume();
        sim = std::make_unique<sim::dsp::DspSim>(sim::dsp::DspSimSettings{}, clock);
        sim->attach();
        port = std::make_unique<CRecordingPort>(*sim);
        platform::hpi::attach(port.get());
        ASSERT_EQ(Korvex::CParameterNode::LoadXmlFile("/romfs/factory.xml", &root, nullptr), 0);
        Korvex::ParameterTreeRoot = root;
        ASSERT_EQ(Korvex::KorvexBindSettingsNodes(), 0);
        // 1.0 T .. 2.0 T, the simulated field 1.5 T in the middle.
        SetDouble(Korvex::g_pSearchLow, 1.0);
        SetDouble(Korvex::g_pSearchHigh, 2.0);
        SetText(Korvex::g_pSearchMode, "AUTO");
        SetText(Korvex::g_pTriggerInSource, "IMMediate");
        SetInt(Korvex::g_pTriggerInCount, 1);
        SetBool(Korvex::g_pTriggerInContinuous, false);
        SetText(Korvex::g_pUnitsSelected, "T");
        probes::Clear();
    }

    void TearDown() override
    {
        acq.reset();  // ends the thread before anything it uses goes
        Korvex::CKorvexDSP::ReleaseDSP();
        Korvex::CKorvexDSP::AckHostInterrupt();
        platform::hpi::attach(sim.get());
        sim->detach();
        sim.reset();
        probes::Clear();
        korvex_test::UnloadFactoryTree(root);
        root = nullptr;
        BoardFixture::TearDown();
    }

    std::string RomfsSource() const override { return KORVEX_ROMFS_DIR; }

    // Starts the controller and waits until its trigger flow runs.
    void StartController()
    {
        acq = std::make_unique<CTestController>();
        acq->Start();
        ASSERT_TRUE(Eventually([&] { return acq->GetSystemPhase() == 2; }, EventDeadline));
    }

    // The probe "1" covering 40 MHz .. 100 MHz (the simulated resonance is near 63.9 MHz).
    CAcqProbe& AddProbe(std::vector<std::uint8_t> levels = {1}, double minHz = 40e6, double maxHz = 100e6)
    {
        owned.push_back(std::make_unique<CAcqProbe>(levels, minHz, maxHz));
        probes::Register(owned.back().get());
        return *owned.back();
    }

    std::vector<Korvex::CKorvexChannel> Channels(std::initializer_list<std::uint8_t> firstLevels)
    {
        std::vector<Korvex::CKorvexChannel> list;
        for (std::uint8_t level : firstLevels) {
            Korvex::CKorvexChannel channel;
            channel.AddLevel(level);
            list.push_back(channel);
        }
        return list;
    }

    int Initiate(std::vector<Korvex::CKorvexChannel> channels, double expected = 0.0)
    {
        return acq->InitiateTrigger(&client, channels, expected);
    }

    bool WaitIdle(std::chrono::milliseconds limit = EventDeadline)
    {
        return Eventually([&] { return !acq->IsTriggerActive(); }, limit);
    }

    static void SetText(Korvex::CParameterNode* node, const std::string& text)
    {
        Korvex::CParameterNode::SetValue(node, text);
    }
    static void SetDouble(Korvex::CParameterNode* node, double value) { Korvex::CParameterNode::SetValue(node, value); }
    static void SetInt(Korvex::CParameterNode* node, std::int32_t value) { Korvex::CParameterNode::SetValue(node, value); }
    static void SetBool(Korvex::CParameterNode* node, bool value) { Korvex::CParameterNode::SetValue(node, value); }
    static std::string Text(Korvex::CParameterNode* node)
    {
        Korvex::CRecursiveLock lock(Korvex::ParameterTreeLock());
        return Korvex::CParameterNode::GetStringAttribute(node, 0);
    }

    // Every error row posted to the client, oldest first.
    std::vector<std::uint32_t> ClientErrors()
    {
        std::vector<std::uint32_t> rows;
        for (std::uint32_t row; (row = Korvex::CKorvexScpiStatus::PopError(&client)) != 0;) rows.push_back(row);
        return rows;
    }

    static bool AcqErrorRowSet()
    {
        return (Korvex::CKorvexScpiStatus::ReadCondition(&Korvex::InstrumentBlock(), 3) & 0x200) != 0;
    }

    std::shared_ptr<sim::dsp::TestSimClock> clock = std::make_shared<sim::dsp::TestSimClock>();
    std::unique_ptr<sim::dsp::DspSim> sim;
    std::unique_ptr<CRecordingPort> port;
    Korvex::CParameterNode* root = nullptr;
    Korvex::CKorvexScpiStatus client{nullptr, nullptr, nullptr};
    std::vector<std::unique_ptr<CAcqProbe>> owned;
    std::unique_ptr<CTestController> acq;
};

}  // namespace KorvexTest
