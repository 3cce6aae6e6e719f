// The top of the stack a device belongs to: where the PnP and power managers send their requests.
#pragma once

#include <ntddk.h>

namespace tarvel::pnp {

inline PDEVICE_OBJECT AttachedTop(PDEVICE_OBJECT device) {
    while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
    return device;
}

} // namespace tarvel::pnp
