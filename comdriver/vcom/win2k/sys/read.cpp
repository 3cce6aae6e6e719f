// Read requests and their timeouts. Reads are served from RxRing: one that the ring can satisfy
// completes at once; the others wait in ReadQueue and the current one is filled as the receive
// engine delivers, until it is full or its read mode or a timeout ends it.
//
// The cancel spin lock guards CurrentReadIrp, ReadQueue and the cancel routines of reads. The rule
// that keeps a read from being completed twice: whoever takes the current read out of its place
// first takes its cancel routine back under that lock; if the routine is gone, a cancellation owns
// the read and its cancel routine (which runs under the same lock, after us) completes it.
// ReadQueue is busy exactly while a read is current.
#include "tarvelport.h"

static DRIVER_CANCEL ReadCancel;

static ULONG ReadLength(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
}

static void ReenableReceiveIfDrained(PPORT_EXTENSION Ext)
{
    if (RingCount(&Ext->RxRing) <= RingHighLimit(Ext)) {
        Ext->RxEnabled = TRUE;
    }
}

VOID StartReadTotalTimer(PPORT_EXTENSION Ext)
{
    PIRP Irp = Ext->CurrentReadIrp;
    if (!Irp || Ext->ReadMode == ReadModeNoTimeout) {
        // A total timer left from an earlier read must not end this one.
        StopTimer(&Ext->ReadTotalTimer, &Ext->ReadTotalTimerDpc);
        return;
    }
    LONGLONG Ms;
    if (Ext->ReadMode == ReadModeFirstByte) {
        Ms = (LONGLONG)Ext->Timeouts.ReadTotalTimeoutConstant;
    } else {
        Ms = (LONGLONG)ReadLength(Irp) * (LONG)Ext->Timeouts.ReadTotalTimeoutMultiplier +
             (LONG)Ext->Timeouts.ReadTotalTimeoutConstant;
    }
    if (Ms == 0) {
        StopTimer(&Ext->ReadTotalTimer, &Ext->ReadTotalTimerDpc);
        return;
    }
    // A negative total is already due.
    LARGE_INTEGER Due = Ms < 0 ? LARGE_INTEGER{} : TimeoutDueTime((ULONG64)Ms);
    KeSetTimer(&Ext->ReadTotalTimer, Due, &Ext->ReadTotalTimerDpc);
}

// Cancel spin lock held; the current read has been taken (its cancel routine cleared, or it is being
// cancelled). Makes the next queued read current. Returns TRUE when one was promoted; the caller
// fills it once the lock is released.
static BOOLEAN PromoteNextRead(PPORT_EXTENSION Ext)
{
    Ext->CurrentReadIrp = nullptr;
    PKDEVICE_QUEUE_ENTRY Entry = KeRemoveDeviceQueue(&Ext->ReadQueue);
    if (Entry) {
        Ext->CurrentReadIrp = CONTAINING_RECORD(Entry, IRP, Tail.Overlay.DeviceQueueEntry);
        StartReadTotalTimer(Ext);
        StopTimer(&Ext->ReadIntervalTimer, &Ext->ReadIntervalTimerDpc);
        return TRUE;
    }
    StopTimer(&Ext->ReadTotalTimer, &Ext->ReadTotalTimerDpc);
    StopTimer(&Ext->ReadIntervalTimer, &Ext->ReadIntervalTimerDpc);
    return FALSE;
}

VOID StartNextRead(PDEVICE_OBJECT DeviceObject)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    KIRQL Irql;
    IoAcquireCancelSpinLock(&Irql);
    BOOLEAN Promoted = FALSE;
    if (!Ext->CurrentReadIrp && !IsListEmpty(&Ext->ReadQueue.DeviceListHead)) {
        Promoted = PromoteNextRead(Ext);   // entries queued means the queue is busy
    }
    IoReleaseCancelSpinLock(Irql);
    if (Promoted) {
        FillCurrentRead(Ext);
    }
}

