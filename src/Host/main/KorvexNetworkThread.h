// The network thread ("Korvex network thread"): each run brings eth0 down and, when
// comm_parms/ethernet/enabled asks for it, configures it again (KorvexNetworkRun), reporting
// the result in host_if/communication/ethernet_active.
//
// At most one network thread runs. Requests coalesce: one made while the thread runs makes it
// run once more afterwards.
#pragma once

namespace Korvex {

// Asks the network thread to run; returns at once.
void KorvexStartNetworkThread();
// Waits until the network thread neither runs nor is asked to; false on time-out.
bool KorvexWaitNetworkIdle(int timeoutMs);

}  // namespace Korvex
