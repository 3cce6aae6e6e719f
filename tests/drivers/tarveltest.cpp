// A small WDM driver that exercises what every driver of this project relies on: DriverEntry and
// DriverUnload, a dispatch table, a periodic timer with its DPC, a spin lock and pool. Each tick the
// DPC records the time in a pool block under the spin lock; after TARVELTEST_TICKS ticks it stops the
// timer. A device control request reads the count; unload frees everything.
#include "driverkit.h"

#include "tarveltest.h"

typedef struct _TICK_RECORD {
  LIST_ENTRY Link;
  ULONG Number;
  LARGE_INTEGER InterruptTime;
} TICK_RECORD, *PTICK_RECORD;

typedef struct _TEST_EXTENSION {
  KSPIN_LOCK Lock;  // guards Ticks, Records and Stopped
  KTIMER Timer;
  KDPC TickDpc;
  LIST_ENTRY Records;
  ULONG Ticks;
  ULONG LostRecords;  // ticks whose record could not be allocated
  BOOLEAN Stopped;
} TEST_EXTENSION, *PTEST_EXTENSION;

// The routines the kernel calls back have external linkage, so that the platform's traces name them.
VOID NTAPI TickDpc(PKDPC Dpc, PVOID Context, PVOID SystemArgument1, PVOID SystemArgument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(SystemArgument1);
  UNREFERENCED_PARAMETER(SystemArgument2);
  PTEST_EXTENSION extension = (PTEST_EXTENSION)Context;
  PTICK_RECORD record = (PTICK_RECORD)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(TICK_RECORD), TARVELTEST_POOL_TAG);
  BOOLEAN last = FALSE;

  KeAcquireSpinLockAtDpcLevel(&extension->Lock);
  if (!extension->Stopped) {
    ULONG number = ++extension->Ticks;
    if (record != NULL) {
      record->Number = number;
      record->InterruptTime.QuadPart = (LONGLONG)KeQueryInterruptTime();
      InsertTailList(&extension->Records, &record->Link);
      record = NULL;
    } else {
      extension->LostRecords++;
    }
    if (number >= TARVELTEST_TICKS) {
      extension->Stopped = TRUE;
      last = TRUE;
    }
  }
  KeReleaseSpinLockFromDpcLevel(&extension->Lock);

  if (record != NULL) {
    ExFreePoolWithTag(record, TARVELTEST_POOL_TAG);
  }
  if (last) {
    KeCancelTimer(&extension->Timer);
    DbgPrint("tarveltest: %d ticks, timer stopped\n", TARVELTEST_TICKS);
  }
}

static NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PTEST_EXTENSION extension = (PTEST_EXTENSION)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_TARVELTEST_GET_TICKS) {
    return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG)) {
    return CompleteRequest(Irp, STATUS_BUFFER_TOO_SMALL, 0);
  }
  KIRQL irql;
  KeAcquireSpinLock(&extension->Lock, &irql);
  *(PULONG)Irp->AssociatedIrp.SystemBuffer = extension->Ticks;
  KeReleaseSpinLock(&extension->Lock, irql);
  return CompleteRequest(Irp, STATUS_SUCCESS, sizeof(ULONG));
}

// Locked code: the spin lock raises to DISPATCH_LEVEL, where pageable code may not run.
static LOCKEDCODE VOID StopTicking(PTEST_EXTENSION extension) {
  KIRQL irql;
  KeAcquireSpinLock(&extension->Lock, &irql);
  extension->Stopped = TRUE;
  KeReleaseSpinLock(&extension->Lock, irql);
}

PAGEDCODE VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
  PAGED_CODE();
  PDEVICE_OBJECT device = DriverObject->DeviceObject;
  PTEST_EXTENSION extension = (PTEST_EXTENSION)device->DeviceExtension;

  StopTicking(extension);
  KeCancelTimer(&extension->Timer);
  KeFlushQueuedDpcs();  // a tick already queued has run before the records go

  while (!IsListEmpty(&extension->Records)) {
    PTICK_RECORD record = CONTAINING_RECORD(RemoveHeadList(&extension->Records), TICK_RECORD, Link);
    ExFreePoolWithTag(record, TARVELTEST_POOL_TAG);
  }
  DbgPrint("tarveltest: unloaded after %lu ticks\n", extension->Ticks);
  IoDeleteDevice(device);
}

DRIVER_ENTRY INITCODE DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  PAGED_CODE();
  UNICODE_STRING name;
  PDEVICE_OBJECT device;
  RtlInitUnicodeString(&name, TARVELTEST_DEVICE_NAME);
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(TEST_EXTENSION), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) {
    DbgPrint("tarveltest: no device (0x%08X)\n", status);
    return status;
  }
  PTEST_EXTENSION extension = (PTEST_EXTENSION)device->DeviceExtension;
  KeInitializeSpinLock(&extension->Lock);
  KeInitializeTimerEx(&extension->Timer, NotificationTimer);
  KeInitializeDpc(&extension->TickDpc, TickDpc, extension);
  InitializeListHead(&extension->Records);
  extension->Ticks = 0;
  extension->LostRecords = 0;
  extension->Stopped = FALSE;
  device->Flags |= DO_BUFFERED_IO;
  device->Flags &= ~DO_DEVICE_INITIALIZING;

  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  DriverObject->DriverUnload = DriverUnload;

  LARGE_INTEGER due;
  due.QuadPart = -(LONGLONG)TARVELTEST_TICK_PERIOD_MS * 10000;
  KeSetTimerEx(&extension->Timer, due, TARVELTEST_TICK_PERIOD_MS, &extension->TickDpc);
  DbgPrint("tarveltest: loaded from %wZ, ticking every %d ms\n", RegistryPath, TARVELTEST_TICK_PERIOD_MS);
  return STATUS_SUCCESS;
}
