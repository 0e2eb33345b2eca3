// The instrument's one Ethernet interface, "eth0": its configuration record, configured and
// up flags, the DHCP client behind it, its Ethernet driver, and the address every firmware
// socket binds to.
//
// Behind eth0 stands a back-end: by default the loopback stand-in, which makes no system call
// and sends nothing (a static configuration takes the record as given; DHCP is answered at
// once with the bind address and mask 255.0.0.0, without lease timers); the runner's --netif
// puts a Linux interface behind it.
//
// All functions are safe to call from any thread; the record is read as a whole copy.
#pragma once

#include <cstdint>
#include <string>

#include "platform/net/BootpRecord.h"

namespace platform::net {

class EthDriver;
class NetBackend;

// ---- state (read by the network services) ----
BootpRecord eth0_record();
void eth0_set_record(const BootpRecord& record);
bool eth0_up();
bool eth0_configured();
void eth0_mark_configured();

// The address (dotted decimal) firmware sockets bind to: "127.0.0.1" unless set.
std::string bind_address();
void set_bind_address(const std::string& address);
// What to do when a firmware socket cannot bind to a port of the bind address (error: bind's
// errno), for its failure line: given by the program that runs the firmware, which knows its
// own options; empty when none is set or it has no advice for that error.
using BindAdvice = std::string (*)(int error, unsigned port);
void set_bind_advice(BindAdvice advice);
std::string bind_advice(int error, unsigned port);

// ---- back-end ----
// Puts a back-end behind eth0 (null: the stand-in again); the caller keeps it alive.
void eth0_use_backend(NetBackend* backend);
// A Linux interface of this network namespace behind eth0 (made once, kept for good).
void eth0_use_linux(const std::string& name);
bool eth0_is_stand_in();

// ---- configuration ----
bool eth0_set_mac(const std::uint8_t mac[6]);
// Address, mask, broadcast, up and default route from the record; marks eth0 configured.
bool eth0_configure_from_record();
// The DHCP halt: DHCPRELEASE when a lease is held, route deleted, address 0.0.0.0, down,
// not configured.
void eth0_halt();
// Up without an address.
bool eth0_bring_up();
bool loopback_up();
EthDriver* eth0_driver();

// ---- DHCP client ----
void dhcp_reset();
// Sent as option 12, cut to 60 characters; null or empty: none.
void dhcp_set_host_name(const char* name);
// Brings eth0 up without an address and obtains a lease into the record; false when no
// server answered in time.
bool dhcp_run();
// The lease step after an attention: renews or rebinds as the lease's times ask. true: the
// lease is kept; false: it is lost.
bool dhcp_bind_step();
// DHCPDECLINE of the address dhcp_run just obtained (another station uses it); no lease then.
void dhcp_decline();
// Waits until a lease timer (T1, T2, expiry or a retry) is due.
void dhcp_wait_attention();

}  // namespace platform::net
