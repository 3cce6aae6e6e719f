#include "io/finish.h"

#include <string>

#include "ke/apc.h"
#include "tarvel/kernel.h"

namespace tarvel::io {
namespace {

// The stage that runs in the issuing thread (the platform's kernel APC for the request): copy back,
// buffers and MDLs freed, status block and event, the request freed. A built request that failed
// without pending was never waited for: its caller has the status from IoCallDriver, and the status
// block and event are left as they were.
void FinishInIssuer(IrpRecord& record, CCHAR priorityBoost) {
  PIRP irp = record.irp;
  const IO_STATUS_BLOCK result = irp->IoStatus;
  if ((irp->Flags & IRP_BUFFERED_IO) && (irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(result.Status) &&
      irp->UserBuffer != nullptr && result.Information != 0) {
    if (result.Information > record.bufferedOutputLength) {
      kernel::VerifierStop("Information exceeds the output buffer", "IofCompleteRequest", irp,
                           "Information " + std::to_string(result.Information) + " for an output buffer of " +
                               std::to_string(record.bufferedOutputLength) + " bytes");
    }
    memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, result.Information);
  }
  if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer != nullptr) {
    DeleteSystemBuffer(irp->AssociatedIrp.SystemBuffer);
    irp->AssociatedIrp.SystemBuffer = nullptr;
  }
  while (irp->MdlAddress != nullptr) {
    PMDL next = irp->MdlAddress->Next;
    IoFreeMdl(irp->MdlAddress);
    irp->MdlAddress = next;
  }
  const bool failedSynchronously =
      record.origin == IrpOrigin::Built && NT_ERROR(result.Status) && !irp->PendingReturned;
  if (irp->UserIosb == nullptr && !failedSynchronously) {
    kernel::VerifierStop("request without a status block finished by the I/O manager", "IofCompleteRequest", irp,
                         "an asynchronous request built without a status block must be freed by its completion "
                         "routine");
  }
  if (!failedSynchronously) *irp->UserIosb = result;
  PKEVENT event = failedSynchronously ? nullptr : irp->UserEvent;
  auto finished = std::move(record.finished);
  record.finishedByIoManager = true;
  ReleaseIrp(irp);
  if (event != nullptr) KeSetEvent(event, priorityBoost, FALSE);
  if (finished) finished(result);
}

}  // namespace

void FinishRequest(IrpRecord& record, CCHAR priorityBoost) {
  PIRP irp = record.irp;
  if (record.origin == IrpOrigin::Allocated || record.origin == IrpOrigin::DriverMemory) {
    kernel::VerifierStop("driver-allocated request completed to the I/O manager", "IofCompleteRequest", irp,
                         "the completion routine of a request from IoAllocateIrp must free it (or keep it) and "
                         "return STATUS_MORE_PROCESSING_REQUIRED");
  }
  for (PMDL mdl = irp->MdlAddress; mdl != nullptr; mdl = mdl->Next) {
    if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
  }
  if (record.origin != IrpOrigin::Built || record.issuer == nullptr) {
    FinishInIssuer(record, priorityBoost);
    return;
  }
  // Between completion and the issuer's APC the request is still the I/O manager's: completing it
  // again is caught as a second completion (every stack location has been passed).
  const std::uint64_t id = record.id;
  kernel::ke::QueueSpecialApc(record.issuer, [irp, id, priorityBoost] {
    if (IrpRecord* r = FindIrp(irp, id); r != nullptr && !r->freed) FinishInIssuer(*r, priorityBoost);
  });
}

}  // namespace tarvel::io
