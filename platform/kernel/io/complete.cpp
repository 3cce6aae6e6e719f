// Completing a request: completion routines from the lowest stack location up, each called if its
// invoke flags match the final status (success, error) or the cancel flag; PendingReturned carried up
// through locations without a routine; STATUS_MORE_PROCESSING_REQUIRED stops completion and hands the
// request back to the routine's driver. A request that reaches the top goes to the I/O manager, which
// finishes the requests it built itself.
#include <wdm.h>

#include <cstdio>
#include <string>

#include "exec/engine.h"
#include "io/finish.h"
#include "io/irp_records.h"
#include "io/pending_checks.h"
#include "io/power_sequence.h"
#include "tarvel/kernel.h"
#include "verifier/paged_code.h"
#include "verifier/status_text.h"

using namespace tarvel;
using namespace tarvel::io;

namespace {

bool Invoke(const IRP* irp, UCHAR control) {
  const NTSTATUS status = irp->IoStatus.Status;
  return (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
         (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) || (irp->Cancel && (control & SL_INVOKE_ON_CANCEL));
}

// What the platform clears in a location that completion has passed (its ZeroIrpStackLocation); the
// completion routine and its context are cleared once the routine has been taken.
void ClearLocation(PIO_STACK_LOCATION stack) {
  stack->MinorFunction = 0;
  stack->Flags = 0;
  stack->Control = 0;
  stack->Parameters.Others.Argument1 = nullptr;
  stack->Parameters.Others.Argument2 = nullptr;
  stack->Parameters.Others.Argument3 = nullptr;
  stack->Parameters.Others.Argument4 = nullptr;
  stack->FileObject = nullptr;
  stack->CompletionRoutine = nullptr;
  stack->Context = nullptr;
}

}  // namespace

extern "C" VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  kernel::verifier::CheckNotCalledFromPageable(__builtin_return_address(0), "IofCompleteRequest");
  kernel::SwitchPoint();
  IrpRecord* record = &LiveIrp(Irp, "IofCompleteRequest");
  if (Irp->CurrentLocation > Irp->StackCount) {
    kernel::VerifierStop("request completed twice", "IofCompleteRequest", Irp,
                         "no driver holds the request: completion has already passed every stack location");
  }
  if (Irp->CancelRoutine != nullptr) {
    kernel::VerifierStop("request completed with a cancel routine set", "IofCompleteRequest", Irp,
                         "clear the cancel routine (IoSetCancelRoutine(Irp, NULL)) before completing");
  }
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    kernel::VerifierStop("request completed above DISPATCH_LEVEL", "IofCompleteRequest", Irp,
                         "IRQL " + std::to_string(KeGetCurrentIrql()));
  }
  if (Irp->IoStatus.Status == STATUS_PENDING) {
    kernel::VerifierStop("request completed with STATUS_PENDING", "IofCompleteRequest", Irp);
  }
  // Completion runs the routines of every driver above, which may take the same lock (or send the
  // request on to a routine that does): a deadlock on the platform.
  if (kernel::SpinLocksHeld() > 0) {
    kernel::VerifierStop("request completed while holding a spin lock", "IofCompleteRequest", Irp,
                         "release spin lock " + kernel::exec::DescribeObject(kernel::exec::Current()->spinLocks.back()) +
                             " before completing");
  }
  const std::uint64_t id = record->id;
  ++record->completions;
  // The highest location a driver received: the routine there is the sender's.
  int topReceived = 0;
  for (int location = 1; location <= Irp->StackCount; ++location)
    if (Location(*record, location).serial > 0) topReceived = location;

  while (Irp->CurrentLocation <= Irp->StackCount) {
    const int location = Irp->CurrentLocation;
    PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
    if (location == topReceived && !record->powerReceivers.empty()) CheckNextPowerStarted(*record, Irp);
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
    CheckLocationCompleted(*record, location, Irp->PendingReturned);

    const PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    const bool invoke = routine != nullptr && Invoke(Irp, stack->Control);
    ClearLocation(stack);
    const bool upperExists = Irp->CurrentLocation <= Irp->StackCount;
    PIO_STACK_LOCATION upper = Irp->Tail.Overlay.CurrentStackLocation;
    if (!invoke) {
      if (Irp->PendingReturned && upperExists && !(upper->Control & SL_PENDING_RETURNED)) {
        upper->Control |= SL_PENDING_RETURNED;
        Location(*record, location + 1).inheritedMark = true;
      }
      continue;
    }
    PDEVICE_OBJECT device = upperExists ? upper->DeviceObject : nullptr;
    const bool upperMarkedBefore = upperExists && (upper->Control & SL_PENDING_RETURNED);
    const std::uint64_t completions = record->completions;
    const NTSTATUS result =
        kernel::RunDriverCallback("completion routine", reinterpret_cast<const void*>(routine),
                                  [&] { return routine(device, Irp, context); });
    record = FindIrp(Irp, id);
    if (record != nullptr && !record->freed && upperExists && !upperMarkedBefore &&
        (upper->Control & SL_PENDING_RETURNED)) {
      Location(*record, location + 1).inheritedMark = true;
    }
    if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
    if (record != nullptr && record->completions != completions) {
      kernel::VerifierStop("request completed twice", "completion routine", Irp,
                           "the routine completed the request again and returned " + kernel::StatusText(result) +
                               " instead of STATUS_MORE_PROCESSING_REQUIRED");
    }
    if (record == nullptr || record->freed) {
      kernel::VerifierStop("use of a freed request", "completion routine", Irp,
                           "the routine freed the request and returned " + kernel::StatusText(result) +
                               " instead of STATUS_MORE_PROCESSING_REQUIRED");
    }
  }
  FinishRequest(*record, PriorityBoost);
}
