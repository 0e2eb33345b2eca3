// The communication subscribers: they turn the communication settings into running host
// modules (the VXI-11 module, the USB module, the name service and the network thread). The
// main thread subscribes them; they then run on whichever thread changes a setting.
//
// Every subscriber holds the one communication mutex for its whole run, so concurrent
// changes start or stop a module once. Lock order: the communication mutex, then any host,
// parser or status lock. The engine's threads never take it.
//
// Stopping the VXI-11 or the USB module, in this order under the communication mutex: the
// object node is cleared, the device closed (after the callback that runs), the host
// released at the parser, the engine server stopped, and the host freed, by the parser after
// its message when a message of that host is running. A stop or network restart asked for by
// a message of the module's own host is put off until that message has ended and its reply
// has been read (at most 2 s), so the reply still leaves.
#pragma once

#include <functional>

#include "Host/parameters/RecursiveMutex.h"

namespace Korvex {

class CKorvexHost;
class CParameterNode;

CRecursiveMutex& CommunicationMutex();

class CKorvexHostParser;
// The parser the start-up published in host_if/scpi_parser/object (read under the tree
// lock), or null.
CKorvexHostParser* PublishedParser();

// comm_parms/ethernet/enabled: restarts the network thread.
void KorvexOnEthernetEnabledChanged(CParameterNode* node, int event, void* user);
// host_if/communication/ethernet_active: re-applies the VXI-11 module and the name service.
void KorvexOnEthernetActiveChanged(CParameterNode* node, int event, void* user);
// comm_parms/vxi11/enabled: starts or stops the VXI-11 module.
void KorvexUpdateTcpIpScpiModule(CParameterNode* node, int event, void* user);
// comm_parms/usbtmc/enabled: starts or stops the USB module.
void KorvexUpdateUsbScpiModule(CParameterNode* node, int event, void* user);
// comm_parms/nbns/enabled, comm_parms/ethernet/id and domain: restarts the name service.
// It returns once the service runs; nbns_active is set 5 s later, when no station has
// refused the name meanwhile (a settle thread waits for that, holding no lock), unless the
// service was restarted or stopped or a shut-down began in between.
void KorvexUpdateNbns(CParameterNode* node, int event, void* user);

// Shut-down has begun: the name service's 5-s settle ends at once (nbns_active stays as it
// is). Called by the main thread first thing in its shut-down.
void KorvexBeginShutdown();
// Opens it again, for a start-up that follows a shut-down in the same process (tests).
void KorvexEndShutdown();
// Waits until the replies queued for the VXI-11 and the USB host have been read (at most
// 2 s): a reply made before a shut-down (another interface's FETC? that ended just before
// a *RST, say) still leaves before the modules stop.
void KorvexWaitForRepliesRead();

// On the parser thread during a message of host: runs action after that message has ended
// and its reply has been read (or 2 s have passed), and returns true. Elsewhere returns
// false and does nothing.
bool KorvexDeferPastMessageOf(const CKorvexHost* host, std::function<void()> action);
// The same for the VXI-11 host, whose session a network restart ends.
bool KorvexDeferPastOwnMessage(std::function<void()> action);

}  // namespace Korvex
