// Plug and Play: start, the stop and remove handshakes, surprise removal, capabilities, and the
// requests that pass down to the bus driver uncounted.
#include "tarvelpipe.h"

// A query-remove waits this long for requests inside the driver; a device still busy after
// that (a client keeps a read pending at the bus) refuses the removal instead of hanging it.
#define PIPE_QUERY_REMOVE_WAIT_MS 5000

static NTSTATUS NTAPI ForwardAndWaitDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, ForwardAndWaitDone, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(ext->LowerDevice, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS NTAPI PassDownUncounted(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(PipeExt(DeviceObject)->LowerDevice, Irp);
}

static NTSTATUS PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(PipeExt(DeviceObject)->LowerDevice, Irp);
    DecrementIo(DeviceObject);
    return status;
}

static NTSTATUS CompletePnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    DecrementIo(DeviceObject);
    return Status;
}

// The state changes under the state lock, for the pageable PnP routines: a spin lock raises to
// DISPATCH_LEVEL, where pageable code may not run, so these stay locked code.
static LOCKEDCODE VOID SetStateFlag(PPIPE_EXTENSION Extension, BOOLEAN* Flag, BOOLEAN Value) {
    KIRQL irql;
    KeAcquireSpinLock(&Extension->StateLock, &irql);
    *Flag = Value;
    KeReleaseSpinLock(&Extension->StateLock, irql);
}

static LOCKEDCODE VOID MarkStarted(PPIPE_EXTENSION Extension) {
    KIRQL irql;
    KeAcquireSpinLock(&Extension->StateLock, &irql);
    Extension->Started = TRUE;
    Extension->IoState = PIPE_IO_READY;
    KeReleaseSpinLock(&Extension->StateLock, irql);
}

// The end of a stop: no longer pending, and stopped if it succeeded.
static LOCKEDCODE VOID EndStop(PPIPE_EXTENSION Extension, BOOLEAN Stopped) {
    KIRQL irql;
    KeAcquireSpinLock(&Extension->StateLock, &irql);
    Extension->StopPending = FALSE;
    if (Stopped) {
        Extension->Started = FALSE;
    }
    KeReleaseSpinLock(&Extension->StateLock, irql);
}

// Transfers flow again only in D0: a device that a client suspended stays suspended.
static LOCKEDCODE VOID ResumeAfterCanceledStop(PPIPE_EXTENSION Extension) {
    KIRQL irql;
    KeAcquireSpinLock(&Extension->StateLock, &irql);
    Extension->StopPending = FALSE;
    if (Extension->DevicePowerState == PowerDeviceD0) {
        Extension->IoState = PIPE_IO_READY;
    }
    KeReleaseSpinLock(&Extension->StateLock, irql);
}

static LOCKEDCODE VOID MarkSurpriseRemoved(PPIPE_EXTENSION Extension) {
    KIRQL irql;
    KeAcquireSpinLock(&Extension->StateLock, &irql);
    Extension->Removed = TRUE;
    Extension->SurpriseRemoved = TRUE;
    KeReleaseSpinLock(&Extension->StateLock, irql);
}

static LOCKEDCODE VOID MarkIoRemoved(PPIPE_EXTENSION Extension) {
    KIRQL irql;
    KeAcquireSpinLock(&Extension->StateLock, &irql);
    Extension->IoState = PIPE_IO_REMOVED;
    KeReleaseSpinLock(&Extension->StateLock, irql);
}

static VOID DisableInterface(PPIPE_EXTENSION Extension) {
    UNICODE_STRING link;
    USHORT chars = 0;
    while (chars < PIPE_LINK_NAME_CHARS && Extension->InterfaceLinkName[chars] != 0) {
        chars++;
    }
    link.Buffer = Extension->InterfaceLinkName;
    link.Length = (USHORT)(chars * sizeof(WCHAR));
    link.MaximumLength = link.Length;
    IoSetDeviceInterfaceState(&link, FALSE);
}

// For a stop or a cancelled stop: waits until no client's suspend or resume is under way (the result of
// one decides the device's power state) and keeps the clients' turn until EndClientPowerTurn. Meanwhile
// the caller counts as waiting for a device power request, so that a client's power-down under way does
// not wait for this request's reference.
static VOID TakeClientPowerTurn(PPIPE_EXTENSION Extension) {
    InterlockedIncrement(&Extension->PowerWaiters);
    KeWaitForSingleObject(&Extension->ClientPowerTurn, Executive, KernelMode, FALSE, NULL);
    InterlockedDecrement(&Extension->PowerWaiters);
}

