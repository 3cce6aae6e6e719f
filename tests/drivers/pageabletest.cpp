// A driver with pageable code (PAGEDCODE) and paged pool, used rightly and wrongly, one control code
// each (pageabletest.h): the wrong uses would page-fault on the platform under Driver Verifier's
// forced IRQL checking, and must stop the emulated kernel's verifier too.
#include "driverkit.h"

#include "pageabletest.h"

typedef struct _PAGEABLE_EXTENSION {
  KSPIN_LOCK Lock;
  KDPC Dpc;
  KEVENT Done;
  PULONG PagedValue;     // in paged pool
  PULONG NonPagedValue;  // in nonpaged pool
  PULONG DpcSource;      // what the DPC reads
  ULONG Result;
  PIO_WORKITEM WorkItem;
} PAGEABLE_EXTENSION, *PPAGEABLE_EXTENSION;

// Pageable, and says so only by its section: no PAGED_CODE().
PAGEDCODE ULONG ReadPagedValue(PPAGEABLE_EXTENSION Extension) { return *Extension->PagedValue + 1; }

// Locked code that takes the lock for its pageable caller.
LOCKEDCODE ULONG ReadUnderLock(PPAGEABLE_EXTENSION Extension) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->Lock, &irql);
  ULONG value = *Extension->NonPagedValue;
  KeReleaseSpinLock(&Extension->Lock, irql);
  return value;
}

PAGEDCODE ULONG PageableLocksThroughLockedCode(PPAGEABLE_EXTENSION Extension) {
  PAGED_CODE();
  return ReadUnderLock(Extension);
}

PAGEDCODE ULONG PageableTakesLock(PPAGEABLE_EXTENSION Extension) {
  PAGED_CODE();
  KIRQL irql;
  KeAcquireSpinLock(&Extension->Lock, &irql);
  ULONG value = *Extension->NonPagedValue;
  KeReleaseSpinLock(&Extension->Lock, irql);
  return value;
}

// Locked code that returns holding the lock.
LOCKEDCODE KIRQL LockFor(PPAGEABLE_EXTENSION Extension) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->Lock, &irql);
  return irql;
}

PAGEDCODE ULONG PageableReleasesLock(PPAGEABLE_EXTENSION Extension) {
  PAGED_CODE();
  KIRQL irql = LockFor(Extension);
  ULONG value = *Extension->NonPagedValue;
  KeReleaseSpinLock(&Extension->Lock, irql);
  return value;
}

VOID NTAPI ReadingDpc(PKDPC Dpc, PVOID Context, PVOID SystemArgument1, PVOID SystemArgument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(SystemArgument1);
  UNREFERENCED_PARAMETER(SystemArgument2);
  PPAGEABLE_EXTENSION extension = (PPAGEABLE_EXTENSION)Context;
  extension->Result = *extension->DpcSource;
  KeSetEvent(&extension->Done, IO_NO_INCREMENT, FALSE);
}

PAGEDCODE VOID NTAPI PageableDpc(PKDPC Dpc, PVOID Context, PVOID SystemArgument1, PVOID SystemArgument2) {
  ReadingDpc(Dpc, Context, SystemArgument1, SystemArgument2);
}

PAGEDCODE VOID NTAPI PageableWorkItem(PDEVICE_OBJECT DeviceObject, PVOID Context) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(DeviceObject);
  PPAGEABLE_EXTENSION extension = (PPAGEABLE_EXTENSION)Context;
  extension->Result = ReadPagedValue(extension);
  KeSetEvent(&extension->Done, IO_NO_INCREMENT, FALSE);
}

// Runs the DPC routine on source and waits for it.
static ULONG ReadInDpc(PPAGEABLE_EXTENSION Extension, PKDEFERRED_ROUTINE Routine, PULONG Source) {
  KeClearEvent(&Extension->Done);
  Extension->DpcSource = Source;
  KeInitializeDpc(&Extension->Dpc, Routine, Extension);
  KeInsertQueueDpc(&Extension->Dpc, NULL, NULL);
  KeWaitForSingleObject(&Extension->Done, Executive, KernelMode, FALSE, NULL);
  return Extension->Result;
}

