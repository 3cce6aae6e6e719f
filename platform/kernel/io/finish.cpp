#include "io/finish.h"

#include <string>

#include "tarvel/kernel.h"

namespace tarvel::io {

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
  if (irp->UserIosb == nullptr) {
    kernel::VerifierStop("request without a status block finished by the I/O manager", "IofCompleteRequest", irp,
                         "an asynchronous request built without a status block must be freed by its completion "
                         "routine");
  }
  *irp->UserIosb = result;
  PKEVENT event = irp->UserEvent;
  auto finished = std::move(record.finished);
  record.finishedByIoManager = true;
  ReleaseIrp(irp);
  if (event != nullptr) KeSetEvent(event, priorityBoost, FALSE);
  if (finished) finished(result);
}

}  // namespace tarvel::io
