// The device node's place in the registry: its instance and hardware key (what PLUGPLAY_REGKEY_DEVICE
// opens), filled from the description before any AddDevice runs.
#pragma once

#include "pnp/device_node.h"

namespace tarvel::pnp {

NTSTATUS CreateHardwareKey(const DeviceNode& node);

} // namespace tarvel::pnp