static ULONG Run(PDEVICE_OBJECT DeviceObject, ULONG Code) {
  PPAGEABLE_EXTENSION extension = (PPAGEABLE_EXTENSION)DeviceObject->DeviceExtension;
  KIRQL irql;
  ULONG value = 0;
  switch (Code) {
    case IOCTL_PAGEABLE_CALL_AT_PASSIVE:
    case IOCTL_PAGED_POOL_AT_PASSIVE:
      return ReadPagedValue(extension) - 1;
    case IOCTL_PAGEABLE_LOCKS_THROUGH_LOCKED_CODE:
      return PageableLocksThroughLockedCode(extension);
    case IOCTL_PAGEABLE_WORK_ITEM:
      KeClearEvent(&extension->Done);
      IoQueueWorkItem(extension->WorkItem, PageableWorkItem, DelayedWorkQueue, extension);
      KeWaitForSingleObject(&extension->Done, Executive, KernelMode, FALSE, NULL);
      return extension->Result - 1;
    case IOCTL_NONPAGED_POOL_IN_DPC:
      return ReadInDpc(extension, ReadingDpc, extension->NonPagedValue);
    case IOCTL_PAGEABLE_CALL_UNDER_LOCK:
      KeAcquireSpinLock(&extension->Lock, &irql);
      value = ReadPagedValue(extension) - 1;
      KeReleaseSpinLock(&extension->Lock, irql);
      return value;
    case IOCTL_PAGEABLE_DPC:
      return ReadInDpc(extension, PageableDpc, extension->NonPagedValue);
    case IOCTL_PAGEABLE_TAKES_LOCK:
      return PageableTakesLock(extension);
    case IOCTL_PAGEABLE_RELEASES_LOCK:
      return PageableReleasesLock(extension);
    case IOCTL_PAGED_POOL_IN_DPC:
      return ReadInDpc(extension, ReadingDpc, extension->PagedValue);
    default:
      return 0;
  }
}

static NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

NTSTATUS NTAPI PageableCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI PageableDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG))
    return CompleteRequest(Irp, STATUS_BUFFER_TOO_SMALL, 0);
  *(PULONG)Irp->AssociatedIrp.SystemBuffer = Run(DeviceObject, stack->Parameters.DeviceIoControl.IoControlCode);
  return CompleteRequest(Irp, STATUS_SUCCESS, sizeof(ULONG));
}

PAGEDCODE VOID NTAPI PageableUnload(PDRIVER_OBJECT DriverObject) {
  PAGED_CODE();
  PDEVICE_OBJECT device = DriverObject->DeviceObject;
  PPAGEABLE_EXTENSION extension = (PPAGEABLE_EXTENSION)device->DeviceExtension;
  IoFreeWorkItem(extension->WorkItem);
  ExFreePoolWithTag(extension->PagedValue, PAGEABLETEST_POOL_TAG);
  ExFreePoolWithTag(extension->NonPagedValue, PAGEABLETEST_POOL_TAG);
  IoDeleteDevice(device);
}

DRIVER_ENTRY INITCODE DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(RegistryPath);
  UNICODE_STRING name;
  PDEVICE_OBJECT device;
  RtlInitUnicodeString(&name, PAGEABLETEST_DEVICE_NAME);
  NTSTATUS status =
      IoCreateDevice(DriverObject, sizeof(PAGEABLE_EXTENSION), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  PPAGEABLE_EXTENSION extension = (PPAGEABLE_EXTENSION)device->DeviceExtension;
  KeInitializeSpinLock(&extension->Lock);
  KeInitializeEvent(&extension->Done, NotificationEvent, FALSE);
  extension->PagedValue = (PULONG)ExAllocatePoolWithTag(PagedPool, sizeof(ULONG), PAGEABLETEST_POOL_TAG);
  extension->NonPagedValue = (PULONG)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ULONG), PAGEABLETEST_POOL_TAG);
  extension->WorkItem = IoAllocateWorkItem(device);
  if (!extension->PagedValue || !extension->NonPagedValue || !extension->WorkItem) {
    if (extension->PagedValue) ExFreePoolWithTag(extension->PagedValue, PAGEABLETEST_POOL_TAG);
    if (extension->NonPagedValue) ExFreePoolWithTag(extension->NonPagedValue, PAGEABLETEST_POOL_TAG);
    if (extension->WorkItem) IoFreeWorkItem(extension->WorkItem);
    IoDeleteDevice(device);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *extension->PagedValue = PAGEABLETEST_VALUE;
  *extension->NonPagedValue = PAGEABLETEST_VALUE;
  device->Flags |= DO_BUFFERED_IO;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  DriverObject->MajorFunction[IRP_MJ_CREATE] = PageableCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = PageableCreateClose;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = PageableDeviceControl;
  DriverObject->DriverUnload = PageableUnload;
  return STATUS_SUCCESS;
}
