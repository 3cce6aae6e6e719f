// The outstanding-I/O count: every request inside the driver holds one reference, the device one
// more of its own. Query-remove and power-down wait for the count to fall to 1, removal to 0.
#include "tarvelpipe.h"

VOID IncrementIo(PDEVICE_OBJECT DeviceObject) {
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    KIRQL irql;
    KeAcquireSpinLock(&ext->IoCountLock, &irql);
    LONG count = InterlockedIncrement(&ext->OutstandingIo);
    if (count == 2) {
        KeClearEvent(&ext->StopEvent);
    }
    KeReleaseSpinLock(&ext->IoCountLock, irql);
}

LONG DecrementIo(PDEVICE_OBJECT DeviceObject) {
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    KIRQL irql;
    KeAcquireSpinLock(&ext->IoCountLock, &irql);
    LONG count = InterlockedDecrement(&ext->OutstandingIo);
    KeSetEvent(&ext->IoCountDropped, IO_NO_INCREMENT, FALSE);
    if (count == 1) {
        KeSetEvent(&ext->StopEvent, IO_NO_INCREMENT, FALSE);
    }
    if (count == 0) {
        KeSetEvent(&ext->RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&ext->IoCountLock, irql);
    return count;
}

// Read without StateLock on purpose (marked accesses): the caller already holds its I/O reference, so a
// request that passes just before a stop or removal sets a flag is one that the drain waits for.
BOOLEAN CanAcceptIo(PDEVICE_OBJECT DeviceObject) {
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    return ReadBooleanNoFence(&ext->Started) && !ReadBooleanNoFence(&ext->Removed) &&
           !ReadBooleanNoFence(&ext->RemovePending) && !ReadBooleanNoFence(&ext->StopPending);
}

// Waits at PASSIVE_LEVEL until no request is left inside the driver but the device's own reference,
// the caller's ReferencesHeld and, with ExceptPowerWaiters, those of initiators waiting for a device
// power request (a power-down must not wait for whoever asked for it). Meanwhile it ends what waits
// at the bus: every pipe is aborted and every control transfer on the default pipe cancelled, again
// at each retry for requests that passed their state check just before the drain began. LimitMs 0
// waits as long as it takes; otherwise the result is FALSE when requests are still inside after it.
BOOLEAN DrainTransfers(PDEVICE_OBJECT DeviceObject, LONG ReferencesHeld, BOOLEAN ExceptPowerWaiters, ULONG LimitMs) {
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    LARGE_INTEGER retry;
    retry.QuadPart = -(LONGLONG)PIPE_DRAIN_RETRY_MS * 10000;
    ULONGLONG start = KeQueryInterruptTime();
    for (;;) {
        AbortAllPipes(DeviceObject);
        CancelControlTransfers(DeviceObject);
        NTSTATUS wait;
        do {
            LONG allowed = 1 + ReferencesHeld + (ExceptPowerWaiters ? ext->PowerWaiters : 0);
            if (ext->OutstandingIo <= allowed) {
                return TRUE;
            }
            wait = KeWaitForSingleObject(&ext->IoCountDropped, Executive, KernelMode, FALSE, &retry);
        } while (wait != STATUS_TIMEOUT);
        if (LimitMs != 0 && KeQueryInterruptTime() - start >= (ULONGLONG)LimitMs * 10000) {
            return FALSE;
        }
    }
}
