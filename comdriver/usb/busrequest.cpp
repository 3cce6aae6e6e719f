// Synchronous requests to the bus driver below: URBs, port requests, and the pipe operations
// built on them. All of them wait for the bus and run at PASSIVE_LEVEL.
#include "tarvelpipe.h"

NTSTATUS SendInternalIoctlSync(PDEVICE_OBJECT DeviceObject, ULONG IoControlCode, PVOID Argument1) {
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, ext->LowerDevice, NULL, 0, NULL, 0, TRUE, &event, &ioStatus);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Argument1;
    NTSTATUS status = IoCallDriver(ext->LowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    return status;
}

NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb) {
    return SendInternalIoctlSync(DeviceObject, IOCTL_INTERNAL_USB_SUBMIT_URB, Urb);
}

static NTSTATUS PipeRequest(PDEVICE_OBJECT DeviceObject, PPIPE_ENTRY Pipe, USHORT Function) {
    PURB urb = (PURB)PipeAllocateZeroed(NonPagedPool, sizeof(struct _URB_PIPE_REQUEST));
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    urb->UrbHeader.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbHeader.Function = Function;
    urb->UrbPipeRequest.PipeHandle = Pipe->PipeInfo->PipeHandle;
    NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
    PipeFree(urb);
    return status;
}

NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, PPIPE_ENTRY Pipe) {
    return PipeRequest(DeviceObject, Pipe, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
}

NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, PPIPE_ENTRY Pipe) {
    return PipeRequest(DeviceObject, Pipe, URB_FUNCTION_ABORT_PIPE);
}

ULONG PipeCount(PPIPE_EXTENSION Extension) {
    PCONFIG_INFO config = Extension->ConfigInfo;
    if (config == NULL || config->InterfaceInfo == NULL || config->PipeTable == NULL) {
        return 0;
    }
    return config->InterfaceInfo->NumberOfPipes;
}

NTSTATUS AbortOpenPipes(PDEVICE_OBJECT DeviceObject) {
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    NTSTATUS status = STATUS_SUCCESS;
    ULONG count = PipeCount(ext);
    for (ULONG i = 0; i < count; i++) {
        PPIPE_ENTRY pipe = &ext->ConfigInfo->PipeTable[i];
        if (pipe->PipeInfo->PipeFlags == PIPE_MARKER_OPEN) {
            status = AbortPipe(DeviceObject, pipe);
        }
    }
    return status;
}

// Every pipe of the table, open or not, in index order: a power-down or stop leaves nothing
// waiting at the bus.
VOID AbortAllPipes(PDEVICE_OBJECT DeviceObject) {
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    ULONG count = PipeCount(ext);
    for (ULONG i = 0; i < count; i++) {
        AbortPipe(DeviceObject, &ext->ConfigInfo->PipeTable[i]);
    }
}
