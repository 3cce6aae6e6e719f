// Class and vendor control transfers on the default pipe: the buffered code, which waits for the
// bus, and the two direct codes, which run on the client's request.
#include "tarvelpipe.h"

typedef struct _SETUP_PACKET {
    UCHAR RequestType;
    UCHAR Request;
    USHORT Value;
    USHORT Index;
    USHORT Length;
} SETUP_PACKET;

static VOID ReadSetupPacket(const UCHAR* Bytes, SETUP_PACKET* Setup) {
    Setup->RequestType = Bytes[0];
    Setup->Request = Bytes[1];
    Setup->Value = (USHORT)(Bytes[2] | (Bytes[3] << 8));
    Setup->Index = (USHORT)(Bytes[4] | (Bytes[5] << 8));
    Setup->Length = (USHORT)(Bytes[6] | (Bytes[7] << 8));
}

// URB function for the type and recipient of bmRequestType; standard and reserved types and
// recipients above "other" are not carried.
static NTSTATUS ControlFunction(UCHAR RequestType, USHORT* Function) {
    static const USHORT classFunctions[4] = {URB_FUNCTION_CLASS_DEVICE, URB_FUNCTION_CLASS_INTERFACE,
                                             URB_FUNCTION_CLASS_ENDPOINT, URB_FUNCTION_CLASS_OTHER};
    static const USHORT vendorFunctions[4] = {URB_FUNCTION_VENDOR_DEVICE, URB_FUNCTION_VENDOR_INTERFACE,
                                              URB_FUNCTION_VENDOR_ENDPOINT, URB_FUNCTION_VENDOR_OTHER};
    UCHAR type = (UCHAR)((RequestType >> 5) & 3);
    UCHAR recipient = (UCHAR)(RequestType & 0x1F);
    if (recipient > 3) {
        return STATUS_INVALID_PARAMETER;
    }
    if (type == 1) {
        *Function = classFunctions[recipient];
    } else if (type == 2) {
        *Function = vendorFunctions[recipient];
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

static PURB BuildControlUrb(USHORT Function, const SETUP_PACKET* Setup, ULONG Flags, PVOID Buffer, PMDL Mdl) {
    PURB urb = (PURB)PipeAllocateZeroed(NonPagedPool, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    if (urb == NULL) {
        return NULL;
    }
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* request = &urb->UrbControlVendorClassRequest;
    request->Hdr.Length = (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    request->Hdr.Function = Function;
    request->TransferFlags = Flags;
    request->TransferBuffer = Buffer;
    request->TransferBufferMDL = Mdl;
    request->TransferBufferLength = Setup->Length;
    request->UrbLink = NULL;
    request->RequestTypeReservedBits = 0;
    request->Request = Setup->Request;
    request->Value = Setup->Value;
    request->Index = Setup->Index;
    return urb;
}

// ---------------------------------------------------------------------------------------------
// Control transfers that a stop or power-down can end
// ---------------------------------------------------------------------------------------------

// A device powered down, or powering down, takes no control transfer, as it takes no bulk transfer:
// one that reached the bus after the power-down's drain would wait at the suspended device until a
// resume. Read without the lock on purpose, as CanAcceptIo: a request past this check holds its I/O
// reference, which the drain waits for (and cancels it meanwhile).
static BOOLEAN ControlTransfersRefused(PPIPE_EXTENSION Extension) {
    return ReadULongNoFence(&Extension->IoState) == PIPE_IO_NOT_READY;
}

static VOID ListControlRequest(PPIPE_EXTENSION Extension, PCONTROL_REQUEST Request) {
    KIRQL irql;
    KeAcquireSpinLock(&Extension->ControlLock, &irql);
    InsertTailList(&Extension->ControlRequests, &Request->Link);
    KeReleaseSpinLock(&Extension->ControlLock, irql);
}

static VOID UnlistControlRequest(PPIPE_EXTENSION Extension, PCONTROL_REQUEST Request) {
    KIRQL irql;
    KeAcquireSpinLock(&Extension->ControlLock, &irql);
    RemoveEntryList(&Request->Link);
    KeReleaseSpinLock(&Extension->ControlLock, irql);
}

// Information of a direct control transfer (the bytes the bus moved, never more than the buffer),
// and the release of what it held. The I/O reference goes last: a drain may end with it.
static VOID FinishDirectControl(PCONTROL_REQUEST Request) {
    PIRP irp = Request->Irp;
    ULONG moved = Request->Urb->UrbControlVendorClassRequest.TransferBufferLength;
    ULONG room = irp->MdlAddress != NULL ? MmGetMdlByteCount(irp->MdlAddress) : 0;
    irp->IoStatus.Information = moved < room ? moved : room;
    PipeFree(Request->Urb);
    PipeFree(Request);
}

// Lets go of a request a canceller held; the last one out finishes it.
static VOID ReleaseControlRequest(PCONTROL_REQUEST Request) {
    if (InterlockedDecrement(&Request->Holders) != 0) {
        return;
    }
    if (!Request->Direct) {
        KeSetEvent(&Request->Released, IO_NO_INCREMENT, FALSE);
        return;
    }
    PIRP irp = Request->Irp;
    PDEVICE_OBJECT device = Request->DeviceObject;
    FinishDirectControl(Request);
    IoCompleteRequest(irp, IO_NO_INCREMENT); // the completion held back for the canceller goes on
    DecrementIo(device);
}

// Cancels every listed control transfer that no canceller has been at yet. The request is held,
// not the lock, while it is cancelled: the bus may complete it inside IoCancelIrp.
VOID CancelControlTransfers(PDEVICE_OBJECT DeviceObject) {
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    for (;;) {
        PCONTROL_REQUEST found = NULL;
        KIRQL irql;
        KeAcquireSpinLock(&ext->ControlLock, &irql);
        for (PLIST_ENTRY entry = ext->ControlRequests.Flink; entry != &ext->ControlRequests; entry = entry->Flink) {
            PCONTROL_REQUEST request = CONTAINING_RECORD(entry, CONTROL_REQUEST, Link);
            if (!request->Cancelled) {
                request->Cancelled = TRUE;
                InterlockedIncrement(&request->Holders);
                found = request;
                break;
            }
        }
        KeReleaseSpinLock(&ext->ControlLock, irql);
        if (found == NULL) {
            return;
        }
        IoCancelIrp(found->Irp);
        ReleaseControlRequest(found);
    }
}

static NTSTATUS NTAPI SyncControlDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID ContextArg) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(&((PCONTROL_REQUEST)ContextArg)->Done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// SubmitUrbSync for a control transfer on the default pipe, on a request of this driver's own that
// stays listed while it is at the bus, so that a device that never answers cannot hold a stop or a
// power-down: they cancel it.
NTSTATUS SubmitControlUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb) {
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    if (ControlTransfersRefused(ext)) {
        return STATUS_POWER_STATE_INVALID;
    }
    PIRP irp = IoAllocateIrp(ext->LowerDevice->StackSize, FALSE);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    CONTROL_REQUEST request;
    RtlZeroMemory(&request, sizeof(request));
    request.Irp = irp;
    request.Urb = Urb;
    request.DeviceObject = DeviceObject;
    request.Holders = 1;
    KeInitializeEvent(&request.Done, NotificationEvent, FALSE);
    KeInitializeEvent(&request.Released, NotificationEvent, FALSE);

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(irp, SyncControlDone, &request, TRUE, TRUE, TRUE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;

    ListControlRequest(ext, &request);
    IoCallDriver(ext->LowerDevice, irp);
    KeWaitForSingleObject(&request.Done, Executive, KernelMode, FALSE, NULL);
    UnlistControlRequest(ext, &request);
    if (InterlockedDecrement(&request.Holders) != 0) {
        KeWaitForSingleObject(&request.Released, Executive, KernelMode, FALSE, NULL);
    }
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

// IOCTL_PIPE_CONTROL_TRANSFER: setup packet in the first 8 input bytes; host-to-device data after
// it; device-to-host data comes back in the output. Information is what the bus moved.
NTSTATUS ControlTransferBuffered(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PUCHAR buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    if (inputLength < PIPE_SETUP_PACKET_LENGTH || buffer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    SETUP_PACKET setup;
    ReadSetupPacket(buffer, &setup);
    BOOLEAN toHost = (setup.RequestType & 0x80) != 0;
    if (toHost ? outputLength < setup.Length : inputLength < (ULONG)setup.Length + PIPE_SETUP_PACKET_LENGTH) {
        return STATUS_INVALID_PARAMETER;
    }
    // Host-to-device, the byte count comes back as Information too, which the I/O manager copies
    // into the output buffer of a buffered request: one too small for it is refused.
    if (!toHost && outputLength != 0 && outputLength < setup.Length) {
        return STATUS_INVALID_PARAMETER;
    }
    USHORT function;
    NTSTATUS status = ControlFunction(setup.RequestType, &function);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PURB urb = BuildControlUrb(function, &setup, toHost ? USBD_TRANSFER_DIRECTION_IN : 0,
                               toHost ? buffer : buffer + PIPE_SETUP_PACKET_LENGTH, NULL);
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = SubmitControlUrbSync(DeviceObject, urb);
    if (NT_SUCCESS(status)) {
        ULONG moved = urb->UrbControlVendorClassRequest.TransferBufferLength;
        Irp->IoStatus.Information = moved < setup.Length ? moved : setup.Length;
    }
    PipeFree(urb);
    return status;
}

static NTSTATUS NTAPI ControlDirectComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID ContextArg) {
    PCONTROL_REQUEST request = (PCONTROL_REQUEST)ContextArg;
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    UnlistControlRequest(PipeExt(DeviceObject), request);
    if (InterlockedDecrement(&request->Holders) != 0) {
        return STATUS_MORE_PROCESSING_REQUIRED; // a canceller still uses the request; it finishes it
    }
    FinishDirectControl(request);
    DecrementIo(DeviceObject);
    return Irp->IoStatus.Status;
}

// IOCTL_PIPE_CONTROL_WRITE_DIRECT and IOCTL_PIPE_CONTROL_READ_DIRECT: the setup packet in the
// input, the data stage through the request's MDL; completes from its completion routine.
NTSTATUS ControlTransferDirect(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN Read) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PUCHAR buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    if (inputLength < PIPE_SETUP_PACKET_LENGTH || buffer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    SETUP_PACKET setup;
    ReadSetupPacket(buffer, &setup);
    if (outputLength < setup.Length) {
        return STATUS_INVALID_PARAMETER;
    }
    PMDL mdl = Irp->MdlAddress;
    if (outputLength != 0 && (mdl == NULL || MmGetMdlByteCount(mdl) < setup.Length)) {
        return STATUS_INVALID_PARAMETER;
    }
    USHORT function;
    NTSTATUS status = ControlFunction(setup.RequestType, &function);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (ControlTransfersRefused(PipeExt(DeviceObject))) {
        return STATUS_POWER_STATE_INVALID;
    }
    PCONTROL_REQUEST request = (PCONTROL_REQUEST)PipeAllocateZeroed(NonPagedPool, sizeof(CONTROL_REQUEST));
    if (request == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PURB urb = BuildControlUrb(function, &setup, Read ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : 0,
                               NULL, outputLength != 0 ? mdl : NULL);
    if (urb == NULL) {
        PipeFree(request);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    request->Irp = Irp;
    request->Urb = urb;
    request->DeviceObject = DeviceObject;
    request->Holders = 1;
    request->Direct = TRUE;

    IncrementIo(DeviceObject); // given back when the transfer is finished
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->MinorFunction = 0;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(Irp, ControlDirectComplete, request, TRUE, TRUE, TRUE);
    IoMarkIrpPending(Irp);
    ListControlRequest(PipeExt(DeviceObject), request);
    IoCallDriver(PipeExt(DeviceObject)->LowerDevice, Irp);
    return STATUS_PENDING;
}
