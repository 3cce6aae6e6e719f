// Transmit engine: the write dispatch checks shared by both transmitters, the direct transmitter
// (each application write goes down itself as IOCTL_PIPE_WRITE_BUFFERED on TxPipe, one at a time),
// the write timeout, stopping the transmitter and cancelling all writes.
//
// WriteLock guards WriteQueue and CurrentWriteIrp. A write on the wire is finished by exactly one of
// its completion routine, the WriteTimer DPC and a cancel-all pass; they agree through interlocked
// exchanges of TxState:
//   0 prepared, 1 on the wire, 2 its completion routine has run,
//   3 claimed by the timeout, 4 the timeout has issued IoCancelIrp,
//   5 claimed by cancel-all,  6 cancel-all has issued IoCancelIrp.
// A claim (3 or 5) leaves the write to the claimer; 4 and 6 tell the completion routine whether the
// transfer it sees cancelled was timed out or cancelled.
// Requests never go down with WriteLock held: a pipe driver that completes at once would re-enter
// the transmitter from the completion routine.
#include "tarvelport.h"

enum TX_STATE : LONG {
    TxPrepared = 0,
    TxOnWire = 1,
    TxCompletionRan = 2,
    TxClaimedByTimeout = 3,
    TxTimeoutCancelled = 4,
    TxClaimedByCancelAll = 5,
    TxCancelAllCancelled = 6,
};
constexpr LONG TIMEOUT_PASS_RUNNING = 3;
// A stop that has not seen the transmitter go idle aborts the pipe again after this long.
constexpr LONGLONG TX_STOP_REABORT_MS = 10;

static IO_COMPLETION_ROUTINE DirectWriteComplete;
static DRIVER_CANCEL DirectWriteCancel;
static void StartNextDirectWrite(PPORT_EXTENSION Ext);

static ULONG WriteLength(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
}

static void ReleaseOutQueue(PPORT_EXTENSION Ext, ULONG Length)
{
    InterlockedExchangeAdd(OutQueueBytes(Ext), -(LONG)Length);
}

VOID StartWriteTimer(PPORT_EXTENSION Ext, ULONG Length)
{
    ULONG Multiplier = Ext->Timeouts.WriteTotalTimeoutMultiplier;
    ULONG64 Ms = Multiplier ? (ULONG64)Length * Multiplier : 0;
    ULONG64 Constant = Ext->Timeouts.WriteTotalTimeoutConstant;
    Ms = Ms > ~0ull - Constant ? ~0ull : Ms + Constant;
    if (Ms != 0) {
        KeSetTimer(&Ext->WriteTimer, TimeoutDueTime(Ms), &Ext->WriteTimerDpc);
    } else {
        StopTimer(&Ext->WriteTimer, &Ext->WriteTimerDpc);   // one left from an earlier write must not end this one
    }
}

// WriteLock held. Makes Irp the current write, addresses it to TxPipe and puts it on the wire
// (TxState 1) unless the timeout claimed it meanwhile. The write timer is armed after the last
// access to the request: from then on the timeout may claim and complete it. The exchange happens
// under the lock, so a claimer cannot have gone on to the next write before it. Returns TRUE when
// the caller is to send the request, after releasing the lock; otherwise the claimer completes it.
static BOOLEAN PrepareDirectWrite(PPORT_EXTENSION Ext, PIRP Irp)
{
    ULONG Length = WriteLength(Irp);
    Ext->BytesWritten = 0;
    Ext->CurrentWriteIrp = Irp;
    InterlockedExchange(&Ext->TxState, TxPrepared);
    SetPipeWrite(Ext, Irp, Length);
    IoSetCompletionRoutine(Irp, DirectWriteComplete, Ext, TRUE, TRUE, TRUE);
    KeClearEvent(&Ext->TxIdleEvent);
    StartWriteTimer(Ext, Length);
    LONG Previous = InterlockedExchange(&Ext->TxState, TxOnWire);
    if (Previous == TxClaimedByTimeout || Previous == TxClaimedByCancelAll) {
        InterlockedExchange(&Ext->TxState, Previous);
        return FALSE;
    }
    return TRUE;
}

