// Power: this driver is the power policy owner of the device. System requests become device
// requests by the device's capabilities; a device power-down first drains every transfer on a
// worker thread; transfers are refused while the device is not in D0.
#include "tarvelpipe.h"

// Device request that lowers the power, handed to PowerDownWorker.
typedef struct _POWER_DOWN_CONTEXT {
    PDEVICE_OBJECT DeviceObject;
    PIRP Irp;
    PIO_WORKITEM WorkItem;
} POWER_DOWN_CONTEXT, *PPOWER_DOWN_CONTEXT;

// A client waiting in IOCTL_PIPE_SUSPEND_DEVICE or IOCTL_PIPE_RESUME_DEVICE.
typedef struct _POWER_WAIT_CONTEXT {
    PKEVENT Event;
    PNTSTATUS Outcome;  // the waiting caller's: the set-power request's final status
} POWER_WAIT_CONTEXT, *PPOWER_WAIT_CONTEXT;

static NTSTATUS NTAPI CapabilitiesDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

PAGEDCODE NTSTATUS QueryPhysicalCapabilities(PDEVICE_OBJECT PhysicalDevice, PDEVICE_CAPABILITIES Capabilities) {
    PAGED_CODE();
    PIRP irp = IoAllocateIrp(PhysicalDevice->StackSize, FALSE);
    if (irp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // A capabilities query carries a record that says its size and version, and a PnP request
    // starts out as not supported until a driver answers it.
    RtlZeroMemory(Capabilities, sizeof(DEVICE_CAPABILITIES));
    Capabilities->Size = sizeof(DEVICE_CAPABILITIES);
    Capabilities->Version = 1;
    Capabilities->Address = (ULONG)-1;
    Capabilities->UINumber = (ULONG)-1;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;

    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    stack->Parameters.DeviceCapabilities.Capabilities = Capabilities;

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, CapabilitiesDone, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(PhysicalDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = irp->IoStatus.Status;
    }
    IoFreeIrp(irp);
    return status;
}

// ---------------------------------------------------------------------------------------------
// Device requests
// ---------------------------------------------------------------------------------------------

static NTSTATUS NTAPI PlainDeviceComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PPIPE_EXTENSION ext = (PPIPE_EXTENSION)Context;
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (NT_SUCCESS(Irp->IoStatus.Status) && stack->MinorFunction == IRP_MN_SET_POWER) {
        ext->DevicePowerState = stack->Parameters.Power.State.DeviceState;
        PoSetPowerState(ext->FunctionalDevice, DevicePowerState, stack->Parameters.Power.State);
    } else if (!NT_SUCCESS(Irp->IoStatus.Status) && ext->DevicePowerState == PowerDeviceD0) {
        // A power-down (set or query) that the drivers below refused: the device stays in D0, so
        // the transfers refused since the drain began flow again.
        KIRQL irql;
        KeAcquireSpinLock(&ext->StateLock, &irql);
        if (ext->IoState == PIPE_IO_NOT_READY && ext->Started) {
            ext->IoState = PIPE_IO_READY;
        }
        KeReleaseSpinLock(&ext->StateLock, irql);
    }
    PoStartNextPowerIrp(Irp);
    DecrementIo(ext->FunctionalDevice);
    return Irp->IoStatus.Status;
}

static NTSTATUS NTAPI PowerUpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PPIPE_EXTENSION ext = (PPIPE_EXTENSION)Context;
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    if (!NT_SUCCESS(Irp->IoStatus.Status)) {
        PoStartNextPowerIrp(Irp);
        DecrementIo(ext->FunctionalDevice);
        return Irp->IoStatus.Status;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
    ext->DevicePowerState = state;
    PoSetPowerState(ext->FunctionalDevice, DevicePowerState, stack->Parameters.Power.State);
    if (state == PowerDeviceD0) {
        KIRQL irql;
        KeAcquireSpinLock(&ext->StateLock, &irql);
        ext->IoState = PIPE_IO_READY;
        KeReleaseSpinLock(&ext->StateLock, irql);
    }
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    DecrementIo(ext->FunctionalDevice);
    return STATUS_SUCCESS;
}

