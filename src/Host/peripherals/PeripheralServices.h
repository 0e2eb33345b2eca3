// The probe services that the acquisition controller, the route commands and the settings
// code call: the static operations of CKorvexPeripheral and the remembered frequency
// (value_get_f64 / value_set_f64), declared with the class.
//
// Until the peripherals subsystem provides them, PeripheralServicesInterim.cpp answers as an
// instrument with nothing connected:
//   SelectChannel            30, the object null
//   SelectChannelFromList    30
//   IsPresent                null
//   RefreshTopology          30, no channels
//   GetCurrentProbePath      30, the channel untouched
//   FindNodeByAddress        null
//   ReadMemory, WriteMemory  30
//   GetName                  six zero bytes (an address without levels)
//   value_get_f64            0.0 (none)
//   value_set_f64            nothing
// The interim is one translation unit: a program that links doubles of these services
// defines every one of them, so the interim is not linked in.
#pragma once

#include "Host/peripherals/CKorvexPeripheral.h"

namespace Korvex {

// eError of the services when no peripheral is connected.
constexpr int NoPeripheralConnected = 30;

}  // namespace Korvex
