// Drivers of device nodes: each service is loaded once and shared by every node that uses it, and
// unloaded when the last node lets go of it and the driver has no device left.
#pragma once

#include <ntddk.h>

#include <string>

namespace tarvel::pnp {

// The driver of the service, loaded now if it is not yet; nullptr if it cannot be loaded.
PDRIVER_OBJECT AcquireDriver(const std::string& service);
void ReleaseDriver(PDRIVER_OBJECT driver);

} // namespace tarvel::pnp
