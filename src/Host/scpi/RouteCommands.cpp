#include "Host/scpi/RouteCommands.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "Host/acquisition/AcquisitionSeam.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/Error.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/peripherals/CKorvexPeripheral.h"
#include "Host/peripherals/PeripheralCommands.h"
#include "Host/peripherals/PeripheralLookup.h"
#include "Host/peripherals/TopologyLock.h"
#include "Host/scpi/exec/ParsedCommand.h"
#include "Host/scpi/exec/ReplyAssembly.h"
#include "Host/scpi/host/KorvexHost.h"
#include "Host/scpi/status/KorvexScpiStatus.h"
#include "Host/scpi/status/StatusTables.h"
#include "Host/scpi/units/MeasurementUnits.h"

namespace Korvex {

namespace {

constexpr std::uint8_t CommandModel = 126;
constexpr std::uint8_t CommandSerial = 127;
constexpr std::uint8_t CommandDesignation = 128;
constexpr std::uint8_t CommandMinimum = 129;
constexpr std::uint8_t CommandHallRaw = 133;

constexpr std::uint32_t RowInvalidBlock = 32;        // -161 "Invalid block data"
constexpr std::uint32_t RowSettingsConflict = 52;    // -221 "Settings conflict"
constexpr std::uint32_t RowOutOfMemory = 56;         // -225 "Out of memory"
constexpr std::uint32_t RowMemory = 98;              // -311 "Memory error"
constexpr std::uint32_t RowFirmware = 127;           // 200 "Firmware error"
constexpr std::uint32_t RowInvalidChannelList = 130; // 203 "Invalid Channel List"
constexpr std::uint32_t RowDataNotAvailable = 131;   // 204 "Data not all available"

constexpr std::uint32_t RowTopologyRefresh = 17;     // OPERation, mask 0x0004
constexpr std::uint32_t RowChannelSelected = 52;     // OPERation:BIT11, mask 0x0020

[[noreturn]] void Raise(std::uint32_t row) { throw static_cast<eSCPIErrorEvent>(row); }

// The shorter map of ROUTe:CLOSe and the Hall queries: 29, 30 and 46 as eError, the rest
// "Firmware error".
[[noreturn]] void RaisePeripheralCode(int code)
{
    if (code == eInvalidChannelList || code == eNoPeripheralConnected || code == eNoProbeSelected)
        throw static_cast<eError>(code);
    Raise(RowFirmware);
}

bool AsciiFormat()
{
    return CParameterNode::GetStringAttribute(g_pParametersFormat, eAttrValue) == "ASCii";
}

std::uint32_t SelectedUnit()
{
    return static_cast<std::uint32_t>(
        KorvexParseUnits(CParameterNode::GetStringAttribute(g_pUnitsSelected, eAttrValue)));
}

// One formatted item in the reply's 26-byte buffer; a failure latches 254.
template <typename T>
void AppendValue(ParsedCommand& record, const char* format, T value)
{
    char text[26];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int n = std::snprintf(text, sizeof text, format, value);
#pragma GCC diagnostic pop
    if (n <= 0) {
        text[0] = '\0';
        record.Latch(ParsedInconsistent);
    }
    AppendResponse(record, text, true);
}

void AppendChannels(ParsedCommand& record, const std::vector<CKorvexChannel>& channels)
{
    AppendResponse(record, AsciiFormat() ? ChannelListText(channels) : AppendChannelBlock(channels),
                   true);
}

// "#", the number of digits of n, n, then the bytes ("#10" when there are none).
void AppendDefiniteBlock(ParsedCommand& record, const std::vector<std::uint8_t>& bytes)
{
    const std::string length = std::to_string(bytes.size());
    const std::string header =
        bytes.empty() ? std::string("#10") : "#" + std::to_string(length.size()) + length;
    char* reply = ReserveResponse(record, header.size() + bytes.size(), true);
    if (reply == nullptr) Raise(RowOutOfMemory);
    std::memcpy(reply, header.data(), header.size());
    if (!bytes.empty()) std::memcpy(reply + header.size(), bytes.data(), bytes.size());
}

// The one channel of a memory command.
CKorvexChannel SingleChannel(ParsedCommand& record)
{
    const std::vector<CKorvexChannel> channels = record.GetChannelList(0);
    if (channels.size() != 1) Raise(RowInvalidChannelList);
    return channels.front();
}

// A limit in the selected unit with the channel's own ratio; false when it is lacking.
bool LimitInUnit(CKorvexPwMeasuringPeripheral& probe, bool minimum, double& value)
{
    const double ratio = probe.GetGyroRatio();
    if (ratio == 0.0 || !std::isfinite(ratio)) return false;
    value = minimum ? probe.GetMinFreq() : probe.GetMaxFreq();
    return KorvexConvertUnits(value, eUnitHZ, SelectedUnit(), ratio) == eOk;
}

// Appends one channel's value; false when the peripheral lacks it.
bool AppendProbeField(std::uint8_t command, ParsedCommand& record, CKorvexPeripheral& peripheral)
{
    switch (command) {
        case CommandModel:
            AppendValue(record, "%d", static_cast<int>(peripheral.GetIdentifierWord()));
            return true;
        case CommandSerial:
            AppendValue(record, "%d", static_cast<int>(peripheral.GetIdentifierNumber()));
            return true;
        case CommandDesignation:
            AppendResponse(record, peripheral.GetIdentityText(), true);
            return true;
        default: {
            auto* probe = dynamic_cast<CKorvexPwMeasuringPeripheral*>(&peripheral);
            double value = 0.0;
            if (probe == nullptr || !probe->IsMeasuring() || !probe->IsInitialised() ||
                !LimitInUnit(*probe, command == CommandMinimum, value))
                return false;
            AppendValue(record, "%.15g ", value);
            return true;
        }
    }
}

}  // namespace

std::string ChannelListText(const std::vector<CKorvexChannel>& channels)
{
    std::string text = "(@";
    for (std::size_t i = 0; i < channels.size(); ++i) {
        if (i != 0) text += ",";
        const unsigned levels = channels[i].count < CKorvexChannel::MaxLevels ? channels[i].count
                                                                               : CKorvexChannel::MaxLevels;
        for (unsigned l = 0; l < levels; ++l) {
            if (l != 0) text += "!";
            text += std::to_string(static_cast<unsigned>(channels[i].level[l]));
        }
    }
    return text + ")";
}

std::uint32_t ListProbeFields(std::uint8_t command, ParsedCommand& record)
{
    const std::vector<CKorvexChannel> channels = record.GetChannelList(0);
    bool missing = false;
    bool lacking = false;
    CRecursiveLock topology(TopologyLock());
    for (const CKorvexChannel& channel : channels) {
        CKorvexPeripheral* peripheral = CKorvexPeripheral::IsPresent(ChannelPath(channel));
        const bool given = peripheral != nullptr && AppendProbeField(command, record, *peripheral);
        if (given) continue;
        if (peripheral == nullptr) missing = true;
        else lacking = true;
        AppendValue(record, "%d", -1);
    }
    if (missing) return RowInvalidChannelList;
    return lacking ? RowDataNotAvailable : 0;
}

void RouteCloseCommand(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    if (CAcquisitionSeam::Instance().TriggerActive()) Raise(RowSettingsConflict);
    CKorvexScpiStatus::SetStatusBit(host.StatusBlock(), RowChannelSelected, 1, 1);
    const int result = CKorvexPeripheral::SelectChannelFromList(command.GetChannelList(0));
    if (result != 0) RaisePeripheralCode(result);
}

void RouteCloseStateQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost&)
{
    std::vector<CKorvexChannel> channels;
    {
        CRecursiveLock topology(TopologyLock());
        CRecursiveLock tree(ParameterTreeLock());
        const auto* list = static_cast<const std::vector<CKorvexChannel>*>(
            CParameterNode::GetPointerAttribute(g_pCurrentChannelList, eAttrValue));
        if (list != nullptr) channels = *list;
    }
    AppendChannels(command, channels);
}

void RouteCloseActiveQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost&)
{
    CKorvexChannel channel;
    const std::uint32_t result = CKorvexPeripheral::GetCurrentProbePath(channel);
    if (result == eNoPeripheralConnected) {
        AppendResponse(command, AsciiFormat() ? "(@)" : "#10", true);
        return;
    }
    if (result != 0) Raise(RowFirmware);
    if (AsciiFormat()) {
        AppendResponse(command, ChannelListText({channel}), true);
        return;
    }
    char header[26];
    std::snprintf(header, sizeof header, "#6%06u", static_cast<unsigned>(channel.count));
    AppendResponse(command, std::string(header) + std::string(channel.level, channel.level + channel.count),
                   true);
}

void RouteProbeFieldQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost&)
{
    const std::uint32_t row = ListProbeFields(command.command, command);
    if (row != 0) Raise(row);
}

void RouteScanQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    // Parser thread only: one list for the life of the program.
    static std::vector<CKorvexChannel>* const scanned = new std::vector<CKorvexChannel>;
    if (CAcquisitionSeam::Instance().TriggerActive()) Raise(RowSettingsConflict);
    CKorvexScpiStatus::SetStatusBit(host.StatusBlock(), RowTopologyRefresh, 1, 0);
    const int result = CKorvexPeripheral::RefreshTopology(*scanned);
    CKorvexScpiStatus::SetStatusBit(host.StatusBlock(), RowTopologyRefresh, 0, 0);
    if (result != 0) throw static_cast<eError>(result);
    AppendChannels(command, *scanned);
}

void RouteHallQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost&)
{
    CRecursiveLock topology(TopologyLock());
    CKorvexPeripheral* current = nullptr;
    const int result = CKorvexPeripheral::GetCurrentProbePath(current);
    if (result != 0) RaisePeripheralCode(result);
    auto* probe = dynamic_cast<CKorvexPwMeasuringPeripheral*>(current);
    if (probe == nullptr) Raise(RowFirmware);
    if (command.command == CommandHallRaw) {
        std::uint16_t words[4] = {};
        if (probe->ReadHallWords(words[0], words[1], words[2], words[3]) != 0) Raise(RowDataNotAvailable);
        for (std::uint16_t word : words) AppendValue(command, "%d", static_cast<int>(word));
        return;
    }
    float axis[3] = {};
    float magnitude = 0.0f;
    float scale = 0.0f;
    if (probe->GetHallValue(axis[0], axis[1], axis[2], magnitude, scale) != 0) Raise(RowDataNotAvailable);
    const std::uint32_t unit = SelectedUnit();
    const double ratio = probe->GetGyroRatio();
    for (float component : axis) {
        double value = component;
        if (KorvexConvertUnits(value, eUnitT, unit, std::isfinite(ratio) ? ratio : 0.0) != eOk)
            Raise(RowFirmware);
        AppendValue(command, "%g", value);
    }
}

void RouteLowLevelQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost&)
{
    std::vector<std::uint8_t> frame = command.GetBlock(0);
    if (frame.empty()) Raise(RowInvalidBlock);
    // A request goes out as long as its length field says: it must be the whole block.
    const bool request = (frame[0] & 1) == 0;
    if (request && (frame.size() < 4 || BE16(&frame[1]) != frame.size())) Raise(RowInvalidBlock);
    std::uint8_t status = 0;
    if (CKorvexPeripheral::ReadMemory(frame, status) != 0) Raise(RowDataNotAvailable);
    AppendDefiniteBlock(command, frame);
}

void RouteMemoryQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost&)
{
    const CKorvexChannel channel = SingleChannel(command);
    CRecursiveLock topology(TopologyLock());
    CKorvexPeripheral* peripheral = CKorvexPeripheral::IsPresent(ChannelPath(channel));
    if (peripheral == nullptr) Raise(RowInvalidChannelList);
    std::vector<std::uint8_t> bytes;
    if (peripheral->ReadDeviceMemory(bytes) != 0) Raise(RowDataNotAvailable);
    AppendDefiniteBlock(command, bytes);
}

void RouteMemoryCommand(CKorvexHostParser&, ParsedCommand& command, CKorvexHost&)
{
    const CKorvexChannel channel = SingleChannel(command);
    const std::vector<std::uint8_t> bytes = command.GetBlock(1);
    // With an object its own write; without one, straight to the device at the route.
    if (CKorvexPeripheral::WriteMemory(channel, bytes) != 0) Raise(RowMemory);
}

}  // namespace Korvex
