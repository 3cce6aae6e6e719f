// Plug and Play for the port device: start (naming the port the first time), the stop and remove
// queries and their cancels, surprise removal (the port disappears from view at once) and removal
// (after the application has closed the port, everything is stopped and the device deleted).
#include "tarvelport.h"

namespace {

PAGEDCODE VOID EnterPnpState(PPORT_EXTENSION Ext, LONG State)
{
    Ext->PreviousPnpState = Ext->PnpState;
    Ext->PnpState = State;
}

PAGEDCODE NTSTATUS PassDownSucceeded(PPORT_EXTENSION Ext, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Ext->LowerDevice, Irp);
}

// A stop of the device with the port open (a rebalance) pauses the port and gives its pipes back while
// the pipe driver still serves them: from the query on it refuses new requests, and the stop releases
// its pipe table. Reads, waits and writes not yet on the wire stay pending.
PAGEDCODE VOID PauseForStop(PDEVICE_OBJECT DeviceObject)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    AcquireOpenCloseLock(Ext);
    if (Ext->OpenCount != 0 && !Ext->PipesReleased && !PortGone(Ext)) {
        PausePort(DeviceObject);
        ReleasePipes(Ext);
        Ext->PipesReleased = TRUE;
    }
    ReleaseOpenCloseLock(Ext);
}

// After the restart (or a cancelled stop) the port binds its pipes again and carries on where it was;
// the application sees a pause.
PAGEDCODE VOID ResumeAfterStop(PDEVICE_OBJECT DeviceObject)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    AcquireOpenCloseLock(Ext);
    if (Ext->PipesReleased) {
        Ext->PipesReleased = FALSE;
        if (Ext->OpenCount == 0) {
            Ext->PortPaused = FALSE;   // closed meanwhile: nothing to restart
        } else {
            BindPipes(Ext);
            RestartOpenPort(DeviceObject);
        }
    }
    ReleaseOpenCloseLock(Ext);
}

PAGEDCODE NTSTATUS ForwardAndWait(PPORT_EXTENSION Ext, PIRP Irp)
{
    KEVENT Event;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalCompletion, &Event, TRUE, TRUE, TRUE);
    NTSTATUS Status = IoCallDriver(Ext->LowerDevice, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
        Status = Irp->IoStatus.Status;
    }
    return Status;
}

PAGEDCODE NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);

    NTSTATUS Status = ForwardAndWait(Ext, Irp);
    if (NT_SUCCESS(Status) && NT_SUCCESS(Irp->IoStatus.Status)) {
        EnterPnpState(Ext, PnpStarted);
        Status = STATUS_SUCCESS;
        // After a stop the name, link and SERIALCOMM value still exist, and an open port goes on.
        if (Ext->PreviousPnpState != PnpStopped) {
            Status = NamePort(DeviceObject);
            if (NT_SUCCESS(Status)) {
                Ext->DevicePowerState = PortPowerWorking;
            }
        } else {
            ResumeAfterStop(DeviceObject);
        }
    } else if (NT_SUCCESS(Status)) {
        Status = Irp->IoStatus.Status;
    }

    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

PAGEDCODE NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);

    if (Ext->Removed) {
        // Only the first removal tears the device down.
        return PassDownSucceeded(Ext, Irp);
    }
    Ext->Removed = TRUE;
    ClearCommErrors(Ext);
    // Returns once the application has closed the port.
    IoReleaseRemoveLockAndWaitEx(&Ext->RemoveLock, NULL, sizeof(IO_REMOVE_LOCK));

    // Everything that still talks to the pipe driver stops while its device is there to answer.
    TeardownPort(DeviceObject);

    // The port leaves the stack before the removal goes down: the pipe driver deletes its device
    // while handling it, and no device may be deleted with another still attached above it.
    PDEVICE_OBJECT Lower = Ext->LowerDevice;
    IoDetachDevice(Lower);
    Ext->LowerDevice = NULL;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS Status = IoCallDriver(Lower, Irp);

    EnterPnpState(Ext, PnpRemoved);
    DeletePortDevice(DeviceObject);
    return Status;
}

} // namespace

PAGEDCODE NTSTATUS NTAPI PortPnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);

    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return StartDevice(DeviceObject, Irp);

    case IRP_MN_QUERY_STOP_DEVICE:
        EnterPnpState(Ext, PnpStopPending);
        PauseForStop(DeviceObject);
        return PassDownSucceeded(Ext, Irp);

    case IRP_MN_CANCEL_STOP_DEVICE: {
        if (Ext->PnpState == PnpStopPending) {
            Ext->PnpState = Ext->PreviousPnpState;
        }
        // The drivers below serve the pipes again once they have taken the cancel back.
        Irp->IoStatus.Status = STATUS_SUCCESS;
        ForwardAndWait(Ext, Irp);
        ResumeAfterStop(DeviceObject);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }

    case IRP_MN_STOP_DEVICE:
        EnterPnpState(Ext, PnpStopped);
        ClearCommErrors(Ext);
        PauseForStop(DeviceObject);   // a stop without its query
        return PassDownSucceeded(Ext, Irp);

    case IRP_MN_QUERY_REMOVE_DEVICE:
        // The PnP manager refuses a removal while a handle is open, but an open already on its way
        // when it looked is not counted yet: the port refuses the query itself then, at once. (Passed
        // down, the query would wait in the pipe driver for the port's own pipe requests, which only
        // the close ends.) The state is set before the count is read; the open reads them the other way.
        EnterPnpState(Ext, PnpRemovePending);
        if (InterlockedCompareExchange(&Ext->OpenCount, 0, 0) != 0) {
            Ext->PnpState = Ext->PreviousPnpState;
            Irp->IoStatus.Status = STATUS_DEVICE_BUSY;
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
            return STATUS_DEVICE_BUSY;
        }
        return PassDownSucceeded(Ext, Irp);

    case IRP_MN_CANCEL_REMOVE_DEVICE:
        if (Ext->PnpState == PnpRemovePending) {
            Ext->PnpState = Ext->PreviousPnpState;
        }
        return PassDownSucceeded(Ext, Irp);

    case IRP_MN_SURPRISE_REMOVAL:
        Ext->PreviousPnpState = Ext->PnpState;
        Ext->SurpriseRemoved = TRUE;
        ClearCommErrors(Ext);
        Ext->PnpState = PnpSurpriseRemoved;
        UnnamePort(Ext);
        {
            // The pipe driver aborts what is on the pipes; then every request the port holds ends at
            // once, as the hardware that would have finished it is gone.
            NTSTATUS Status = PassDownSucceeded(Ext, Irp);
            EndRequestsOfGoneDevice(DeviceObject);
            return Status;
        }

    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(DeviceObject, Irp);

    default:
        return PortPassDown(DeviceObject, Irp);
    }
}
