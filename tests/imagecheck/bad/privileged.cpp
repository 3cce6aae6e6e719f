// An image that is wrong on purpose for the image check's tests: privileged instructions that the
// emulated kernel does not perform, next to the forms it does.
#include "driverkit.h"

extern "C" DECLSPEC_NOINLINE ULONG64 ReadLstar(VOID) {
  ULONG low, high;
  __asm__ volatile("rdmsr" : "=a"(low), "=d"(high) : "c"(0xC0000082));
  return ((ULONG64)high << 32) | low;
}

extern "C" DECLSPEC_NOINLINE ULONG64 ReadCr3(VOID) {
  ULONG64 value;
  __asm__ volatile("mov %%cr3, %0" : "=r"(value));
  return value;
}

// Adds the system time straight from the shared user page: a read-modify form, not a plain load.
extern "C" DECLSPEC_NOINLINE LONG64 AddSystemTime(LONG64 value) {
  __asm__ volatile("movabs $0xfffff78000000014, %%rax\n\tadd (%%rax), %0" : "+r"(value) : : "rax");
  return value;
}

DRIVER_ENTRY DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(DriverObject);
  UNREFERENCED_PARAMETER(RegistryPath);
  // Supported forms too: the IRQL through CR8 and the system time through the shared page.
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  DbgPrint("irql %d\n", KeGetCurrentIrql());
  return (ReadLstar() + ReadCr3() + AddSystemTime(now.QuadPart) + KeGetCurrentIrql()) ? STATUS_SUCCESS
                                                                                     : STATUS_UNSUCCESSFUL;
}
