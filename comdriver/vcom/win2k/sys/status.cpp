// Modem and line status polling: while the port is open and the device has its status pipe, one
// 1-byte read at a time on StatusPipe, CtlPollPeriod ms apart, keeps ModemStatus current and raises
// the modem events of the lines that changed. Without a status pipe the lines read as CTS, DSR and
// DCD on, and polling never runs.
//
// Running means exactly one of: a status read outstanding, StatusTimer armed, or the completion
// routine or the DPC executing.
#include "tarvelport.h"

static IO_COMPLETION_ROUTINE StatusComplete;

constexpr UCHAR STATUS_BYTE_CTS = 0x01;
constexpr UCHAR STATUS_BYTE_DSR = 0x02;
constexpr UCHAR STATUS_BYTE_DCD = 0x04;
constexpr UCHAR STATUS_BYTE_RI = 0x08;
constexpr UCHAR STATUS_BYTE_NO_PIPE = STATUS_BYTE_CTS | STATUS_BYTE_DSR | STATUS_BYTE_DCD;
constexpr LONG STATUS_STOP_REABORT_MS = 1000;
// Lack of memory (for the read, or for the pipe driver's transfer) is passing: polling pauses and
// reads again instead of parking, which would leave the modem lines unwatched until the next open.
constexpr LONG STATUS_NO_RESOURCES_PAUSE_MS = 10;

ULONG ModemStatusFromStatusByte(UCHAR StatusByte)
{
    ULONG Status = 0;
    if (StatusByte & STATUS_BYTE_CTS) {
        Status |= MODEM_STATUS_CTS;
    }
    if (StatusByte & STATUS_BYTE_DSR) {
        Status |= MODEM_STATUS_DSR;
    }
    if (StatusByte & STATUS_BYTE_DCD) {
        Status |= MODEM_STATUS_DCD;
    }
    if (StatusByte & STATUS_BYTE_RI) {
        Status |= MODEM_STATUS_RI;
    }
    return Status;
}

ULONG ModemStatusEvents(ULONG OldStatus, ULONG NewStatus)
{
    ULONG Changed = OldStatus ^ NewStatus;
    ULONG Events = 0;
    if (Changed & MODEM_STATUS_CTS) {
        Events |= SERIAL_EV_CTS;
    }
    if (Changed & MODEM_STATUS_DSR) {
        Events |= SERIAL_EV_DSR;
    }
    if (Changed & MODEM_STATUS_DCD) {
        Events |= SERIAL_EV_RLSD;
    }
    if (Changed & MODEM_STATUS_RI) {
        Events |= SERIAL_EV_RING;
    }
    return Events;
}

NTSTATUS ReadInitialStatus(PPORT_EXTENSION Ext)
{
    if (!HasStatusPipe(Ext)) {
        Ext->StatusByte = STATUS_BYTE_NO_PIPE;
        Ext->ModemStatus = ModemStatusFromStatusByte(STATUS_BYTE_NO_PIPE);
        return STATUS_SUCCESS;
    }
    NTSTATUS Status = ReadPipeOnce(Ext, &Ext->StatusByte);
    if (NT_SUCCESS(Status)) {
        Ext->ModemStatus = ModemStatusFromStatusByte(Ext->StatusByte);
    }
    return Status;
}

static VOID PauseStatusPolling(PPORT_EXTENSION Ext)
{
    KeSetTimer(&Ext->StatusTimer, RelativeMs(STATUS_NO_RESOURCES_PAUSE_MS), &Ext->StatusTimerDpc);
}

static NTSTATUS StartStatusRead(PPORT_EXTENSION Ext)
{
    PIRP Irp = BuildPipeRead(Ext, &Ext->StatusByte, 1, &Ext->StatusPipe, StatusComplete);
    if (!Irp) {
        PauseStatusPolling(Ext);
        return STATUS_SUCCESS;   // running: the timer reads again
    }
    return IoCallDriver(Ext->LowerDevice, Irp);
}

