// The transfer engine: a bulk or interrupt transfer is cut into segments of at most the pipe's
// SegmentSize, sent one after the other on the client's own request from the completion routine,
// and ended early by the first short segment. A failed transfer resets its pipe before the client
// sees the failure. One request, one URB and one partial MDL serve every segment.
#include "tarvelpipe.h"

BOOLEAN IsBulkOrInterrupt(PPIPE_ENTRY Pipe) {
    USBD_PIPE_TYPE type = Pipe->PipeInfo->PipeType;
    return type == UsbdPipeTypeBulk || type == UsbdPipeTypeInterrupt;
}

// A partial MDL that the bus mapped must be unmapped before it is rebuilt or freed.
static VOID UnmapPartialMdl(PMDL Mdl) {
    if (Mdl->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED) {
        MmUnmapLockedPages(Mdl->MappedSystemVa, Mdl);
    }
}

static VOID FreeTransfer(PTRANSFER_CONTEXT Context) {
    if (Context->PartialMdl != NULL) {
        UnmapPartialMdl(Context->PartialMdl);
        IoFreeMdl(Context->PartialMdl);
    }
    PipeFree(Context->Urb);
    PipeFree(Context);
}

static VOID SendSegment(PIRP Irp, PTRANSFER_CONTEXT Context);
static NTSTATUS NTAPI SegmentComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID ContextArg);

// Work item of a failed transfer: reset the pipe, then complete the request with the status and
// byte count it already carries.
static VOID NTAPI ResetAndComplete(PDEVICE_OBJECT DeviceObject, PVOID ContextArg) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PRESET_WORK_CONTEXT work = (PRESET_WORK_CONTEXT)ContextArg;
    PTRANSFER_CONTEXT context = work->Context;
    PDEVICE_OBJECT device = context->DeviceObject;
    PIO_WORKITEM item = work->WorkItem;

    ResetPipe(device, context->Pipe);
    IoCompleteRequest(work->Irp, IO_NO_INCREMENT);

    FreeTransfer(context);
    PipeFree(work);
    IoFreeWorkItem(item);
    DecrementIo(device); // last: removal may go on once this reference is back
}

static NTSTATUS NTAPI SegmentComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID ContextArg) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PTRANSFER_CONTEXT context = (PTRANSFER_CONTEXT)ContextArg;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &context->Urb->UrbBulkOrInterruptTransfer;
    NTSTATUS status = Irp->IoStatus.Status;

    ULONG moved = transfer->TransferBufferLength;
    if (moved > context->CurrentLength) {
        moved = context->CurrentLength; // never report more than the segment could hold
    }
    if (NT_SUCCESS(status) || status == STATUS_CANCELLED) {
        context->Transferred += moved;
    }
    Irp->IoStatus.Information = context->Transferred;

    // A client that cancelled between two segments finds no cancel routine to call; the engine
    // honours the cancellation before it would send the next segment.
    if (NT_SUCCESS(status) && context->Remaining > 0 && moved == context->SegmentSize && Irp->Cancel) {
        status = STATUS_CANCELLED;
        Irp->IoStatus.Status = status;
    }

    if (!NT_SUCCESS(status)) {
        PRESET_WORK_CONTEXT work = (PRESET_WORK_CONTEXT)PipeAllocate(NonPagedPool, sizeof(RESET_WORK_CONTEXT));
        PIO_WORKITEM item = IoAllocateWorkItem(context->DeviceObject);
        if (work != NULL && item != NULL) {
            work->Irp = Irp;
            work->Context = context;
            work->WorkItem = item;
            IoQueueWorkItem(item, ResetAndComplete, DelayedWorkQueue, work);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
        // No memory for the deferred reset: the failure is reported without it.
        if (work != NULL) PipeFree(work);
        if (item != NULL) IoFreeWorkItem(item);
    } else if (context->Remaining > 0 && moved == context->SegmentSize) {
        ULONG next = context->Remaining < context->SegmentSize ? context->Remaining : context->SegmentSize;
        if (context->PartialMdl != NULL) {
            UnmapPartialMdl(context->PartialMdl);
            IoBuildPartialMdl(Irp->MdlAddress, context->PartialMdl, (PVOID)context->NextAddress, next);
        } else {
            transfer->TransferBuffer = (PVOID)context->NextAddress;
            transfer->TransferBufferMDL = NULL;
            transfer->UrbLink = NULL;
        }
        transfer->TransferBufferLength = next;
        context->CurrentLength = next;
        context->Remaining -= next;
        context->NextAddress += next;
        SendSegment(Irp, context);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PDEVICE_OBJECT device = context->DeviceObject;
    FreeTransfer(context);
    DecrementIo(device);
    return status;
}

static VOID SendSegment(PIRP Irp, PTRANSFER_CONTEXT Context) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->MinorFunction = 0;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Context->Urb;
    IoSetCompletionRoutine(Irp, SegmentComplete, Context, TRUE, TRUE, TRUE);
    IoCallDriver(PipeExt(Context->DeviceObject)->LowerDevice, Irp);
}

