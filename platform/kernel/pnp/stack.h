// Building a node's device stack and taking it down, on the PnP thread.
#pragma once

#include "pnp/device_node.h"

namespace tarvel::pnp {

// Loads the drivers, creates the hardware key, calls each AddDevice, queries the capabilities and
// starts the stack. On failure the stack is taken down again and the node is left FailedStart.
NTSTATUS BuildAndStart(DeviceNode& node);
NTSTATUS StartStack(DeviceNode& node);
// Sends the removal to the top of the stack, checks that every device the drivers added is deleted
// and detached, and lets go of the drivers. With deviceGone the physical device may be deleted by
// its bus driver during the removal and is not looked at afterwards.
NTSTATUS RemoveStack(DeviceNode& node, bool deviceGone);

// Asks the stack for its capabilities and keeps the answer in the node.
NTSTATUS QueryCapabilities(DeviceNode& node);

NTSTATUS SendPnp(DeviceNode& node, UCHAR minorFunction,
                 const std::function<void(PIO_STACK_LOCATION)>& fill = {}, ULONG_PTR* information = nullptr);

} // namespace tarvel::pnp
