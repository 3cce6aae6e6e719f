// Buffered transmitter (TxAsync nonzero): writes are copied into TxRing and complete as soon as all
// their bytes are there; a pump takes up to 4096 bytes at a time into TxStage and sends them as a
// transfer of its own on TxPipe. A write that does not fit waits as CurrentWriteIrp and is topped up
// as transfers make room; later writes queue behind it.
//
// WriteLock guards WriteQueue, CurrentWriteIrp, TxSource and TxTaken; the ring has its own lock.
// TxBusy (interlocked) keeps one pump transfer on the wire at a time. The pump takes bytes out of
// TxRing only once it holds the request that carries them, so a failed allocation loses nothing:
// KickTimer tries again.
#include "tarvelport.h"

static IO_COMPLETION_ROUTINE BufferedWriteComplete;
static DRIVER_CANCEL BufferedWriteCancel;

static ULONG WriteLength(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
}

static void ReleaseOutQueue(PPORT_EXTENSION Ext, ULONG Length)
{
    InterlockedExchangeAdd(OutQueueBytes(Ext), -(LONG)Length);
}

static void SignalTxIdle(PPORT_EXTENSION Ext)
{
    KeSetEvent(&Ext->TxIdleEvent, IO_NO_INCREMENT, FALSE);
}

// Gives the pump back without a transfer. A stop that came meanwhile found the pump busy and waits
// for it to become idle: it is told here.
static void ReleasePump(PPORT_EXTENSION Ext)
{
    InterlockedExchange(&Ext->TxBusy, 0);
    if (Ext->TxStopped || PortGone(Ext)) {
        SignalTxIdle(Ext);
    }
}

static void RaiseTxEmpty(PPORT_EXTENSION Ext)
{
    RaiseEvents(Ext->Self, SERIAL_EV_TXEMPTY);
    CompleteWait(Ext->Self);
}

NTSTATUS AcceptBufferedWrite(PPORT_EXTENSION Ext, PIRP Irp)
{
    ULONG Length = WriteLength(Irp);
    PUCHAR Buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    KIRQL Irql;
    KeAcquireSpinLock(&Ext->WriteLock, &Irql);
    // The entry is always a valid list element, so that the cancel routine can unlink it whatever
    // the moment it runs.
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);
    (void)IoSetCancelRoutine(Irp, BufferedWriteCancel);
    if (Irp->Cancel) {
        if (IoSetCancelRoutine(Irp, nullptr)) {
            KeReleaseSpinLock(&Ext->WriteLock, Irql);
            ReleaseOutQueue(Ext, Length);
            return CompleteRequest(Irp, STATUS_CANCELLED, 0);
        }
        IoMarkIrpPending(Irp);   // its cancel routine completes it
        KeReleaseSpinLock(&Ext->WriteLock, Irql);
        return STATUS_PENDING;
    }

    if (Ext->CurrentWriteIrp || !IsListEmpty(&Ext->WriteQueue)) {
        IoMarkIrpPending(Irp);
        InsertTailList(&Ext->WriteQueue, &Irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&Ext->WriteLock, Irql);
        return STATUS_PENDING;
    }

    SIZE_T Taken = RingPut(&Ext->TxRing, Buffer, Length);
    if (Taken < Length) {
        IoMarkIrpPending(Irp);
        Ext->CurrentWriteIrp = Irp;
        Ext->TxSource = Buffer + Taken;
        Ext->TxTaken = Taken;
        StartWriteTimer(Ext, Length);
        KeReleaseSpinLock(&Ext->WriteLock, Irql);
        Kick(Ext);
        return STATUS_PENDING;
    }
    if (!IoSetCancelRoutine(Irp, nullptr)) {
        // A cancellation is under way; its routine reports the bytes that are already in TxRing.
        Irp->IoStatus.Information = Taken;
        IoMarkIrpPending(Irp);
        KeReleaseSpinLock(&Ext->WriteLock, Irql);
        Kick(Ext);
        return STATUS_PENDING;
    }
    KeReleaseSpinLock(&Ext->WriteLock, Irql);
    ReleaseOutQueue(Ext, Length);
    CompleteRequest(Irp, STATUS_SUCCESS, Length, IO_SERIAL_INCREMENT);
    RaiseTxEmpty(Ext);
    Kick(Ext);
    return STATUS_SUCCESS;
}

// Sends Length bytes of TxStage (none: a zero-length packet) in Irp, a request of our own.
static void SendPumpTransfer(PPORT_EXTENSION Ext, PIRP Irp, ULONG Length)
{
    IoSetNextIrpStackLocation(Irp);   // our own location, for the completion routine's device
    PIO_STACK_LOCATION Own = IoGetCurrentIrpStackLocation(Irp);
    Irp->AssociatedIrp.SystemBuffer = Length ? Ext->TxStage : nullptr;
    Own->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    Own->Parameters.DeviceIoControl.IoControlCode = IOCTL_PIPE_WRITE_BUFFERED;
    Own->Parameters.DeviceIoControl.InputBufferLength = Length;
    Own->Parameters.DeviceIoControl.OutputBufferLength = 0;
    Own->DeviceObject = Ext->Self;
    SetPipeWrite(Ext, Irp, Length);
    InterlockedExchange(&Ext->TxState, 1);   // on the wire, as cancel-all sees it
    IoSetCompletionRoutine(Irp, BufferedWriteComplete, Ext, TRUE, TRUE, TRUE);
    IoCallDriver(Ext->LowerDevice, Irp);
}

