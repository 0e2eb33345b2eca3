// The request payloads built from the factory settings tree and a probe double, and the
// reply accessors, against the scripted host-port device.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/ProbeDouble.h"
#include "support/FactoryTree.h"
#include "DspLinkTestSupport.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/peripherals/CKorvexPeripheral.h"
#include "Host/scpi/units/MeasurementUnits.h"

namespace KorvexTest {
namespace {

using Korvex::CParameterNode;
using Korvex::eAttrDefault;
using Korvex::eAttrValue;

constexpr double ProtonRatio = 42.57747892e6;

std::uint32_t F32(double value)
{
    const float f = static_cast<float>(value);
    std::uint32_t word;
    std::memcpy(&word, &f, 4);
    return word;
}

std::uint32_t HighWord(double value)
{
    std::uint64_t bits;
    std::memcpy(&bits, &value, 8);
    return static_cast<std::uint32_t>(bits >> 32);
}

std::uint32_t LowWord(double value)
{
    std::uint64_t bits;
    std::memcpy(&bits, &value, 8);
    return static_cast<std::uint32_t>(bits);
}

using korvex_test::CProbeDouble;

class DspPayloadsFixture : public DspLinkFixture {
protected:
    void SetUp() override
    {
        DspLinkFixture::SetUp();
        root = korvex_test::LoadFactoryTree();
        ASSERT_NE(root, nullptr);
    }

    void TearDown() override
    {
        Korvex::KorvexSetProbeGyroRatioSource(nullptr);
        korvex_test::UnloadFactoryTree(root);
        DspLinkFixture::TearDown();
    }

    // Boots the link, sends one request and returns the link's result; frame receives the
    // request frame the DSP saw, empty when nothing was sent.
    std::uint32_t Send(std::uint32_t id, std::vector<std::uint32_t>& frame)
    {
        EXPECT_TRUE(dsp::AcquireDSP());
        dsp::SetNotBooted();
        Boot();
        device.Put(dsp::RequestFrameAddress, std::vector<std::uint32_t>(dsp::MaxFrameWords, 0xEEEEEEEE));
        device.TakeAccesses();
        const std::uint32_t result = dsp::SendMessage(id);
        bool raised = false;
        for (const auto& a : device.TakeAccesses()) {
            raised = raised || (a.kind == CFakeHpiDevice::Control && a.value == 0x00030003);
        }
        frame = raised ? SentFrame() : std::vector<std::uint32_t>();
        if (raised) {
            EXPECT_EQ(frame.size(), dsp::GetRequestLength(id) / 4);
            EXPECT_TRUE(dsp::IsFrameValid(frame.data(), static_cast<std::uint32_t>(frame.size())));
        }
        dsp::ReleaseDSP();
        return result;
    }

    std::vector<std::uint32_t> Sent(std::uint32_t id)
    {
        std::vector<std::uint32_t> frame;
        EXPECT_EQ(Send(id, frame), 0u);
        return frame;
    }

    void UseProbe(CProbeDouble* probe)
    {
        CParameterNode::SetValue(Korvex::g_pCurrentProbeObject, static_cast<void*>(probe));
        if (probe != nullptr) {
            Korvex::KorvexSetProbeGyroRatioSource([](double& ratio) {
                ratio = ProtonRatio;
                return 0;
            });
        } else {
            Korvex::KorvexSetProbeGyroRatioSource(nullptr);
        }
    }

    static void Set(CParameterNode* node, const char* text) { CParameterNode::SetValue(node, text); }
    static void Set(CParameterNode* node, double value) { CParameterNode::SetValue(node, value); }
    static void SetInt(CParameterNode* node, std::int32_t v) { CParameterNode::SetValue(node, v); }
    static void SetBool(CParameterNode* node, bool v) { CParameterNode::SetValue(node, v); }

