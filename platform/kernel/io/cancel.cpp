// Cancellation: the system-wide cancel spin lock (a real spin lock of the kernel model) and IoCancelIrp,
// which sets the request's Cancel flag and, if the request has a cancel routine, takes it with an
// interlocked exchange and calls it holding the cancel spin lock (released by the routine).
#include <wdm.h>

#include "io/irp_records.h"
#include "ke/dispatcher.h"
#include "race/watchpoints.h"
#include "tarvel/kernel.h"
#include "verifier/lock_order.h"
#include "verifier/paged_code.h"

using namespace tarvel;
using namespace tarvel::io;

namespace {
KSPIN_LOCK cancelSpinLock = 0;
const bool cancelSpinLockNamed = (kernel::verifier::NameLock(&cancelSpinLock, "the cancel spin lock"), true);

// site: the driver's call, for the lock-order check.
KIRQL AcquireCancelSpinLock(const char* routine, const void* site) {
  const KIRQL old = kernel::ke::Raise(DISPATCH_LEVEL, routine);
  kernel::ke::AcquireSpinLockFor(&cancelSpinLock, routine, site);
  return old;
}
}  // namespace

extern "C" {

VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
  *Irql = AcquireCancelSpinLock("IoAcquireCancelSpinLock", __builtin_return_address(0));
  kernel::verifier::CheckNotReturningToPageable(__builtin_return_address(0), "IoAcquireCancelSpinLock", DISPATCH_LEVEL);
}

VOID IoReleaseCancelSpinLock(KIRQL Irql) {
  kernel::verifier::CheckNotCalledFromPageable(__builtin_return_address(0), "IoReleaseCancelSpinLock");
  KeReleaseSpinLock(&cancelSpinLock, Irql);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
  kernel::SwitchPoint();
  LiveIrp(Irp, "IoCancelIrp");
  const KIRQL irql = AcquireCancelSpinLock("IoCancelIrp", __builtin_return_address(0));
  return tarvel::io::CancelIrpHoldingCancelLock(Irp, irql);
}

}  // extern "C"

BOOLEAN tarvel::io::CancelIrpHoldingCancelLock(PIRP Irp, KIRQL irql) {
  const unsigned locksBefore = kernel::SpinLocksHeld() - 1;
  // Drivers read the flag without the cancel spin lock (and check again through IoSetCancelRoutine):
  // a marked write for the race watchpoints, as on the platform, where it is a single byte store.
  tarvel::kernel::race::MarkedAccess(&Irp->Cancel, sizeof Irp->Cancel, nullptr);
  Irp->Cancel = TRUE;
  // No switch point from here to the cancel routine: one thread runs at a time, so the exchange is
  // atomic, and a caller that checked the request under the cancel spin lock knows it is still live.
  auto routine = Irp->CancelRoutine;
  Irp->CancelRoutine = nullptr;
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  if (Irp->CurrentLocation > Irp->StackCount) {
    kernel::VerifierStop("cancel routine set on a request no driver holds", "IoCancelIrp", Irp);
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
  routine(device, Irp);
  // The routine must have released the cancel spin lock, which brings the IRQL back to the caller's.
  kernel::CheckIrqlBalanced(irql, "cancel routine", reinterpret_cast<const void*>(routine));
  if (kernel::SpinLocksHeld() > locksBefore) kernel::CheckNoSpinLocksHeld("cancel routine", reinterpret_cast<const void*>(routine));
  return TRUE;
}