// Steps shared by Kick and SendNullPacket: take the pump, unless it is busy, stopped or gone.
static NTSTATUS TakePump(PPORT_EXTENSION Ext, PBOOLEAN Taken)
{
    *Taken = FALSE;
    if (InterlockedExchange(&Ext->TxBusy, 1) == 1) {
        return STATUS_SUCCESS;   // the transfer on the wire kicks again when it completes
    }
    if (PortGone(Ext)) {
        ReleasePump(Ext);
        return STATUS_DELETE_PENDING;
    }
    if (Ext->TxStopped) {
        ReleasePump(Ext);
        return STATUS_UNSUCCESSFUL;
    }
    *Taken = TRUE;
    return STATUS_SUCCESS;
}

static PIRP AllocatePumpRequest(PPORT_EXTENSION Ext)
{
    return IoAllocateIrp(Ext->Self->StackSize, FALSE);
}

NTSTATUS Kick(PPORT_EXTENSION Ext)
{
    BOOLEAN Taken;
    NTSTATUS Status = TakePump(Ext, &Taken);
    if (!Taken) {
        return Status;
    }
    if (RingCount(&Ext->TxRing) == 0) {
        ReleasePump(Ext);
        return STATUS_SUCCESS;
    }
    PIRP Irp = AllocatePumpRequest(Ext);
    if (!Irp) {
        // The bytes stay in TxRing; the kick timer tries again.
        ReleasePump(Ext);
        KeSetTimer(&Ext->KickTimer, Ext->KickDelay, &Ext->KickTimerDpc);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    SIZE_T Length = RingGet(Ext->TxStage, &Ext->TxRing, TX_STAGE_SIZE);
    if (Length == 0) {   // flushed meanwhile
        IoFreeIrp(Irp);
        ReleasePump(Ext);
        return STATUS_SUCCESS;
    }
    SendPumpTransfer(Ext, Irp, (ULONG)Length);
    return STATUS_SUCCESS;
}

NTSTATUS SendNullPacket(PPORT_EXTENSION Ext)
{
    BOOLEAN Taken;
    NTSTATUS Status = TakePump(Ext, &Taken);
    if (!Taken) {
        return Status;
    }
    PIRP Irp = AllocatePumpRequest(Ext);
    if (!Irp) {
        ReleasePump(Ext);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    SendPumpTransfer(Ext, Irp, 0);
    return STATUS_SUCCESS;
}

// Moves more of the write that waits for room into TxRing; completes it once all of it is there.
static void TopUpCurrentWrite(PPORT_EXTENSION Ext)
{
    KIRQL Irql;
    KeAcquireSpinLock(&Ext->WriteLock, &Irql);
    PIRP Irp = Ext->CurrentWriteIrp;
    if (!Irp || Irp->Cancel) {
        KeReleaseSpinLock(&Ext->WriteLock, Irql);   // none, or its cancel routine finishes it
        return;
    }
    ULONG Length = WriteLength(Irp);
    SIZE_T Taken = RingPut(&Ext->TxRing, Ext->TxSource, Length - (SIZE_T)Ext->TxTaken);
    Ext->TxSource += Taken;
    Ext->TxTaken += Taken;
    if (Ext->TxTaken < Length || !IoSetCancelRoutine(Irp, nullptr)) {
        KeReleaseSpinLock(&Ext->WriteLock, Irql);
        return;
    }
    ULONG_PTR Written = (ULONG_PTR)Ext->TxTaken;
    Ext->CurrentWriteIrp = nullptr;
    Ext->TxSource = nullptr;
    Ext->TxTaken = 0;
    KeReleaseSpinLock(&Ext->WriteLock, Irql);
    StopTimer(&Ext->WriteTimer, &Ext->WriteTimerDpc);
    ReleaseOutQueue(Ext, Length);
    CompleteRequest(Irp, STATUS_SUCCESS, Written, IO_SERIAL_INCREMENT);
    StartNextBufferedWrite(Ext, FALSE);
}

VOID StartNextBufferedWrite(PPORT_EXTENSION Ext, BOOLEAN KickAfter)
{
    KIRQL Irql;
    KeAcquireSpinLock(&Ext->WriteLock, &Irql);
    if (!Ext->CurrentWriteIrp) {
        while (!IsListEmpty(&Ext->WriteQueue)) {
            PLIST_ENTRY Entry = RemoveHeadList(&Ext->WriteQueue);
            InitializeListHead(Entry);
            PIRP Irp = CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);
            ULONG Length = WriteLength(Irp);
            PUCHAR Buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
            SIZE_T Taken = RingPut(&Ext->TxRing, Buffer, Length);
            if (Taken < Length) {
                Ext->CurrentWriteIrp = Irp;
                Ext->TxSource = Buffer + Taken;
                Ext->TxTaken = Taken;
                StartWriteTimer(Ext, Length);
                break;
            }
            if (!IoSetCancelRoutine(Irp, nullptr)) {
                Irp->IoStatus.Information = Taken;   // being cancelled: it reports its bytes in TxRing
                continue;
            }
            KeReleaseSpinLock(&Ext->WriteLock, Irql);
            ReleaseOutQueue(Ext, Length);
            CompleteRequest(Irp, STATUS_SUCCESS, Taken, IO_SERIAL_INCREMENT);
            KeAcquireSpinLock(&Ext->WriteLock, &Irql);
        }
    }
    BOOLEAN Waiting = Ext->CurrentWriteIrp != nullptr;
    KeReleaseSpinLock(&Ext->WriteLock, Irql);
    if (!Waiting) {
        RaiseTxEmpty(Ext);
    }
    if (KickAfter) {
        Kick(Ext);
    }
}

static NTSTATUS BufferedWriteComplete(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    PPORT_EXTENSION Ext = (PPORT_EXTENSION)Context;
    NTSTATUS Status = Irp->IoStatus.Status;
    ULONG_PTR Sent = Irp->IoStatus.Information;
    InterlockedExchangeAdd(TransmittedCount(Ext), (LONG)Sent);
    FreePortIrp(Irp);
    InterlockedExchange(&Ext->TxBusy, 0);

    TopUpCurrentWrite(Ext);
    KeCancelTimer(&Ext->KickTimer);
    if (PortGone(Ext)) {
        SignalTxIdle(Ext);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    ULONG64 Held = RingCount(&Ext->TxRing);
    if (Held > 0 && Held >= Ext->TxKickThreshold) {
        Kick(Ext);   // on a failed allocation it arms KickTimer itself
    } else if (Held > 0) {
        KeSetTimer(&Ext->KickTimer, Ext->KickDelay, &Ext->KickTimerDpc);
    } else if (NT_SUCCESS(Status) && Ext->TxAllowNullPacket && Sent > 0 && Ext->TxPacketSize &&
               Sent % Ext->TxPacketSize == 0) {
        SendNullPacket(Ext);
    } else if (Ext->TxStopped) {
        SignalTxIdle(Ext);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID KickTimerRoutine(PKDPC, PVOID DeferredContext, PVOID, PVOID)
{
    PPORT_EXTENSION Ext = (PPORT_EXTENSION)DeferredContext;
    if (!PortGone(Ext)) {
        Kick(Ext);
    }
}

static VOID BufferedWriteCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KIRQL Irql;
    KeAcquireSpinLock(&Ext->WriteLock, &Irql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);
    ULONG Length = WriteLength(Irp);
    if (Irp == Ext->CurrentWriteIrp) {
        // Its bytes already in TxRing stay there and are sent; it reports them.
        ULONG_PTR Taken = (ULONG_PTR)Ext->TxTaken;
        StopTimer(&Ext->WriteTimer, &Ext->WriteTimerDpc);
        Ext->CurrentWriteIrp = nullptr;
        Ext->TxSource = nullptr;
        Ext->TxTaken = 0;
        KeReleaseSpinLock(&Ext->WriteLock, Irql);
        ReleaseOutQueue(Ext, Length);
        CompleteRequest(Irp, STATUS_CANCELLED, Taken, IO_SERIAL_INCREMENT);
        StartNextBufferedWrite(Ext, TRUE);
        return;
    }
    KeReleaseSpinLock(&Ext->WriteLock, Irql);
    ReleaseOutQueue(Ext, Length);
    CompleteRequest(Irp, STATUS_CANCELLED, Irp->IoStatus.Information, IO_SERIAL_INCREMENT);
}

VOID BufferedWriteTimerRoutine(PKDPC, PVOID DeferredContext, PVOID, PVOID)
{
    PPORT_EXTENSION Ext = (PPORT_EXTENSION)DeferredContext;
    KIRQL Irql;
    KeAcquireSpinLock(&Ext->WriteLock, &Irql);
    PIRP Irp = Ext->CurrentWriteIrp;
    // A timer set again for the next write since it expired is stale.
    if (!Irp || !KeReadStateTimer(&Ext->WriteTimer) || !IoSetCancelRoutine(Irp, nullptr)) {
        KeReleaseSpinLock(&Ext->WriteLock, Irql);   // none, or its cancel routine finishes it
        return;
    }
    ULONG_PTR Taken = (ULONG_PTR)Ext->TxTaken;
    Ext->CurrentWriteIrp = nullptr;
    Ext->TxSource = nullptr;
    Ext->TxTaken = 0;
    KeReleaseSpinLock(&Ext->WriteLock, Irql);
    ReleaseOutQueue(Ext, WriteLength(Irp));
    CompleteRequest(Irp, STATUS_TIMEOUT, Taken);
    StartNextBufferedWrite(Ext, TRUE);
}

VOID ResumeTransmit(PPORT_EXTENSION Ext)
{
    if (!Ext->TxAsync || Ext->TxStopped) {
        return;
    }
    TopUpCurrentWrite(Ext);   // a write that waited for room, and the writes behind it
    Kick(Ext);
}
