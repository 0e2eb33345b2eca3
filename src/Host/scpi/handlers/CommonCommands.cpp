// The common commands and system queries on the session's status block.
#include "Host/scpi/handlers/CommonCommands.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "Host/acquisition/AcquisitionSeam.h"
#include "Host/main/KorvexPower.h"
#include "Host/parameters/Bindings.h"
#include "Host/parameters/Logger.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/scpi/engine/ScpiLexer.h"
#include "Host/scpi/exec/ParsedCommand.h"
#include "Host/scpi/exec/ReplyAssembly.h"
#include "Host/scpi/handlers/MeasurementCommands.h"
#include "Host/scpi/handlers/StatusCommands.h"
#include "Host/scpi/host/KorvexHost.h"
#include "Host/scpi/parser/KorvexHostParser.h"
#include "Host/scpi/status/KorvexScpiStatus.h"
#include "platform/fs/FileIo.h"
#include "platform/kernel/Kernel.h"

namespace Korvex {

namespace {

// Status-bit row of operation complete (standard event bit 0).
constexpr std::uint32_t OperationCompleteRow = 7;
// Error rows.
constexpr std::uint32_t TriggerErrorRow = 45;     // -210 "Trigger error"
constexpr std::uint32_t DataOutOfRangeRow = 53;   // -222 "Data out of range"

// Reads size bytes at offset of the help file into buffer (cleared first). A missing file
// or a short read latches 254; the buffer then holds what was read.
void ReadHelp(ParsedCommand& command, long offset, char* buffer, std::size_t size)
{
    std::memset(buffer, 0, size);
    std::FILE* file = platform::fs::open(HelpFilePath, "rb");
    if (file == nullptr) {
        command.Latch(ParsedInconsistent);
        return;
    }
    if (std::fseek(file, offset, SEEK_SET) != 0 || std::fread(buffer, size, 1, file) != 1)
        command.Latch(ParsedInconsistent);
    std::fclose(file);
}

std::string Value(CParameterNode* node)
{
    return CParameterNode::GetStringAttribute(node, eAttrValue);
}

}  // namespace

void ClearStatusCommand(CKorvexHostParser&, ParsedCommand&, CKorvexHost& host)
{
    CKorvexScpiStatus::Clear(host.StatusBlock());
}

void EventEnableCommand(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    std::uint16_t mask = 0;
    if (!GetMaskParameter(command, g_pStatusEse, mask)) return;
    CKorvexScpiStatus::SetEnable(host.StatusBlock(), eRegStandardEvent, mask, 1);
}

void EventEnableQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    AppendFormatted(command, CKorvexScpiStatus::GetEnable(host.StatusBlock(), eRegStandardEvent),
                    "%hu", true);
}

void EventStatusQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    const std::uint16_t events =
        CKorvexScpiStatus::ReadAndClearEvent(host.StatusBlock(), eRegStandardEvent);
    AppendFormatted(command, events, "%hu", true);
}

void IdentifyQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost&)
{
    // Joined here rather than item by item: an empty field (no identity loaded yet) must
    // still leave four fields. One hold of the tree for all of them.
    std::string identity;
    identity.reserve(128);
    {
        CRecursiveLock tree(ParameterTreeLock());
        char serial[16] = {};
        const std::int32_t number = CParameterNode::GetInt32Attribute(g_pSystemSerialNo, eAttrValue);
        const char* serialEnd = std::to_chars(serial, serial + sizeof serial, number).ptr;
        identity.append(Value(g_pSystemManufacturer)).append(",");
        identity.append(Value(g_pSystemModel)).append(",");
        identity.append(serial, static_cast<std::size_t>(serialEnd - serial)).append(",");
        identity.append("el").append(Value(g_pVersionsHardware));
        identity.append("-arm").append(Value(g_pVersionsArmFirmware));
        identity.append("-dsp").append(Value(g_pVersionsDspFirmware));
        identity.append("-cpld").append(Value(g_pVersionsCpld));
        identity.append("-pa").append(Value(g_pVersionsParmFile));
    }
    AppendResponse(command, identity, true);

    // The identification ends what this message may answer: a later query of the same
    // message is reported as unterminated.
    command.indefiniteResponse = 1;
}

void OperationCompleteCommand(CKorvexHostParser&, ParsedCommand&, CKorvexHost& host)
{
    if (!WaitForMeasureQueryEnd()) return;  // cleared: the measurement is not complete
    CKorvexScpiStatus::SetStatusBit(host.StatusBlock(), OperationCompleteRow, 1, 1);
}

void OperationCompleteQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost&)
{
    if (WaitForMeasureQueryEnd()) AppendResponse(command, "1", true);
}

void ResetCommand(CKorvexHostParser& parser, ParsedCommand&, CKorvexHost&)
{
    CKorvexPower::RequestShutdown(CKorvexPower::eRestartKeeping);
    // The main thread restarts the instrument; no command of any session runs until then.
    parser.HoldHere();
    CAcquisitionSeam::Instance().Reset();
}

void ServiceRequestEnableCommand(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    std::uint16_t mask = 0;
    if (!GetMaskParameter(command, g_pStatusSre, mask)) return;
    CKorvexScpiStatus::SetEnable(host.StatusBlock(), eRegStatusByte, mask, 1);
}

void ServiceRequestEnableQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    AppendFormatted(command, CKorvexScpiStatus::GetEnable(host.StatusBlock(), eRegStatusByte),
                    "%hu", true);
}

void StatusByteQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    // Evaluate first, so that events and errors posted deferred by earlier commands of
    // this message show in the summary bits.
    CKorvexScpiStatus::Evaluate(host.StatusBlock());
    AppendFormatted(command, CKorvexScpiStatus::ReadStatusByte(host.StatusBlock(), 0), "%hhu",
                    true);
}

void TriggerCommand(CKorvexHostParser&, ParsedCommand&, CKorvexHost& host)
{
    if (CAcquisitionSeam::Instance().SendBusTrigger() != 0)
        CKorvexScpiStatus::PostError(host.StatusBlock(), TriggerErrorRow, 0);
}

void SelfTestQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost&)
{
    AppendResponse(command, "0", true);
}

void WaitCommand(CKorvexHostParser&, ParsedCommand&, CKorvexHost&) { WaitForMeasureQueryEnd(); }

void SystemErrorQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    const std::uint32_t row = CKorvexScpiStatus::PopError(host.StatusBlock());
    std::int16_t code = 0;
    std::string text;
    CKorvexScpiStatus::GetErrorText(row, code, text);
    AppendFormatted(command, static_cast<std::uint16_t>(code), "%hd", true);
    AppendResponse(command, "\"" + text + "\"", true);
}

void SystemVersionQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost&)
{
    AppendResponse(command, "1999.0", true);
}

void HelpHeadersQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost&)
{
    // One byte more than the text, so that a text without NUL ends at 5000 bytes.
    std::unique_ptr<char[]> text(new char[HelpTextSize + 1]);
    ReadHelp(command, HelpHeaderSize, text.get(), HelpTextSize);
    text[HelpTextSize] = '\0';
    const std::size_t length = std::strlen(text.get());
    char header[10] = {};
    std::snprintf(header, sizeof header, "#4%04u", static_cast<unsigned>(length));
    AppendResponse(command, header, true);
    AppendResponse(command, std::string(text.get(), length), false);
}

void HelpSyntaxQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    const std::string header = command.GetString(0, nullptr);
    if (command.status != 0) return;
    scpi_reset_header_path();
    unsigned found = ScpiCommandCount;
    for (unsigned n = 0; n < ScpiCommandCount && ScpiCommandPatternTable[n][0] != '\0'; ++n) {
        const char* pattern = ScpiCommandPatternTable[n];
        std::uint32_t suffixes[1] = {0};
        std::uint8_t suffixCount = 0;
        if (scpi_match_header(pattern, std::strlen(pattern), header.c_str(), header.size(), 0,
                              suffixes, suffixCount) == 0) {
            found = n;
            break;
        }
    }
    if (found == ScpiCommandCount) {
        CKorvexScpiStatus::PostError(host.StatusBlock(), DataOutOfRangeRow, 1);
        return;
    }
    char record[HelpRecordSize + 1];
    ReadHelp(command, HelpHeaderSize + static_cast<long>(HelpTextSize + HelpRecordSize * found),
             record, HelpRecordSize);
    record[HelpRecordSize] = '\0';
    AppendResponse(command, record, true);
}

void UpgradeCommand(CKorvexHostParser&, ParsedCommand&, CKorvexHost&)
{
    Logger().Printf("Entering DFU mode...\n");
    CKorvexPower::RequestShutdown(CKorvexPower::eFirmwareUpdate);
}

void LogQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost&)
{
    std::unique_ptr<char[]> contents(Logger().GetWholeLines());
    AppendResponse(command, contents != nullptr ? contents.get() : "", true);
}

}  // namespace Korvex
