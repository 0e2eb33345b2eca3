// The DSP message payloads: the request builders, the parameter blocks stored for later
// requests and the reply accessors.
#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>

#include "Host/acquisition/CKorvexDSP.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/Error.h"
#include "Host/parameters/Logger.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/peripherals/CKorvexPeripheral.h"
#include "Host/scpi/units/MeasurementUnits.h"
#include "board/hpi.h"

namespace Korvex {
namespace CKorvexDSP {

namespace {

// Parameter blocks stored by the callers for later requests. The low-level blocks are never
// set by the firmware and always carry zeros. Written and read by the owner of the DSP lock.
struct SearchParameters {
    std::uint32_t word[4];
};
struct FieldModulation {
    std::uint8_t flag;
    std::uint32_t word[3];
};

SearchParameters searchParameters{};
std::uint32_t trackingValue[2] = {};
std::uint8_t triggerOutFlag = 0;
std::uint32_t selectedUnitIndex = 0;
std::uint32_t llFrequency[2] = {};
std::uint32_t llVoltages[2] = {};
FieldModulation llFieldModulation{};

using Choice = std::pair<const char*, std::uint32_t>;

std::uint32_t F32(double value)
{
    const float f = static_cast<float>(value);
    std::uint32_t word;
    std::memcpy(&word, &f, sizeof word);
    return word;
}

float AsF32(std::uint32_t word)
{
    float f;
    std::memcpy(&f, &word, sizeof f);
    return f;
}

// A double as two words: the sign, exponent and upper mantissa first.
void PutF64(std::uint32_t* words, double value)
{
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    words[0] = static_cast<std::uint32_t>(bits >> 32);
    words[1] = static_cast<std::uint32_t>(bits);
}

double GetF64(const std::uint32_t* words)
{
    const std::uint64_t bits = (static_cast<std::uint64_t>(words[0]) << 32) | words[1];
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::string Text(CParameterNode* node)
{
    return CParameterNode::GetStringAttribute(node, eAttrValue);
}

std::uint32_t F32Value(CParameterNode* node)
{
    return F32(CParameterNode::GetFloat64Attribute(node, eAttrValue));
}

std::uint32_t I32Value(CParameterNode* node)
{
    return static_cast<std::uint32_t>(CParameterNode::GetInt32Attribute(node, eAttrValue));
}

std::uint32_t BoolValue(CParameterNode* node)
{
    return CParameterNode::GetBooleanAttribute(node, eAttrValue) ? 1 : 0;
}

std::uint32_t AutoFlag(CParameterNode* node)
{
    return Text(node) == "AUTO" ? 1 : 0;
}

// The code of the first alternative equal to the node's value; 0 when none is.
std::uint32_t ChoiceOf(CParameterNode* node, std::initializer_list<Choice> choices)
{
    const std::string value = Text(node);
    for (const Choice& choice : choices) {
        if (value == choice.first) return choice.second;
    }
    return 0;
}

// A tesla setting as the frequency of the probe's nucleus; 0.0 when it cannot be
// converted (no probe selected, or a zero ratio), never the tesla figure itself.
double TeslaToHertz(CParameterNode* node)
{
    double value = CParameterNode::GetFloat64Attribute(node, eAttrValue);
    if (KorvexConvertUnits(value, eUnitT, eUnitHZ, 0.0) != 0) return 0.0;
    return value;
}

// Starts a request: clears its words and writes the id.
std::uint32_t* BeginFrame(std::uint32_t id)
{
    std::uint32_t* frame = SendBuffer();
    std::fill(frame, frame + GetRequestLength(id) / 4, 0u);
    frame[0] = id;
    return frame;
}

// One curve slot: the count (at most 128), then the values two to a word, the first in the
// lower half.
void PutCurve(std::uint32_t* slot, const PwCurve& curve)
{
    const std::uint32_t count = std::min<std::uint32_t>(curve.count, PwCurve::MaxValues);
    slot[0] = count;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t shift = (i % 2) * 16;
        slot[1 + i / 2] |= static_cast<std::uint32_t>(curve.value[i]) << shift;
    }
}

CKorvexPeripheral* CurrentProbe()
{
    return static_cast<CKorvexPeripheral*>(
        CParameterNode::GetPointerAttribute(g_pCurrentProbeObject, eAttrValue));
}

std::uint32_t BuildFrameOnly(std::uint32_t id)
{
    BeginFrame(id);
    return DSPWrite();
}

std::uint32_t BuildInitiateSearch()
{
    std::uint32_t* frame = BeginFrame(INITIATE_SEARCH);
    std::copy(searchParameters.word, searchParameters.word + 4, frame + 2);
    frame[6] = AutoFlag(g_pSearchMode);
    frame[7] = F32Value(g_pSearchFstep);
    frame[8] = F32Value(g_pSearchLevel);
    return DSPWrite();
}

std::uint32_t BuildInitiateTracking()
{
    std::uint32_t* frame = BeginFrame(INITIATE_TRACKING);
    frame[2] = trackingValue[0];
    frame[3] = trackingValue[1];
    return DSPWrite();
}

std::uint32_t BuildGetPwMeasurement()
{
    selectedUnitIndex = static_cast<std::uint32_t>(KorvexParseUnits(Text(g_pUnitsSelected)));
    double scale = 0.0;
    double offset = 0.0;
    const int status = KorvexConvertUnitsForProbe(selectedUnitIndex, scale, offset);
    if (status != 0) return static_cast<std::uint32_t>(status);
    std::uint32_t* frame = BeginFrame(GET_PW_MEASUREMENT);
    PutF64(frame + 2, scale);
    PutF64(frame + 4, offset);
    return DSPWrite();
}

std::uint32_t BuildExternalReference()
{
    std::uint32_t* frame = BeginFrame(EXTERNAL_REFERENCE);
    frame[2] = Text(g_pRefClockMode) == "EXTernal" ? 1 : 0;
    return DSPWrite();
}

std::uint32_t BuildLowLevel(std::uint32_t id)
{
    std::uint32_t* frame = BeginFrame(id);
    if (id == LL_SET_FREQUENCY) {
        frame[2] = llFrequency[0];
        frame[3] = llFrequency[1];
    } else if (id == LL_SET_VOLTAGES) {
        frame[2] = llVoltages[0];
        frame[3] = llVoltages[1];
    } else {
        frame[2] = llFieldModulation.flag;
        std::copy(llFieldModulation.word, llFieldModulation.word + 3, frame + 3);
    }
    return DSPWrite();
}

}  // namespace

void SetSearchParameters(float& first, float& second, float& third, std::uint32_t mode)
{
    std::memcpy(&searchParameters.word[0], &first, 4);
    std::memcpy(&searchParameters.word[1], &second, 4);
    std::memcpy(&searchParameters.word[2], &third, 4);
    searchParameters.word[3] = mode;
}

void SetTrackingParameter(std::uint32_t firstHalf, std::uint32_t secondHalf)
{
    trackingValue[0] = firstHalf;
    trackingValue[1] = secondHalf;
}

void SetTriggerOutFlag(std::uint8_t flag)
{
    triggerOutFlag = flag;
}

std::uint32_t GetSelectedUnitIndex()
{
    return selectedUnitIndex;
}

std::uint32_t BuildAndWriteMessage(std::uint32_t id)
{
    const char* name = GetRequestName(id);
    if (name == nullptr) return eGeneralFailure;
    Logger().Printf("CKorvexDSP::BuildAndWriteMessage:Message %s\n", name);
    switch (id) {
    case PW_DEFAULT_CONFIGURATION: return BuildDefaultConfiguration();
    case PW_PROBE_CONNECT: return BuildProbeConnect();
    case PW_MEASURE_PARMS: return BuildMeasureParms();
    case INITIATE_SEARCH: return BuildInitiateSearch();
    case INITIATE_TRACKING: return BuildInitiateTracking();
    case INITIATE_FIXED_MEASUREMENT: return BuildFixedMeasurement();
    case GET_PW_MEASUREMENT: return BuildGetPwMeasurement();
    case EXTERNAL_REFERENCE: return BuildExternalReference();
    case TRIGGER_OUT: return BuildTriggerOut();
    case LL_SET_FREQUENCY:
    case LL_SET_VOLTAGES:
    case LL_SET_FIELD_MODULATION: return BuildLowLevel(id);
    default: return BuildFrameOnly(id);  // the requests without payload
    }
}

std::uint32_t BuildDefaultConfiguration()
{
    std::uint32_t* frame = BeginFrame(PW_DEFAULT_CONFIGURATION);
    // Hardware revision letter and digit, e.g. "xxA0"; a missing character gives 0.
    const std::string hardware = Text(g_pVersionsHardware);
    frame[2] = hardware.size() > 2 ? static_cast<std::uint32_t>(hardware[2] - 0x40) : 0;
    frame[3] = hardware.size() > 3 ? static_cast<std::uint32_t>(hardware[3] - 0x30) : 0;
    frame[4] = F32(CParameterNode::GetFloat64Attribute(g_pSampleRate, eAttrDefault));
    frame[5] = CParameterNode::GetBooleanAttribute(g_pMeasurementReject, eAttrDefault) ? 1 : 0;
    frame[6] = F32(CParameterNode::GetFloat64Attribute(g_pMeasurementBandwidth, eAttrDefault));
    frame[7] = static_cast<std::uint32_t>(
        CParameterNode::GetInt32Attribute(g_pMeasurementPoints, eAttrDefault));
    frame[8] = static_cast<std::uint32_t>(
        CParameterNode::GetInt32Attribute(g_pTrackingHysteresis, eAttrDefault));
    frame[9] = static_cast<std::uint32_t>(
        CParameterNode::GetInt32Attribute(g_pMeasurementHysteresis, eAttrDefault));
    return DSPWrite();
}

std::uint32_t BuildProbeConnect()
{
    CKorvexPeripheral* probe = CurrentProbe();
    if (probe == nullptr || probe->IsNotPulsed(0) != 0) return eGeneralFailure;
    const PwPhysicalInformation& info = probe->GetPwPhysicalInformation();
    std::uint32_t* frame = BeginFrame(PW_PROBE_CONNECT);
    frame[2] = F32(info.MinFreq);
    frame[3] = F32(info.MaxFreq);
    frame[4] = F32(info.FreqMultiplier);
    frame[5] = F32(info.T2);
    frame[6] = F32(info.MinIF);
    frame[7] = F32(info.MaxIF);
    frame[8] = F32(info.PulsePeriod);
    frame[9] = F32(info.SampleLength);
    frame[10] = F32Value(g_pAcquisitionShortDuration);
    frame[11] = F32(static_cast<double>(info.DeadTime) * 1e-6);
    constexpr std::uint32_t SlotWords = 129;
    PutCurve(frame + 12, info.PulseWidthCurve);
    PutCurve(frame + 12 + SlotWords, info.MatchingCurve);
    PutCurve(frame + 12 + 2 * SlotWords, info.TuningCurve);
    PutCurve(frame + 12 + 3 * SlotWords, info.FreqStepCurve);
    PutCurve(frame + 12 + 4 * SlotWords, info.NoiseLevelCurve);
    return DSPWrite();
}

std::uint32_t BuildMeasureParms()
{
    std::uint32_t* frame = BeginFrame(PW_MEASURE_PARMS);
    frame[2] = ChoiceOf(g_pTriggerInSource,
                        {{"IMMediate", 0}, {"EXTernal", 2}, {"TIMer", 1}, {"BUS", 1}});
    frame[3] = ChoiceOf(g_pTriggerInSlope, {{"POSitive", 0}, {"NEGative", 1}, {"EITHer", 2}});
    frame[4] = AutoFlag(g_pProbeMatchingTuningMode);
    frame[5] = F32Value(g_pProbeMatching);
    frame[6] = F32Value(g_pProbeTuning);
    frame[7] = AutoFlag(g_pPulseMode);
    frame[8] = F32Value(g_pPulseWidth);
    frame[9] = F32Value(g_pPulsePeriod);
    frame[10] = AutoFlag(g_pSampleMode);
    frame[11] = F32Value(g_pSampleLength);
    frame[12] = F32Value(g_pSampleRate);
    frame[13] = F32Value(g_pSampleOffset);
    frame[14] = BoolValue(g_pSignalAveragingActive);
    frame[15] = ChoiceOf(g_pSignalAveragingType, {{"EXPonential", 0}, {"REPeat", 1}});
    frame[16] = I32Value(g_pSignalAveragingCount);
    frame[17] = BoolValue(g_pMeasurementAveragingActive);
    frame[18] = ChoiceOf(g_pMeasurementAveragingType,
                         {{"EXPonential", 0}, {"MOVing", 2}, {"REPeat", 1}});
    frame[19] = I32Value(g_pMeasurementAveragingCount);
    frame[20] = AutoFlag(g_pMeasurementMode);
    frame[21] = F32Value(g_pMeasurementLevel);
    frame[22] = I32Value(g_pMeasurementHysteresis);
    frame[23] = BoolValue(g_pMeasurementReject);
    frame[24] = F32Value(g_pMeasurementBandwidth);
    frame[25] = I32Value(g_pMeasurementPoints);
    frame[26] = F32Value(g_pTrackingMinFreq);
    frame[27] = F32Value(g_pTrackingMaxFreq);
    frame[28] = I32Value(g_pTrackingHysteresis);
    return DSPWrite();
}

std::uint32_t BuildFixedMeasurement()
{
    const double frequency = TeslaToHertz(g_pSearchValue);
    std::uint32_t* frame = BeginFrame(INITIATE_FIXED_MEASUREMENT);
    PutF64(frame + 2, frequency);
    frame[4] = AutoFlag(g_pProbeMatchingTuningMode);
    frame[5] = F32Value(g_pProbeMatching);
    frame[6] = F32Value(g_pProbeTuning);
    frame[7] = AutoFlag(g_pPulseMode);
    frame[8] = F32Value(g_pPulseWidth);
    frame[9] = F32Value(g_pPulsePeriod);
    return DSPWrite();
}

std::uint32_t BuildTriggerOut()
{
    const double frequency = TeslaToHertz(g_pTriggerOutLevel);
    std::uint32_t* frame = BeginFrame(TRIGGER_OUT);
    PutF64(frame + 2, frequency);
    frame[4] = BoolValue(g_pTriggerOutState);
    frame[5] = ChoiceOf(g_pTriggerOutSlope, {{"POSitive", 0}, {"NEGative", 1}, {"EITHer", 2}});
    frame[6] = ChoiceOf(g_pTriggerOutShape, {{"DC", 0}, {"PULSe", 1}});
    frame[7] = ChoiceOf(g_pTriggerOutPolarity, {{"NORMal", 0}, {"INVerted", 1}});
    frame[8] = F32Value(g_pTriggerOutDelay);
    frame[9] = F32Value(g_pTriggerOutWidth);
    frame[10] = triggerOutFlag;
    return DSPWrite();
}

void GetReplyShorts(std::uint16_t& a, std::uint16_t& b, std::uint16_t& c, std::uint16_t& d)
{
    const std::uint32_t* reply = ReplyBuffer();
    a = static_cast<std::uint16_t>(reply[4]);
    b = static_cast<std::uint16_t>(reply[5]);
    c = static_cast<std::uint16_t>(reply[6]);
    d = static_cast<std::uint16_t>(reply[7]);
}

void GetReplyValue(double& value)
{
    value = GetF64(ReplyBuffer() + 4);
}

void GetMeasurementReply(double& flux, std::uint32_t& unit, double& frequency,
                         std::uint32_t& w10, std::uint32_t& w11, std::uint32_t& w12,
                         std::uint32_t& w13, std::uint32_t& w14, double& w89)
{
    const std::uint32_t* reply = ReplyBuffer();
    flux = GetF64(reply + 4);
    unit = selectedUnitIndex;
    frequency = GetF64(reply + 6);
    w10 = reply[10];
    w11 = reply[11];
    w12 = reply[12];
    w13 = reply[13];
    w14 = reply[14];
    w89 = GetF64(reply + 8);
}

void ReplyHasValue(std::uint8_t& hasValue)
{
    hasValue = ReplyBuffer()[4] != 0 ? 1 : 0;
}

void GetSignalReply(DSPSignalArray (&arrays)[4], DSPSignalScalars& scalars)
{
    const std::uint32_t* reply = ReplyBuffer();
    // Address and count word of each array in the reply.
    static constexpr std::uint32_t descriptor[4] = {10, 13, 17, 21};
    for (unsigned i = 0; i < 4; ++i) {
        const std::uint32_t address = reply[descriptor[i]];
        const std::uint32_t count = std::min(arrays[i].count, reply[descriptor[i] + 1]);
        if (arrays[i].buffer == nullptr) {
            arrays[i].count = 0;
            continue;
        }
        if (count > 0) hpi_read_block(address, arrays[i].buffer, count);
        arrays[i].count = count;
    }
    scalars.ifFrequency = GetF64(reply + 4);
    scalars.rfFrequency = GetF64(reply + 6);
    scalars.relaxationTime = reply[8];
    scalars.samplePeriod = 1.0f / AsF32(reply[12]);
    scalars.fftResolution = AsF32(reply[15]);
    scalars.fftNoiseFloor = AsF32(reply[16]);
    scalars.spectrumResolution = AsF32(reply[19]);
    scalars.spectrumCenterFrequency = AsF32(reply[20]);
    scalars.fitResidue = AsF32(reply[23]);
}

}  // namespace CKorvexDSP

double KorvexGetProbeSampleLength(CKorvexPeripheral* peripheral, std::uint32_t argument)
{
    if (peripheral == nullptr || peripheral->IsNotPulsed(argument) != 0) return 0.0;
    return peripheral->GetPwPhysicalInformation().SampleLength;
}

double KorvexGetSettingsSampleLength()
{
    return CParameterNode::GetFloat64Attribute(g_pSampleLength, eAttrValue);
}

}  // namespace Korvex
