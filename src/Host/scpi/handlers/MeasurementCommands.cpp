// Measurement control: ABORt, INITiate, FETCh, MEASure, READ and CONFigure?.
#include "Host/scpi/handlers/MeasurementCommands.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "Host/acquisition/AcqResultGetters.h"
#include "Host/acquisition/AcquisitionSeam.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/Error.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/peripherals/CKorvexPeripheral.h"
#include "Host/scpi/exec/ParsedCommand.h"
#include "Host/scpi/exec/ReplyAssembly.h"
#include "Host/scpi/host/KorvexHost.h"
#include "Host/scpi/parser/KorvexHostParser.h"
#include "Host/scpi/status/KorvexScpiStatus.h"
#include "Host/scpi/units/MeasurementUnits.h"

namespace Korvex {

namespace {

constexpr std::uint32_t RowExecutionError = 41;     // -200 "Execution error"
constexpr std::uint32_t RowCommandExecution = 17;   // OPERation bit 2: topology refresh
constexpr std::uint32_t RowTriggerSettings = 57;    // OPERation:BIT11 bit 10

constexpr std::uint8_t FirstFetch = 75;
constexpr std::uint8_t MeasureArray = 103;
constexpr std::uint8_t ReadArray = 122;

// FETCh 75..94: item, whether it is an array form, the node of the count parameter, the
// node of the digits parameter (null: digits 1, no parameter).
struct FetchRow {
    std::uint8_t item;
    bool array;
    CParameterNode** countNode;
    CParameterNode** digitsNode;
};

const FetchRow FetchTable[] = {
    {eFetchFlux, false, nullptr, &g_pFluxDigits},                   // 75
    {eFetchSigma, false, nullptr, &g_pSigmaDigits},                 // 76
    {eFetchUniformity, false, nullptr, &g_pUniformityDigits},       // 77
    {eFetchChannel, false, nullptr, nullptr},                       // 78
    {eFetchTimestamp, false, nullptr, nullptr},                     // 79
    {eFetchStatus, false, nullptr, nullptr},                        // 80
    {eFetchIfFrequency, false, nullptr, &g_pUniformityDigits},      // 81
    {eFetchRelaxation, false, nullptr, &g_pUniformityDigits},       // 82
    {eFetchRfFrequency, false, nullptr, &g_pUniformityDigits},      // 83
    {eFetchSearchProgress, false, nullptr, nullptr},                // 84
    {eFetchFlux, true, &g_pResultsSize, &g_pFluxDigits},            // 85
    {eFetchSigma, true, &g_pResultsSize, &g_pSigmaDigits},          // 86
    {eFetchUniformity, true, &g_pResultsSize, &g_pUniformityDigits},// 87
    {eFetchChannel, true, &g_pResultsSize, nullptr},                // 88
    {eFetchTimestamp, true, &g_pResultsSize, nullptr},              // 89
    {eFetchStatus, true, &g_pResultsSize, nullptr},                 // 90
    {eFetchNmrSignal, true, &g_pNmrSignalSize, nullptr},            // 91
    {eFetchFftBuffer, true, &g_pFftBufferSize, nullptr},            // 92
    {eFetchSpectrum, true, &g_pPeakSpectrumSize, nullptr},          // 93
    {eFetchFit, true, &g_pFitCoeffsSize, nullptr},                  // 94
};
constexpr std::uint8_t FetchCount = sizeof FetchTable / sizeof FetchTable[0];

const MeasurementProbeServices PeripheralProbeServices = {CKorvexPeripheral::RefreshTopology,
                                                         CKorvexPeripheral::SelectChannelFromList};
std::atomic<const MeasurementProbeServices*> probeServices{&PeripheralProbeServices};

// Whether the measurement initiated last is the one of a MEASure? or READ? (immediate trigger,
// continuous off: it ends by itself) rather than one of INITiate.
std::atomic<bool> measureQueryInitiated{false};

[[noreturn]] void Throw(int code) { throw static_cast<eError>(code); }

std::uint32_t Count(std::int32_t value) { return value < 0 ? 0u : static_cast<std::uint32_t>(value); }

// The list of selected channels published in current_probe/current_channel_list.
std::vector<CKorvexChannel> SelectedChannels()
{
    CRecursiveLock tree(ParameterTreeLock());
    const auto* list = static_cast<const std::vector<CKorvexChannel>*>(
        CParameterNode::GetPointerAttribute(g_pCurrentChannelList, eAttrValue));
    return list != nullptr ? *list : std::vector<CKorvexChannel>();
}

void Initiate(CKorvexHost& host)
{
    std::vector<CKorvexChannel> channels = SelectedChannels();
    const int result =
        CAcquisitionSeam::Instance().InitiateTrigger(host.StatusBlock(), channels, 0.0);
    if (result != 0) Throw(result);
    measureQueryInitiated.store(false);
}

// The expected value of MEASure/READ in the selected unit, as InitiateTrigger takes it:
// read in tesla (with its unit suffix, or in the selected unit), range checked there, then
// converted. Absent or 0.0: 0.0 (none).
double ExpectedValue(ParsedCommand& command, unsigned slot)
{
    if (command.slotType[slot] == ParsedSlotNone) return 0.0;
    const std::string unitName = CParameterNode::GetStringAttribute(g_pUnitsSelected, eAttrValue);
    const std::uint32_t selected = static_cast<std::uint32_t>(KorvexParseUnits(unitName));
    double value = command.GetFluxDouble(slot, g_pFluxExpectedValue, selected, eUnitT);
    // A value the getter could not bring into tesla is no expected value.
    if (command.status == ParsedWrongUnits || command.status == ParsedNoProbe) return 0.0;
    if (value == 0.0) return 0.0;
    const int result = KorvexConvertUnits(value, eUnitT, selected, 0.0);
    if (result == eNoProbeSelected) command.Latch(ParsedNoProbe);
    else if (result != 0) command.Latch(ParsedWrongUnits);
    return result == 0 ? value : 0.0;
}

void RefreshChannels(CKorvexHost& host, std::vector<CKorvexChannel>& channels)
{
    CKorvexScpiStatus::SetStatusBit(host.StatusBlock(), RowCommandExecution, 1, 0);
    const int result = probeServices.load()->refreshTopology(channels);
    CKorvexScpiStatus::SetStatusBit(host.StatusBlock(), RowCommandExecution, 0, 0);
    if (result != 0) Throw(eNoPeripheralConnected);
}

// MEASure and READ: abort, select the channels, immediate single trigger, initiate, flux.
void MeasureSequence(ParsedCommand& command, CKorvexHost& host, bool measure)
{
    const bool array = command.command == MeasureArray || command.command == ReadArray;
    const unsigned first = array ? 1 : 0;
    const std::uint32_t count = array ? Count(command.GetInt32(0, g_pResultsSize)) : 1;
    const double expected = ExpectedValue(command, first);
    const std::int32_t digits = command.GetInt32(first + 1, g_pFluxDigits);
    std::vector<CKorvexChannel> channels = command.GetChannelList(first + 2);

    CAcquisitionSeam& acquisition = CAcquisitionSeam::Instance();
    if (acquisition.AbortTrigger(1) != 0) Throw(eGeneralFailure);

    auto selectChannels = [&channels]() {
        const std::vector<CKorvexChannel> copy = channels;
        if (probeServices.load()->selectChannelFromList(copy) != 0) Throw(eNoPeripheralConnected);
    };
    // MEASure selects its channels first; READ after the trigger settings.
    if (measure) {
        if (channels.empty()) RefreshChannels(host, channels);
        selectChannels();
    }

    if (CParameterNode::GetBooleanAttribute(g_pTriggerInContinuous, eAttrValue))
        CParameterNode::SetBooleanAttribute(g_pTriggerInContinuous, eAttrValue, false);
    if (CParameterNode::GetStringAttribute(g_pTriggerInSource, eAttrValue) != "IMMediate")
        CParameterNode::SetStringAttribute(g_pTriggerInSource, eAttrValue, "IMMediate");
    CKorvexScpiStatus::SetStatusBit(host.StatusBlock(), RowTriggerSettings, 1, 1);

    if (measure) {
        acquisition.ResetModesToDefaults();
    } else {
        // Without a list READ measures on the current selection.
        if (channels.empty()) channels = SelectedChannels();
        if (channels.empty()) RefreshChannels(host, channels);
        selectChannels();
    }

    if (CParameterNode::GetInt32Attribute(g_pTriggerInCount, eAttrValue) != 1)
        CParameterNode::SetInt32Attribute(g_pTriggerInCount, eAttrValue, 1);

    const int result = acquisition.InitiateTrigger(host.StatusBlock(), channels, expected);
    if (result != 0) Throw(result);
    measureQueryInitiated.store(true);
    CKorvexHostParser::FormatFetchReply(command, eFetchFlux, count, digits);
}

// One CONFigure? segment's value of REJ, POIN and TRAC:HYST: the node's value in the
// format of its type.
std::string PlainValue(ParsedCommand& command, CParameterNode* node)
{
    char buffer[26] = {};
    int n = 0;
    if (node != nullptr) {
        CRecursiveLock tree(ParameterTreeLock());
        switch (node->GetType()) {
            case eNodeBoolean:
                n = std::snprintf(buffer, sizeof buffer, "%d",
                                  CParameterNode::GetBooleanAttribute(node, eAttrValue) ? 1 : 0);
                break;
            case eNodeInt32:
                n = std::snprintf(buffer, sizeof buffer, "%d",
                                  static_cast<int>(CParameterNode::GetInt32Attribute(node, eAttrValue)));
                break;
            case eNodeFloat64:
                n = std::snprintf(buffer, sizeof buffer, "%.15e",
                                  CParameterNode::GetFloat64Attribute(node, eAttrValue));
                break;
            default: break;
        }
    }
    if (n <= 0) {
        command.Latch(ParsedInconsistent);
        buffer[0] = '\0';
    }
    return buffer;
}

}  // namespace

bool WaitForMeasureQueryEnd()
{
    return !measureQueryInitiated.load() || KorvexWaitForMeasurementEnd();
}

void SetMeasurementProbeServices(const MeasurementProbeServices* services)
{
    probeServices.store(services != nullptr ? services : &PeripheralProbeServices);
}

void AbortCommand(CKorvexHostParser&, ParsedCommand&, CKorvexHost& host)
{
    if (CAcquisitionSeam::Instance().AbortTrigger(0) != 0)
        CKorvexScpiStatus::PostError(host.StatusBlock(), RowExecutionError, 0);
}

void InitiateCommand(CKorvexHostParser&, ParsedCommand&, CKorvexHost& host) { Initiate(host); }

void InitiateContinuousCommand(CKorvexHostParser&, ParsedCommand&, CKorvexHost& host)
{
    if (CParameterNode::GetBooleanAttribute(g_pTriggerInContinuous, eAttrValue)) Initiate(host);
}

void FetchQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost&)
{
    const unsigned index = static_cast<unsigned>(command.command) - FirstFetch;
    if (command.command < FirstFetch || index >= FetchCount) {
        command.Latch(ParsedInconsistent);
        return;
    }
    const FetchRow& row = FetchTable[index];
    std::uint32_t count = 1;
    std::int32_t digits = 1;
    if (row.array) {
        count = Count(command.GetInt32(0, *row.countNode));
        if (row.digitsNode != nullptr) digits = command.GetInt32(1, *row.digitsNode);
    } else if (row.digitsNode != nullptr) {
        digits = command.GetInt32(0, *row.digitsNode);
        if (command.status != 0) return;
    }
    CKorvexHostParser::FormatFetchReply(command, row.item, count, digits);
}

void MeasureQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    MeasureSequence(command, host, true);
}

void ReadQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    MeasureSequence(command, host, false);
}

void ConfigureQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost&)
{
    auto number = [&command](CParameterNode* node, unsigned attribute = eAttrValue) {
        return CParameterNode::FormatFloat64Attribute(command.status, node, attribute);
    };
    auto text = [](CParameterNode* node) {
        return CParameterNode::GetStringAttribute(node, eAttrValue);
    };
    std::string reply;
    reply += ":CONF:MEAS:REJ " + PlainValue(command, g_pMeasurementReject) + ";";
    reply += ":CONF:MEAS:LEV " + number(g_pMeasurementLevel) + " V;";
    reply += ":CONF:MEAS:BAND " + number(g_pMeasurementBandwidth) + " HZ;";
    reply += ":CONF:MEAS:POIN " + PlainValue(command, g_pMeasurementPoints) + ";";
    reply += ":CONF:PROB:MODE " + text(g_pProbeMatchingTuningMode) + ";";
    reply += ":CONF:PROB:MATC " + number(g_pProbeMatching) + " V;";
    reply += ":CONF:PROB:TUN " + number(g_pProbeTuning) + " V;";
    reply += ":CONF:SEAR:LEV " + number(g_pSearchLevel) + " V;";
    reply += ":CONF:SEAR:FSTEP " + number(g_pSearchFstep) + " Hz;";
    reply += ":CONF:SEAR:MODE " + text(g_pSearchMode) + ";";
    reply += ":CONF:SEAR:LOW " + number(g_pSearchValue, eAttrMinimum) + " T;";
    reply += ":CONF:SEAR:HIGH " + number(g_pSearchValue, eAttrMaximum) + " T;";
    reply += ":CONF:SEAR:VAL " + number(g_pSearchValue) + " T;";
    reply += ":CONF:TRAC:LOW " + number(g_pTrackingMinFreq) + " HZ;";
    reply += ":CONF:TRAC:HIGH " + number(g_pTrackingMaxFreq) + " HZ;";
    reply += ":CONF:TRAC:HYST " + PlainValue(command, g_pTrackingHysteresis) + ";";
    AppendResponse(command, reply, true);
}

}  // namespace Korvex
