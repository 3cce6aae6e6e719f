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
    if (count == 1) {
        KeSetEvent(&ext->StopEvent, IO_NO_INCREMENT, FALSE);
    }
    if (count == 0) {
        KeSetEvent(&ext->RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&ext->IoCountLock, irql);
    return count;
}

BOOLEAN CanAcceptIo(PDEVICE_OBJECT DeviceObject) {
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    return ext->Started && !ext->Removed && !ext->RemovePending && !ext->StopPending;
}

// Waits at PASSIVE_LEVEL until only the device's own reference is left, aborting every pipe so
// that transfers waiting at the bus complete. The caller holds ReferencesHeld references, which
// are given back for the wait and taken again afterwards.
VOID DrainTransfers(PDEVICE_OBJECT DeviceObject, LONG ReferencesHeld) {
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    for (LONG i = 0; i < ReferencesHeld; i++) {
        DecrementIo(DeviceObject);
    }
    LARGE_INTEGER retry;
    retry.QuadPart = -(LONGLONG)PIPE_DRAIN_RETRY_MS * 10000;
    for (;;) {
        AbortAllPipes(DeviceObject);
        NTSTATUS status = KeWaitForSingleObject(&ext->StopEvent, Executive, KernelMode, FALSE, &retry);
        if (status != STATUS_TIMEOUT) {
            break;
        }
    }
    for (LONG i = 0; i < ReferencesHeld; i++) {
        IncrementIo(DeviceObject);
    }
}
