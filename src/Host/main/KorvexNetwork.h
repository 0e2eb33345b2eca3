// Configuration of eth0 from the communication settings: fixed, by DHCP with a lease thread
// ("Korvex DHCP lease mgt") that renews it and configures again when it is lost, or, when no
// DHCP server gives a usable address, an IPv4 link-local address watched by its monitor.
// A leased address is ARP-probed before use and declined when another station answers.
// ethernet_active follows eth0: a lost lease clears it, and the lease thread sets it again
// once eth0 is configured, trying again every 10 s while that fails.
//
// One configuration mutex covers each run of the network thread, each bind step and
// reconfiguration of the lease thread, and the lease data. Lock order: the configuration
// mutex, then the communication mutex, then host, parser and status locks.
//
// Shut-down latches the network first: no run or lease reconfiguration changes anything
// after it, and ethernet_active is not set again.
#pragma once

#include <cstdint>
#include <string>

#include "Host/parameters/RecursiveMutex.h"

namespace Korvex {

enum eAddressMode : std::uint32_t { AddressNone = 0, AddressStatic = 1, AddressDhcp = 2, AddressLinkLocal = 3 };

// KorvexConfigureInterface's results.
constexpr int ConfigureOk = 0;
constexpr int ConfigureMacFailed = 23;
constexpr int ConfigureFailed = 24;

CRecursiveMutex& NetworkConfigurationMutex();
std::uint32_t KorvexAddressMode();

// Six hexadecimal fields of at most 0xFF separated by ':' and nothing else.
bool KorvexParseEsa(const std::string& text, std::uint8_t mac[6]);

// Configures eth0: all address strings null for DHCP (with the link-local fall-back).
int KorvexConfigureInterface(const std::uint8_t mac[6], const char* host, const char* address, const char* mask,
                             const char* broadcast, const char* gateway, const char* dnsServer);
void KorvexStartDhcpLeaseThread(const std::uint8_t mac[6], const char* host);
// From eth0's record: address, mask, broadcast, gateway, DNS server (16 bytes each) and
// domain (256 bytes).
void KorvexGetAddressStrings(char address[16], char mask[16], char broadcast[16], char gateway[16],
                             char dnsServer[16], char domain[256]);
void KorvexPublishAddresses();

// One run of the network thread: eth0 down, and up again as comm_parms/ethernet asks;
// host_if/communication/ethernet_active tells the result.
void KorvexNetworkRun();

void KorvexLatchNetwork();
bool KorvexNetworkLatched();
// Opens the latch again, for a start-up that follows a shut-down in the same process (tests).
void KorvexUnlatchNetwork();

}  // namespace Korvex
