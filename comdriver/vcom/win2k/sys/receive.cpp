// Receive engine: keeps one bulk-in read outstanding on RxPipe while the port is open, moves what
// arrives into RxRing, raises the receive events and hands the data to the current read.
//
// Flow control: once the ring's free space falls to RingLowRoom the engine stops putting and
// reading; the bytes of the last bulk-in read that did not fit stay in RxBuffer (RxPending) and
// RxTimer moves them in as the readers make room. A new bulk-in read is issued only when RxPending
// is 0, so the driver itself never drops a received byte.
//
// Running means exactly one of: a bulk-in read outstanding, RxTimer armed, or the completion
// routine or the DPC executing. Completion routine and DPC therefore never overlap.
#include "tarvelport.h"

static IO_COMPLETION_ROUTINE ReceiveComplete;

constexpr LONGLONG RX_EMPTY_READ_PAUSE_MS = 10;   // after a read that brought nothing
constexpr LONGLONG RX_HELD_DATA_PAUSE_MS = 5;     // data held back, no poll period
constexpr LONGLONG RX_PAUSED_RECHECK_MS = 10;     // while paused by flow control
constexpr ULONG RX80FULL_PERCENT = 80;
constexpr LONG RX_STOP_REABORT_MS = 1000;
// Lack of memory (for the read, or for the pipe driver's transfer) is passing: the engine pauses and
// reads again instead of parking, which would leave the open port deaf until it is opened again.
constexpr LONGLONG RX_NO_RESOURCES_PAUSE_MS = 10;

static void ArmRxTimer(PPORT_EXTENSION Ext, LONGLONG Ms)
{
    LARGE_INTEGER Due = RelativeMs(Ms > 0 ? Ms : 0);
    KeSetTimer(&Ext->RxTimer, Due, &Ext->RxTimerDpc);
}

static ULONG RingFillPercent(PPORT_EXTENSION Ext)
{
    ULONG64 Size = Ext->RxRing.Size;
    return Size ? (ULONG)(RingCount(&Ext->RxRing) * 100 / Size) : 0;
}

static BOOLEAN ContainsByte(const UCHAR* Bytes, SIZE_T Length, UCHAR Value)
{
    for (SIZE_T i = 0; i < Length; i++) {
        if (Bytes[i] == Value) {
            return TRUE;
        }
    }
    return FALSE;
}

// Reception resumes once the readers (or a purge, or a larger ring) have brought the ring down to
// RingHighLimit. The readers set RxEnabled themselves; this catches the other ways of draining and a
// reader's set that lost a race with the engine's clear.
static void ResumeIfDrained(PPORT_EXTENSION Ext)
{
    if (!Ext->RxEnabled && RingCount(&Ext->RxRing) <= RingHighLimit(Ext)) {
        Ext->RxEnabled = TRUE;
    }
}

// Puts the held bytes (the last RxPending bytes of the last read's data) into the ring while
// reception is enabled. Returns the bytes taken; adds SERIAL_EV_RXFLAG to Events when the event
// character is among them.
static SIZE_T PutHeldBytes(PPORT_EXTENSION Ext, PULONG Events)
{
    if (Ext->RxPending == 0 || !Ext->RxEnabled) {
        return 0;
    }
    const UCHAR* From = Ext->RxBuffer + (Ext->RxLastLength - Ext->RxPending);
    SIZE_T Taken = RingPut(&Ext->RxRing, From, (SIZE_T)Ext->RxPending);
    Ext->RxPending = Ext->RxPending - Taken;
    if (Ext->RxRing.Size - RingCount(&Ext->RxRing) <= RingLowRoom(Ext)) {
        Ext->RxEnabled = FALSE;
    }
    // The event character is read as it stands: a change of it racing reception applies from either byte.
    if (Taken && ContainsByte(From, Taken, ReadUCharNoFence(&Ext->Chars.EventChar))) {
        *Events |= SERIAL_EV_RXFLAG;
    }
    return Taken;
}

static NTSTATUS IssueReceiveRead(PPORT_EXTENSION Ext)
{
    if (Ext->RxStopped) {
        KeSetEvent(&Ext->RxIdleEvent, IO_NO_INCREMENT, FALSE);
        return STATUS_CANCELLED;
    }
    if (PortGone(Ext)) {
        KeSetEvent(&Ext->RxIdleEvent, IO_NO_INCREMENT, FALSE);
        return STATUS_DELETE_PENDING;
    }
    PIRP Irp = BuildPipeRead(Ext, Ext->RxBuffer, Ext->RxReqSize, &Ext->RxPipe, ReceiveComplete);
    if (!Irp) {
        ArmRxTimer(Ext, RX_NO_RESOURCES_PAUSE_MS);
        return STATUS_SUCCESS;   // running: the timer reads again
    }
    return IoCallDriver(Ext->LowerDevice, Irp);
}

NTSTATUS StartReceive(PPORT_EXTENSION Ext)
{
    // Read dispatch, open, power-up and the settings requests may start the engine while another
    // thread stops it; the state changes hands under the cancel spin lock. A stop in progress is
    // never undone by a start: its caller starts the engine again when it wants it running.
    KIRQL Irql;
    IoAcquireCancelSpinLock(&Irql);
    if (Ext->RxStopped != RX_STOPPED) {
        IoReleaseCancelSpinLock(Irql);
        return STATUS_SUCCESS;   // running (or parked), or being stopped
    }
    if (!Ext->RxBuffer) {
        IoReleaseCancelSpinLock(Irql);
        return STATUS_UNSUCCESSFUL;
    }
    if (Ext->DevicePowerState == PortPowerDown || Ext->PortPaused) {
        IoReleaseCancelSpinLock(Irql);
        return STATUS_POWER_STATE_INVALID;
    }
    KeClearEvent(&Ext->RxIdleEvent);
    Ext->RxStopped = RX_RUNNING;
    IoReleaseCancelSpinLock(Irql);

    // Bytes held back when the engine stopped go into the ring before anything is read again.
    if (Ext->RxPending != 0 && Ext->RxPending <= Ext->RxLastLength && Ext->RxLastLength <= Ext->RxReqSize) {
        ArmRxTimer(Ext, 0);
        return STATUS_SUCCESS;
    }
    Ext->RxPending = 0;
    return IssueReceiveRead(Ext);
}

