// Start-up settings: the tree saved at the last shutdown or else the factory defaults, the
// node bindings, the firmware version and the board identity from the EEPROM.
#pragma once

#include <cstdint>
#include <string>

namespace Korvex {

extern const char* const FactorySettingsPath;   // "/romfs/factory.xml"
extern const char* const ArmFirmwareVersion;    // "1.18"

// "major.minor": each half converted like strtol base 10 (no digits: 0), taken as u16;
// without a '.', both halves are the whole text.
void KorvexParseVersion(const std::string& text, std::uint16_t& major, std::uint16_t& minor);
bool KorvexParmFileVersionAccepted(const std::string& text);   // 3.5 only

// Decodes the 140-byte identity record into the system subtree. Returns false when the
// record version is not 2.0 (nothing is stored then).
bool KorvexStoreIdentityRecord(const std::uint8_t* record);

// Fills the tree at boot; returns 0 or does not return (panic).
int KorvexLoadStartupSettings();

}  // namespace Korvex
