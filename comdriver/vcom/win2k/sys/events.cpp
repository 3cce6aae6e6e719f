// Serial events and status requests: the event history that the engines raise into, the one
// wait-on-mask request that may wait for it, and the status, purge and statistics requests.
//
// EventLock guards WaitMask, EventHistory and PendingWaitIrp. A wait is recorded under EventLock and
// the cancel spin lock together (taken in that order), so its cancel routine cannot run between the
// recording and the release, and always finds it; WaitCancel, called under the cancel spin lock,
// lets go of it and takes EventLock to forget the wait.
#include "tarvelport.h"

static ULONG InputLength(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.InputBufferLength;
}

static ULONG OutputLength(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
}

// TRUE when the request carries an output buffer of at least Size bytes.
static BOOLEAN HasOutput(PIRP Irp, ULONG Size)
{
    return Irp->AssociatedIrp.SystemBuffer && OutputLength(Irp) >= Size;
}

static BOOLEAN HasInput(PIRP Irp, ULONG Size)
{
    return Irp->AssociatedIrp.SystemBuffer && InputLength(Irp) >= Size;
}

static NTSTATUS CompleteWithMask(PIRP Irp, ULONG Mask, CCHAR Boost)
{
    *(PULONG)Irp->AssociatedIrp.SystemBuffer = Mask;
    return CompleteRequest(Irp, STATUS_SUCCESS, sizeof(ULONG), Boost);
}

NTSTATUS RaiseEvents(PDEVICE_OBJECT DeviceObject, ULONG Events)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    KIRQL Irql;
    KeAcquireSpinLock(&Ext->EventLock, &Irql);
    Ext->EventHistory |= Events;
    KeReleaseSpinLock(&Ext->EventLock, Irql);
    return STATUS_SUCCESS;
}

NTSTATUS CompleteWait(PDEVICE_OBJECT DeviceObject)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    KIRQL Irql, CancelIrql;
    KeAcquireSpinLock(&Ext->EventLock, &Irql);
    IoAcquireCancelSpinLock(&CancelIrql);
    ULONG Hits = Ext->WaitMask & Ext->EventHistory;
    PIRP Irp = Ext->PendingWaitIrp;
    if (Hits == 0 || !Irp) {
        IoReleaseCancelSpinLock(CancelIrql);
        KeReleaseSpinLock(&Ext->EventLock, Irql);
        return STATUS_SUCCESS;
    }
    Ext->EventHistory = 0;
    if (Irp->Cancel || !IoSetCancelRoutine(Irp, nullptr)) {
        IoReleaseCancelSpinLock(CancelIrql);   // WaitCancel completes it
        KeReleaseSpinLock(&Ext->EventLock, Irql);
        return STATUS_SUCCESS;
    }
    Ext->PendingWaitIrp = nullptr;
    IoReleaseCancelSpinLock(CancelIrql);
    KeReleaseSpinLock(&Ext->EventLock, Irql);
    CompleteWithMask(Irp, Hits, IO_SERIAL_INCREMENT);
    return STATUS_SUCCESS;
}

// The wait is forgotten before it completes: a new wait sent once this one has ended never finds it.
VOID NTAPI WaitCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KIRQL Irql;
    KeAcquireSpinLock(&Ext->EventLock, &Irql);
    if (Ext->PendingWaitIrp == Irp) {
        Ext->PendingWaitIrp = nullptr;
    }
    KeReleaseSpinLock(&Ext->EventLock, Irql);
    CompleteRequest(Irp, STATUS_CANCELLED, 0);
}

NTSTATUS SerialWaitOnMask(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    Irp->IoStatus.Information = 0;
    if (PortGone(Ext)) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }
    // The result is a 32-bit mask: a shorter output buffer is refused before anything is written.
    if (!HasOutput(Irp, sizeof(ULONG))) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }

    KIRQL Irql, CancelIrql;
    KeAcquireSpinLock(&Ext->EventLock, &Irql);
    if (Ext->WaitMask == 0 || Ext->PendingWaitIrp) {
        KeReleaseSpinLock(&Ext->EventLock, Irql);
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    ULONG Hits = Ext->WaitMask & Ext->EventHistory;
    if (Hits) {
        Ext->EventHistory = 0;
        KeReleaseSpinLock(&Ext->EventLock, Irql);
        return CompleteWithMask(Irp, Hits, IO_SERIAL_INCREMENT);
    }

    IoAcquireCancelSpinLock(&CancelIrql);
    if (Irp->Cancel) {
        IoReleaseCancelSpinLock(CancelIrql);
        KeReleaseSpinLock(&Ext->EventLock, Irql);
        return CompleteRequest(Irp, STATUS_CANCELLED, 0);
    }
    IoMarkIrpPending(Irp);
    (void)IoSetCancelRoutine(Irp, WaitCancel);
    Ext->PendingWaitIrp = Irp;
    IoReleaseCancelSpinLock(CancelIrql);
    KeReleaseSpinLock(&Ext->EventLock, Irql);
    return STATUS_PENDING;
}

