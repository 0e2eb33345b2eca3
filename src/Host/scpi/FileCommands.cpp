#include "Host/scpi/FileCommands.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "Host/acquisition/AcquisitionSeam.h"
#include "Host/parameters/FileServices.h"
#include "Host/parameters/SettingsClasses.h"
#include "Host/scpi/exec/ParsedCommand.h"
#include "Host/scpi/exec/ReplyAssembly.h"
#include "Host/scpi/host/KorvexHost.h"
#include "Host/scpi/status/KorvexScpiStatus.h"
#include "Host/scpi/status/StatusTables.h"

namespace Korvex {

namespace {

constexpr std::uint32_t RowNumericData = 15;       // -120 "Numeric data error"
constexpr std::uint32_t RowInvalidString = 29;     // -151 "Invalid string data"
constexpr std::uint32_t RowSettingsConflict = 52;  // -221 "Settings conflict"
constexpr std::uint32_t RowOutOfMemory = 56;       // -225 "Out of memory"
constexpr std::uint32_t RowFileName = 71;          // -257 "File name error"
constexpr std::uint32_t RowMemory = 98;            // -311 "Memory error"
constexpr std::uint32_t RowFirmware = 127;         // 200 "Firmware error"

// OPERation:BIT11 status-bit rows.
constexpr std::uint32_t RowSettingsLoaded = 49;
constexpr std::uint32_t RowFileWritten = 50;
constexpr std::uint32_t RowAllSettingsChanged = 62;

constexpr const char* UserPrefix = "/yaffs/user/";
constexpr const char* YaffsPrefix = "/yaffs/";
constexpr const char* SettingsPrefix = "/yaffs/settings/";

[[noreturn]] void Raise(std::uint32_t row) { throw static_cast<eSCPIErrorEvent>(row); }

bool BeginsWith(const std::string& path, const char* prefix) { return path.rfind(prefix, 0) == 0; }

// A path the command may touch: with the prefix (if any) and no "." or ".." component.
void CheckPath(const std::string& path, const char* prefix)
{
    if (path.empty() || (prefix != nullptr && !BeginsWith(path, prefix)) || PathHasDotComponent(path))
        Raise(RowFileName);
}

void CheckStateNumber(ParsedCommand& command)
{
    if (command.GetDouble(0, nullptr, false) != 0.0) Raise(RowNumericData);
}

// One "%llu"/"%lu" item in the reply's 26-byte buffer; a failure latches 254.
void AppendNumber(ParsedCommand& command, unsigned long long value)
{
    char text[26];
    if (std::snprintf(text, sizeof text, "%llu", value) <= 0) {
        text[0] = '\0';
        command.Latch(ParsedInconsistent);
    }
    AppendResponse(command, text, true);
}

void SetOperationBit(CKorvexHost& host, std::uint32_t row)
{
    CKorvexScpiStatus::SetStatusBit(host.StatusBlock(), row, 1, 1);
}

}  // namespace

bool PathHasDotComponent(const std::string& path)
{
    std::size_t from = 0;
    for (;;) {
        const std::size_t slash = path.find('/', from);
        const std::string part = path.substr(from, slash == std::string::npos ? std::string::npos : slash - from);
        if (part == "." || part == "..") return true;
        if (slash == std::string::npos) return false;
        from = slash + 1;
    }
}

void CatalogQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost&)
{
    std::vector<DirListEntry> entries;
    if (KorvexListDirectory("/yaffs", entries, true) != 0) Raise(RowFirmware);
    std::uint64_t used = 0;
    std::uint64_t free = 0;
    std::uint8_t percent = 0;
    if (KorvexGetFlashUsage(used, free, percent) != 0) Raise(RowFirmware);
    AppendNumber(command, used);
    AppendNumber(command, free);
    for (const DirListEntry& entry : entries) {
        AppendResponse(command, entry.path, true);
        AppendResponse(command, entry.type, true);
        AppendNumber(command, entry.size);
    }
}

void FileDataQuery(CKorvexHostParser&, ParsedCommand& command, CKorvexHost&)
{
    const std::string path = command.GetString(0, nullptr);
    CheckPath(path, nullptr);
    std::uint32_t size = 0;
    if (KorvexStatFile(path, size) != 0) Raise(RowMemory);
    std::vector<char> bytes(size);
    if (KorvexReadFile(path, bytes.data(), size, 1, size) != 0) Raise(RowMemory);
    char* reply = ReserveResponse(command, size, true);
    if (reply == nullptr) Raise(RowOutOfMemory);
    if (size != 0) std::memcpy(reply, bytes.data(), size);
}

void FileDataCommand(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    const std::string path = command.GetString(0, nullptr);
    const std::vector<std::uint8_t> block = command.GetBlock(1);
    CheckPath(path, UserPrefix);
    KorvexMakePath("/yaffs/user", KorvexDirectoryMode);
    if (KorvexWriteFile(path, block.data(), 1, static_cast<std::uint32_t>(block.size())) != 0)
        Raise(RowMemory);
    SetOperationBit(host, RowFileWritten);
}

void FileDeleteCommand(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    const std::string path = command.GetString(0, nullptr);
    CheckPath(path, YaffsPrefix);
    if (KorvexRemoveFile(path) != 0) Raise(RowMemory);
    SetOperationBit(host, RowFileWritten);
}

void SettingsLoadCommand(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    CheckStateNumber(command);
    const std::string path = command.GetString(1, nullptr);
    CheckPath(path, SettingsPrefix);
    if (CAcquisitionSeam::Instance().TriggerActive()) Raise(RowSettingsConflict);
    if (KorvexLoadSettings(path) != 0) Raise(RowMemory);
    SetOperationBit(host, RowSettingsLoaded);
    SetOperationBit(host, RowAllSettingsChanged);
}

void SettingsStoreCommand(CKorvexHostParser&, ParsedCommand& command, CKorvexHost& host)
{
    CheckStateNumber(command);
    const std::string name = command.GetString(1, nullptr);
    const std::string className = command.GetString(2, nullptr);
    if (name.find('/') != std::string::npos || name == "." || name == "..") Raise(RowFileName);
    std::uint32_t id = 0;
    if (KorvexFindSettingsClass(className, id) != 0) Raise(RowInvalidString);
    // The save empties the peripheral nodes and deletes the objects a measurement uses.
    if (CAcquisitionSeam::Instance().TriggerActive()) Raise(RowSettingsConflict);
    if (KorvexSaveSettings(name, static_cast<int>(id)) != 0) Raise(RowMemory);
    SetOperationBit(host, RowFileWritten);
}

}  // namespace Korvex