static VOID EndClientPowerTurn(PPIPE_EXTENSION Extension) {
    KeSetEvent(&Extension->ClientPowerTurn, IO_NO_INCREMENT, FALSE);
}

// Disarms wait-wake and waits until its callback has finished with this extension.
static VOID DisarmWaitWakeAndWait(PPIPE_EXTENSION Extension) {
    if (Extension->RemoteWakeupCapable) {
        DisarmWaitWake(Extension);
    }
    KeWaitForSingleObject(&Extension->WaitWakeIdleEvent, Executive, KernelMode, FALSE, NULL);
}

static PAGEDCODE NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);

    NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
    if (!NT_SUCCESS(status)) {
        return CompletePnp(DeviceObject, Irp, status);
    }
    // The bus driver has started the device, and a started device is in D0: also one that a client
    // had suspended before it was stopped.
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    ext->DevicePowerState = PowerDeviceD0;
    PoSetPowerState(DeviceObject, DevicePowerState, d0);
    status = ConfigureDevice(DeviceObject);
    if (!NT_SUCCESS(status)) {
        return CompletePnp(DeviceObject, Irp, status);
    }

    MarkStarted(ext);

    InterlockedExchange((LONG volatile*)&ext->WaitWakeRequested, 0);
    InterlockedExchange((LONG volatile*)&ext->WaitWakeCompletionClaim, 0);
    InterlockedExchangePointer((PVOID volatile*)&ext->WaitWakeIrp, NULL);
    if (ext->RemoteWakeupCapable) {
        ArmWaitWake(ext);
    }
    return CompletePnp(DeviceObject, Irp, STATUS_SUCCESS);
}

static PAGEDCODE NTSTATUS StopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);

    // Refused from here on until the device is stopped or the stop has failed, so that nothing
    // new reaches the pipe table that is about to be released.
    SetStateFlag(ext, &ext->StopPending, TRUE);
    // A client's suspend or resume under way ends first: its power-down aborts the pipes of the table
    // that the stop releases. The stop holds the clients' turn until it is done.
    TakeClientPowerTurn(ext);
    DisarmWaitWakeAndWait(ext);

    // Transfers that were already inside the driver when the stop was announced still refer to
    // the pipe table: end them and wait for them before it is released. Should a request below
    // ignore both abort and cancellation, the table stays in use: the stop is refused and the device
    // stays in service with its configuration. Clients waiting for their turn hold references that are
    // not waited for: once they have it they find the device stopped and refuse.
    if (!DrainTransfers(DeviceObject, 1, TRUE, PIPE_STOP_DRAIN_LIMIT_MS)) {
        SetStateFlag(ext, &ext->StopPending, FALSE);
        if (ext->RemoteWakeupCapable) {
            ArmWaitWake(ext);
        }
        EndClientPowerTurn(ext);
        return CompletePnp(DeviceObject, Irp, STATUS_DEVICE_BUSY);
    }

    NTSTATUS status = STATUS_SUCCESS;
    PURB urb = (PURB)PipeAllocateZeroed(NonPagedPool, sizeof(struct _URB_SELECT_CONFIGURATION));
    if (urb != NULL) {
        urb->UrbHeader.Length = (USHORT)sizeof(struct _URB_SELECT_CONFIGURATION);
        urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        urb->UrbSelectConfiguration.ConfigurationDescriptor = NULL;
        status = SubmitUrbSync(DeviceObject, urb);
        PipeFree(urb);
    }
    DeconfigureDevice(DeviceObject);

    EndStop(ext, NT_SUCCESS(status));
    EndClientPowerTurn(ext);

    if (!NT_SUCCESS(status)) {
        // Started stays set without a configuration; requests find no pipe table and are refused.
        return CompletePnp(DeviceObject, Irp, status);
    }
    return PassDown(DeviceObject, Irp);
}

