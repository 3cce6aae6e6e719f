// The private device-control set: descriptors, pipe operations, control transfers, port
// operations, suspend and resume, and bulk or interrupt transfers through device control.
#include "tarvelpipe.h"

static NTSTATUS RestorePort(PDEVICE_OBJECT DeviceObject) {
    ULONG portStatus = 0;
    NTSTATUS status = SendInternalIoctlSync(DeviceObject, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if ((portStatus & USBD_PORT_ENABLED) || !(portStatus & USBD_PORT_CONNECTED)) {
        return status;
    }
    status = SendInternalIoctlSync(DeviceObject, IOCTL_INTERNAL_USB_ENABLE_PORT, NULL);
    if (!NT_SUCCESS(status)) {
        return SendInternalIoctlSync(DeviceObject, IOCTL_INTERNAL_USB_RESET_PORT, NULL);
    }
    return status;
}

static NTSTATUS VendorWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG InputLength) {
    // The data stage's length travels as the 16-bit wLength of the setup packet.
    if (InputLength > 0xFFFF) {
        return STATUS_INVALID_PARAMETER;
    }
    PURB urb = (PURB)PipeAllocateZeroed(NonPagedPool, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* request = &urb->UrbControlVendorClassRequest;
    request->Hdr.Length = (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    request->Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    request->TransferFlags = 0;
    request->TransferBuffer = InputLength != 0 ? Irp->AssociatedIrp.SystemBuffer : NULL;
    request->TransferBufferMDL = NULL;
    request->TransferBufferLength = InputLength;
    request->Request = 0x0B;
    request->Value = 0;
    request->Index = 0;
    NTSTATUS status = SubmitControlUrbSync(DeviceObject, urb);
    PipeFree(urb);
    return status;
}

static NTSTATUS GetConfigDescriptor(PPIPE_EXTENSION Extension, PIRP Irp, ULONG OutputLength) {
    PCONFIG_INFO config = Extension->ConfigInfo;
    if (config == NULL || config->ConfigurationDescriptor == NULL) {
        // Started but without a configuration: a stop whose deconfiguration failed.
        return STATUS_INVALID_DEVICE_STATE;
    }
    ULONG total = config->ConfigurationDescriptor->wTotalLength;
    if (OutputLength < total) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, config->ConfigurationDescriptor, total);
    Irp->IoStatus.Information = total;
    return STATUS_SUCCESS;
}

// Functions 15 and 16: bulk or interrupt transfers on the bound pipe through device control.
static NTSTATUS DeviceControlTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG Code, ULONG InputLength,
                                      ULONG OutputLength) {
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    PPIPE_ENTRY pipe = GetBoundPipe(ext, IoGetCurrentIrpStackLocation(Irp)->FileObject);
    if (pipe == NULL || !IsBulkOrInterrupt(pipe)) {
        return STATUS_INVALID_HANDLE;
    }
    if (ReadULongNoFence(&ext->IoState) == PIPE_IO_NOT_READY) {  // unlocked on purpose, as CanAcceptIo
        return STATUS_POWER_STATE_INVALID;
    }
    TRANSFER_PARAMETERS parameters;
    parameters.Buffer = Irp->AssociatedIrp.SystemBuffer;
    switch (Code) {
    case IOCTL_PIPE_READ_BUFFERED:
        if (OutputLength < 1) {
            return STATUS_INVALID_PARAMETER;
        }
        parameters.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        parameters.Length = OutputLength;
        parameters.MdlMode = FALSE;
        break;
    case IOCTL_PIPE_READ_DIRECT:
        if (OutputLength < 1 || Irp->MdlAddress == NULL) {
            return STATUS_INVALID_PARAMETER;
        }
        parameters.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        parameters.Length = OutputLength;
        parameters.MdlMode = TRUE;
        break;
    case IOCTL_PIPE_WRITE_BUFFERED:
        // The byte count comes back as Information, which the I/O manager copies into a buffered
        // request's output buffer: an output buffer too small for it is refused before anything is sent.
        if (OutputLength != 0 && OutputLength < InputLength) {
            return STATUS_INVALID_PARAMETER;
        }
        parameters.TransferFlags = 0;
        parameters.Length = InputLength;
        parameters.MdlMode = FALSE;
        break;
    case IOCTL_PIPE_WRITE_DIRECT:
        parameters.TransferFlags = 0;
        parameters.Length = OutputLength;
        parameters.MdlMode = TRUE;
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    // The partial MDL describes one segment wherever it starts in the buffer: the pages such a
    // segment spans plus one, and never more than the buffer itself.
    ULONGLONG partial = (ULONGLONG)pipe->SegmentSize + PAGE_SIZE;
    parameters.PartialMdlSize = partial < parameters.Length ? (ULONG)partial : parameters.Length;
    return StartPipeTransfer(DeviceObject, Irp, pipe, &parameters);
}

static DEVICE_POWER_STATE SuspendState(PPIPE_EXTENSION Extension) {
    DEVICE_POWER_STATE state = Extension->Capabilities.DeviceWake;
    // A device that names no wake state is suspended to the deepest state.
    if (state <= PowerDeviceUnspecified || state >= PowerDeviceMaximum) {
        state = PowerDeviceD3;
    }
    return state;
}

NTSTATUS NTAPI PipeDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IncrementIo(DeviceObject);
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    Irp->IoStatus.Information = 0;
    if (!CanAcceptIo(DeviceObject)) {
        CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
        DecrementIo(DeviceObject);
        return STATUS_DELETE_PENDING;
    }

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PPIPE_ENTRY pipe;
    NTSTATUS status;

    switch (code) {
    case IOCTL_PIPE_GET_CONFIG_DESCRIPTOR:
        status = GetConfigDescriptor(ext, Irp, outputLength);
        break;
    case IOCTL_PIPE_RESTORE_PORT:
        status = RestorePort(DeviceObject);
        break;
    case IOCTL_PIPE_RESET_PIPE:
        pipe = GetBoundPipe(ext, stack->FileObject);
        status = pipe != NULL ? ResetPipe(DeviceObject, pipe) : STATUS_INVALID_PARAMETER;
        break;
    case IOCTL_PIPE_GET_PIPE_INFO:
        pipe = GetBoundPipe(ext, stack->FileObject);
        if (outputLength < sizeof(USBD_PIPE_INFORMATION)) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else if (pipe == NULL) {
            status = STATUS_INVALID_HANDLE;
        } else {
            RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, pipe->PipeInfo, sizeof(USBD_PIPE_INFORMATION));
            Irp->IoStatus.Information = sizeof(USBD_PIPE_INFORMATION);
            status = STATUS_SUCCESS;
        }
        break;
    case IOCTL_PIPE_VENDOR_WRITE:
        status = VendorWrite(DeviceObject, Irp, inputLength);
        break;
    case IOCTL_PIPE_ABORT_PIPE:
        pipe = GetBoundPipe(ext, stack->FileObject);
        status = pipe != NULL ? AbortPipe(DeviceObject, pipe) : STATUS_INVALID_PARAMETER;
        break;
    case IOCTL_PIPE_CONTROL_TRANSFER:
        status = ControlTransferBuffered(DeviceObject, Irp);
        break;
    case IOCTL_PIPE_GET_MAX_PACKET_SIZE:
        pipe = GetBoundPipe(ext, stack->FileObject);
        if (pipe == NULL || outputLength < sizeof(ULONG)) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            ULONG packetSize = pipe->PipeInfo->MaximumPacketSize;
            RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &packetSize, sizeof(ULONG));
            Irp->IoStatus.Information = sizeof(ULONG);
            status = STATUS_SUCCESS;
        }
        break;
    case IOCTL_PIPE_RESET_PORT:
        status = SendInternalIoctlSync(DeviceObject, IOCTL_INTERNAL_USB_RESET_PORT, NULL);
        break;
    case IOCTL_PIPE_CYCLE_PORT:
        status = KeGetCurrentIrql() > PASSIVE_LEVEL
                     ? STATUS_UNSUCCESSFUL
                     : SendInternalIoctlSync(DeviceObject, IOCTL_INTERNAL_USB_CYCLE_PORT, NULL);
        break;
    case IOCTL_PIPE_SUSPEND_DEVICE:
        status = RequestDevicePowerAndWait(DeviceObject, SuspendState(ext));
        break;
    case IOCTL_PIPE_RESUME_DEVICE:
        status = RequestDevicePowerAndWait(DeviceObject, PowerDeviceD0);
        break;
    case IOCTL_PIPE_READ_BUFFERED:
    case IOCTL_PIPE_READ_DIRECT:
    case IOCTL_PIPE_WRITE_BUFFERED:
    case IOCTL_PIPE_WRITE_DIRECT:
        status = DeviceControlTransfer(DeviceObject, Irp, code, inputLength, outputLength);
        break;
    case IOCTL_PIPE_CONTROL_WRITE_DIRECT:
        status = ControlTransferDirect(DeviceObject, Irp, FALSE);
        break;
    case IOCTL_PIPE_CONTROL_READ_DIRECT:
        status = ControlTransferDirect(DeviceObject, Irp, TRUE);
        break;
    default:
        status = STATUS_INVALID_PARAMETER;
        break;
    }

    if (status != STATUS_PENDING) {
        // The request is still this routine's: complete it with what the handler left in it.
        ULONG_PTR information = NT_SUCCESS(status) ? Irp->IoStatus.Information : 0;
        CompleteRequest(Irp, status, information);
    }
    DecrementIo(DeviceObject);
    return status;
}