NTSTATUS StartPipeTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, PPIPE_ENTRY Pipe, PTRANSFER_PARAMETERS Parameters) {
    ULONG length = Parameters->Length;
    ULONG segmentSize = Pipe->SegmentSize;
    if (segmentSize == 0) {
        // Segments of 0 bytes would never finish the transfer.
        return STATUS_INVALID_PARAMETER;
    }
    PMDL requestMdl = Irp->MdlAddress;
    if (length > 0 && (Parameters->MdlMode ? (requestMdl == NULL || MmGetMdlByteCount(requestMdl) < length)
                                           : Parameters->Buffer == NULL)) {
        return STATUS_INVALID_PARAMETER;
    }

    PTRANSFER_CONTEXT context = (PTRANSFER_CONTEXT)PipeAllocateZeroed(NonPagedPool, sizeof(TRANSFER_CONTEXT));
    if (context == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG first = length < segmentSize ? length : segmentSize;
    ULONG_PTR start = 0;
    if (Parameters->MdlMode) {
        if (first > 0) {
            start = (ULONG_PTR)MmGetMdlVirtualAddress(requestMdl);
            context->PartialMdl = IoAllocateMdl((PVOID)start, Parameters->PartialMdlSize, FALSE, FALSE, NULL);
            if (context->PartialMdl == NULL) {
                PipeFree(context);
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            IoBuildPartialMdl(requestMdl, context->PartialMdl, (PVOID)start, first);
        }
    } else {
        start = (ULONG_PTR)Parameters->Buffer;
    }

    PURB urb = (PURB)PipeAllocateZeroed(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    if (urb == NULL) {
        if (context->PartialMdl != NULL) {
            IoFreeMdl(context->PartialMdl);
        }
        PipeFree(context);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &urb->UrbBulkOrInterruptTransfer;
    transfer->Hdr.Length = (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    transfer->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer->PipeHandle = Pipe->PipeInfo->PipeHandle;
    transfer->TransferFlags = Parameters->TransferFlags;
    transfer->TransferBufferLength = first;
    if (Parameters->MdlMode) {
        transfer->TransferBufferMDL = context->PartialMdl;
        transfer->TransferBuffer = NULL;
    } else {
        transfer->TransferBuffer = length > 0 ? (PVOID)start : NULL;
        transfer->TransferBufferMDL = NULL;
    }
    transfer->UrbLink = NULL;

    context->Urb = urb;
    context->DeviceObject = DeviceObject;
    context->Remaining = length - first;
    context->Transferred = 0;
    context->NextAddress = start + first;
    context->SegmentSize = segmentSize;
    context->Pipe = Pipe;
    context->CurrentLength = first;

    IncrementIo(DeviceObject); // the transfer's own reference, given back when it ends
    IoMarkIrpPending(Irp);
    SendSegment(Irp, context);
    return STATUS_PENDING;
}

NTSTATUS NTAPI PipeReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IncrementIo(DeviceObject);
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    BOOLEAN read = stack->MajorFunction == IRP_MJ_READ;
    PPIPE_ENTRY pipe = NULL;
    NTSTATUS status;

    if (!CanAcceptIo(DeviceObject)) {
        status = STATUS_DELETE_PENDING;
    } else if ((pipe = GetBoundPipe(ext, stack->FileObject)) == NULL) {
        status = STATUS_INVALID_HANDLE;
    } else if (ReadULongNoFence(&ext->IoState) == PIPE_IO_NOT_READY) {  // unlocked on purpose, as CanAcceptIo
        status = STATUS_POWER_STATE_INVALID;
    } else if (pipe->PipeInfo->PipeType == UsbdPipeTypeIsochronous) {
        status = StartIsochTransfer(DeviceObject, Irp, pipe, read);
    } else if (IsBulkOrInterrupt(pipe)) {
        ULONG length = Irp->MdlAddress != NULL ? MmGetMdlByteCount(Irp->MdlAddress) : 0;
        if (read && length == 0) {
            status = STATUS_SUCCESS;
        } else {
            TRANSFER_PARAMETERS parameters;
            parameters.TransferFlags = read ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : USBD_SHORT_TRANSFER_OK;
            parameters.Length = length;
            parameters.MdlMode = TRUE;
            parameters.Buffer = NULL;
            parameters.PartialMdlSize = length;
            status = StartPipeTransfer(DeviceObject, Irp, pipe, &parameters);
        }
    } else {
        status = STATUS_INVALID_PARAMETER;
    }

    if (status != STATUS_PENDING) {
        CompleteRequest(Irp, status, 0);
    }
    DecrementIo(DeviceObject);
    return status;
}