NTSTATUS SerialSetWaitMask(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    Irp->IoStatus.Information = 0;
    if (!HasInput(Irp, sizeof(ULONG))) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    ULONG Mask = *(PULONG)Irp->AssociatedIrp.SystemBuffer;

    KIRQL Irql, CancelIrql;
    KeAcquireSpinLock(&Ext->EventLock, &Irql);
    IoAcquireCancelSpinLock(&CancelIrql);
    Ext->WaitMask = Mask;
    PIRP Wait = Ext->PendingWaitIrp;
    if (Wait && (Wait->Cancel || !IoSetCancelRoutine(Wait, nullptr))) {
        Wait = nullptr;   // being cancelled: WaitCancel completes it
    }
    if (Wait) {
        Ext->PendingWaitIrp = nullptr;
    }
    IoReleaseCancelSpinLock(CancelIrql);
    KeReleaseSpinLock(&Ext->EventLock, Irql);

    // The history stays: events raised before the new mask count for the next wait.
    if (Wait) {
        CompleteWithMask(Wait, 0, IO_SERIAL_INCREMENT);
    }
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS SerialGetWaitMask(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    if (!HasOutput(Irp, sizeof(ULONG))) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    KIRQL Irql;
    KeAcquireSpinLock(&Ext->EventLock, &Irql);
    ULONG Mask = Ext->WaitMask;
    KeReleaseSpinLock(&Ext->EventLock, Irql);
    return CompleteWithMask(Irp, Mask, IO_NO_INCREMENT);
}

// A stop or removal forgets the line errors: under StatusLock, as GetCommStatus reads and clears them.
LOCKEDCODE VOID ClearCommErrors(PPORT_EXTENSION Ext)
{
    KIRQL Irql;
    KeAcquireSpinLock(&Ext->StatusLock, &Irql);
    Ext->CommStatus.Errors = 0;
    KeReleaseSpinLock(&Ext->StatusLock, Irql);
}

NTSTATUS SerialGetCommStatus(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    if (PortGone(Ext)) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }
    if (!HasOutput(Irp, sizeof(SERIAL_STATUS))) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    SERIAL_STATUS Status;
    KIRQL Irql;
    KeAcquireSpinLock(&Ext->StatusLock, &Irql);
    Status = Ext->CommStatus;
    Ext->CommStatus.Errors = 0;
    KeReleaseSpinLock(&Ext->StatusLock, Irql);

    // Each ring's count is read under its own lock, one after the other.
    Status.AmountInInQueue = (ULONG)RingCount(&Ext->RxRing);
    // Every byte accepted and not yet confirmed sent, also those on the wire.
    Status.AmountInOutQueue = OutQueueAmount(Ext);
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &Status, sizeof(Status));
    return CompleteRequest(Irp, STATUS_SUCCESS, sizeof(SERIAL_STATUS));
}

NTSTATUS SerialGetModemStatus(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    if (!HasOutput(Irp, sizeof(ULONG))) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    return CompleteWithMask(Irp, Ext->ModemStatus, IO_NO_INCREMENT);
}

NTSTATUS SerialPurge(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    // The purge mask is 32 bits: a shorter input is refused before anything is read or purged.
    if (!HasInput(Irp, sizeof(ULONG))) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    ULONG Mask = *(PULONG)Irp->AssociatedIrp.SystemBuffer;

    if (Mask & SERIAL_PURGE_RXABORT) {
        CancelAllReads(Ext, STATUS_CANCELLED);
    }
    if (Mask & SERIAL_PURGE_RXCLEAR) {
        // The bytes the receive engine holds back in RxBuffer for want of room go too: the engine
        // stands still meanwhile, so that it puts nothing old into the emptied ring.
        // Under OpenCloseLock: another purge or a queue-size change that joined this stop would
        // otherwise wait for the parking of an engine this one has started again.
        AcquireOpenCloseLock(Ext);
        BOOLEAN Running = Ext->RxStopped == RX_RUNNING;
        StopReceive(Ext);
        RingFlush(&Ext->RxRing);
        Ext->RxPending = 0;
        Ext->RxEnabled = TRUE;   // an empty ring has room: reception goes on
        if (Running) {
            StartReceive(Ext);
        }
        ReleaseOpenCloseLock(Ext);
    }
    if (Mask & SERIAL_PURGE_TXABORT) {
        // A transmitter that was stopped before (powered down) stays stopped.
        BOOLEAN WasStopped = Ext->TxStopped;
        StopTransmit(Ext);
        // The buffer is cleared before the writes are cancelled, so that a write whose bytes are
        // dropped counts only those that really went out.
        if ((Mask & SERIAL_PURGE_TXCLEAR) && Ext->TxAsync) {
            DiscardTxBuffer(Ext);
        }
        CancelAllWrites(Ext, STATUS_CANCELLED);
        if (!WasStopped) {
            Ext->TxStopped = FALSE;
        }
    } else if ((Mask & SERIAL_PURGE_TXCLEAR) && Ext->TxAsync) {
        DiscardTxBuffer(Ext);
    }
    if ((Mask & SERIAL_PURGE_TXABORT) && !Ext->TxStopped) {
        ResumeTransmit(Ext);   // bytes left in TxRing go out again
    }
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS SerialGetStats(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    if (PortGone(Ext)) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }
    if (!HasOutput(Irp, sizeof(SERIALPERF_STATS))) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &Ext->PerfStats, sizeof(SERIALPERF_STATS));
    return CompleteRequest(Irp, STATUS_SUCCESS, sizeof(SERIALPERF_STATS));
}

NTSTATUS SerialClearStats(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    RtlZeroMemory(&Ext->PerfStats, sizeof(SERIALPERF_STATS));
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}
