// The USB server as the engine starts and stops it (server kind 2).
//
// Start: the USB physical-interface manager, then its kind-2 registration; a manager that
// exists already fails the start (and is left alone), a failing step undoes what this start
// made. Stop: unregister kind 2, destroy the manager (its interfaces and the device stack go
// with it).
#pragma once

// Installs the USB builder for server kind 2 into the engine (zo_device_set_server_builder).
// Calling it again changes nothing.
void usb_install_server_builder();

namespace Korvex {
class CUsbPhysicalInterfaceManager;
}

// The manager of the running USB server; null while it does not run.
Korvex::CUsbPhysicalInterfaceManager* usb_server_manager();
