// Opening and closing the COM port. One application at a time: an open binds the pipes below,
// sizes the transfers to their packet sizes, allocates the receive buffers, switches the device's
// port on and starts the engines; a close takes all of it back.
#include "tarvelport.h"

namespace {

// Raises Value to the packet size, or rounds it up to a multiple of it, without wrapping past
// 32 bits (the largest multiple that fits is taken then).
ULONG RoundToPackets(ULONG Value, ULONG PacketSize)
{
    if (Value < PacketSize) {
        return PacketSize;
    }
    ULONG64 Rounded = ((ULONG64)Value + PacketSize - 1) / PacketSize * PacketSize;
    if (Rounded > MAXULONG) {
        Rounded = (ULONG64)MAXULONG / PacketSize * PacketSize;
    }
    return (ULONG)Rounded;
}

VOID FreeRxBuffer(PPORT_EXTENSION Ext)
{
    if (Ext->RxBuffer) {
        ExFreePoolWithTag(Ext->RxBuffer, PORT_TAG_CREA);
        Ext->RxBuffer = NULL;
    }
}

} // namespace

// DTR and RTS as open (and power-up) raise them: a handflow record that says the lines are off would
// make the usual read-modify-write of the state drop them.
VOID ReflectRaisedLines(PPORT_EXTENSION Ext)
{
    AcquireSettingsLock(Ext);   // a handflow change meanwhile is not undone
    if ((Ext->HandFlow.ControlHandShake & SERIAL_DTR_MASK) == 0) {
        Ext->HandFlow.ControlHandShake |= SERIAL_DTR_CONTROL;
    }
    if ((Ext->HandFlow.FlowReplace & SERIAL_RTS_MASK) == 0) {
        Ext->HandFlow.FlowReplace |= SERIAL_RTS_CONTROL;
    }
    ReleaseSettingsLock(Ext);
}

// Closes the pipes that BindPipes opens; returns the status of the last close sent.
NTSTATUS ReleasePipes(PPORT_EXTENSION Ext)
{
    SendPipeOpenClose(Ext, &Ext->TxPipe, FALSE);
    NTSTATUS Status = SendPipeOpenClose(Ext, &Ext->RxPipe, FALSE);
    if (HasStatusPipe(Ext)) {
        Status = SendPipeOpenClose(Ext, &Ext->StatusPipe, FALSE);
    }
    return Status;
}

NTSTATUS BindPipes(PPORT_EXTENSION Ext)
{
    Ext->StatusPipeMissing = FALSE;
    NTSTATUS Status = SendPipeOpenClose(Ext, &Ext->TxPipe, TRUE);
    if (NT_SUCCESS(Status)) {
        Status = SendPipeOpenClose(Ext, &Ext->RxPipe, TRUE);
    }
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    if (HasStatusPipe(Ext)) {
        Status = SendPipeOpenClose(Ext, &Ext->StatusPipe, TRUE);
        if (!NT_SUCCESS(Status)) {
            // No status pipe for this open: a device without one opens without it; any other
            // failure fails the open, and the next open tries the pipe again.
            Ext->StatusPipeMissing = TRUE;
            if (Status != STATUS_INVALID_HANDLE) {
                return Status;
            }
            Status = STATUS_SUCCESS;
        }
    }
    SendPipeControl(Ext, &Ext->TxPipe, IOCTL_PIPE_RESET_PIPE);
    SendPipeControl(Ext, &Ext->RxPipe, IOCTL_PIPE_RESET_PIPE);
    if (HasStatusPipe(Ext)) {
        SendPipeControl(Ext, &Ext->StatusPipe, IOCTL_PIPE_RESET_PIPE);
    }
    return Status;
}