NTSTATUS WriteDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    Irp->IoStatus.Information = 0;
    if (PortGone(Ext)) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }
    if (Ext->TxStopped && !Ext->PortPaused) {
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);   // stopped: the data is discarded
    }
    ULONG Length = WriteLength(Irp);
    if (Length == 0) {
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    }
    if (!Irp->AssociatedIrp.SystemBuffer) {
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    InterlockedExchangeAdd(OutQueueBytes(Ext), (LONG)Length);
    if (Ext->TxAsync) {
        return AcceptBufferedWrite(Ext, Irp);
    }

    KIRQL Irql;
    KeAcquireSpinLock(&Ext->WriteLock, &Irql);
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);
    IoMarkIrpPending(Irp);
    (void)IoSetCancelRoutine(Irp, DirectWriteCancel);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr)) {
        KeReleaseSpinLock(&Ext->WriteLock, Irql);
        ReleaseOutQueue(Ext, Length);
        CompleteRequest(Irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    // A stopped transmitter (paused, or being stopped) starts nothing: the write waits in the queue
    // for the restart, or for the cancel-all pass that follows a stop.
    if (!Ext->CurrentWriteIrp && IsListEmpty(&Ext->WriteQueue) && !Ext->TxStopped) {
        // Becoming current means giving up the cancel routine; if it is gone, a cancellation is
        // under way and its routine completes the write.
        if (IoSetCancelRoutine(Irp, nullptr)) {
            BOOLEAN Send = PrepareDirectWrite(Ext, Irp);
            KeReleaseSpinLock(&Ext->WriteLock, Irql);
            if (Send) {
                IoCallDriver(Ext->LowerDevice, Irp);
            }
            return STATUS_PENDING;
        }
    } else {
        InsertTailList(&Ext->WriteQueue, &Irp->Tail.Overlay.ListEntry);
    }
    KeReleaseSpinLock(&Ext->WriteLock, Irql);
    return STATUS_PENDING;
}

// Completes the current direct write and goes on with the next one.
static void FinishDirectWrite(PPORT_EXTENSION Ext, PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    // A write that failed because the device has gone says so, as every request of a gone port does,
    // whatever the pipe driver below made of it (cancelled, not connected).
    if (!NT_SUCCESS(Status) && PortGone(Ext)) {
        Status = STATUS_DELETE_PENDING;
    }
    ReleaseOutQueue(Ext, WriteLength(Irp));
    CompleteRequest(Irp, Status, Information, IO_SERIAL_INCREMENT);
    StartNextDirectWrite(Ext);
}

// WriteLock held; released on return. Sends the next queued write unless the transmitter is stopped:
// a stopping transmitter starts nothing, and its queued writes wait for the restart (power-up, the
// end of a rebalance) or for the cancel-all pass of a purge or cleanup. Otherwise, and when the queue
// is empty, the transmitter is idle; with no write left, TXEMPTY is raised when RaiseEmpty is set.
static void SendNextDirectWrite(PPORT_EXTENSION Ext, KIRQL Irql, BOOLEAN RaiseEmpty)
{
    while (!Ext->TxStopped && !PortGone(Ext) && !IsListEmpty(&Ext->WriteQueue)) {
        PLIST_ENTRY Entry = RemoveHeadList(&Ext->WriteQueue);
        PIRP Irp = CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(Irp, nullptr)) {
            BOOLEAN Send = PrepareDirectWrite(Ext, Irp);
            KeReleaseSpinLock(&Ext->WriteLock, Irql);
            if (Send) {
                IoCallDriver(Ext->LowerDevice, Irp);
            }
            return;
        }
        InitializeListHead(Entry);   // being cancelled: its cancel routine completes it
    }
    BOOLEAN Empty = IsListEmpty(&Ext->WriteQueue);
    // Signalled under the lock, so that a write that becomes current right after us (and clears
    // the event) is never followed by a late signal.
    KeSetEvent(&Ext->TxIdleEvent, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&Ext->WriteLock, Irql);
    if (Empty && RaiseEmpty) {
        RaiseEvents(Ext->Self, SERIAL_EV_TXEMPTY);
        CompleteWait(Ext->Self);
    }
}

