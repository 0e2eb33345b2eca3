// The NetBIOS name service: the "nbns" thread claims the instrument's name by broadcast
// registration on UDP 137, refreshes it, answers queries from its name table, keeps other
// stations' refreshed names, finds its workgroup's master browser and announces the instrument
// to it on UDP 138, and releases the name when stopped.
//
// Its log goes to the standard output (not the instrument's logger), level 0 messages only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Host/main/nbns/NbnsState.h"

namespace Korvex::nbns {

// Starts the service thread and waits 500 ticks: 0 running, 1 running but a station refused
// the name (negative registration response), 2 the name-service port could not be opened
// (nothing runs).
std::uint8_t nbns_start(const char* host, const char* domain, const char* comment);
// The start without the wait: returns once the thread has opened its sockets, 0 running or 2
// as nbns_start. Whether a station refused the name is read later with nbns_conflict.
std::uint8_t nbns_launch(const char* host, const char* domain, const char* comment);
// Whether a negative registration response arrived since the last start.
bool nbns_conflict();
// Stops the thread and returns once it has ended: 0, or 11 when a socket could not be shut
// down (or was not open).
std::uint8_t nbns_stop();
// Whether a service thread exists (running, or ended and not yet stopped).
bool nbns_thread_exists();

// ---- the thread's steps, for tests that drive them without the thread ------------------
// Start-up before the sockets: state, own addresses, name table, comment.
void nbns_init_state();
// Opens both sockets; false when the name-service socket could not be opened.
bool open_sockets();
// Closes both sockets (descriptors back to -1).
void close_sockets();
void do_registration_hook();
// The loop's handling of one datagram read from the name-service socket.
void process_datagram(const std::uint8_t* packet, std::size_t length);
// One pass of the main loop (registration, browse or pause, wait, read).
void main_loop_pass(std::uint8_t* buffer);
// Bound port of the name-service (true) or datagram socket; 0 when not open.
std::uint16_t bound_port(bool nameService);

// Test injection; each applies from the next start (or the next step driven by a test).
void nbns_set_clock(NbnsClock* clock);  // null: the board's clock
void nbns_set_send_hook(NbnsSendHook hook);  // empty: sendto()
void nbns_set_interface_reader(NbnsInterfaceReader reader);  // empty: eth0
void nbns_set_ports(std::uint16_t namePort, std::uint16_t datagramPort);  // 0: any free port
// Copies the start arguments as nbns_start does.
void nbns_set_arguments(const char* host, const char* domain, const char* comment);

}  // namespace Korvex::nbns
