// What the PnP manager asks a device stack besides starting and stopping it: once a stack has started
// it asks the capabilities again (a driver may only fill them in at start), the device's PnP state,
// its children, and, re-enumerating it, its identifiers, texts and resource requirements; before an
// orderly removal it asks which devices go with it. Every query goes to the top of the stack, so each
// driver has to pass on what it does not answer; the answers are read and freed as the platform does.
#pragma once

#include "pnp/device_node.h"

namespace tarvel::pnp {

void QueryStartedStack(DeviceNode& node);
void QueryRemovalRelations(DeviceNode& node);

} // namespace tarvel::pnp
