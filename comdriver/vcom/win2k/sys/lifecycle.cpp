// The port's lifecycle outside PnP and power: the gate of reads and writes, cleanup when the
// application's last handle goes, flush, and stopping everything for removal.
#include "tarvelport.h"

namespace {

constexpr LONGLONG FLUSH_LIMIT = 30LL * 1000 * 10000;   // 30 s in 100-ns units
constexpr LONGLONG FLUSH_POLL_MS = 10;

} // namespace

NTSTATUS NTAPI PortReadWriteDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    if (PortGone(Ext)) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_READ) {
        return ReadDispatch(DeviceObject, Irp);
    }
    return WriteDispatch(DeviceObject, Irp);
}

NTSTATUS StopEngines(PDEVICE_OBJECT DeviceObject)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    StopReceive(Ext);
    StopStatusPolling(Ext);
    return STATUS_SUCCESS;
}

VOID AcquirePassiveLock(PKEVENT Lock)
{
    KeEnterCriticalRegion();
    KeWaitForSingleObject(Lock, Executive, KernelMode, FALSE, NULL);
}

VOID ReleasePassiveLock(PKEVENT Lock)
{
    KeSetEvent(Lock, IO_NO_INCREMENT, FALSE);
    KeLeaveCriticalRegion();
}

VOID AcquireOpenCloseLock(PPORT_EXTENSION Ext) { AcquirePassiveLock(&Ext->OpenCloseLock); }
VOID ReleaseOpenCloseLock(PPORT_EXTENSION Ext) { ReleasePassiveLock(&Ext->OpenCloseLock); }

VOID CompletePendingWait(PPORT_EXTENSION Ext, NTSTATUS Status)
{
    KIRQL EventIrql;
    KIRQL CancelIrql;
    KeAcquireSpinLock(&Ext->EventLock, &EventIrql);
    IoAcquireCancelSpinLock(&CancelIrql);
    PIRP Wait = Ext->PendingWaitIrp;
    if (Wait && !Wait->Cancel) {
        Ext->PendingWaitIrp = NULL;
        (VOID)IoSetCancelRoutine(Wait, NULL);
    } else {
        Wait = NULL;
    }
    IoReleaseCancelSpinLock(CancelIrql);
    KeReleaseSpinLock(&Ext->EventLock, EventIrql);

    if (Wait) {
        if (NT_SUCCESS(Status) &&
            IoGetCurrentIrpStackLocation(Wait)->Parameters.DeviceIoControl.OutputBufferLength >= sizeof(ULONG)) {
            *(PULONG)Wait->AssociatedIrp.SystemBuffer = 0;
        }
        CompleteRequest(Wait, Status, 0);
    }
}

VOID PausePort(PDEVICE_OBJECT DeviceObject)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    Ext->PortPaused = TRUE;
    StopEngines(DeviceObject);
    StopTransmit(Ext);
}

VOID RestartOpenPort(PDEVICE_OBJECT DeviceObject)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    Ext->PortPaused = FALSE;
    SendPortEnable(Ext, 1);
    SendModemControl(Ext);
    AcquireSettingsLock(Ext);
    SendLineSettings(DeviceObject);
    ReleaseSettingsLock(Ext);
    StartStatusPolling(Ext);
    StartReceive(Ext);
    Ext->TxStopped = FALSE;
    ResumeTransmit(Ext);   // writes held meanwhile, and what a stop cut off, go out now
}

VOID EndRequestsOfGoneDevice(PDEVICE_OBJECT DeviceObject)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    KIRQL Irql;
    KeAcquireSpinLock(&Ext->WriteLock, &Irql);
    Ext->TxStopped = TRUE;   // nothing is sent any more
    KeReleaseSpinLock(&Ext->WriteLock, Irql);
    CancelAllReads(Ext, STATUS_DELETE_PENDING);
    if (Ext->TxAsync) {
        DiscardTxBuffer(Ext);   // nothing of it will go out: the writes count only what did
    }
    CancelAllWrites(Ext, STATUS_DELETE_PENDING);
    CompletePendingWait(Ext, STATUS_DELETE_PENDING);
}

