// The MMEMory commands: listing the flash file system, reading and writing whole files,
// deleting files, and storing and loading settings classes. Failures are thrown as rows of
// the SCPI error table and posted by the dispatcher. Paths are taken as the host sends them;
// the file layer resolves only /romfs and /yaffs, and no path may hold a "." or ".."
// component.
#pragma once

#include <string>

#include "Host/scpi/handlers/CommandHandlers.h"

namespace Korvex {

// True when a component of the path is "." or "..".
bool PathHasDotComponent(const std::string& path);

// 104 MMEMory[:CATalog]?: used,free then path,,size of every file under /yaffs.
void CatalogQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 105 MMEMory:DATA?: the file's bytes as they are.
void FileDataQuery(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 106 MMEMory:DATA: writes a file under /yaffs/user/.
void FileDataCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 107 MMEMory:DELete: removes a file under /yaffs/.
void FileDeleteCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 108 MMEMory:LOAD[:STATe]: loads a settings file under /yaffs/settings/ (not while measuring).
void SettingsLoadCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);
// 109 MMEMory:STORe[:STATe]: stores a settings class under a file name (not while measuring).
void SettingsStoreCommand(CKorvexHostParser& parser, ParsedCommand& command, CKorvexHost& host);

}  // namespace Korvex