NTSTATUS ReadDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    StartReceive(Ext);

    Irp->IoStatus.Information = 0;
    PUCHAR Buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    ULONG Length = ReadLength(Irp);
    if (!Buffer || Length == 0) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }

    KIRQL Irql;
    IoAcquireCancelSpinLock(&Irql);
    if (!Ext->CurrentReadIrp) {
        ULONG64 Held = RingCount(&Ext->RxRing);
        if (Length <= Held || Ext->ReadMode == ReadModeImmediate || (Ext->ReadMode == ReadModeFirstByte && Held >= 1)) {
            // No read is current, so the read timers belong to nobody; they are stopped while the
            // lock keeps another read from becoming current meanwhile.
            StopTimer(&Ext->ReadIntervalTimer, &Ext->ReadIntervalTimerDpc);
            StopTimer(&Ext->ReadTotalTimer, &Ext->ReadTotalTimerDpc);
            IoReleaseCancelSpinLock(Irql);
            SIZE_T Got = RingGet(Buffer, &Ext->RxRing, Length);
            ReenableReceiveIfDrained(Ext);
            return CompleteRequest(Irp, STATUS_SUCCESS, Got, IO_SERIAL_INCREMENT);
        }
    }

    if (Irp->Cancel) {
        IoReleaseCancelSpinLock(Irql);
        return CompleteRequest(Irp, STATUS_CANCELLED, 0);
    }
    IoMarkIrpPending(Irp);
    (void)IoSetCancelRoutine(Irp, ReadCancel);
    if (KeInsertDeviceQueue(&Ext->ReadQueue, &Irp->Tail.Overlay.DeviceQueueEntry)) {
        IoReleaseCancelSpinLock(Irql);
        return STATUS_PENDING;
    }
    Ext->CurrentReadIrp = Irp;
    StartReadTotalTimer(Ext);
    StopTimer(&Ext->ReadIntervalTimer, &Ext->ReadIntervalTimerDpc);
    IoReleaseCancelSpinLock(Irql);
    FillCurrentRead(Ext);
    return STATUS_PENDING;
}

NTSTATUS FillCurrentRead(PPORT_EXTENSION Ext)
{
    for (;;) {
        KIRQL Irql;
        IoAcquireCancelSpinLock(&Irql);
        PIRP Irp = Ext->CurrentReadIrp;
        if (!Irp) {
            IoReleaseCancelSpinLock(Irql);
            return STATUS_CANCELLED;
        }
        if (Irp->Cancel) {
            // Its cancel routine is about to complete it; bytes copied now would be thrown away.
            IoReleaseCancelSpinLock(Irql);
            return STATUS_PENDING;
        }

        NTSTATUS Status;
        PUCHAR Buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
        ULONG Length = ReadLength(Irp);
        if (!Buffer) {
            Status = STATUS_INSUFFICIENT_RESOURCES;
            Irp->IoStatus.Information = 0;
        } else {
            ULONG_PTR Copied = 0;
            ULONG_PTR Want = Length - Irp->IoStatus.Information;
            ULONG64 Held = RingCount(&Ext->RxRing);
            ULONG_PTR Count = Want < Held ? Want : (ULONG_PTR)Held;
            if (Count > 0) {
                Copied = RingGet(Buffer + Irp->IoStatus.Information, &Ext->RxRing, Count);
                ReenableReceiveIfDrained(Ext);
                Irp->IoStatus.Information += Copied;
                ULONG Interval = Ext->Timeouts.ReadIntervalTimeout;
                if (Copied > 0 && Interval != 0 && Interval != MAXULONG) {
                    KeSetTimer(&Ext->ReadIntervalTimer, TimeoutDueTime(Interval), &Ext->ReadIntervalTimerDpc);
                }
            }
            BOOLEAN Done = Irp->IoStatus.Information == Length || Ext->ReadMode == ReadModeImmediate ||
                           (Ext->ReadMode == ReadModeFirstByte && Copied > 0);
            if (!Done) {
                IoReleaseCancelSpinLock(Irql);
                return STATUS_PENDING;
            }
            Status = STATUS_SUCCESS;
        }

        if (!IoSetCancelRoutine(Irp, nullptr)) {
            IoReleaseCancelSpinLock(Irql);   // a cancellation owns it now
            return STATUS_PENDING;
        }
        BOOLEAN Promoted = PromoteNextRead(Ext);
        IoReleaseCancelSpinLock(Irql);
        Irp->IoStatus.Status = Status;
        IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
        if (!Promoted) {
            return Status;
        }
    }
}

