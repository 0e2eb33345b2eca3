// The probe services that the acquisition controller, the route commands and the settings
// code call: the static operations of CKorvexPeripheral and the remembered frequency
// (value_get_f64 / value_set_f64), declared with the class.
//
// They answer from the peripheral nodes of the topology: SelectChannel and RefreshTopology
// (Topology.cpp), SelectChannelFromList (PeripheralLookup.cpp), the others here
// (PeripheralServices.cpp). A test program may link doubles of every one of them in place
// of the real ones as long as it pulls in none of those units.
#pragma once

#include "Host/peripherals/CKorvexPeripheral.h"

namespace Korvex {

// eError of the services when no peripheral is connected.
constexpr int NoPeripheralConnected = 30;

}  // namespace Korvex
