#include "Host/parameters/StartupSettings.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Host/parameters/Bindings.h"
#include "Host/parameters/Error.h"
#include "Host/parameters/FileServices.h"
#include "Host/parameters/Logger.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/parameters/PowerHooks.h"
#include "Host/parameters/SettingsClasses.h"
#include "Host/parameters/SettingsLimits.h"
#include "platform/fs/FileSystem.h"
#include "board/eeprom.h"

namespace Korvex {

const char* const FactorySettingsPath = "/romfs/factory.xml";
const char* const ArmFirmwareVersion = "1.18";

namespace {

// strtol's reading (leading white space and a sign included), cut to 16 bits.
std::uint16_t LeadingNumber(const std::string& text) {
    return static_cast<std::uint16_t>(std::strtol(text.c_str(), nullptr, 10));
}

// A text slot of the identity record: NUL-terminated within the slot, or filling it.
std::string SlotText(const std::uint8_t* record, std::size_t offset, std::size_t size) {
    const char* p = reinterpret_cast<const char*>(record + offset);
    return std::string(p, strnlen(p, size));
}

std::uint32_t SlotNumber(const std::uint8_t* record, std::size_t offset, std::size_t size) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < size; ++i) v |= static_cast<std::uint32_t>(record[offset + i]) << (8 * i);
    return v;
}

std::int32_t AsInt32(std::uint32_t v) {
    std::int32_t out;
    std::memcpy(&out, &v, sizeof out);
    return out;
}

bool ParmFileOfTreeAccepted() {
    return KorvexParmFileVersionAccepted(CParameterNode::GetStringAttribute(g_pVersionsParmFile, eAttrValue));
}

// Loads a whole-tree file into an empty tree and binds it; false when it is unusable.
// unreadable: receives the nodes whose value in the file was no readable number.
bool LoadWholeTree(const char* path, std::vector<CParameterNode*>* unreadable = nullptr) {
    Logger().Printf("KorvexLoadStartupSettings: Reading %s\n", path);
    ParameterTreeRoot = nullptr;
    if (CParameterNode::LoadXmlFile(path, &ParameterTreeRoot, nullptr, nullptr, false, unreadable) !=
        eOk)
        return false;
    return KorvexBindSettingsNodes() == eOk && ParmFileOfTreeAccepted();
}

}  // namespace

void KorvexParseVersion(const std::string& text, std::uint16_t& major, std::uint16_t& minor) {
    std::size_t dot = text.find('.');
    if (dot == std::string::npos) {
        major = minor = LeadingNumber(text);
        return;
    }
    major = LeadingNumber(text.substr(0, dot));
    minor = LeadingNumber(text.substr(dot + 1));
}

bool KorvexParmFileVersionAccepted(const std::string& text) {
    std::uint16_t major = 0, minor = 0;
    KorvexParseVersion(text, major, minor);
    return major == 3 && minor == 5;
}

bool KorvexStoreIdentityRecord(const std::uint8_t* r) {
    const std::string version = SlotText(r, 8, 8);
    std::uint16_t major = 0, minor = 0;
    KorvexParseVersion(version, major, minor);
    if (major != 2 || minor != 0) return false;

    CParameterNode::SetStringAttribute(g_pEepromVersion, eAttrValue, version);
    CParameterNode::SetStringAttribute(g_pEepromDateCreated, eAttrValue, SlotText(r, 16, 8));
    CParameterNode::SetStringAttribute(g_pEepromTimeCreated, eAttrValue, SlotText(r, 24, 12));
    CParameterNode::SetStringAttribute(g_pSystemManufacturer, eAttrValue, SlotText(r, 36, 32));
    CParameterNode::SetStringAttribute(g_pSystemModel, eAttrValue, SlotText(r, 68, 8));
    CParameterNode::SetValue(g_pSystemSerialNo, AsInt32(SlotNumber(r, 76, 4)));
    CParameterNode::SetStringAttribute(g_pSystemManufDate, eAttrValue, SlotText(r, 80, 8));
    CParameterNode::SetStringAttribute(g_pSystemCalibDate, eAttrValue, SlotText(r, 88, 8));
    CParameterNode::SetStringAttribute(g_pVersionsHardware, eAttrValue, SlotText(r, 96, 8));
    CParameterNode::SetValue(g_pRfMinFreq, AsInt32(SlotNumber(r, 108, 4)));
    CParameterNode::SetValue(g_pRfMaxFreq, AsInt32(SlotNumber(r, 112, 4)));
    char esa[18];
    std::snprintf(esa, sizeof esa, "%02x:%02x:%02x:%02x:%02x:%02x", r[116], r[117], r[118], r[119],
                  r[120], r[121]);
    CParameterNode::SetStringAttribute(g_pSystemEsa, eAttrValue, esa);
    CParameterNode::SetValue(g_pUsbVendorId, AsInt32(SlotNumber(r, 124, 2)));
    CParameterNode::SetValue(g_pUsbProductId, AsInt32(SlotNumber(r, 126, 2)));
    CParameterNode::SetStringAttribute(g_pUsbVersion, eAttrValue, SlotText(r, 128, 8));
    CParameterNode::SetValue(g_pUsbVersionBcd, AsInt32(SlotNumber(r, 136, 2)));
    return true;
}

