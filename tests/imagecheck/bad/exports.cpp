// An image that is wrong on purpose for the image check's tests: it exports a symbol.
#include "driverkit.h"

extern "C" __declspec(dllexport) ULONG TarvelExportedCounter;
ULONG TarvelExportedCounter;

DRIVER_ENTRY DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(DriverObject);
  UNREFERENCED_PARAMETER(RegistryPath);
  TarvelExportedCounter++;
  DbgPrint("exported %lu\n", TarvelExportedCounter);
  return STATUS_SUCCESS;
}
