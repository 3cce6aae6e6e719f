// Buffered transmitter (TxAsync nonzero): writes are copied into TxRing and complete as soon as all
// their bytes are there; a pump takes up to 4096 bytes at a time into TxStage and sends them as a
// transfer of its own on TxPipe. A write that does not fit waits as CurrentWriteIrp and is topped up
// as transfers make room; later writes queue behind it.
//
// WriteLock guards WriteQueue, CurrentWriteIrp, TxSource and TxTaken; the ring has its own lock.
// TxBusy (interlocked) keeps one pump transfer on the wire at a time. The pump takes bytes out of
// TxRing only once it holds the request that carries them, so a failed allocation loses nothing:
// KickTimer tries again.
//
// TxUnconfirmed counts every accepted byte that the pipe driver has not yet confirmed sent: the rest of
// the waiting writes, TxRing and TxStage. It is the out-queue amount, a flush waits for it to reach 0,
// and TXEMPTY is raised when a transfer brings it to 0. While the transmitter is stopped nothing moves
// from a write into TxRing and no write completes as sent; a transfer that the stop cut off keeps its
// unsent rest in TxStage (TxStageOffset, TxStageHeld), which goes out first when the pump runs again.
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

// Bytes that leave the transmitter without going out (a write's rest that never entered TxRing, a
// purged buffer, the rest of a failed transfer), or that the pipe driver confirmed sent. Returns what
// is left.
static LONG ForgetUnconfirmed(PPORT_EXTENSION Ext, ULONG64 Bytes)
{
    return InterlockedExchangeAdd(&Ext->TxUnconfirmed, -(LONG)Bytes) - (LONG)Bytes;
}

// Bytes of a write that have not been moved into TxRing.
static ULONG64 RestOfWrite(PIRP Irp, const UCHAR* Source)
{
    ULONG Length = WriteLength(Irp);
    ULONG64 Moved = Source ? (ULONG64)(Source - (PUCHAR)Irp->AssociatedIrp.SystemBuffer) : 0;
    return Moved < Length ? Length - Moved : 0;
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
        InterlockedExchangeAdd(&Ext->TxUnconfirmed, (LONG)Length);
        KeReleaseSpinLock(&Ext->WriteLock, Irql);
        return STATUS_PENDING;
    }
    InterlockedExchangeAdd(&Ext->TxUnconfirmed, (LONG)Length);

    // A stopped transmitter (paused, or being stopped) takes nothing into TxRing: the write waits for
    // the restart, or for the cancel-all pass that follows a stop.
    if (Ext->CurrentWriteIrp || !IsListEmpty(&Ext->WriteQueue) || Ext->TxStopped) {
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
    Kick(Ext);
    return STATUS_SUCCESS;
}

