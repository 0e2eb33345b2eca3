// The runner's network options: --netif NAME puts the Linux interface NAME of the runner's
// network namespace behind eth0 (refused in PID 1's namespace, so that a run never
// reconfigures the machine's own interfaces); --mac sets the identity EEPROM's MAC bytes for
// the run.
#pragma once

#include <cstdint>
#include <string>

namespace korvex_sim {

// "xx:xx:xx:xx:xx:xx" (hexadecimal, one or two digits a field).
bool ParseMac(const char* text, std::uint8_t mac[6]);

// An empty text when NAME may stand behind eth0, else why not and what to do.
std::string CheckNetworkInterface(const std::string& name);

}  // namespace korvex_sim
