// Settings files: the whole tree saved at shutdown, and the settings classes (named subtrees)
// a host stores and loads under file names of its own. Every save is parsed again and
// removed when it does not parse.
#pragma once

#include <cstdint>
#include <string>

namespace Korvex {

class CParameterNode;

struct SettingsClassRow {
    int id;
    const char* scpiName;
    const char* directory;
    CParameterNode** subtree;      // the class's bound node, read when the row is used
    std::uint8_t requiresRestart;
};

constexpr unsigned SettingsClassCount = 6;   // rows 0..5; row 6 ends the table
extern const SettingsClassRow SettingsClassTable[SettingsClassCount + 1];

extern const char* const LastPowerOffSettingsPath;  // "/yaffs/settings/LastPowerOff.xml"

int KorvexFindSettingsClass(const std::string& scpiName, std::uint32_t& id);   // 0 or 48
int KorvexLoadSettings(const std::string& path);
int KorvexSaveSettings(const std::string& fileName, int classId);
int KorvexSaveLastPowerOffSettings(const std::string& path);
int KorvexDeleteLastPowerOffSettings();

}  // namespace Korvex
