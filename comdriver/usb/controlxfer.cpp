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
    status = SubmitUrbSync(DeviceObject, urb);
    if (NT_SUCCESS(status)) {
        ULONG moved = urb->UrbControlVendorClassRequest.TransferBufferLength;
        Irp->IoStatus.Information = moved < setup.Length ? moved : setup.Length;
    }
    PipeFree(urb);
    return status;
}

static NTSTATUS ControlDirectComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID ContextArg) {
    PURB urb = (PURB)ContextArg;
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    ULONG moved = urb->UrbControlVendorClassRequest.TransferBufferLength;
    ULONG room = Irp->MdlAddress != NULL ? MmGetMdlByteCount(Irp->MdlAddress) : 0;
    Irp->IoStatus.Information = moved < room ? moved : room;
    PipeFree(urb);
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
    PURB urb = BuildControlUrb(function, &setup, Read ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : 0,
                               NULL, outputLength != 0 ? mdl : NULL);
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    IncrementIo(DeviceObject); // given back by ControlDirectComplete
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->MinorFunction = 0;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(Irp, ControlDirectComplete, urb, TRUE, TRUE, TRUE);
    IoMarkIrpPending(Irp);
    IoCallDriver(PipeExt(DeviceObject)->LowerDevice, Irp);
    return STATUS_PENDING;
}