PAGEDCODE NTSTATUS OpenPort(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);

    Ext->PortPaused = FALSE;
    Ext->PipesReleased = FALSE;
    NTSTATUS Status = BindPipes(Ext);
    if (!NT_SUCCESS(Status)) {
        goto Failed;
    }

    Ext->InQueueSize = PORT_QUEUE_SIZE;
    Ext->OutQueueSize = PORT_QUEUE_SIZE;
    Status = RingAllocate(&Ext->RxRing, PORT_QUEUE_SIZE);
    if (!NT_SUCCESS(Status)) {
        goto Failed;
    }

    Ext->RxEnabled = TRUE;
    SetRingLimits(Ext, (LONG)(Ext->RxRing.Size / 2), (LONG)(Ext->RxRing.Size / 8));
    Ext->EventHistory = 0;
    Ext->PendingWaitIrp = NULL;
    Ext->CommStatus.AmountInInQueue = 0;
    InterlockedExchange(OutQueueBytes(Ext), 0);
    InterlockedExchange(&Ext->TxUnconfirmed, 0);
    Ext->TxStageHeld = 0;
    Ext->ModemStatus = 0;
    Ext->RxPending = 0;
    Ext->RxLastLength = 0;
    Ext->RxStopped = TRUE;
    KeInitializeEvent(&Ext->RxIdleEvent, NotificationEvent, FALSE);
    Ext->StatusStopped = TRUE;
    KeInitializeEvent(&Ext->StatusIdleEvent, NotificationEvent, FALSE);

    {
        ULONG PacketSize = 0;
        if (!Ext->Removed) {
            QueryPipePacketSize(Ext, &Ext->TxPipe, &PacketSize);
        }
        if (PacketSize == 0) {
            PacketSize = PORT_DEFAULT_PACKET_SIZE;
        }
        Ext->TxPacketSize = PacketSize;
        Ext->TxKickThreshold = RoundToPackets(Ext->TxKickThreshold, PacketSize);

        if (!Ext->Removed) {
            QueryPipePacketSize(Ext, &Ext->RxPipe, &PacketSize);
        }
        if (PacketSize == 0) {
            PacketSize = PORT_DEFAULT_PACKET_SIZE;
        }
        Ext->RxPacketSize = PacketSize;
        Ext->RxReqSize = RoundToPackets(Ext->RxReqSize, PacketSize);
    }

    Ext->RxBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, Ext->RxReqSize, PORT_TAG_CREA);
    if (!Ext->RxBuffer) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Failed;
    }

    SendPortEnable(Ext, 1);
    Ext->ModemControl = MODEM_CONTROL_RTS | MODEM_CONTROL_DTR;
    ReflectRaisedLines(Ext);
    SendModemControl(Ext);

    StartReceive(Ext);
    ReadInitialStatus(Ext);
    StartStatusPolling(Ext);
    return STATUS_SUCCESS;

Failed:
    FreeRxBuffer(Ext);
    RingFree(&Ext->RxRing);
    ReleasePipes(Ext);
    return Status;
}

PAGEDCODE NTSTATUS ClosePort(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);

    StopEngines(DeviceObject);
    CancelAllReads(Ext, STATUS_CANCELLED);
    RingFree(&Ext->RxRing);
    SendPortEnable(Ext, 0);
    NTSTATUS Status = ReleasePipes(Ext);
    Ext->PipesReleased = FALSE;
    Ext->PortPaused = FALSE;
    FreeRxBuffer(Ext);
    return Status;
}

PAGEDCODE NTSTATUS NTAPI PortCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS Status;

    // A PnP stop or a power change pauses and restarts the open port while an application may close
    // and open it: one at a time, so that neither meets the other half done.
    AcquireOpenCloseLock(Ext);
    switch (Stack->MajorFunction) {
    case IRP_MJ_CREATE:
        // A port that is going away is not opened. The remove lock is taken first, so that a
        // removal in progress refuses the open and every successful open holds exactly one
        // acquisition for its close to give back.
        if (PortGone(Ext)) {
            Status = STATUS_DELETE_PENDING;
            break;
        }
        Status = IoAcquireRemoveLockEx(&Ext->RemoveLock, DeviceObject, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK));
        if (!NT_SUCCESS(Status)) {
            break;
        }
        if (InterlockedIncrement(&Ext->OpenCount) > 1) {
            InterlockedDecrement(&Ext->OpenCount);
            IoReleaseRemoveLockEx(&Ext->RemoveLock, DeviceObject, sizeof(IO_REMOVE_LOCK));
            Status = STATUS_ACCESS_DENIED;
            break;
        }
        // A query-remove that went through first holds the port for its removal. The count is
        // taken before the state is read, and the query sets the state before it reads the count,
        // so that of an open and a query-remove meeting, one always sees the other.
        if (InterlockedCompareExchange(&Ext->PnpState, 0, 0) == PnpRemovePending) {
            InterlockedDecrement(&Ext->OpenCount);
            IoReleaseRemoveLockEx(&Ext->RemoveLock, DeviceObject, sizeof(IO_REMOVE_LOCK));
            Status = STATUS_DELETE_PENDING;
            break;
        }
        Status = OpenPort(DeviceObject);
        if (!NT_SUCCESS(Status)) {
            InterlockedDecrement(&Ext->OpenCount);
            IoReleaseRemoveLockEx(&Ext->RemoveLock, DeviceObject, sizeof(IO_REMOVE_LOCK));
            break;
        }
        Ext->TxStopped = FALSE;
        break;

    case IRP_MJ_CLOSE:
        StopTransmit(Ext);
        Status = ClosePort(DeviceObject);
        InterlockedDecrement(&Ext->OpenCount);
        IoReleaseRemoveLockEx(&Ext->RemoveLock, DeviceObject, sizeof(IO_REMOVE_LOCK));
        break;

    default:
        Status = STATUS_UNSUCCESSFUL;
        break;
    }
    ReleaseOpenCloseLock(Ext);

    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}
