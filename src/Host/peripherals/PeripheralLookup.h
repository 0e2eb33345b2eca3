// Finding peripherals by node path or channel address below `peripherals`, numbering the
// measuring channels, the controller's topology-changed check and the selection of a list
// of channels (CKorvexPeripheral::FindByPath, NumberChannels, CheckTopologyChanged and
// SelectChannelFromList are declared with the class).
#pragma once

#include <string>

#include "Host/peripherals/CKorvexPeripheral.h"

namespace Korvex {

class CParameterNode;

// The node path of a channel: its levels "%u" joined by "/" (at most 5 levels; "" for none).
std::string ChannelPath(const CKorvexChannel& channel);

// The node at path below `peripherals`, or null when there is none.
CParameterNode* PeripheralNodeAt(const std::string& path);
// The peripheral stored at path, null for a missing node or a node without a device.
CKorvexPeripheral* PeripheralAt(const std::string& path);

// Gyromagnetic-ratio source of the unit conversions: 0 and the current probe's ratio; 46
// without a current probe; 37 when its ratio is zero or not finite. Call with the tree lock
// held or not; takes no topology lock.
int CurrentProbeGyroRatio(double& ratio);
// Installs CurrentProbeGyroRatio as the units' probe-ratio source.
void InstallProbeGyroRatioSource();

}  // namespace Korvex