static VOID SendDevicePowerDown(PPIPE_EXTENSION Extension, PIRP Irp, PIO_COMPLETION_ROUTINE Routine) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, Routine, Extension, TRUE, TRUE, TRUE);
    PoCallDriver(Extension->LowerDevice, Irp);
}

// Drains every transfer at PASSIVE_LEVEL, then lets the device request go down.
static VOID NTAPI PowerDownWorker(PDEVICE_OBJECT DeviceObject, PVOID ContextArg) {
    PPOWER_DOWN_CONTEXT context = (PPOWER_DOWN_CONTEXT)ContextArg;
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    // The request's own reference is held here; those of initiators waiting for device power
    // requests (its own initiator, when this driver asked for it, among them) are not waited for.
    DrainTransfers(DeviceObject, 1, TRUE, 0);
    SendDevicePowerDown(ext, context->Irp, PlainDeviceComplete);
    IoFreeWorkItem(context->WorkItem);
    PipeFree(context);
}

// The power-down proper runs on a worker: aborting the pipes and waiting need PASSIVE_LEVEL.
// Transfers are refused from the moment it is sure to happen.
static NTSTATUS BeginPowerDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    PPOWER_DOWN_CONTEXT context = (PPOWER_DOWN_CONTEXT)PipeAllocate(NonPagedPool, sizeof(POWER_DOWN_CONTEXT));
    PIO_WORKITEM item = IoAllocateWorkItem(DeviceObject);
    if (context == NULL || item == NULL) {
        if (context != NULL) PipeFree(context);
        if (item != NULL) IoFreeWorkItem(item);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Under StateLock as every write of IoState: a cancelled stop may decide it at the same time.
    KIRQL irql;
    KeAcquireSpinLock(&ext->StateLock, &irql);
    ext->IoState = PIPE_IO_NOT_READY;
    KeReleaseSpinLock(&ext->StateLock, irql);
    context->DeviceObject = DeviceObject;
    context->Irp = Irp;
    context->WorkItem = item;
    IoQueueWorkItem(item, PowerDownWorker, DelayedWorkQueue, context);
    return STATUS_PENDING;
}

static VOID FailPowerRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status) {
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    DecrementIo(DeviceObject);
}

static VOID DeviceQuery(PDEVICE_OBJECT DeviceObject, PIRP Irp, DEVICE_POWER_STATE State) {
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    if (ext->RemoteWakeupCapable && State > ext->Capabilities.DeviceWake) {
        DisarmWaitWake(ext);
        AbortOpenPipes(DeviceObject);
    }
    if ((ULONG)State < ext->DevicePowerState) {
        PoStartNextPowerIrp(Irp);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Irp->IoStatus.Information = 0;
        IoCopyCurrentIrpStackLocationToNext(Irp);
        PoCallDriver(ext->LowerDevice, Irp);
        DecrementIo(DeviceObject);
        return;
    }
    NTSTATUS status = BeginPowerDown(DeviceObject, Irp);
    if (status != STATUS_PENDING) {
        FailPowerRequest(DeviceObject, Irp, status);
    }
}

static VOID DeviceSet(PDEVICE_OBJECT DeviceObject, PIRP Irp, DEVICE_POWER_STATE State) {
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    ULONG current = ext->DevicePowerState;
    if ((ULONG)State < current) {
        SendDevicePowerDown(ext, Irp, PowerUpComplete);
    } else if (current == PowerDeviceD0 && State > PowerDeviceD0) {
        NTSTATUS status = BeginPowerDown(DeviceObject, Irp);
        if (status != STATUS_PENDING) {
            FailPowerRequest(DeviceObject, Irp, status);
        }
    } else {
        if (current == PowerDeviceD0) {
            KIRQL irql;
            KeAcquireSpinLock(&ext->StateLock, &irql);
            ext->IoState = PIPE_IO_READY;
            KeReleaseSpinLock(&ext->StateLock, irql);
        }
        SendDevicePowerDown(ext, Irp, PlainDeviceComplete);
    }
}