VOID TeardownPort(PDEVICE_OBJECT DeviceObject)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    StopEngines(DeviceObject);
    CancelAllReads(Ext, STATUS_CANCELLED);
    StopTransmit(Ext);
    CancelAllWrites(Ext, STATUS_CANCELLED);
    CompletePendingWait(Ext, STATUS_SUCCESS);
    RingFree(&Ext->RxRing);
    if (Ext->TxAsync) {
        InterlockedExchange(OutQueueBytes(Ext), 0);
        InterlockedExchange(&Ext->TxUnconfirmed, 0);
        Ext->TxStageHeld = 0;
    }
    RingFree(&Ext->TxRing);

    // No timer of the port may fire, and no DPC of it run, once the device is deleted: a timer left
    // armed with nothing to do (a read's total timeout after the read was cancelled, a kick retry)
    // is stopped here, and DPCs already running are waited for.
    StopTimer(&Ext->RxTimer, &Ext->RxTimerDpc);
    StopTimer(&Ext->StatusTimer, &Ext->StatusTimerDpc);
    StopTimer(&Ext->WriteTimer, &Ext->WriteTimerDpc);
    StopTimer(&Ext->ReadTotalTimer, &Ext->ReadTotalTimerDpc);
    StopTimer(&Ext->ReadIntervalTimer, &Ext->ReadIntervalTimerDpc);
    StopTimer(&Ext->KickTimer, &Ext->KickTimerDpc);
    KeFlushQueuedDpcs();
}

NTSTATUS NTAPI PortCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    // Not inside a pause or a restart: a stop that joined the pause's could wait for a parking that
    // the restart has already undone.
    AcquireOpenCloseLock(Ext);
    StopEngines(DeviceObject);
    CancelAllReads(Ext, STATUS_CANCELLED);
    StopTransmit(Ext);
    // What the buffered transmitter still holds is dropped before the writes are cancelled, so that a
    // write counts only the bytes of it that really went out.
    if (Ext->TxAsync) {
        DiscardTxBuffer(Ext);
    }
    CancelAllWrites(Ext, STATUS_CANCELLED);
    CompletePendingWait(Ext, STATUS_SUCCESS);
    ReleaseOpenCloseLock(Ext);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

// Waits, at most 30 seconds, until every byte accepted from writes has been confirmed sent by the pipe
// driver (also those already staged for a transfer on the wire); succeeds either way.
NTSTATUS NTAPI PortFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    LARGE_INTEGER Start;
    LARGE_INTEGER Now;
    KeQuerySystemTime(&Start);
    while (OutQueueAmount(Ext) > 0) {
        KeQuerySystemTime(&Now);
        LONGLONG Left = FLUSH_LIMIT - (Now.QuadPart - Start.QuadPart);
        if (Left <= 0) {
            break;
        }
        LARGE_INTEGER Due = RelativeMs(FLUSH_POLL_MS);
        if (-Due.QuadPart > Left) {
            Due.QuadPart = -Left;
        }
        // The direct transmitter signals TxIdleEvent when its last write has completed; otherwise
        // (the buffered transmitter, a stopped one) the count is looked at again every 10 ms.
        LARGE_INTEGER NoWait;
        NoWait.QuadPart = 0;
        if (!Ext->TxAsync &&
            KeWaitForSingleObject(&Ext->TxIdleEvent, Executive, KernelMode, FALSE, &NoWait) == STATUS_TIMEOUT) {
            KeWaitForSingleObject(&Ext->TxIdleEvent, Executive, KernelMode, FALSE, &Due);
        } else {
            KTIMER Timer;
            KeInitializeTimer(&Timer);
            KeSetTimer(&Timer, Due, NULL);
            KeWaitForSingleObject(&Timer, Executive, KernelMode, FALSE, NULL);
        }
    }
    return CompleteRequest(Irp, STATUS_SUCCESS, 0, IO_SERIAL_INCREMENT);
}
