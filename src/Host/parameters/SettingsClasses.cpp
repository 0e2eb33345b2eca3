#include "Host/parameters/SettingsClasses.h"

#include <cerrno>
#include <cstring>

#include "Host/parameters/Bindings.h"
#include "Host/parameters/Error.h"
#include "Host/parameters/FileServices.h"
#include "Host/parameters/Logger.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/parameters/PowerHooks.h"
#include "Host/parameters/StartupSettings.h"
#include "Host/parameters/TreeFreeze.h"
#include "Host/peripherals/PeripheralReset.h"
#include "platform/fs/FileSystem.h"

namespace Korvex {

const SettingsClassRow SettingsClassTable[SettingsClassCount + 1] = {
    {0, "ALL", "/yaffs/settings", &ParameterTreeRoot, 1},
    {1, "COMMunication", "/yaffs/settings/comm_parms", &g_pCommParms, 1},
    {2, "MEASure", "/yaffs/settings/measure_parms", &g_pMeasureParms, 0},
    {3, "TRIGger", "/yaffs/settings/trigger_parms", &g_pTriggerParms, 0},
    {4, "REFClk", "/yaffs/settings/ref_clock_parms", &g_pRefClockParms, 0},
    {5, "UNITs", "/yaffs/settings/units_parms", &g_pUnitsParms, 0},
    {6, "", "", nullptr, 0},
};

const char* const LastPowerOffSettingsPath = "/yaffs/settings/LastPowerOff.xml";

namespace {

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

const SettingsClassRow* ClassOfPath(const std::string& path) {
    for (unsigned i = 1; i < SettingsClassCount; ++i)
        if (StartsWith(path, SettingsClassTable[i].directory)) return &SettingsClassTable[i];
    if (StartsWith(path, SettingsClassTable[0].directory)) return &SettingsClassTable[0];
    return nullptr;
}

// The path of a class's root among the bindings ("" for the whole tree).
std::string ClassRootPath(const SettingsClassRow& row) {
    for (const SettingsBindingRow& b : SettingsBindingTable)
        if (b.pointer == row.subtree) return b.path;
    return std::string();
}

// A class file is merged only when it holds every bound node of its class, so that a load
// never removes a node that other code holds a pointer to. The whole-tree file must also be
// of the accepted parameter-file version.
bool VerifyClassFile(const SettingsClassRow& row, CParameterNode* scratch) {
    const std::string root = ClassRootPath(row);
    const std::string prefix = root.empty() ? std::string() : root + "/";
    for (const SettingsBindingRow& b : SettingsBindingTable) {
        std::string path = b.path;
        if (!prefix.empty()) {
            if (!StartsWith(path, prefix.c_str())) continue;
            path = path.substr(prefix.size());
        }
        CParameterNode* node = nullptr;
        if (CParameterNode::Find(scratch, path, &node) != eOk) return false;
    }
    if (row.id == 0) {
        CParameterNode* parmFile = nullptr;
        if (CParameterNode::Find(scratch, "system/versions/parm_file", &parmFile) != eOk ||
            !KorvexParmFileVersionAccepted(CParameterNode::GetStringAttribute(parmFile, eAttrValue)))
            return false;
        // The whole tree holds the peripherals: their objects go before the file replaces them.
        ResetPeripheralNodes(g_pPeripherals, true);
    }
    return true;
}

// Writes the subtree in one step (the old file stays until the new one is complete and
// parses); the caller has frozen the tree.
int SaveVerified(const std::string& path, CParameterNode* subtree) {
    if (subtree == nullptr) return eBadNodeArgument;
    return KorvexReplaceFile(
        path, [subtree](std::FILE* file) { return CParameterNode::WriteXml(subtree, file); },
        [](const std::string& written) {
            return CParameterNode::CheckXmlFile(written) == eOk ? eOk : eWriteFailed;
        });
}

void ReportSaved() { Logger().Printf("Settings successfully written to yaffs\n"); }

}  // namespace

int KorvexFindSettingsClass(const std::string& scpiName, std::uint32_t& id) {
    for (unsigned i = 0; i < SettingsClassCount; ++i) {
        if (scpiName == SettingsClassTable[i].scpiName) {
            id = static_cast<std::uint32_t>(SettingsClassTable[i].id);
            return eOk;
        }
    }
    return eNoData;
}

int KorvexLoadSettings(const std::string& path) {
    Logger().Printf("KorvexLoadSettings %s\n", path.c_str());
    const SettingsClassRow* row = ClassOfPath(path);
    if (!row) return ePathTrailingSlash;
    Logger().Printf("File type %d located in %s. Requires restart: %s\n", row->id, row->directory,
                    row->requiresRestart ? "Yes" : "No");
    CParameterNode* target = *row->subtree;
    if (!target) return eBadNodeArgument;
    CParameterNode* root = target;
    int status = CParameterNode::LoadXmlFile(
        path, &root, target, [row](CParameterNode* scratch) { return VerifyClassFile(*row, scratch); },
        true);
    if (status != eOk) return status;
    if (row->requiresRestart) KorvexRequestRestart();
    return eOk;
}

int KorvexSaveSettings(const std::string& fileName, int classId) {
    if (classId < 0 || classId >= static_cast<int>(SettingsClassCount)) return eNoData;
    const SettingsClassRow& row = SettingsClassTable[classId];
    const std::string path = std::string(row.directory) + "/" + fileName;
    Logger().Printf("Saving parms in %s\n", path.c_str());
    {
        CTreeFreeze freeze;
        ResetPeripheralNodes(g_pPeripherals, true);
        if (KorvexMakePath(row.directory, KorvexDirectoryMode) != 0) return eCannotOpenFile;
        int status = SaveVerified(path, *row.subtree);
        if (status != eOk) return status;
    }
    ReportSaved();
    return eOk;
}

int KorvexSaveLastPowerOffSettings(const std::string& path) {
    Logger().Printf("Writing %s\n", path.c_str());
    {
        CTreeFreeze freeze;
        ResetPeripheralNodes(g_pPeripherals, true);
        if (KorvexMakePath("/yaffs/settings", KorvexDirectoryMode) != 0) {
            Logger().Printf("Could not create 'settings' directory: %s\n", std::strerror(errno));
            return eCannotOpenFile;
        }
        // The old file stays until the new one is complete: a power cut during the save
        // leaves one or the other.
        int status = SaveVerified(path, ParameterTreeRoot);
        if (status != eOk) return status;
    }
    ReportSaved();
    return eOk;
}

int KorvexDeleteLastPowerOffSettings() {
    // A file that is not there is not reported as a failed remove: it is the usual case.
    platform::fs::Stat st{};
    if (platform::fs::stat(LastPowerOffSettingsPath, &st) != 0) return eCannotOpenFile;
    return KorvexRemoveFile(LastPowerOffSettingsPath);
}

}  // namespace Korvex