NTSTATUS StopReceive(PPORT_EXTENSION Ext)
{
    KIRQL Irql;
    IoAcquireCancelSpinLock(&Irql);
    UCHAR Was = Ext->RxStopped;
    if (Was == RX_RUNNING) {
        Ext->RxStopped = RX_STOPPING;
    }
    IoReleaseCancelSpinLock(Irql);
    if (Was == RX_STOPPED) {
        return STATUS_SUCCESS;
    }
    // A second stop while one is in progress waits for the same parking.
    if (Was == RX_RUNNING) {
        SendPipeControl(Ext, &Ext->RxPipe, IOCTL_PIPE_ABORT_PIPE);
    }

    // A read that the engine issued just before it saw the stop flag escapes the abort and would wait
    // for data that may never come; such a read is aborted again until the engine has parked.
    NTSTATUS Status;
    for (;;) {
        LARGE_INTEGER Timeout = RelativeMs(RX_STOP_REABORT_MS);
        Status = KeWaitForSingleObject(&Ext->RxIdleEvent, Executive, KernelMode, FALSE, &Timeout);
        if (Status != STATUS_TIMEOUT) {
            break;
        }
        SendPipeControl(Ext, &Ext->RxPipe, IOCTL_PIPE_ABORT_PIPE);
    }
    if (Was == RX_RUNNING) {
        SendPipeControl(Ext, &Ext->RxPipe, IOCTL_PIPE_RESET_PIPE);
        Ext->RxStopped = RX_STOPPED;
    }
    return Status;
}

// Takes the data of a finished bulk-in read: events, ring, current read, pending wait.
static void DeliverReceived(PPORT_EXTENSION Ext, ULONG64 Length)
{
    ULONG Events = SERIAL_EV_RXCHAR;
    if (RingFillPercent(Ext) >= RX80FULL_PERCENT) {
        Events |= SERIAL_EV_RX80FULL;
    }
    Ext->RxLastLength = Length;
    Ext->RxPending = Length;
    PutHeldBytes(Ext, &Events);
    RaiseEvents(Ext->Self, Events);
    FillCurrentRead(Ext);
    CompleteWait(Ext->Self);
}

static NTSTATUS ReceiveComplete(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    PPORT_EXTENSION Ext = (PPORT_EXTENSION)Context;
    NTSTATUS Status = Irp->IoStatus.Status;
    ULONG64 Length = Irp->IoStatus.Information;
    if (Length > Ext->RxReqSize) {
        Length = Ext->RxReqSize;   // never more than the buffer holds
    }
    Ext->PerfStats.ReceivedCount += (ULONG)Length;
    FreePortIrp(Irp);

    // Bytes that arrived are kept even when the read failed or was aborted by a stop: they came
    // from the device and the next StartReceive moves whatever did not fit into the ring.
    if (Length > 0) {
        DeliverReceived(Ext, Length);
    }

    if (Status == STATUS_INSUFFICIENT_RESOURCES && !Ext->RxStopped) {
        ArmRxTimer(Ext, RX_NO_RESOURCES_PAUSE_MS);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if ((!NT_SUCCESS(Status) && Status != STATUS_CANCELLED) || Ext->RxStopped) {
        KeSetEvent(&Ext->RxIdleEvent, IO_NO_INCREMENT, FALSE);   // parked or stopped
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (Length == 0) {
        ArmRxTimer(Ext, Ext->RxPollPeriod != 0 ? RX_EMPTY_READ_PAUSE_MS : 0);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (Ext->RxPollPeriod != 0) {
        ArmRxTimer(Ext, Ext->RxPollPeriod);
    } else if (Ext->RxPending != 0 || !Ext->RxEnabled) {
        ArmRxTimer(Ext, RX_HELD_DATA_PAUSE_MS);
    } else {
        IssueReceiveRead(Ext);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID RxTimerRoutine(PKDPC, PVOID DeferredContext, PVOID, PVOID)
{
    PPORT_EXTENSION Ext = PortExtension((PDEVICE_OBJECT)DeferredContext);
    if (Ext->RxStopped || PortGone(Ext)) {
        KeSetEvent(&Ext->RxIdleEvent, IO_NO_INCREMENT, FALSE);
        return;
    }

    ResumeIfDrained(Ext);
    ULONG Events = 0;
    if (PutHeldBytes(Ext, &Events) > 0) {
        Events |= SERIAL_EV_RXCHAR;
        if (RingFillPercent(Ext) >= RX80FULL_PERCENT) {
            Events |= SERIAL_EV_RX80FULL;
        }
        RaiseEvents(Ext->Self, Events);
    }
    FillCurrentRead(Ext);
    CompleteWait(Ext->Self);

    if (Ext->RxPending == 0 && Ext->RxEnabled) {
        IssueReceiveRead(Ext);
    } else {
        ArmRxTimer(Ext, RX_PAUSED_RECHECK_MS);
    }
}
