// The VXI-11 server as the engine starts and stops it (server kind 1).
//
// Start: the link registry, the interface manager (the factory of kind 1), the instrument-server
// manager (listener, portmapper, accept thread), then the kind-1 registration. A failing step
// undoes what this start made and logs one line naming the cause; a server that already runs is
// left alone. Stop: unregister kind 1, then the server manager, the interface manager and the
// registry, in that order.
#pragma once

#include <cstdint>

// Installs the VXI-11 builder for server kind 1 into the engine (zo_device_set_server_builder).
// Calling it again changes nothing.
void vxi11_install_server_builder();

// The IPv4 address (dotted quad) that every socket of the VXI-11 server and its portmapper binds
// to; "127.0.0.1" until set. Takes effect at the next start. An address that does not parse is
// ignored.
void vxi11_set_bind_address(const char* ipv4);

// The bind address in host order.
std::uint32_t vxi11_bind_address();

// The TCP port of the running server's core channel; 0 while it does not run.
std::uint16_t vxi11_core_port();

// Where the server's log lines go (one line per call, without a newline; called from any of
// its threads). Null: standard error.
void vxi11_set_log_sink(void (*sink)(const char* line));

// Called at the end of each start that succeeds (from the thread that starts the server) with
// the core channel's port and whether the server runs its own portmapper (else the portmapper
// that answered on the port holds its registration). Null: nothing is called.
void vxi11_set_started_sink(void (*sink)(std::uint16_t corePort, bool ownPortmapper));