// ---------------------------------------------------------------------------------------------
// System requests
// ---------------------------------------------------------------------------------------------

static DEVICE_POWER_STATE DeviceStateForSystem(PPIPE_EXTENSION Extension, SYSTEM_POWER_STATE State) {
    DEVICE_POWER_STATE device = PowerDeviceUnspecified;
    if (State > PowerSystemUnspecified && State < PowerSystemMaximum) {
        device = Extension->Capabilities.DeviceState[State];
    }
    // A capabilities record without a mapping: full power when working, off otherwise.
    if (device <= PowerDeviceUnspecified || device >= PowerDeviceMaximum) {
        device = State == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    }
    return device;
}

static VOID NTAPI DevicePowerForSystemDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                     PVOID Context, PIO_STATUS_BLOCK IoStatus) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    PPIPE_EXTENSION ext = (PPIPE_EXTENSION)Context;
    PIRP systemIrp = ext->SystemPowerIrp;
    ext->SystemPowerIrp = NULL;
    InterlockedDecrement(&ext->PowerWaiters);
    PoStartNextPowerIrp(systemIrp);
    systemIrp->IoStatus.Status = IoStatus->Status;
    systemIrp->IoStatus.Information = 0;
    IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
    DecrementIo(ext->FunctionalDevice);
}

// A system request that returns to the working state must bring the device back to D0: without
// it transfers stay refused and a client above stays powered down for good. Giving it up would
// leave the device unusable in S0, so it is asked for again until it can be issued.
static BOOLEAN MustReachDevicePower(PIO_STACK_LOCATION Stack) {
    return Stack->MinorFunction == IRP_MN_SET_POWER && Stack->Parameters.Power.State.SystemState == PowerSystemWorking;
}

// Asks for the device request of ext->SystemPowerIrp. Called where the system request has come back
// from the drivers below and again from the retry timer.
static VOID RequestDevicePowerForSystem(PPIPE_EXTENSION Extension) {
    PIRP systemIrp = Extension->SystemPowerIrp;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(systemIrp);
    POWER_STATE state;
    state.DeviceState = DeviceStateForSystem(Extension, stack->Parameters.Power.State.SystemState);

    InterlockedIncrement(&Extension->PowerWaiters);
    NTSTATUS status = PoRequestPowerIrp(Extension->PhysicalDevice, stack->MinorFunction, state,
                                        DevicePowerForSystemDone, Extension, NULL);
    if (NT_SUCCESS(status)) {
        return;
    }
    InterlockedDecrement(&Extension->PowerWaiters);
    if (MustReachDevicePower(stack) && !Extension->Removed) {
        // The system request keeps waiting, with its reference, until the device request is issued.
        LARGE_INTEGER due;
        due.QuadPart = -(LONGLONG)PIPE_POWER_RETRY_MS * 10000;
        KeSetTimer(&Extension->SystemPowerRetryTimer, due, &Extension->SystemPowerRetryDpc);
        return;
    }
    // A sleep that cannot be carried out: the request fails and the device stays where it is.
    Extension->SystemPowerIrp = NULL;
    FailPowerRequest(Extension->FunctionalDevice, systemIrp, status);
}

static VOID NTAPI SystemPowerRetryDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
    RequestDevicePowerForSystem((PPIPE_EXTENSION)Context);
}

VOID InitializeSystemPower(PPIPE_EXTENSION Extension) {
    Extension->SystemPowerIrp = NULL;
    KeInitializeTimer(&Extension->SystemPowerRetryTimer);
    KeInitializeDpc(&Extension->SystemPowerRetryDpc, SystemPowerRetryDpc, Extension);
}