static NTSTATUS IssueStatusRead(PPORT_EXTENSION Ext)
{
    if (!HasStatusPipe(Ext)) {
        return STATUS_SUCCESS;
    }
    if (Ext->StatusStopped) {
        KeSetEvent(&Ext->StatusIdleEvent, IO_NO_INCREMENT, FALSE);
        return STATUS_CANCELLED;
    }
    if (PortGone(Ext)) {
        KeSetEvent(&Ext->StatusIdleEvent, IO_NO_INCREMENT, FALSE);
        return STATUS_DELETE_PENDING;
    }
    if (Ext->CtlPollPeriod == 0) {
        return StartStatusRead(Ext);
    }
    KeSetTimer(&Ext->StatusTimer, RelativeMs(Ext->CtlPollPeriod), &Ext->StatusTimerDpc);
    return STATUS_SUCCESS;
}

NTSTATUS StartStatusPolling(PPORT_EXTENSION Ext)
{
    if (!Ext->StatusStopped) {
        return STATUS_SUCCESS;
    }
    if (Ext->DevicePowerState == PortPowerDown || Ext->PortPaused) {
        return STATUS_POWER_STATE_INVALID;
    }
    if (!HasStatusPipe(Ext)) {
        // Nothing to poll: polling stays stopped and idle, so that no stop touches the pipe.
        KeSetEvent(&Ext->StatusIdleEvent, IO_NO_INCREMENT, FALSE);
        return STATUS_SUCCESS;
    }
    KeClearEvent(&Ext->StatusIdleEvent);
    Ext->StatusStopped = FALSE;
    return IssueStatusRead(Ext);
}

VOID StopStatusPolling(PPORT_EXTENSION Ext)
{
    if (!HasStatusPipe(Ext) || Ext->StatusStopped) {
        return;
    }
    Ext->StatusStopped = TRUE;
    SendPipeControl(Ext, &Ext->StatusPipe, IOCTL_PIPE_ABORT_PIPE);
    // A read issued just before polling saw the stop flag escapes the abort and would wait for a
    // line change that may never come; it is aborted again until polling has parked.
    for (;;) {
        LARGE_INTEGER Timeout = RelativeMs(STATUS_STOP_REABORT_MS);
        if (KeWaitForSingleObject(&Ext->StatusIdleEvent, Executive, KernelMode, FALSE, &Timeout) != STATUS_TIMEOUT) {
            break;
        }
        SendPipeControl(Ext, &Ext->StatusPipe, IOCTL_PIPE_ABORT_PIPE);
    }
    SendPipeControl(Ext, &Ext->StatusPipe, IOCTL_PIPE_RESET_PIPE);
}

VOID StatusTimerRoutine(PKDPC, PVOID DeferredContext, PVOID, PVOID)
{
    PPORT_EXTENSION Ext = PortExtension((PDEVICE_OBJECT)DeferredContext);
    if (Ext->StatusStopped || PortGone(Ext)) {
        KeSetEvent(&Ext->StatusIdleEvent, IO_NO_INCREMENT, FALSE);
        return;
    }
    StartStatusRead(Ext);
}

static NTSTATUS StatusComplete(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    PPORT_EXTENSION Ext = (PPORT_EXTENSION)Context;
    NTSTATUS Status = Irp->IoStatus.Status;
    ULONG_PTR Length = Irp->IoStatus.Information;
    FreePortIrp(Irp);

    if (Status == STATUS_INSUFFICIENT_RESOURCES && !Ext->StatusStopped) {
        PauseStatusPolling(Ext);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (!NT_SUCCESS(Status) && Status != STATUS_CANCELLED) {
        KeSetEvent(&Ext->StatusIdleEvent, IO_NO_INCREMENT, FALSE);   // parked
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (Length > 0) {
        ULONG NewStatus = ModemStatusFromStatusByte(Ext->StatusByte);
        ULONG Events = ModemStatusEvents(Ext->ModemStatus, NewStatus);
        Ext->ModemStatus = NewStatus;
        if (Events) {
            RaiseEvents(Ext->Self, Events);
        }
        CompleteWait(Ext->Self);
    }
    IssueStatusRead(Ext);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
