// The emulated USB bus as tests and tools use it: plug a device model into a root port of its own (the
// bus driver creates the port's physical device object and hands it to the PnP manager with the
// description of the drivers to install), drive the model and its faults, pull the plug.
//
// Everything here runs on an emulated thread at PASSIVE_LEVEL. The model must outlive its port: a port
// ends when its device has been unplugged and the PnP manager's removal has reached the bus driver.
//
// Status codes the bus returns (URB status / request status):
//   success                                    USBD_STATUS_SUCCESS / STATUS_SUCCESS
//   transfer aborted (abort pipe, port reset,
//     unconfigure) or cancelled by its sender  USBD_STATUS_CANCELED / STATUS_CANCELLED
//   device unplugged (pending and new URBs)    USBD_STATUS_DEVICE_GONE / STATUS_DEVICE_NOT_CONNECTED
//   endpoint STALL (stall fault, or a control
//     request the device refuses)              USBD_STATUS_STALL_PID / STATUS_UNSUCCESSFUL
//   transfer on a halted pipe (behind a stall,
//     until the pipe is reset)                 USBD_STATUS_ENDPOINT_HALTED / STATUS_UNSUCCESSFUL
//   short IN packet without SHORT_TRANSFER_OK  USBD_STATUS_DATA_UNDERRUN / STATUS_UNSUCCESSFUL
//   transfer while the device is suspended
//     (not in D0) or its port is disabled      USBD_STATUS_DEV_NOT_RESPONDING / STATUS_DEVICE_POWERED_OFF
//                                              (suspended) or STATUS_UNSUCCESSFUL (port disabled)
//   endless NAK                                nothing: the transfer stays pending until abort/cancel
//   unknown pipe handle                        USBD_STATUS_INVALID_PIPE_HANDLE / STATUS_INVALID_PARAMETER
//   malformed URB (short Length, no buffer,
//     length above MaximumTransferSize, ...)   USBD_STATUS_INVALID_PARAMETER / STATUS_INVALID_PARAMETER
//   unknown URB function                       USBD_STATUS_INVALID_URB_FUNCTION / STATUS_INVALID_PARAMETER
//   select configuration with a malformed
//     descriptor / unknown interface / short
//     interface information                    USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR,
//                                              USBD_STATUS_INTERFACE_NOT_FOUND, USBD_STATUS_BUFFER_TOO_SMALL
//                                              / STATUS_INVALID_PARAMETER
//   device refuses SET_CONFIGURATION           USBD_STATUS_SET_CONFIG_FAILED / STATUS_UNSUCCESSFUL
//   isochronous start frame out of range       USBD_STATUS_BAD_START_FRAME / STATUS_UNSUCCESSFUL
//   wait-wake on a device without remote
//     wake-up / a second wait-wake             STATUS_NOT_SUPPORTED / STATUS_DEVICE_BUSY
//   wait-wake when the device goes away        STATUS_NO_SUCH_DEVICE
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
// returned through `status`; the port exists whatever it is.
Port* Plug(DeviceModel& model, const pnp::DeviceDescription& description, NTSTATUS* status = nullptr);
// Plugs the model in with a physical device object only, for tests that attach a function driver of
// their own to it by hand.
Port* PlugWithoutInstall(DeviceModel& model);

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