// Makes the next queued write current and sends it; with none left, the transmitter is idle.
static void StartNextDirectWrite(PPORT_EXTENSION Ext)
{
    KIRQL Irql;
    KeAcquireSpinLock(&Ext->WriteLock, &Irql);
    Ext->CurrentWriteIrp = nullptr;
    Ext->BytesWritten = 0;
    SendNextDirectWrite(Ext, Irql, TRUE);
}

static NTSTATUS DirectWriteComplete(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    PPORT_EXTENSION Ext = (PPORT_EXTENSION)Context;
    NTSTATUS Status = Irp->IoStatus.Status;
    ULONG_PTR Sent = Irp->IoStatus.Information;
    Ext->BytesWritten += Sent;

    // A successful transfer that ended on a packet boundary is closed by a zero-length packet; the
    // write timer keeps running, and the zero-length transfer's completion finishes the write. A
    // failed transfer is not followed by one, so that its failure reaches the application.
    // A stopping transmitter sends nothing more, not even a zero-length packet: the pipe has been
    // aborted already, and a packet sent now would wait for a device that may refuse it for ever.
    // The power state is read as it stands: a power-down sets it before it stops the transmitter and
    // aborts the pipe, so a packet sent on the old value is aborted with the rest.
    if (NT_SUCCESS(Status) && !Ext->TxStopped && ReadNoFence(&Ext->DevicePowerState) == PortPowerWorking &&
        Ext->TxAllowNullPacket && Sent > 0 &&
        Ext->TxPacketSize && Sent % Ext->TxPacketSize == 0) {
        SetPipeWrite(Ext, Irp, 0);
        IoSetCompletionRoutine(Irp, DirectWriteComplete, Ext, TRUE, TRUE, TRUE);
        KeClearEvent(&Ext->TxIdleEvent);
        IoCallDriver(Ext->LowerDevice, Irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    StopTimer(&Ext->WriteTimer, &Ext->WriteTimerDpc);
    LONG Previous = InterlockedExchange(&Ext->TxState, TxCompletionRan);
    if (Previous == TxClaimedByTimeout || Previous == TxClaimedByCancelAll) {
        return STATUS_MORE_PROCESSING_REQUIRED;   // the claimer completes it
    }
    if (Status == STATUS_CANCELLED && Previous == TxTimeoutCancelled) {
        Status = STATUS_TIMEOUT;
    }
    FinishDirectWrite(Ext, Irp, Status, (ULONG_PTR)Ext->BytesWritten);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Only queued writes carry it; the current write belongs to the pipe driver while on the wire.
static VOID NTAPI DirectWriteCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KIRQL Irql;
    KeAcquireSpinLock(&Ext->WriteLock, &Irql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&Ext->WriteLock, Irql);
    ReleaseOutQueue(Ext, WriteLength(Irp));
    CompleteRequest(Irp, STATUS_CANCELLED, 0, IO_SERIAL_INCREMENT);
}

// WriteLock held. Claims the current write for the timeout or a cancel-all pass, only while it is
// prepared or on the wire, and returns the state it was in. A write already claimed, or whose
// completion has run, keeps its state: a second claim would overwrite the state its completion
// routine reads, which would then leave the write to a claimer that has already gone. A second
// claim comes from a cancel-all pass after the timeout, or from the timer DPC run again for the
// same write (queued anew by a later expiry while it was still running).
static LONG ClaimCurrentWrite(PPORT_EXTENSION Ext, LONG Claim)
{
    for (;;) {
        LONG State = ReadNoFence(&Ext->TxState);
        if (State != TxPrepared && State != TxOnWire) {
            return State;
        }
        if (InterlockedCompareExchange(&Ext->TxState, Claim, State) == State) {
            return State;
        }
    }
}

VOID WriteTimerRoutine(PKDPC, PVOID DeferredContext, PVOID, PVOID)
{
    PPORT_EXTENSION Ext = (PPORT_EXTENSION)DeferredContext;
    // The write and its state are taken together under WriteLock, where writes become current and
    // their timers are set and stopped: an expiry withdrawn since, or a write that has already been
    // completed, is never claimed.
    KIRQL Irql;
    KeAcquireSpinLock(&Ext->WriteLock, &Irql);
    PIRP Irp = Ext->CurrentWriteIrp;
    if (!Irp || !KeReadStateTimer(&Ext->WriteTimer) ||
        InterlockedCompareExchange(&Ext->TimeoutBusy, TIMEOUT_PASS_RUNNING, 0) != 0) {
        KeReleaseSpinLock(&Ext->WriteLock, Irql);   // stale, or a cancel-all pass owns the write
        return;
    }
    LONG Previous = ClaimCurrentWrite(Ext, TxClaimedByTimeout);
    KeReleaseSpinLock(&Ext->WriteLock, Irql);

    if (Previous == TxPrepared) {
        // Not sent yet: its sender sees the claim and leaves it to us.
        FinishDirectWrite(Ext, Irp, STATUS_TIMEOUT, 0);
    } else if (Previous == TxOnWire) {
        IoCancelIrp(Irp);
        if (InterlockedExchange(&Ext->TxState, TxTimeoutCancelled) == TxCompletionRan) {
            // Its completion ran meanwhile and left it to us.
            FinishDirectWrite(Ext, Irp, STATUS_TIMEOUT, (ULONG_PTR)Ext->BytesWritten);
        }
    }
    InterlockedExchange(&Ext->TimeoutBusy, 0);
}

NTSTATUS StopTransmit(PPORT_EXTENSION Ext)
{
    // Set under WriteLock, where writes become current: a write made current after this sees it and
    // stays queued.
    KIRQL Irql;
    KeAcquireSpinLock(&Ext->WriteLock, &Irql);
    Ext->TxStopped = TRUE;
    KeReleaseSpinLock(&Ext->WriteLock, Irql);
    SendPipeControl(Ext, &Ext->TxPipe, IOCTL_PIPE_ABORT_PIPE);
    if (Ext->TxAsync) {
        KeClearEvent(&Ext->TxIdleEvent);
        KeCancelTimer(&Ext->KickTimer);
        Kick(Ext);   // signals TxIdleEvent at once when no transfer is on the wire
    }
    // A transfer that its sender put on its way just before the stop flag was set, and that reached
    // the pipe driver after the abort, is aborted again: the stop returns promptly whatever the device
    // does.
    for (;;) {
        LARGE_INTEGER Timeout = RelativeMs(TX_STOP_REABORT_MS);
        if (KeWaitForSingleObject(&Ext->TxIdleEvent, Executive, KernelMode, FALSE, &Timeout) != STATUS_TIMEOUT) {
            break;
        }
        SendPipeControl(Ext, &Ext->TxPipe, IOCTL_PIPE_ABORT_PIPE);
    }
    if (Ext->TxAsync) {
        KeCancelTimer(&Ext->KickTimer);   // a retry armed while stopping has nothing to do
    }
    return SendPipeControl(Ext, &Ext->TxPipe, IOCTL_PIPE_RESET_PIPE);
}

ULONG OutQueueAmount(PPORT_EXTENSION Ext)
{
    if (!Ext->TxAsync) {
        return (ULONG)*OutQueueBytes(Ext);
    }
    LONG Unconfirmed = Ext->TxUnconfirmed;
    return (ULONG)(Unconfirmed > 0 ? Unconfirmed : 0) + (Ext->CommStatus.WaitForImmediate ? 1 : 0);
}

VOID ResumeTransmit(PPORT_EXTENSION Ext)
{
    if (Ext->TxStopped) {
        return;
    }
    if (Ext->TxAsync) {
        ResumeBufferedTransmit(Ext);
        return;
    }
    KIRQL Irql;
    KeAcquireSpinLock(&Ext->WriteLock, &Irql);
    if (Ext->CurrentWriteIrp) {
        KeReleaseSpinLock(&Ext->WriteLock, Irql);
        return;
    }
    SendNextDirectWrite(Ext, Irql, FALSE);   // the writes held while stopped go out now
}

// WriteLock held, buffered transmitter: the write waiting for room in TxRing is cancelled here when
// its cancel routine can be taken back (else its cancel routine is completing it). It reports the
// bytes already in TxRing, which are still sent.
static void CancelCurrentBufferedWrite(PPORT_EXTENSION Ext, KIRQL Irql, NTSTATUS Status)
{
    PIRP Irp = Ext->CurrentWriteIrp;
    if (!Irp || !IoSetCancelRoutine(Irp, nullptr)) {
        KeReleaseSpinLock(&Ext->WriteLock, Irql);
        return;
    }
    ULONG_PTR Taken = (ULONG_PTR)Ext->TxTaken;
    ULONG64 Moved = (ULONG64)(Ext->TxSource - (PUCHAR)Irp->AssociatedIrp.SystemBuffer);
    InterlockedExchangeAdd(&Ext->TxUnconfirmed, -(LONG)(WriteLength(Irp) - Moved));   // its rest never goes
    Ext->CurrentWriteIrp = nullptr;
    Ext->TxSource = nullptr;
    Ext->TxTaken = 0;
    StopTimer(&Ext->WriteTimer, &Ext->WriteTimerDpc);
    KeReleaseSpinLock(&Ext->WriteLock, Irql);
    ReleaseOutQueue(Ext, WriteLength(Irp));
    CompleteRequest(Irp, Status, Taken, IO_SERIAL_INCREMENT);
    StartNextBufferedWrite(Ext, TRUE);
}

// WriteLock held, direct transmitter: claims the current write against its completion routine
// and the timeout, and cancels it.
static void CancelCurrentDirectWrite(PPORT_EXTENSION Ext, KIRQL Irql, NTSTATUS Status)
{
    PIRP Irp = Ext->CurrentWriteIrp;
    if (!Irp || InterlockedCompareExchange(&Ext->TimeoutBusy, TIMEOUT_PASS_RUNNING, 0) != 0) {
        KeReleaseSpinLock(&Ext->WriteLock, Irql);
        return;
    }
    LONG Previous = ClaimCurrentWrite(Ext, TxClaimedByCancelAll);
    KeReleaseSpinLock(&Ext->WriteLock, Irql);
    if (Previous == TxPrepared) {
        // Not sent yet: its sender sees the claim and leaves it to us.
        StopTimer(&Ext->WriteTimer, &Ext->WriteTimerDpc);
        FinishDirectWrite(Ext, Irp, Status, 0);
    } else if (Previous == TxOnWire) {
        IoCancelIrp(Irp);
        if (InterlockedExchange(&Ext->TxState, TxCancelAllCancelled) == TxCompletionRan) {
            // Its completion ran meanwhile and left it to us; it reports what went out.
            FinishDirectWrite(Ext, Irp, Status, (ULONG_PTR)Ext->BytesWritten);
        }
    }
    InterlockedExchange(&Ext->TimeoutBusy, 0);
}

VOID CancelAllWrites(PPORT_EXTENSION Ext, NTSTATUS Status)
{
    LIST_ENTRY Cancelled;
    InitializeListHead(&Cancelled);
    KIRQL Irql;
    KeAcquireSpinLock(&Ext->WriteLock, &Irql);
    while (!IsListEmpty(&Ext->WriteQueue)) {
        PLIST_ENTRY Entry = RemoveHeadList(&Ext->WriteQueue);
        PIRP Irp = CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(Irp, nullptr)) {
            InsertTailList(&Cancelled, Entry);
        } else {
            InitializeListHead(Entry);   // its cancel routine completes it
        }
    }
    if (Ext->TxAsync) {
        CancelCurrentBufferedWrite(Ext, Irql, Status);
    } else {
        CancelCurrentDirectWrite(Ext, Irql, Status);
    }

    while (!IsListEmpty(&Cancelled)) {
        PIRP Irp = CONTAINING_RECORD(RemoveHeadList(&Cancelled), IRP, Tail.Overlay.ListEntry);
        ReleaseOutQueue(Ext, WriteLength(Irp));
        if (Ext->TxAsync) {
            InterlockedExchangeAdd(&Ext->TxUnconfirmed, -(LONG)(WriteLength(Irp) - Irp->IoStatus.Information));
        }
        // A buffered write may already have its bytes in TxRing; it reports them.
        CompleteRequest(Irp, Status, Irp->IoStatus.Information, IO_SERIAL_INCREMENT);
    }
}
