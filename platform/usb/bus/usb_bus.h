// The emulated USB bus as tests and tools use it: plug a device model into a root port of its own (the
// bus driver creates the port's physical device object and hands it to the PnP manager with the
// description of the drivers to install), drive the model and its faults, pull the plug.
//
// Everything here runs on an emulated thread at PASSIVE_LEVEL. The model must outlive its port: a port
// ends when its device has been unplugged and the PnP manager's removal has reached the bus driver.
//
// The status codes the bus returns for each fault are listed in platform/usb/README.md.
#pragma once

#include <ntddk.h>

#include "tarvel/pnp.h"
#include "usb/model/device_model.h"

namespace tarvel::usb {

class Port;

// The kernel's clock for models (virtual time of the running machine).
const Clock& KernelClock();

// Plugs the model into a new root port and installs it: the bus driver creates the physical device
// object and the PnP manager builds and starts the stack from `description`. The install status is
// returned through `status`; the port exists whatever it is, once its physical device object does.
// When the bus cannot create that object (low resources) the device does not appear, as a device the
// hub cannot enumerate: nullptr, the failure in `status`, nothing left behind and the model still
// unplugged, so that a later plug may succeed.
Port* Plug(DeviceModel& model, const pnp::DeviceDescription& description, NTSTATUS* status = nullptr);
// Plugs the model in with a physical device object only, for tests that attach a function driver of
// their own to it by hand. nullptr (the reason in `status`) as for Plug.
Port* PlugWithoutInstall(DeviceModel& model, NTSTATUS* status = nullptr);

PDEVICE_OBJECT PhysicalDevice(const Port* port);
pnp::DeviceNode* Node(const Port* port);  // nullptr when plugged without install
DeviceModel& Model(const Port* port);
bool Connected(const Port* port);

// Pulls the plug (as DeviceModel::Unplug): pending transfers complete with the no-device status, and
// the PnP manager gets a surprise removal; the removal follows when its handles are closed.
void Unplug(Port* port);
// Deletes the physical device object of a port plugged without install, once its device is unplugged
// and nothing is attached to it any more.
void DeletePort(Port* port);
// Disables the port as a hub does after an error: transfers fail until the port is enabled or reset.
void DisablePort(Port* port);
// Counters for tests: (micro)frames the host controller ran (no idle ticking means few).
std::uint64_t FramesRun(const Port* port);

}  // namespace tarvel::usb
