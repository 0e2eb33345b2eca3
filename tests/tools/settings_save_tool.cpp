// Boots the settings on a simulated board in STATE, stores a host name and a domain that
// hold XML markup characters, then writes the last-power-off file and one file of every
// settings class. Prints the host path of each file written, one per line, for an
// independent XML parser to judge.
//   settings_save_tool STATE
#include <cstdio>
#include <string>

#include "Host/parameters/Bindings.h"
#include "Host/parameters/FileServices.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/parameters/SettingsClasses.h"
#include "Host/parameters/StartupSettings.h"
#include "platform/fs/FileSystem.h"
#include "sim/eeprom/EepromSim.h"

using namespace Korvex;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s STATE\n", argv[0]);
        return 2;
    }
    platform::fs::init(argv[1], KORVEX_ROMFS_DIR);
    sim::eeprom::restore_default();  // the identity EEPROM on the board's I2C bus
    if (KorvexMountFileSystems() != 0 || KorvexLoadStartupSettings() != 0) return 1;
    CParameterNode::SetStringAttribute(g_pEthernetId, eAttrValue, "lab <1> & \"north\"");
    CParameterNode::SetStringAttribute(g_pEthernetDomain, eAttrValue, "a'b&c>d");

    auto print = [](const std::string& path) {
        std::string host;
        if (platform::fs::resolve(path.c_str(), false, host) != 0) return false;
        std::printf("%s\n", host.c_str());
        return true;
    };
    if (KorvexSaveLastPowerOffSettings(LastPowerOffSettingsPath) != 0 ||
        !print(LastPowerOffSettingsPath))
        return 1;
    for (unsigned id = 0; id < SettingsClassCount; ++id) {
        const std::string name = "markup.xml";
        if (KorvexSaveSettings(name, static_cast<int>(id)) != 0) return 1;
        if (!print(std::string(SettingsClassTable[id].directory) + "/" + name)) return 1;
    }
    return 0;
}
