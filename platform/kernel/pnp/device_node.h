// The PnP manager's record of one device node. Touched only on emulated threads (one runs at a time).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tarvel/pnp.h"

namespace tarvel::pnp {

// A device that a driver's AddDevice put into the stack, with the driver that created it, so that the
// removal can be checked without touching the device after its driver deleted it.
struct StackEntry {
    PDEVICE_OBJECT device;
    PDRIVER_OBJECT driver;
    std::string service;
};

struct DeviceNode {
    PDEVICE_OBJECT physicalDevice = nullptr;
    DeviceDescription description;
    NodeState state = NodeState::Initialized;
    DEVICE_CAPABILITIES capabilities{};
    PNP_DEVICE_STATE pnpDeviceState = 0; // the stack's answer to the query after start
    std::vector<PDRIVER_OBJECT> drivers; // held while the stack is built, AddDevice order
    std::vector<StackEntry> stack;       // devices above the physical device, bottom first
    unsigned openHandles = 0;
    bool removalQueued = false;
    bool reportedMissing = false;  // the bus said the device is gone, and the manager has taken it in
    Veto veto; // of the last orderly removal
};

// Every node of this run, in installation order.
std::vector<std::unique_ptr<DeviceNode>>& AllNodes();

bool StackBuilt(const DeviceNode& node);
PDEVICE_OBJECT Top(const DeviceNode& node);

} // namespace tarvel::pnp