static PAGEDCODE NTSTATUS QueryRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    if (!ext->Started) {
        return PassDown(DeviceObject, Irp);
    }
    SetStateFlag(ext, &ext->RemovePending, TRUE);
    DecrementIo(DeviceObject);

    LARGE_INTEGER timeout;
    timeout.QuadPart = -(LONGLONG)PIPE_QUERY_REMOVE_WAIT_MS * 10000;
    NTSTATUS wait = KeWaitForSingleObject(&ext->StopEvent, Executive, KernelMode, FALSE, &timeout);
    if (wait == STATUS_TIMEOUT) {
        // Still busy: the device stays in service and the removal is refused.
        SetStateFlag(ext, &ext->RemovePending, FALSE);
        Irp->IoStatus.Status = STATUS_DEVICE_BUSY;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_DEVICE_BUSY;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(ext->LowerDevice, Irp);
}

static PAGEDCODE NTSTATUS SurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    if (ext->RemoteWakeupCapable) {
        DisarmWaitWake(ext);
    }
    MarkSurpriseRemoved(ext);
    DisableInterface(ext);
    AbortOpenPipes(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(DeviceObject, Irp);
}

static PAGEDCODE NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);

    if (!ext->SurpriseRemoved) {
        MarkIoRemoved(ext);
        if (ext->RemoteWakeupCapable) {
            DisarmWaitWake(ext);
        }
        DisableInterface(ext);
    }
    SetStateFlag(ext, &ext->Removed, TRUE);
    // The wait-wake callback must be done with this extension before it goes away.
    KeWaitForSingleObject(&ext->WaitWakeIdleEvent, Executive, KernelMode, FALSE, NULL);

    AbortOpenPipes(DeviceObject);
    DecrementIo(DeviceObject); // this request
    DecrementIo(DeviceObject); // the device's own reference from AddDevice

    LARGE_INTEGER retry;
    retry.QuadPart = -(LONGLONG)PIPE_DRAIN_RETRY_MS * 10000;
    while (KeWaitForSingleObject(&ext->RemoveEvent, Executive, KernelMode, FALSE, &retry) == STATUS_TIMEOUT) {
        // A transfer that slipped past the state checks may have reached the bus after the abort.
        AbortOpenPipes(DeviceObject);
    }

    DeconfigureDevice(DeviceObject);

    IoSkipCurrentIrpStackLocation(Irp);
    PDEVICE_OBJECT lower = ext->LowerDevice;
    NTSTATUS status = IoCallDriver(lower, Irp);
    IoDetachDevice(lower);
    IoDeleteDevice(DeviceObject);
    return status;
}

static PAGEDCODE NTSTATUS QueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    if (caps == NULL || caps->Version < 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
        return CompletePnp(DeviceObject, Irp, STATUS_UNSUCCESSFUL);
    }
    caps->SurpriseRemovalOK = TRUE;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        RtlCopyMemory(&ext->Capabilities, caps, sizeof(DEVICE_CAPABILITIES));
        caps->SurpriseRemovalOK = TRUE;
    }
    return CompletePnp(DeviceObject, Irp, status);
}

PAGEDCODE NTSTATUS NTAPI PipePnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    IncrementIo(DeviceObject);
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);

    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return StartDevice(DeviceObject, Irp);

    case IRP_MN_QUERY_STOP_DEVICE:
        if (ext->Started) {
            SetStateFlag(ext, &ext->StopPending, TRUE);
        }
        return PassDown(DeviceObject, Irp);

    case IRP_MN_CANCEL_STOP_DEVICE: {
        if (!ext->Started) {
            return PassDown(DeviceObject, Irp);
        }
        NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
        if (NT_SUCCESS(status)) {
            // A client's power-down under way has the last word on the device's power state.
            TakeClientPowerTurn(ext);
            ResumeAfterCanceledStop(ext);
            EndClientPowerTurn(ext);
        }
        return CompletePnp(DeviceObject, Irp, status);
    }

    case IRP_MN_STOP_DEVICE:
        return StopDevice(DeviceObject, Irp);

    case IRP_MN_QUERY_REMOVE_DEVICE:
        return QueryRemoveDevice(DeviceObject, Irp);

    case IRP_MN_CANCEL_REMOVE_DEVICE:
        if (ext->Started) {
            SetStateFlag(ext, &ext->RemovePending, FALSE);
        }
        return PassDown(DeviceObject, Irp);

    case IRP_MN_SURPRISE_REMOVAL:
        return SurpriseRemoval(DeviceObject, Irp);

    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(DeviceObject, Irp);

    case IRP_MN_QUERY_CAPABILITIES:
        return QueryCapabilities(DeviceObject, Irp);

    default:
        return PassDown(DeviceObject, Irp);
    }
}