static NTSTATUS NTAPI SystemPowerComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PPIPE_EXTENSION ext = (PPIPE_EXTENSION)Context;
    if (!NT_SUCCESS(Irp->IoStatus.Status)) {
        PoStartNextPowerIrp(Irp);
        DecrementIo(ext->FunctionalDevice);
        return Irp->IoStatus.Status;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER) {
        ext->SystemPowerState = stack->Parameters.Power.State.SystemState;
    }
    ext->SystemPowerIrp = Irp;
    RequestDevicePowerForSystem(ext);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static VOID SystemPowerRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    LONG state = (LONG)stack->Parameters.Power.State.SystemState;
    if (stack->MinorFunction == IRP_MN_QUERY_POWER && ext->RemoteWakeupCapable) {
        if (state > (LONG)ext->Capabilities.SystemWake) {
            DisarmWaitWake(ext);
        } else if (state > (LONG)ext->SystemPowerState) {
            ArmWaitWake(ext);
        }
    }
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SystemPowerComplete, ext, TRUE, TRUE, TRUE);
    PoCallDriver(ext->LowerDevice, Irp);
}

NTSTATUS NTAPI PipePowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IncrementIo(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
        return WaitWakeDispatch(DeviceObject, Irp);

    case IRP_MN_SET_POWER:
    case IRP_MN_QUERY_POWER:
        IoMarkIrpPending(Irp);
        if (stack->Parameters.Power.Type == SystemPowerState) {
            SystemPowerRequest(DeviceObject, Irp);
        } else if (stack->MinorFunction == IRP_MN_QUERY_POWER) {
            DeviceQuery(DeviceObject, Irp, stack->Parameters.Power.State.DeviceState);
        } else {
            DeviceSet(DeviceObject, Irp, stack->Parameters.Power.State.DeviceState);
        }
        return STATUS_PENDING;

    default: {
        IoCopyCurrentIrpStackLocationToNext(Irp);
        PoStartNextPowerIrp(Irp);
        NTSTATUS status = PoCallDriver(PipeExt(DeviceObject)->LowerDevice, Irp);
        DecrementIo(DeviceObject);
        return status;
    }
    }
}

// ---------------------------------------------------------------------------------------------
// Suspend and resume on a client's request
// ---------------------------------------------------------------------------------------------

static VOID NTAPI PowerWaitDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                          PVOID ContextArg, PIO_STATUS_BLOCK IoStatus) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    PPOWER_WAIT_CONTEXT context = (PPOWER_WAIT_CONTEXT)ContextArg;
    PKEVENT event = context->Event;
    *context->Outcome = IoStatus->Status;
    PipeFree(context);
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

// Asks the power manager for a device set-power request and waits until it has finished. The result
// is the request's final status, or why it could not be asked for: a client is never told that its
// device was suspended or resumed when it was not. Clients take turns, so that two of them never
// have device requests under way at once, and a stop takes the turn too; while a client waits, for
// its turn or for its request, its I/O reference is one a power-down or a stop does not wait for.
NTSTATUS RequestDevicePowerAndWait(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State) {
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    InterlockedIncrement(&ext->PowerWaiters);
    KeWaitForSingleObject(&ext->ClientPowerTurn, Executive, KernelMode, FALSE, NULL);
    NTSTATUS outcome = STATUS_DELETE_PENDING;  // a stop or removal came while this client waited
    PPOWER_WAIT_CONTEXT context = NULL;
    if (CanAcceptIo(DeviceObject)) {
        context = (PPOWER_WAIT_CONTEXT)PipeAllocate(NonPagedPool, sizeof(POWER_WAIT_CONTEXT));
        outcome = context != NULL ? STATUS_PENDING : STATUS_INSUFFICIENT_RESOURCES;
    }
    if (context != NULL) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        context->Event = &event;
        context->Outcome = &outcome;
        POWER_STATE state;
        state.DeviceState = State;
        NTSTATUS status = PoRequestPowerIrp(ext->PhysicalDevice, IRP_MN_SET_POWER, state, PowerWaitDone, context, NULL);
        if (!NT_SUCCESS(status)) {
            PipeFree(context);
            outcome = status;
        } else {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        }
    }
    KeSetEvent(&ext->ClientPowerTurn, IO_NO_INCREMENT, FALSE);
    InterlockedDecrement(&ext->PowerWaiters);
    return outcome;
}