// Sends Length bytes of TxStage from Offset (none: a zero-length packet) in Irp, a request of our own.
static void SendPumpTransfer(PPORT_EXTENSION Ext, PIRP Irp, ULONG Offset, ULONG Length)
{
    IoSetNextIrpStackLocation(Irp);   // our own location, for the completion routine's device
    PIO_STACK_LOCATION Own = IoGetCurrentIrpStackLocation(Irp);
    Ext->TxStageOffset = Offset;
    Irp->AssociatedIrp.SystemBuffer = Length ? Ext->TxStage + Offset : nullptr;
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
    if (Ext->TxStageHeld == 0 && RingCount(&Ext->TxRing) == 0) {
        ReleasePump(Ext);
        return STATUS_SUCCESS;
    }
    PIRP Irp = AllocatePumpRequest(Ext);
    if (!Irp) {
        // The bytes stay in TxRing (or TxStage); the kick timer tries again.
        ReleasePump(Ext);
        KeSetTimer(&Ext->KickTimer, Ext->KickDelay, &Ext->KickTimerDpc);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (Ext->TxStageHeld) {
        // What a stop cut off goes out before anything that was behind it.
        ULONG Held = Ext->TxStageHeld;
        Ext->TxStageHeld = 0;
        SendPumpTransfer(Ext, Irp, Ext->TxStageOffset, Held);
        return STATUS_SUCCESS;
    }
    SIZE_T Length = RingGet(Ext->TxStage, &Ext->TxRing, TX_STAGE_SIZE);
    if (Length == 0) {   // flushed meanwhile
        IoFreeIrp(Irp);
        ReleasePump(Ext);
        return STATUS_SUCCESS;
    }
    SendPumpTransfer(Ext, Irp, 0, (ULONG)Length);
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
    SendPumpTransfer(Ext, Irp, 0, 0);
    return STATUS_SUCCESS;
}

// Moves more of the write that waits for room into TxRing; completes it once all of it is there.
static void TopUpCurrentWrite(PPORT_EXTENSION Ext)
{
    KIRQL Irql;
    KeAcquireSpinLock(&Ext->WriteLock, &Irql);
    PIRP Irp = Ext->CurrentWriteIrp;
    if (!Irp || Irp->Cancel || Ext->TxStopped || PortGone(Ext)) {
        // None; or its cancel routine finishes it; or the transmitter stops, and the write either
        // goes on after the restart or is cancelled with the bytes it really has sent.
        KeReleaseSpinLock(&Ext->WriteLock, Irql);
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
    if (!Ext->CurrentWriteIrp && !Ext->TxStopped) {
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
    KeReleaseSpinLock(&Ext->WriteLock, Irql);
    if (KickAfter) {
        Kick(Ext);
    }
}

static NTSTATUS BufferedWriteComplete(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    PPORT_EXTENSION Ext = (PPORT_EXTENSION)Context;
    NTSTATUS Status = Irp->IoStatus.Status;
    ULONG Staged = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.InputBufferLength;
    ULONG_PTR Sent = Irp->IoStatus.Information;
    if (Sent > Staged) {
        Sent = Staged;
    }
    InterlockedExchangeAdd(TransmittedCount(Ext), (LONG)Sent);
    FreePortIrp(Irp);

    // The rest of a transfer that a stop aborted is kept for the restart (or, the device gone, for the
    // discard that counts it as not sent); the rest of a transfer that failed otherwise is lost (no
    // retry).
    // A device that is no longer connected takes nothing more: the pump stops there, and the removal
    // that follows ends the writes with what really went out.
    BOOLEAN Lost = PortGone(Ext) || Status == STATUS_DEVICE_NOT_CONNECTED;
    ULONG Rest = (ULONG)(Staged - Sent);
    ULONG64 Gone = Sent;
    if (Rest && ((Status == STATUS_CANCELLED && Ext->TxStopped) || Lost)) {
        Ext->TxStageOffset += (ULONG)Sent;
        Ext->TxStageHeld = Rest;
    } else {
        Gone += Rest;
    }
    LONG Left = ForgetUnconfirmed(Ext, Gone);
    InterlockedExchange(&Ext->TxBusy, 0);
    if (Left == 0 && Sent > 0) {
        RaiseTxEmpty(Ext);   // the last accepted byte has left the port
    }

    if (!Lost) {
        TopUpCurrentWrite(Ext);
    }
    KeCancelTimer(&Ext->KickTimer);
    if (Lost || Ext->TxStopped) {
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

static VOID NTAPI BufferedWriteCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
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
        ForgetUnconfirmed(Ext, RestOfWrite(Irp, Ext->TxSource));
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
    ForgetUnconfirmed(Ext, Length - Irp->IoStatus.Information);   // queued: only what it put into TxRing stays
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
    ForgetUnconfirmed(Ext, RestOfWrite(Irp, Ext->TxSource));
    Ext->CurrentWriteIrp = nullptr;
    Ext->TxSource = nullptr;
    Ext->TxTaken = 0;
    KeReleaseSpinLock(&Ext->WriteLock, Irql);
    ReleaseOutQueue(Ext, WriteLength(Irp));
    CompleteRequest(Irp, STATUS_TIMEOUT, Taken);
    StartNextBufferedWrite(Ext, TRUE);
}

VOID ResumeBufferedTransmit(PPORT_EXTENSION Ext)
{
    TopUpCurrentWrite(Ext);            // a write that waited for room, and the writes behind it
    StartNextBufferedWrite(Ext, TRUE);  // writes held while the transmitter was stopped
}

VOID DiscardTxBuffer(PPORT_EXTENSION Ext)
{
    KIRQL Irql;
    KeAcquireSpinLock(&Ext->WriteLock, &Irql);
    ULONG64 Dropped = RingFlush(&Ext->TxRing);
    // The rest that a stop kept in TxStage goes too, unless a transfer of it is on the wire.
    BOOLEAN PumpTaken = InterlockedCompareExchange(&Ext->TxBusy, 1, 0) == 0;
    if (PumpTaken) {
        Dropped += Ext->TxStageHeld;
        Ext->TxStageHeld = 0;
    }
    // The bytes of the waiting write are the newest of the buffer: those dropped never go out, and
    // the write will not count them.
    if (Ext->CurrentWriteIrp) {
        Ext->TxTaken -= Ext->TxTaken < Dropped ? Ext->TxTaken : Dropped;
    }
    ForgetUnconfirmed(Ext, Dropped);
    KeReleaseSpinLock(&Ext->WriteLock, Irql);
    if (PumpTaken) {
        ReleasePump(Ext);
        Kick(Ext);   // a write that came meanwhile found the pump taken
    }
}