// Ends the current read with STATUS_TIMEOUT and the bytes it has, and promotes the next one. Timer
// is the one that expired: when it has been set again meanwhile (for the next read, or by a
// delivery that restarted the interval), this expiry is stale and ends nothing.
static void TimeOutCurrentRead(PPORT_EXTENSION Ext, PKTIMER Timer)
{
    KIRQL Irql;
    IoAcquireCancelSpinLock(&Irql);
    if (!KeReadStateTimer(Timer)) {
        IoReleaseCancelSpinLock(Irql);
        return;
    }
    PIRP Irp = Ext->CurrentReadIrp;
    if (!Irp || Irp->Cancel || !IoSetCancelRoutine(Irp, nullptr)) {
        IoReleaseCancelSpinLock(Irql);   // nothing current, or its cancel routine finishes it
        return;
    }
    BOOLEAN Promoted = PromoteNextRead(Ext);
    IoReleaseCancelSpinLock(Irql);
    Irp->IoStatus.Status = STATUS_TIMEOUT;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    // The promoted read takes what the ring already holds now: a read that should return at once
    // must not wait for the receive engine's next delivery.
    if (Promoted) {
        FillCurrentRead(Ext);
    }
}

VOID ReadTotalTimerRoutine(PKDPC, PVOID DeferredContext, PVOID, PVOID)
{
    PPORT_EXTENSION Ext = PortExtension((PDEVICE_OBJECT)DeferredContext);
    TimeOutCurrentRead(Ext, &Ext->ReadTotalTimer);
}

VOID ReadIntervalTimerRoutine(PKDPC, PVOID DeferredContext, PVOID, PVOID)
{
    PPORT_EXTENSION Ext = PortExtension((PDEVICE_OBJECT)DeferredContext);
    TimeOutCurrentRead(Ext, &Ext->ReadIntervalTimer);
}

static VOID NTAPI ReadCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    BOOLEAN Promoted = FALSE;
    if (Irp == Ext->CurrentReadIrp) {
        Promoted = PromoteNextRead(Ext);
    } else {
        KeRemoveEntryDeviceQueue(&Ext->ReadQueue, &Irp->Tail.Overlay.DeviceQueueEntry);
    }
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    CompleteRequest(Irp, STATUS_CANCELLED, 0);
    if (Promoted) {
        FillCurrentRead(Ext);
    }
}

VOID CancelAllReads(PPORT_EXTENSION Ext, NTSTATUS Status)
{
    LIST_ENTRY Taken;
    InitializeListHead(&Taken);
    StopTimer(&Ext->ReadIntervalTimer, &Ext->ReadIntervalTimerDpc);

    KIRQL Irql;
    IoAcquireCancelSpinLock(&Irql);
    PIRP Current = Ext->CurrentReadIrp;
    BOOLEAN CurrentTaken = FALSE;
    if (Current && IoSetCancelRoutine(Current, nullptr)) {
        Ext->CurrentReadIrp = nullptr;
        InsertTailList(&Taken, &Current->Tail.Overlay.ListEntry);
        CurrentTaken = TRUE;
    }
    // Queued reads are taken one by one without touching the queue's busy state, which stays with
    // a current read that is being cancelled (its cancel routine promotes, and finds none).
    while (!IsListEmpty(&Ext->ReadQueue.DeviceListHead)) {
        PKDEVICE_QUEUE_ENTRY Entry =
            CONTAINING_RECORD(Ext->ReadQueue.DeviceListHead.Flink, KDEVICE_QUEUE_ENTRY, DeviceListEntry);
        KeRemoveEntryDeviceQueue(&Ext->ReadQueue, Entry);
        PIRP Irp = CONTAINING_RECORD(Entry, IRP, Tail.Overlay.DeviceQueueEntry);
        if (IoSetCancelRoutine(Irp, nullptr)) {
            InsertTailList(&Taken, &Irp->Tail.Overlay.ListEntry);
        }
    }
    if (CurrentTaken) {
        KeRemoveDeviceQueue(&Ext->ReadQueue);   // empty now: the queue goes idle
        StopTimer(&Ext->ReadTotalTimer, &Ext->ReadTotalTimerDpc);
    }
    IoReleaseCancelSpinLock(Irql);

    while (!IsListEmpty(&Taken)) {
        PLIST_ENTRY Entry = RemoveHeadList(&Taken);
        CompleteRequest(CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry), Status, 0);
    }
}
