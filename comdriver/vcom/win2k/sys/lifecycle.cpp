// The port's lifecycle outside PnP and power: the gate of reads and writes, cleanup when the
// application's last handle goes, flush, and stopping everything for removal.
#include "tarvelport.h"

namespace {

constexpr LONGLONG FLUSH_LIMIT = 30LL * 1000 * 10000;   // 30 s in 100-ns units
constexpr LONGLONG FLUSH_POLL_MS = 10;

} // namespace

NTSTATUS PortReadWriteDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
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

VOID CompletePendingWait(PPORT_EXTENSION Ext)
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
        if (IoGetCurrentIrpStackLocation(Wait)->Parameters.DeviceIoControl.OutputBufferLength >= sizeof(ULONG)) {
            *(PULONG)Wait->AssociatedIrp.SystemBuffer = 0;
        }
        CompleteRequest(Wait, STATUS_SUCCESS, 0);
    }
}

VOID TeardownPort(PDEVICE_OBJECT DeviceObject)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    StopEngines(DeviceObject);
    CancelAllReads(Ext);
    StopTransmit(Ext);
    CancelAllWrites(Ext);
    CompletePendingWait(Ext);
    RingFree(&Ext->RxRing);
    if (Ext->TxAsync) {
        InterlockedExchange(OutQueueBytes(Ext), 0);
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

NTSTATUS PortCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    StopEngines(DeviceObject);
    CancelAllReads(Ext);
    StopTransmit(Ext);
    CancelAllWrites(Ext);
    RingFlush(&Ext->TxRing);
    CompletePendingWait(Ext);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

// Waits, at most 30 seconds, until written data has left the driver; succeeds either way.
NTSTATUS PortFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    if (Ext->TxAsync) {
        LARGE_INTEGER Start;
        LARGE_INTEGER Now;
        KeQuerySystemTime(&Start);
        while (*(volatile ULONG64*)&Ext->TxRing.Count > 0) {
            KeQuerySystemTime(&Now);
            if (Now.QuadPart - Start.QuadPart > FLUSH_LIMIT) {
                break;
            }
            KTIMER Timer;
            KeInitializeTimer(&Timer);
            LARGE_INTEGER Due = RelativeMs(FLUSH_POLL_MS);
            KeSetTimer(&Timer, Due, NULL);
            KeWaitForSingleObject(&Timer, Executive, KernelMode, FALSE, NULL);
        }
    } else {
        LARGE_INTEGER Timeout;
        Timeout.QuadPart = -FLUSH_LIMIT;
        KeWaitForSingleObject(&Ext->TxIdleEvent, Executive, KernelMode, FALSE, &Timeout);
    }
    return CompleteRequest(Irp, STATUS_SUCCESS, 0, IO_SERIAL_INCREMENT);
}