namespace {

// A value of the last power-off file that its node would refuse from a host, or that is
// no readable number, goes back to the factory value; the rest of the file stays.
void KeepFactoryValuesOfRefused(const std::vector<CParameterNode*>& unreadable) {
    CParameterNode* factory = nullptr;
    if (CParameterNode::LoadXmlFile(FactorySettingsPath, &factory, nullptr) != eOk) return;
    KorvexKeepReferenceValues(ParameterTreeRoot, factory, "KorvexLoadStartupSettings: ",
                              unreadable);
    CParameterNode::Delete(factory);
}

bool LastPowerOffMissing() {
    platform::fs::Stat st{};
    return platform::fs::stat(LastPowerOffSettingsPath, &st) != 0 && errno == ENOENT;
}

}  // namespace

int KorvexLoadStartupSettings() {
    // Saves a power cut interrupted left only their *.tmp: never loaded, removed.
    if (const unsigned unfinished = KorvexRemoveUnfinishedFiles(SettingsClassTable[0].directory))
        Logger().Printf("KorvexLoadStartupSettings: removed %u unfinished settings file(s) (*.tmp)\n",
                        unfinished);
    if (LastPowerOffMissing()) {
        // The normal first boot (or a boot after the settings were forgotten).
        Logger().Printf("KorvexLoadStartupSettings: No last power-off settings; starting from factory settings\n");
        if (!LoadWholeTree(FactorySettingsPath)) KorvexPanic();
    } else if (std::vector<CParameterNode*> unreadable;
               LoadWholeTree(LastPowerOffSettingsPath, &unreadable)) {
        KeepFactoryValuesOfRefused(unreadable);
    } else {
        Logger().Printf("KorvexLoadStartupSettings: Error in file; deleting %s\n", LastPowerOffSettingsPath);
        KorvexRemoveFile(LastPowerOffSettingsPath);
        // A file that loaded but failed binding or the version test goes whole: nothing of it
        // may survive into the factory tree. Nobody subscribes to its nodes yet.
        if (ParameterTreeRoot) CParameterNode::Delete(ParameterTreeRoot);
        ParameterTreeRoot = nullptr;
        if (!LoadWholeTree(FactorySettingsPath)) KorvexPanic();
    }

    CParameterNode::SetStringAttribute(g_pVersionsArmFirmware, eAttrValue, ArmFirmwareVersion);

    Logger().Printf("KorvexLoadStartupSettings: Reading EEPROM\n");
    std::uint8_t record[EepromIdentityRecordSize];
    if (eeprom_read_first_block(record) != 0) KorvexPanic();
    if (!KorvexStoreIdentityRecord(record)) KorvexPanic();

    if (CParameterNode::GetStringAttribute(g_pEthernetId, eAttrValue).empty()) {
        char name[32];
        std::snprintf(name, sizeof name, "Korvex_%05d",
                      CParameterNode::GetInt32Attribute(g_pSystemSerialNo, eAttrValue));
        CParameterNode::SetStringAttribute(g_pEthernetId, eAttrValue, name);
    }
    return eOk;
}

}  // namespace Korvex
