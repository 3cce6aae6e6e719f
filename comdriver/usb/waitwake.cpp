// Wait-wake: while the configuration announces remote wake-up, a wait-wake request is kept armed
// so that the device can wake the system and be brought back to D0. Exactly one party owns the
// request at any time (WaitWakeIrp, by interlocked exchange); of a disarm and the completion
// routine, whoever claims a cancelled request second completes it.
#include "tarvelpipe.h"

static VOID SetWaitWakeIdleIfDone(PPIPE_EXTENSION Extension) {
    if (InterlockedCompareExchange((LONG volatile*)&Extension->WaitWakeRequested, 0, 0) == 0) {
        KeSetEvent(&Extension->WaitWakeIdleEvent, IO_NO_INCREMENT, FALSE);
    }
}

static VOID NTAPI WakeD0Done(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState, PVOID Context,
                       PIO_STATUS_BLOCK IoStatus) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);
    PPIPE_EXTENSION ext = (PPIPE_EXTENSION)Context;
    InterlockedDecrement(&ext->PowerWaiters);
    DecrementIo(ext->FunctionalDevice);
}

// The power manager reports the end of the wait-wake request it issued for ArmWaitWake.
static VOID NTAPI WaitWakeCallback(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                             PVOID Context, PIO_STATUS_BLOCK IoStatus) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    PPIPE_EXTENSION ext = (PPIPE_EXTENSION)Context;
    InterlockedExchange((LONG volatile*)&ext->WaitWakeRequested, 0);

    if (NT_SUCCESS(IoStatus->Status) && ext->DevicePowerState != PowerDeviceD0 && !ext->Removed) {
        // Given back by WakeD0Done. The reference is a power waiter's: the D0 request may wait behind a
        // power-down of this device (the power manager sends it only once the driver started the next
        // request), and that power-down's drain must not wait for it.
        IncrementIo(ext->FunctionalDevice);
        InterlockedIncrement(&ext->PowerWaiters);
        POWER_STATE state;
        state.DeviceState = PowerDeviceD0;
        NTSTATUS status = PoRequestPowerIrp(ext->PhysicalDevice, IRP_MN_SET_POWER, state, WakeD0Done, ext, NULL);
        if (!NT_SUCCESS(status)) {
            InterlockedDecrement(&ext->PowerWaiters);
            DecrementIo(ext->FunctionalDevice);
        }
        if (ext->RemoteWakeupCapable) {
            ArmWaitWake(ext);
        }
    }
    SetWaitWakeIdleIfDone(ext);
}

NTSTATUS ArmWaitWake(PPIPE_EXTENSION Extension) {
    // A device that is stopping or going away gets no new wait-wake request: stop and removal
    // disarm and then wait for the last one to finish.
    if (!Extension->Started || Extension->Removed || Extension->StopPending) {
        return STATUS_DELETE_PENDING;
    }
    if (InterlockedExchange((LONG volatile*)&Extension->WaitWakeRequested, 1) == 1) {
        return STATUS_DEVICE_BUSY;
    }
    KeClearEvent(&Extension->WaitWakeIdleEvent);
    InterlockedExchange((LONG volatile*)&Extension->WaitWakeCompletionClaim, 0);
    InterlockedExchange((LONG volatile*)&Extension->WaitWakeDisarmed, 0);
    POWER_STATE state;
    state.SystemState = Extension->Capabilities.SystemWake;
    NTSTATUS status = PoRequestPowerIrp(Extension->PhysicalDevice, IRP_MN_WAIT_WAKE, state, WaitWakeCallback,
                                        Extension, NULL);
    if (!NT_SUCCESS(status)) {
        InterlockedExchange((LONG volatile*)&Extension->WaitWakeRequested, 0);
        KeSetEvent(&Extension->WaitWakeIdleEvent, IO_NO_INCREMENT, FALSE);
    }
    return status;
}

VOID DisarmWaitWake(PPIPE_EXTENSION Extension) {
    InterlockedExchange((LONG volatile*)&Extension->WaitWakeDisarmed, 1);
    PIRP irp = (PIRP)InterlockedExchangePointer((PVOID volatile*)&Extension->WaitWakeIrp, NULL);
    if (irp == NULL) {
        return;
    }
    IoCancelIrp(irp);
    if (InterlockedExchange((LONG volatile*)&Extension->WaitWakeCompletionClaim, 1) != 0) {
        // The completion routine ran first and left the request to this side.
        PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

static NTSTATUS NTAPI WaitWakeComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PPIPE_EXTENSION ext = (PPIPE_EXTENSION)Context;
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    if (InterlockedCompareExchangePointer((PVOID volatile*)&ext->WaitWakeIrp, NULL, Irp) == Irp) {
        PoStartNextPowerIrp(Irp);
        return Irp->IoStatus.Status;
    }
    // A disarm has taken the request and is cancelling it.
    if (InterlockedExchange((LONG volatile*)&ext->WaitWakeCompletionClaim, 1) == 0) {
        return STATUS_MORE_PROCESSING_REQUIRED; // the disarm completes it
    }
    PoStartNextPowerIrp(Irp);
    return Irp->IoStatus.Status;
}

NTSTATUS WaitWakeDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    InterlockedExchangePointer((PVOID volatile*)&ext->WaitWakeIrp, Irp);
    if (InterlockedExchange((LONG volatile*)&ext->WaitWakeDisarmed, 1) != 0 &&
        InterlockedCompareExchangePointer((PVOID volatile*)&ext->WaitWakeIrp, NULL, Irp) == Irp) {
        // Disarmed before the request arrived: it does not go down.
        PoStartNextPowerIrp(Irp);
        Irp->IoStatus.Status = STATUS_CANCELLED;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        DecrementIo(DeviceObject);
        return STATUS_CANCELLED;
    }
    IoMarkIrpPending(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, WaitWakeComplete, ext, TRUE, TRUE, TRUE);
    PoStartNextPowerIrp(Irp);
    PoCallDriver(ext->LowerDevice, Irp);
    DecrementIo(DeviceObject);
    return STATUS_PENDING;
}
