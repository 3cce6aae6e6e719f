#include "io/request_buffers.h"

namespace tarvel::io {
namespace {

bool LockedMdl(PIRP irp, PVOID buffer, ULONG length, KPROCESSOR_MODE mode, LOCK_OPERATION operation) {
  PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
  if (mdl == nullptr) return false;
  MmProbeAndLockPages(mdl, mode, operation);
  return true;
}

void* CopyIn(const void* source, std::size_t copyLength, std::size_t bufferLength) {
  void* buffer = NewSystemBuffer(bufferLength);
  if (copyLength != 0 && source != nullptr) memcpy(buffer, source, copyLength);
  return buffer;
}

}  // namespace

bool AttachTransferBuffer(PIRP irp, IrpRecord& record, PDEVICE_OBJECT device, UCHAR majorFunction, PVOID buffer,
                          ULONG length, KPROCESSOR_MODE mode) {
  const bool read = majorFunction == IRP_MJ_READ;
  irp->UserBuffer = buffer;
  if (length == 0) return true;
  if (device->Flags & DO_BUFFERED_IO) {
    irp->AssociatedIrp.SystemBuffer = read ? NewSystemBuffer(length) : CopyIn(buffer, length, length);
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    if (read) {
      irp->Flags |= IRP_INPUT_OPERATION;
      record.bufferedOutputLength = length;
    }
    return true;
  }
  if (device->Flags & DO_DIRECT_IO) {
    // A read fills the caller's pages (write access to them); a write only reads them.
    return LockedMdl(irp, buffer, length, mode, read ? IoWriteAccess : IoReadAccess);
  }
  return true;
}

bool AttachControlBuffers(PIRP irp, IrpRecord& record, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                          ULONG outputLength, KPROCESSOR_MODE mode) {
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
  stack->Parameters.DeviceIoControl.IoControlCode = code;
  irp->UserBuffer = output;
  switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED: {
      const ULONG size = inputLength > outputLength ? inputLength : outputLength;
      if (size == 0) return true;
      irp->AssociatedIrp.SystemBuffer = CopyIn(input, inputLength, size);
      irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      if (outputLength != 0) {
        irp->Flags |= IRP_INPUT_OPERATION;
        record.bufferedOutputLength = outputLength;
      }
      return true;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      if (inputLength != 0) {
        irp->AssociatedIrp.SystemBuffer = CopyIn(input, inputLength, inputLength);
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      }
      if (outputLength != 0 &&
          !LockedMdl(irp, output, outputLength, mode,
                     METHOD_FROM_CTL_CODE(code) == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess)) {
        DetachBuffers(irp);
        return false;
      }
      return true;
    default:  // METHOD_NEITHER
      stack->Parameters.DeviceIoControl.Type3InputBuffer = input;
      return true;
  }
}

void DetachBuffers(PIRP irp) {
  if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer != nullptr) {
    DeleteSystemBuffer(irp->AssociatedIrp.SystemBuffer);
  }
  irp->AssociatedIrp.SystemBuffer = nullptr;
  irp->Flags &= ~static_cast<ULONG>(IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION);
  while (irp->MdlAddress != nullptr) {
    PMDL next = irp->MdlAddress->Next;
    if (irp->MdlAddress->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(irp->MdlAddress);
    IoFreeMdl(irp->MdlAddress);
    irp->MdlAddress = next;
  }
}

}  // namespace tarvel::io