    CParameterNode* root = nullptr;
};

using DspPayloadsBuild = DspPayloadsFixture;

TEST_F(DspPayloadsBuild, DefaultConfigurationSendsDefaults)
{
    using namespace Korvex;
    CParameterNode::SetFloat64Attribute(g_pSampleRate, eAttrDefault, 1.25e6);
    Set(g_pSampleRate, 2.5e6);
    CParameterNode::SetBooleanAttribute(g_pMeasurementReject, eAttrDefault, true);
    SetBool(g_pMeasurementReject, false);
    CParameterNode::SetFloat64Attribute(g_pMeasurementBandwidth, eAttrDefault, 0.3);
    Set(g_pMeasurementBandwidth, 0.7);
    CParameterNode::SetInt32Attribute(g_pMeasurementPoints, eAttrDefault, 17);
    CParameterNode::SetInt32Attribute(g_pTrackingHysteresis, eAttrDefault, -3);
    CParameterNode::SetInt32Attribute(g_pMeasurementHysteresis, eAttrDefault, 9);
    Set(g_pVersionsHardware, "xxB3");

    const std::vector<std::uint32_t> f = Sent(dsp::PW_DEFAULT_CONFIGURATION);
    ASSERT_EQ(f.size(), 11u);
    EXPECT_EQ(f[0], 0x10u);
    EXPECT_EQ(f[2], 2u);
    EXPECT_EQ(f[3], 3u);
    EXPECT_EQ(f[4], F32(1.25e6));
    EXPECT_EQ(f[5], 1u);
    EXPECT_EQ(f[6], F32(0.3));
    EXPECT_EQ(f[7], 17u);
    EXPECT_EQ(f[8], static_cast<std::uint32_t>(-3));
    EXPECT_EQ(f[9], 9u);
}

TEST_F(DspPayloadsBuild, HardwareVersionCharactersMissingGiveZero)
{
    struct Case {
        const char* hardware;
        std::uint32_t word2, word3;
    } cases[] = {{"", 0, 0}, {"AB", 0, 0}, {"xxA", 1, 0}, {"xxA0", 1, 0}, {"xxC7", 3, 7}};
    for (const Case& c : cases) {
        Set(Korvex::g_pVersionsHardware, c.hardware);
        const std::vector<std::uint32_t> f = Sent(dsp::PW_DEFAULT_CONFIGURATION);
        ASSERT_EQ(f.size(), 11u) << c.hardware;
        EXPECT_EQ(f[2], c.word2) << c.hardware;
        EXPECT_EQ(f[3], c.word3) << c.hardware;
    }
}

TEST_F(DspPayloadsBuild, ProbeConnectWordsAndCurves)
{
    CProbeDouble probe;
    probe.info.MinFreq = 1e6;
    probe.info.MaxFreq = 9e7;
    probe.info.MinIF = 1000;
    probe.info.MaxIF = 2000;
    probe.info.FreqMultiplier = 2;
    probe.info.GyroRatio = ProtonRatio;
    probe.info.PulsePeriod = 0.01;
    probe.info.T2 = 0.003;
    probe.info.SampleLength = 0.002;
    probe.info.DeadTime = 200;
    probe.info.PulseWidthCurve.count = 3;
    probe.info.PulseWidthCurve.value[0] = 0x1111;
    probe.info.PulseWidthCurve.value[1] = 0x2222;
    probe.info.PulseWidthCurve.value[2] = 0x3333;
    probe.info.MatchingCurve.count = 0;
    probe.info.MatchingCurve.value[0] = 0x7777;  // beyond the count: not sent
    probe.info.TuningCurve.count = 128;
    probe.info.FreqStepCurve.count = 1000;  // more than a slot holds
    for (unsigned i = 0; i < 128; ++i) {
        probe.info.TuningCurve.value[i] = static_cast<std::uint16_t>(i);
        probe.info.FreqStepCurve.value[i] = static_cast<std::uint16_t>(0x8000 + i);
    }
    probe.info.NoiseLevelCurve.count = 1;
    probe.info.NoiseLevelCurve.value[0] = 0xABCD;
    UseProbe(&probe);
    Set(Korvex::g_pAcquisitionShortDuration, 2e-5);

    const std::vector<std::uint32_t> f = Sent(dsp::PW_PROBE_CONNECT);
    ASSERT_EQ(f.size(), 658u);
    EXPECT_EQ(f[2], F32(1e6));
    EXPECT_EQ(f[3], F32(9e7));
    EXPECT_EQ(f[4], F32(2));
    EXPECT_EQ(f[5], F32(0.003));
    EXPECT_EQ(f[6], F32(1000));
    EXPECT_EQ(f[7], F32(2000));
    EXPECT_EQ(f[8], F32(0.01));
    EXPECT_EQ(f[9], F32(0.002));
    EXPECT_EQ(f[10], F32(2e-5));
    const float deadTime = 0.0002f;
    std::uint32_t deadBits;
    std::memcpy(&deadBits, &deadTime, 4);
    EXPECT_EQ(f[11], deadBits);

    // Pulse width: three values, two to a word, the first in the lower half.
    EXPECT_EQ(f[12], 3u);
    EXPECT_EQ(f[13], 0x22221111u);
    EXPECT_EQ(f[14], 0x00003333u);
    EXPECT_EQ(f[15], 0u);
    // Matching: no values.
    EXPECT_EQ(f[141], 0u);
    EXPECT_EQ(f[142], 0u);
    // Tuning: a full slot.
    EXPECT_EQ(f[270], 128u);
    EXPECT_EQ(f[271], 0x00010000u);
    EXPECT_EQ(f[334], (127u << 16) | 126u);
    // Freq step: the count is capped at 128 and the next slot is intact.
    EXPECT_EQ(f[399], 128u);
    EXPECT_EQ(f[400], 0x80018000u);
    EXPECT_EQ(f[463], 0x807F807Eu);
    EXPECT_EQ(f[528], 1u);
    EXPECT_EQ(f[529], 0xABCDu);

    probe.info.DeadTime = 255;  // unsigned
    const std::vector<std::uint32_t> g = Sent(dsp::PW_PROBE_CONNECT);
    ASSERT_EQ(g.size(), 658u);
    EXPECT_EQ(g[11], F32(255 * 1e-6));
}

TEST_F(DspPayloadsBuild, ProbeConnectRefusedWithoutPulsedProbe)
{
    std::vector<std::uint32_t> frame;
    UseProbe(nullptr);
    EXPECT_EQ(Send(dsp::PW_PROBE_CONNECT, frame), 47u);
    EXPECT_TRUE(frame.empty());
    EXPECT_EQ(dsp::GetLinkState(), dsp::LinkAwaitingReply);

    CProbeDouble probe;
    probe.notPulsed = 1;
    UseProbe(&probe);
    EXPECT_EQ(Send(dsp::PW_PROBE_CONNECT, frame), 47u);
    EXPECT_TRUE(frame.empty());
    EXPECT_EQ(Korvex::KorvexGetProbeSampleLength(&probe, 0), 0.0);
    probe.notPulsed = 0;
    probe.info.SampleLength = 0.004;
    EXPECT_EQ(Korvex::KorvexGetProbeSampleLength(&probe, 0), 0.004);
    Set(Korvex::g_pSampleLength, 0.125);
    EXPECT_EQ(Korvex::KorvexGetSettingsSampleLength(), 0.125);
}

TEST_F(DspPayloadsBuild, MeasureParmsCurrentValues)
{
    using namespace Korvex;
    Set(g_pTriggerInSource, "EXTernal");
    Set(g_pTriggerInSlope, "EITHer");
    Set(g_pProbeMatchingTuningMode, "MANual");
    Set(g_pProbeMatching, 1.5);
    Set(g_pProbeTuning, 2.5);
    Set(g_pPulseMode, "AUTO");
    Set(g_pPulseWidth, 1e-5);
    Set(g_pPulsePeriod, 0.02);
    Set(g_pSampleMode, "MANual");
    Set(g_pSampleLength, 0.001);
    Set(g_pSampleRate, 1e6);
    Set(g_pSampleOffset, 3e-6);
    SetBool(g_pSignalAveragingActive, true);
    Set(g_pSignalAveragingType, "REPeat");
    SetInt(g_pSignalAveragingCount, 4);
    SetBool(g_pMeasurementAveragingActive, false);
    Set(g_pMeasurementAveragingType, "MOVing");
    SetInt(g_pMeasurementAveragingCount, 8);
    Set(g_pMeasurementMode, "AUTO");
    Set(g_pMeasurementLevel, 0.25);
    SetInt(g_pMeasurementHysteresis, 5);
    SetBool(g_pMeasurementReject, true);
    Set(g_pMeasurementBandwidth, 0.75);
    SetInt(g_pMeasurementPoints, 33);
    Set(g_pTrackingMinFreq, 1e6);
    Set(g_pTrackingMaxFreq, 2e6);
    SetInt(g_pTrackingHysteresis, 6);

    const std::vector<std::uint32_t> f = Sent(dsp::PW_MEASURE_PARMS);
    ASSERT_EQ(f.size(), 30u);
    const std::vector<std::uint32_t> expected = {
        0x30, f[1], 2, 2, 0, F32(1.5), F32(2.5), 1, F32(1e-5), F32(0.02), 0, F32(0.001),
        F32(1e6), F32(3e-6), 1, 1, 4, 0, 2, 8, 1, F32(0.25), 5, 1, F32(0.75), 33, F32(1e6),
        F32(2e6), 6, f[29]};
    EXPECT_EQ(f, expected);

    // BUS counts as TIMer; text outside the alternatives gives 0.
    struct Case {
        const char* source;
        std::uint32_t word;
    } cases[] = {{"BUS", 1}, {"TIMer", 1}, {"IMMediate", 0}, {"EXTernal", 2}, {"timer", 0}};
    for (const Case& c : cases) {
        Set(g_pTriggerInSource, c.source);
        EXPECT_EQ(Sent(dsp::PW_MEASURE_PARMS).at(2), c.word) << c.source;
    }
    Set(g_pMeasurementAveragingType, "REPeat");
    Set(g_pSignalAveragingType, "MOVing");  // not an alternative of this word
    const std::vector<std::uint32_t> g = Sent(dsp::PW_MEASURE_PARMS);
    EXPECT_EQ(g.at(18), 1u);
    EXPECT_EQ(g.at(15), 0u);
}

TEST_F(DspPayloadsBuild, SearchAndTrackingFromStoredBlocks)
{
    using namespace Korvex;
    float a = 1.0f, b = 2.0f, c = 3.0f;
    dsp::SetSearchParameters(a, b, c, 1);
    Set(g_pSearchMode, "AUTO");
    Set(g_pSearchFstep, 250.0);
    Set(g_pSearchLevel, 0.125);
    const std::vector<std::uint32_t> f = Sent(dsp::INITIATE_SEARCH);
    ASSERT_EQ(f.size(), 10u);
    EXPECT_EQ(f[2], F32(1.0));
    EXPECT_EQ(f[3], F32(2.0));
    EXPECT_EQ(f[4], F32(3.0));
    EXPECT_EQ(f[5], 1u);
    EXPECT_EQ(f[6], 1u);
    EXPECT_EQ(f[7], F32(250.0));
    EXPECT_EQ(f[8], F32(0.125));

    dsp::SetTrackingParameter(0x41A00000, 0x12345678);
    const std::vector<std::uint32_t> t = Sent(dsp::INITIATE_TRACKING);
    ASSERT_EQ(t.size(), 6u);
    EXPECT_EQ(t[2], 0x41A00000u);
    EXPECT_EQ(t[3], 0x12345678u);
    EXPECT_EQ(t[4], 0u);
}

// Runs in a fresh process, where no search parameters were ever stored.
TEST_F(DspPayloadsBuild, SearchWithoutStoredParametersCarriesZeros)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const std::vector<std::uint32_t> f = Sent(dsp::INITIATE_SEARCH);
            const bool zeros = f.size() == 10 && f[2] == 0 && f[3] == 0 && f[4] == 0 && f[5] == 0;
            std::_Exit(zeros ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(DspPayloadsBuild, FixedMeasurementAndTriggerOutConvertTeslaToHertz)
{
    using namespace Korvex;
    CProbeDouble probe;
    UseProbe(&probe);
    Set(g_pSearchValue, 1.5);
    Set(g_pProbeMatchingTuningMode, "AUTO");
    Set(g_pProbeMatching, 0.5);
    Set(g_pProbeTuning, 0.75);
    Set(g_pPulseMode, "MANual");
    Set(g_pPulseWidth, 2e-5);
    Set(g_pPulsePeriod, 0.05);
    double hertz = 1.5;
    ASSERT_EQ(KorvexConvertUnits(hertz, eUnitT, eUnitHZ, 0.0), 0);
    EXPECT_NEAR(hertz, 1.5 * ProtonRatio, 1.0);

    const std::vector<std::uint32_t> f = Sent(dsp::INITIATE_FIXED_MEASUREMENT);
    ASSERT_EQ(f.size(), 12u);
    EXPECT_EQ(f[2], HighWord(hertz));
    EXPECT_EQ(f[3], LowWord(hertz));
    const std::vector<std::uint32_t> rest = {1, F32(0.5), F32(0.75), 0, F32(2e-5), F32(0.05), 0};
    EXPECT_EQ(std::vector<std::uint32_t>(f.begin() + 4, f.begin() + 11), rest);

    Set(g_pTriggerOutLevel, 1.5);
    SetBool(g_pTriggerOutState, true);
    Set(g_pTriggerOutSlope, "NEGative");
    Set(g_pTriggerOutShape, "PULSe");
    Set(g_pTriggerOutPolarity, "INVerted");
    Set(g_pTriggerOutDelay, 1e-3);
    Set(g_pTriggerOutWidth, 2e-3);
    dsp::SetTriggerOutFlag(1);
    const std::vector<std::uint32_t> t = Sent(dsp::TRIGGER_OUT);
    ASSERT_EQ(t.size(), 12u);
    EXPECT_EQ(t[2], HighWord(hertz));
    EXPECT_EQ(t[3], LowWord(hertz));
    const std::vector<std::uint32_t> out = {1, 1, 1, 1, F32(1e-3), F32(2e-3), 1};
    EXPECT_EQ(std::vector<std::uint32_t>(t.begin() + 4, t.begin() + 11), out);
    dsp::SetTriggerOutFlag(0);
    Set(g_pTriggerOutShape, "DC");
    Set(g_pTriggerOutSlope, "EITHer");
    const std::vector<std::uint32_t> u = Sent(dsp::TRIGGER_OUT);
    EXPECT_EQ(u.at(5), 2u);
    EXPECT_EQ(u.at(6), 0u);
    EXPECT_EQ(u.at(10), 0u);
}

TEST_F(DspPayloadsBuild, FailedTeslaConversionSendsZeroHertz)
{
    using namespace Korvex;
    UseProbe(nullptr);
    Set(g_pSearchValue, 1.5);
    Set(g_pTriggerOutLevel, 2.0);
    const std::vector<std::uint32_t> f = Sent(dsp::INITIATE_FIXED_MEASUREMENT);
    ASSERT_EQ(f.size(), 12u);
    EXPECT_EQ(f[2], 0u);
    EXPECT_EQ(f[3], 0u);
    const std::vector<std::uint32_t> t = Sent(dsp::TRIGGER_OUT);
    ASSERT_EQ(t.size(), 12u);
    EXPECT_EQ(t[2], 0u);
    EXPECT_EQ(t[3], 0u);
}

TEST_F(DspPayloadsBuild, GetPwMeasurementScaleAndOffset)
{
    using namespace Korvex;
    std::vector<std::uint32_t> frame;
    UseProbe(nullptr);
    Set(g_pUnitsSelected, "MT");
    EXPECT_EQ(Send(dsp::GET_PW_MEASUREMENT, frame), 46u);
    EXPECT_TRUE(frame.empty());
    EXPECT_EQ(dsp::GetSelectedUnitIndex(), static_cast<std::uint32_t>(eUnitMT));

    CProbeDouble probe;
    UseProbe(&probe);
    double scale = 0, offset = 0;
    ASSERT_EQ(KorvexConvertUnitsForProbe(eUnitMT, scale, offset), 0);
    const std::vector<std::uint32_t> f = Sent(dsp::GET_PW_MEASUREMENT);
    ASSERT_EQ(f.size(), 8u);
    EXPECT_EQ(f[2], HighWord(scale));
    EXPECT_EQ(f[3], LowWord(scale));
    EXPECT_EQ(f[4], HighWord(offset));
    EXPECT_EQ(f[5], LowWord(offset));

    // The stored unit comes back with the measurement reply (words 2.. given).
    std::vector<std::uint32_t> payload(13, 0);
    payload[4 - 2] = HighWord(1.5);
    payload[5 - 2] = LowWord(1.5);
    payload[6 - 2] = HighWord(63.8e6);
    payload[7 - 2] = LowWord(63.8e6);
    payload[8 - 2] = HighWord(0.01);
    payload[9 - 2] = LowWord(0.01);
    for (unsigned i = 10; i < 15; ++i) payload[i - 2] = 100 + i;
    device.PutReply(dsp::RETURN_PW_MEASUREMENT, payload);
    std::uint32_t result = 0;
    ASSERT_EQ(dsp::ReceiveMessage(dsp::RETURN_PW_MEASUREMENT, result), 0u);
    double flux = 0, frequency = 0, w89 = 0;
    std::uint32_t unit = 0, w10 = 0, w11 = 0, w12 = 0, w13 = 0, w14 = 0;
    dsp::GetMeasurementReply(flux, unit, frequency, w10, w11, w12, w13, w14, w89);
    EXPECT_EQ(flux, 1.5);
    EXPECT_EQ(unit, static_cast<std::uint32_t>(eUnitMT));
    EXPECT_EQ(frequency, 63.8e6);
    EXPECT_EQ(w10, 110u);
    EXPECT_EQ(w14, 114u);
    EXPECT_EQ(w89, 0.01);
}

TEST_F(DspPayloadsBuild, ShortAndLowLevelMessages)
{
    using namespace Korvex;
    Set(g_pRefClockMode, "EXTernal");
    EXPECT_EQ(Sent(dsp::EXTERNAL_REFERENCE).at(2), 1u);
    Set(g_pRefClockMode, "INTernal");
    EXPECT_EQ(Sent(dsp::EXTERNAL_REFERENCE).at(2), 0u);

    for (std::uint32_t id : {dsp::GET_SEARCH_RESULT, dsp::TRIGGER, dsp::ABORT, dsp::REQUEST_SIGNAL,
                             dsp::RELEASE_SIGNAL, dsp::QUIT}) {
        EXPECT_EQ(Sent(id).size(), 3u) << id;
    }
    for (std::uint32_t id : {dsp::LL_SET_FREQUENCY, dsp::LL_SET_VOLTAGES, dsp::LL_SET_FIELD_MODULATION}) {
        const std::vector<std::uint32_t> f = Sent(id);
        ASSERT_EQ(f.size(), dsp::GetRequestLength(id) / 4) << id;
        for (std::size_t i = 2; i + 1 < f.size(); ++i) EXPECT_EQ(f[i], 0u) << id << " word " << i;
    }
}

using DspPayloadsReply = DspLinkFixture;

TEST_F(DspPayloadsReply, SearchResultAndTriggerOutAccessors)
{
    Boot();
    device.PutReply(dsp::RETURN_SEARCH_RESULT, {0, 0, HighWord(63.87e6), LowWord(63.87e6)});
    std::uint32_t word = 0;
    ASSERT_EQ(dsp::SendMessage(dsp::GET_SEARCH_RESULT), 0u);
    ASSERT_EQ(dsp::ReceiveMessage(dsp::RETURN_SEARCH_RESULT, word), 0u);
    double value = 0;
    dsp::GetReplyValue(value);
    EXPECT_EQ(value, 63.87e6);

    std::uint8_t has = 7;
    ASSERT_EQ(dsp::SendMessage(dsp::TRIGGER_OUT), 0u);
    device.PutReply(dsp::RETURN_TRIGGER_OUT, {0, 0, 5});
    ASSERT_EQ(dsp::ReceiveMessage(dsp::RETURN_TRIGGER_OUT, word), 0u);
    dsp::ReplyHasValue(has);
    EXPECT_EQ(has, 1);
    ASSERT_EQ(dsp::SendMessage(dsp::TRIGGER_OUT), 0u);
    device.PutReply(dsp::RETURN_TRIGGER_OUT, {0, 0, 0});
    ASSERT_EQ(dsp::ReceiveMessage(dsp::RETURN_TRIGGER_OUT, word), 0u);
    dsp::ReplyHasValue(has);
    EXPECT_EQ(has, 0);
}

TEST_F(DspPayloadsReply, SignalArraysReadUpToCapacity)
{
    Boot();
    const std::uint32_t base = 0x90F00000;
    std::vector<std::uint32_t> signal(10);
    for (unsigned i = 0; i < 10; ++i) signal[i] = 0x100 + i;
    device.Put(base, signal);
    device.Put(base + 0x1000, {0xA, 0xB, 0xC});
    device.Put(base + 0x3000, {0xF1, 0xF2});
    // Words 2.. of the reply: result, pad, IF f64, RF f64, word 8, pad, then the arrays.
    std::vector<std::uint32_t> payload(22, 0);
    auto at = [&](unsigned word) -> std::uint32_t& { return payload[word - 2]; };
    at(4) = HighWord(1000.5);
    at(5) = LowWord(1000.5);
    at(6) = HighWord(63.8e6);
    at(7) = LowWord(63.8e6);
    at(8) = 77;
    at(10) = base;
    at(11) = 10;
    at(12) = F32(4.0);
    at(13) = base + 0x1000;
    at(14) = 3;
    at(15) = F32(0.5);
    at(16) = F32(-90.0);
    at(17) = base + 0x2000;
    at(18) = 0;  // empty: not read
    at(19) = F32(1.25);
    at(20) = F32(2000.0);
    at(21) = base + 0x3000;
    at(22) = 2;
    at(23) = F32(0.001);
    ASSERT_EQ(dsp::SendMessage(dsp::REQUEST_SIGNAL), 0u);
    device.PutReply(dsp::RETURN_SIGNAL, payload);
    std::uint32_t word = 0;
    ASSERT_EQ(dsp::ReceiveMessage(dsp::RETURN_SIGNAL, word), 0u);

    std::uint32_t nmr[4] = {}, fft[8] = {}, peak[8] = {0xEE}, fit[8] = {};
    dsp::DSPSignalArray arrays[4] = {{nmr, 4}, {fft, 8}, {peak, 8}, {fit, 8}};
    dsp::DSPSignalScalars scalars{};
    device.TakeAccesses();
    dsp::GetSignalReply(arrays, scalars);
    EXPECT_EQ(arrays[0].count, 4u);  // capacity below the DSP's count
    EXPECT_EQ(nmr[3], 0x103u);
    EXPECT_EQ(arrays[1].count, 3u);
    EXPECT_EQ(fft[2], 0xCu);
    EXPECT_EQ(arrays[2].count, 0u);
    EXPECT_EQ(peak[0], 0xEEu);
    EXPECT_EQ(arrays[3].count, 2u);
    EXPECT_EQ(fit[1], 0xF2u);
    for (const auto& a : device.TakeAccesses()) {
        if (a.kind == CFakeHpiDevice::DataRead) {
            EXPECT_NE(a.address, base + 0x2000);
        }
    }
    EXPECT_EQ(scalars.ifFrequency, 1000.5);
    EXPECT_EQ(scalars.rfFrequency, 63.8e6);
    EXPECT_EQ(scalars.relaxationTime, 77u);
    EXPECT_EQ(scalars.samplePeriod, 0.25f);
    EXPECT_EQ(scalars.fftResolution, 0.5f);
    EXPECT_EQ(scalars.fftNoiseFloor, -90.0f);
    EXPECT_EQ(scalars.spectrumResolution, 1.25f);      // word 19
    EXPECT_EQ(scalars.spectrumCenterFrequency, 2000.0f);  // word 20
    EXPECT_EQ(scalars.fitResidue, 0.001f);
}

}  // namespace
}  // namespace KorvexTest
