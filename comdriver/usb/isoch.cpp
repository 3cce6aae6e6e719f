// Isochronous reads and writes: one URB with one packet per MaximumPacketSize, no segmentation,
// started as soon as possible or at a frame relative to the bus's current frame.
#include "tarvelpipe.h"

#define ISOCH_URB_BASE_BYTES 152
#define ISOCH_PACKET_BYTES 12
// The URB header's Length is 16 bits wide; a request needing a longer URB cannot be described.
#define ISOCH_URB_MAX_BYTES 0xFFFF

static NTSTATUS NTAPI IsoComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID ContextArg) {
    PURB urb = (PURB)ContextArg;
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    Irp->IoStatus.Information = urb->UrbIsochronousTransfer.TransferBufferLength;
    PipeFree(urb);
    DecrementIo(DeviceObject);
    return Irp->IoStatus.Status;
}

static NTSTATUS GetCurrentFrame(PDEVICE_OBJECT DeviceObject, PULONG Frame) {
    PURB urb = (PURB)PipeAllocateZeroed(NonPagedPool, sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER));
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    urb->UrbGetCurrentFrameNumber.Hdr.Length = (USHORT)sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
    urb->UrbGetCurrentFrameNumber.Hdr.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
    NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
    *Frame = urb->UrbGetCurrentFrameNumber.FrameNumber;
    PipeFree(urb);
    return status;
}

// The pipe reset and the current-frame request wait for the bus; a request that arrives above
// PASSIVE_LEVEL (a kernel client may read and write at DISPATCH_LEVEL) is started from a work item.
typedef struct _ISOCH_START_CONTEXT {
    PIRP Irp;
    PPIPE_ENTRY Pipe;
    BOOLEAN Read;
    PIO_WORKITEM WorkItem;
} ISOCH_START_CONTEXT, *PISOCH_START_CONTEXT;

static NTSTATUS StartIsochTransferPassive(PDEVICE_OBJECT DeviceObject, PIRP Irp, PPIPE_ENTRY Pipe, BOOLEAN Read);

static VOID NTAPI IsochStartWorker(PDEVICE_OBJECT DeviceObject, PVOID ContextArg) {
    PISOCH_START_CONTEXT context = (PISOCH_START_CONTEXT)ContextArg;
    NTSTATUS status = StartIsochTransferPassive(DeviceObject, context->Irp, context->Pipe, context->Read);
    if (status != STATUS_PENDING) {
        CompleteRequest(context->Irp, status, 0);
    }
    IoFreeWorkItem(context->WorkItem);
    PipeFree(context);
    DecrementIo(DeviceObject); // the work item's reference, last
}

NTSTATUS StartIsochTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, PPIPE_ENTRY Pipe, BOOLEAN Read) {
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        return StartIsochTransferPassive(DeviceObject, Irp, Pipe, Read);
    }
    PISOCH_START_CONTEXT context = (PISOCH_START_CONTEXT)PipeAllocate(NonPagedPool, sizeof(ISOCH_START_CONTEXT));
    PIO_WORKITEM item = IoAllocateWorkItem(DeviceObject);
    if (context == NULL || item == NULL) {
        if (context != NULL) PipeFree(context);
        if (item != NULL) IoFreeWorkItem(item);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    context->Irp = Irp;
    context->Pipe = Pipe;
    context->Read = Read;
    context->WorkItem = item;
    IncrementIo(DeviceObject); // the pipe table stays while the work item is queued
    IoMarkIrpPending(Irp);
    IoQueueWorkItem(item, IsochStartWorker, DelayedWorkQueue, context);
    return STATUS_PENDING;
}

static NTSTATUS StartIsochTransferPassive(PDEVICE_OBJECT DeviceObject, PIRP Irp, PPIPE_ENTRY Pipe, BOOLEAN Read) {
    PMDL mdl = Irp->MdlAddress;
    ULONG length = mdl != NULL ? MmGetMdlByteCount(mdl) : 0;
    ULONG packetSize = Pipe->PipeInfo->MaximumPacketSize;
    // Nothing to carry, or packets of no size: refused before anything reaches the bus.
    if (length == 0 || packetSize == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONGLONG packets = ((ULONGLONG)length + packetSize - 1) / packetSize;
    ULONGLONG urbBytes = ISOCH_URB_BASE_BYTES + ISOCH_PACKET_BYTES * packets;
    if (urbBytes > ISOCH_URB_MAX_BYTES) {
        return STATUS_INVALID_PARAMETER;
    }

    ResetPipe(DeviceObject, Pipe);

    PURB urb = (PURB)PipeAllocateZeroed(NonPagedPool, (SIZE_T)urbBytes);
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    struct _URB_ISOCH_TRANSFER* isoch = &urb->UrbIsochronousTransfer;
    isoch->Hdr.Length = (USHORT)urbBytes;
    isoch->Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    isoch->PipeHandle = Pipe->PipeInfo->PipeHandle;
    isoch->TransferFlags = Read ? USBD_TRANSFER_DIRECTION_IN : 0;
    isoch->TransferBufferMDL = mdl;
    isoch->TransferBufferLength = length;
    isoch->NumberOfPackets = (ULONG)packets;
    for (ULONG i = 0; i < (ULONG)packets; i++) {
        isoch->IsoPacket[i].Offset = i * packetSize;
    }

    LARGE_INTEGER offset = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.ByteOffset;
    if (offset.HighPart == 0) {
        isoch->TransferFlags |= USBD_START_ISO_TRANSFER_ASAP;
    } else {
        ULONG frame = 0;
        NTSTATUS status = GetCurrentFrame(DeviceObject, &frame);
        if (!NT_SUCCESS(status)) {
            PipeFree(urb);
            return status;
        }
        isoch->StartFrame = frame + offset.LowPart;
    }

    IncrementIo(DeviceObject); // given back by IsoComplete
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->MinorFunction = 0;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(Irp, IsoComplete, urb, TRUE, TRUE, TRUE);
    IoMarkIrpPending(Irp);
    IoCallDriver(PipeExt(DeviceObject)->LowerDevice, Irp);
    return STATUS_PENDING;
}
