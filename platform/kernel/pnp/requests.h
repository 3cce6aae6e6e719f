// Sending one request of the PnP or power manager to a device and waiting for it, as the managers do:
// a fresh request with Status STATUS_NOT_SUPPORTED, sent to the given device (the top of a stack).
#pragma once

#include <ntddk.h>

#include <functional>

namespace tarvel::pnp {

struct RequestResult {
    NTSTATUS status;
    ULONG_PTR information;
};

// MajorFunction and MinorFunction are set before fill sees the stack location. IRP_MJ_POWER requests
// go through PoCallDriver, the others through IoCallDriver.
RequestResult SendAndWait(PDEVICE_OBJECT target, UCHAR majorFunction, UCHAR minorFunction,
                          const std::function<void(PIO_STACK_LOCATION)>& fill = {});

} // namespace tarvel::pnp
