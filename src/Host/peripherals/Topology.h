// The topology build: the devices the peripheral controller reports become peripheral
// objects, each published as the Pointer value of its node below `peripherals` (the node
// path is the channel's levels "%u" joined by "/", the instrument's socket being level 1).
// The build and refresh fill the selectable channels, SelectChannel activates a measuring
// device and makes it current_probe/object.
//
// The operations (CKorvexPeripheral::InitCKorvexPeripheral, BuildTopology, RefreshTopology,
// SelectChannel, GetCurrentProbePath) are declared with the class. Every one holds the
// topology lock for its whole run; node values are read and written under the tree lock
// taken inside it (lock order: topology lock, then tree lock).
#pragma once

#include <vector>

#include "Host/peripherals/CKorvexPeripheral.h"
#include "Host/peripherals/PeripheralReset.h"

namespace Korvex {

class CParameterNode;

// Creates the device's node (and missing parents) below `peripherals` and stores the device
// as its value. false when the node cannot be made (the caller keeps the device).
bool AddPeripheralNode(CKorvexPeripheral* device);

// The channels of the measuring devices below node, depth-first in node order, each device
// after the devices below it (a camera after its heads). Nodes without a device are skipped
// and their children still walked. With clear the output is emptied first.
void CollectChannels(std::vector<CKorvexChannel>& channels, CParameterNode* node, bool clear);

}  // namespace Korvex
