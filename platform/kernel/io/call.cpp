// Sending a request to a driver: the stack location bookkeeping of IofCallDriver, the call of the
// dispatch routine under the verifier's IRQL and spin lock checks, and the check of the returned status
// against the routine's own IoMarkIrpPending.
#include <wdm.h>

#include <string>

#include "io/devices.h"
#include "io/irp_records.h"
#include "io/pending_checks.h"
#include "io/power_sequence.h"
#include "tarvel/io.h"
#include "tarvel/kernel.h"
#include "verifier/paged_code.h"

using namespace tarvel;
using namespace tarvel::io;

namespace tarvel::io {

NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, const char* routine, bool locationPreMarked) {
  kernel::SwitchPoint();
  IrpRecord& record = LiveIrp(irp, routine);
  LiveDevice(device, routine);
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    kernel::VerifierStop("request sent above DISPATCH_LEVEL", routine, irp,
                         "IRQL " + std::to_string(KeGetCurrentIrql()));
  }
  if (irp->CurrentLocation <= 1) {
    kernel::VerifierStop("no stack location left", routine, irp,
                         "StackCount " + std::to_string(irp->StackCount) + ", sent to a device with StackSize " +
                             std::to_string(device->StackSize));
  }
  irp->CurrentLocation--;
  irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
  stack->DeviceObject = device;
  const int location = irp->CurrentLocation;
  LocationState& state = Location(record, location);
  const std::uint64_t serial = ++state.serial;
  state.inheritedMark = locationPreMarked;
  state.pendingUnchecked = false;
  const std::uint64_t id = record.id;

  PDRIVER_DISPATCH dispatch = device->DriverObject != nullptr ? device->DriverObject->MajorFunction[stack->MajorFunction]
                                                              : nullptr;
  if (dispatch == nullptr) dispatch = InvalidDeviceRequest;
  const NTSTATUS status =
      kernel::RunDriverCallback("dispatch routine", device, [&] { return dispatch(device, irp); });
  CheckDispatchReturn(irp, id, location, serial, status, device);
  return status;
}

}  // namespace tarvel::io

extern "C" {

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  tarvel::kernel::verifier::CheckNotCalledFromPageable(__builtin_return_address(0), "IofCallDriver");
  // Power requests take the power manager's path whichever routine sends them, as on the platform.
  if (FindIrp(Irp) != nullptr && !FindIrp(Irp)->freed && Irp->CurrentLocation > 1 &&
      IoGetNextIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) {
    return PoCallDriver(DeviceObject, Irp);
  }
  return CallDriver(DeviceObject, Irp, "IofCallDriver", false);
}

// A power request for a device whose driver handles power at PASSIVE_LEVEL (DO_POWER_PAGABLE) that is
// sent at DISPATCH_LEVEL goes to a system worker thread, as the platform's power manager does; the
// sender sees STATUS_PENDING and the location it sent to is marked pending for it.
NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  kernel::SwitchPoint();
  LiveIrp(Irp, "PoCallDriver");
  LiveDevice(DeviceObject, "PoCallDriver");
  if (Irp->CurrentLocation > 1 && HoldIfDeviceBusy(DeviceObject, Irp)) return STATUS_PENDING;
  if ((DeviceObject->Flags & DO_POWER_PAGABLE) && KeGetCurrentIrql() >= DISPATCH_LEVEL && Irp->CurrentLocation > 1) {
    IoGetNextIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
    ReferenceDevice(DeviceObject);
    kernel::QueueWork(kernel::WorkQueue::Critical, [DeviceObject, Irp] {
      CallDriver(DeviceObject, Irp, "PoCallDriver", true);
      DereferenceDevice(DeviceObject);
    });
    return STATUS_PENDING;
  }
  return CallDriver(DeviceObject, Irp, "PoCallDriver", false);
}

// The driver of the request's current location is done with it as far as the power manager is
// concerned: the device's next power request of the same type may go.
VOID PoStartNextPowerIrp(PIRP Irp) {
  kernel::SwitchPoint();
  StartNextPower(LiveIrp(Irp, "PoStartNextPowerIrp"), Irp);
}

}  // extern "C"
