// Allocating, initialising, reusing and freeing requests.
#include <wdm.h>

#include <string>

#include "io/irp_records.h"
#include "tarvel/kernel.h"

using namespace tarvel;
using namespace tarvel::io;

extern "C" {

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  UNREFERENCED_PARAMETER(ChargeQuota);
  kernel::SwitchPoint();
  return NewIrp(StackSize, IrpOrigin::Allocated);
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  kernel::SwitchPoint();
  if (StackSize < 1 || PacketSize < IoSizeOfIrp(StackSize)) {
    kernel::VerifierStop("request packet too small", "IoInitializeIrp", Irp,
                         "PacketSize " + std::to_string(PacketSize) + " for " +
                             std::to_string(static_cast<int>(StackSize)) + " stack locations");
  }
  IrpRecord* record = FindIrp(Irp);
  if (record != nullptr && !record->freed && record->origin != IrpOrigin::DriverMemory) {
    if (PacketSize > record->size) {
      kernel::VerifierStop("request packet too small", "IoInitializeIrp", Irp,
                           "PacketSize " + std::to_string(PacketSize) + " exceeds the allocated request");
    }
    record->locations.assign(static_cast<std::size_t>(StackSize) + 2, LocationState{});
    record->completions = 0;
  } else {
    RegisterDriverIrp(Irp, StackSize);
  }
  memset(Irp, 0, PacketSize);
  InitializeIrpFields(Irp, PacketSize, StackSize);
}

// Makes a request that came back (its completion routine stopped completion) fresh for another send,
// keeping its allocation.
VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  kernel::SwitchPoint();
  IrpRecord& record = LiveIrp(Irp, "IoReuseIrp");
  if (Irp->CancelRoutine != nullptr) {
    kernel::VerifierStop("request reused with a cancel routine set", "IoReuseIrp", Irp);
  }
  const UCHAR allocationFlags = Irp->AllocationFlags;
  const USHORT size = Irp->Size;
  const CCHAR stackCount = Irp->StackCount;
  memset(Irp, 0, size);
  InitializeIrpFields(Irp, size, stackCount);
  Irp->AllocationFlags = allocationFlags;
  Irp->IoStatus.Status = Iostatus;
  record.locations.assign(static_cast<std::size_t>(stackCount) + 2, LocationState{});
  record.completions = 0;
}

VOID IoFreeIrp(PIRP Irp) {
  kernel::SwitchPoint();
  IrpRecord& record = LiveIrp(Irp, "IoFreeIrp");
  if (record.origin == IrpOrigin::DriverMemory) {
    kernel::VerifierStop("request freed that IoAllocateIrp did not allocate", "IoFreeIrp", Irp,
                         "the request was initialised on the driver's own memory");
  }
  if (record.ioManagerFrees) {
    kernel::VerifierStop("request freed that the I/O manager owns", "IoFreeIrp", Irp,
                         "a synchronous request built by IoBuild*Request is finished and freed by the I/O manager");
  }
  if (Irp->CancelRoutine != nullptr) {
    kernel::VerifierStop("request freed with a cancel routine set", "IoFreeIrp", Irp);
  }
  // Sent into a stack location that completion has not passed since: the driver there still holds it.
  for (int location = 1; location <= Irp->StackCount; ++location) {
    const LocationState& state = Location(record, location);
    if (state.serial > state.completedSerial) {
      kernel::VerifierStop("request freed while still in use", "IoFreeIrp", Irp,
                           "stack location " + std::to_string(location) + " of " + std::to_string(Irp->StackCount) +
                               " was sent to a driver that has not completed it");
    }
  }
  // IoFreeIrp frees the packet only; MDLs the driver attached stay allocated (and locked) on the
  // platform, a leak there.
  if (Irp->MdlAddress != nullptr) {
    kernel::VerifierStop("request freed with MDLs attached", "IoFreeIrp", Irp,
                         "unlock and free Irp->MdlAddress (MmUnlockPages, IoFreeMdl) first");
  }
  // The system buffer IoBuildAsynchronousFsdRequest allocated goes with the request here (the platform
  // leaves it to the driver, which frees it with the pool routines; here it is not pool memory). A
  // request from IoAllocateIrp has only what its driver put there: left alone.
  if (record.origin == IrpOrigin::Built && (Irp->Flags & IRP_DEALLOCATE_BUFFER) &&
      Irp->AssociatedIrp.SystemBuffer != nullptr) {
    DeleteSystemBuffer(Irp->AssociatedIrp.SystemBuffer);
  }
  ReleaseIrp(Irp);
}

}  // extern "C"
