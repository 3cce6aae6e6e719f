// A small driver whose requests update shared counters from whichever thread sends them: once without
// any synchronisation (a data race the race configuration must report) and in the ways that are not
// races (a spin lock, an interlocked operation, a volatile flag read as it is, a plain read of a word
// others update with interlocked operations).
#include "driverkit.h"

#include "racetest.h"

typedef struct _RACE_EXTENSION {
  KSPIN_LOCK Lock;        // guards Locked
  ULONG Unlocked;         // guarded by nothing: the bug
  ULONG Locked;
  LONG Interlocked;
  volatile BOOLEAN Flag;  // set and read without a lock, on purpose
} RACE_EXTENSION, *PRACE_EXTENSION;

static VOID Work(PRACE_EXTENSION extension, ULONG code) {
  KIRQL irql;
  switch (code) {
    case IOCTL_RACETEST_BUMP_UNLOCKED:
      extension->Unlocked = extension->Unlocked + 1;
      break;
    case IOCTL_RACETEST_BUMP_LOCKED:
      KeAcquireSpinLock(&extension->Lock, &irql);
      extension->Locked = extension->Locked + 1;
      KeReleaseSpinLock(&extension->Lock, irql);
      break;
    case IOCTL_RACETEST_BUMP_INTERLOCKED:
      InterlockedIncrement(&extension->Interlocked);
      break;
    case IOCTL_RACETEST_POLL_FLAG:
      if (!extension->Flag) extension->Flag = TRUE;
      break;
    case IOCTL_RACETEST_READ_INTERLOCKED:
      if (*(LONG*)&extension->Interlocked < 0) DbgPrint("racetest: negative\n");
      break;
  }
}

NTSTATUS NTAPI RaceDispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RaceDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  Work((PRACE_EXTENSION)DeviceObject->DeviceExtension,
       IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

PAGEDCODE VOID NTAPI RaceUnload(PDRIVER_OBJECT DriverObject) {
  PAGED_CODE();
  IoDeleteDevice(DriverObject->DeviceObject);
}

DRIVER_ENTRY INITCODE DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(RegistryPath);
  UNICODE_STRING name;
  PDEVICE_OBJECT device;
  RtlInitUnicodeString(&name, RACETEST_DEVICE_NAME);
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(RACE_EXTENSION), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  PRACE_EXTENSION extension = (PRACE_EXTENSION)device->DeviceExtension;
  RtlZeroMemory(extension, sizeof(RACE_EXTENSION));
  KeInitializeSpinLock(&extension->Lock);
  device->Flags |= DO_BUFFERED_IO;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  DriverObject->MajorFunction[IRP_MJ_CREATE] = RaceDispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = RaceDispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = RaceDispatchDeviceControl;
  DriverObject->DriverUnload = RaceUnload;
  return STATUS_SUCCESS;
}
