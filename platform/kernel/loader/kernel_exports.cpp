// The exports of the emulated kernel to Windows images: ntoskrnl.exe and HAL.dll are both this kernel
// (the image's import libraries decided which of the two a routine comes from), plus the C run-time
// routines ntoskrnl exports. The byte and string routines are the host's, whose behaviour is the
// platform's, and the wide ones the platform's own (wdm/crt.h), each behind a Microsoft-ABI entry
// point; the formatting ones are the platform's, declared with the platform's convention.
#include <ntddk.h>
#include <wdm.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "tarvel/exports.h"

namespace tarvel::kernel {
namespace {

#define TARVEL_MS_CRT __attribute__((ms_abi))
TARVEL_MS_CRT void* MsMemcpy(void* d, const void* s, size_t n) { return std::memcpy(d, s, n); }
TARVEL_MS_CRT void* MsMemmove(void* d, const void* s, size_t n) { return std::memmove(d, s, n); }
TARVEL_MS_CRT void* MsMemset(void* d, int c, size_t n) { return std::memset(d, c, n); }
TARVEL_MS_CRT int MsMemcmp(const void* a, const void* b, size_t n) { return std::memcmp(a, b, n); }
TARVEL_MS_CRT const void* MsMemchr(const void* s, int c, size_t n) { return std::memchr(s, c, n); }
TARVEL_MS_CRT size_t MsStrlen(const char* s) { return std::strlen(s); }
TARVEL_MS_CRT size_t MsStrnlen(const char* s, size_t n) { return strnlen(s, n); }
TARVEL_MS_CRT int MsStrcmp(const char* a, const char* b) { return std::strcmp(a, b); }
TARVEL_MS_CRT int MsStrncmp(const char* a, const char* b, size_t n) { return std::strncmp(a, b, n); }
TARVEL_MS_CRT char* MsStrcpy(char* d, const char* s) { return std::strcpy(d, s); }
TARVEL_MS_CRT char* MsStrncpy(char* d, const char* s, size_t n) { return std::strncpy(d, s, n); }
TARVEL_MS_CRT char* MsStrcat(char* d, const char* s) { return std::strcat(d, s); }
TARVEL_MS_CRT char* MsStrncat(char* d, const char* s, size_t n) { return std::strncat(d, s, n); }
TARVEL_MS_CRT const char* MsStrchr(const char* s, int c) { return std::strchr(s, c); }
TARVEL_MS_CRT const char* MsStrrchr(const char* s, int c) { return std::strrchr(s, c); }
TARVEL_MS_CRT const char* MsStrstr(const char* s, const char* t) { return std::strstr(s, t); }
// The platform's wide string routines (wdm/crt.h) keep the host's calling convention, like the byte ones.
TARVEL_MS_CRT size_t MsWcslen(const wchar_t* s) { return wcslen(s); }
TARVEL_MS_CRT size_t MsWcsnlen(const wchar_t* s, size_t n) { return wcsnlen(s, n); }
TARVEL_MS_CRT wchar_t* MsWcscpy(wchar_t* d, const wchar_t* s) { return wcscpy(d, s); }
TARVEL_MS_CRT wchar_t* MsWcsncpy(wchar_t* d, const wchar_t* s, size_t n) { return wcsncpy(d, s, n); }
TARVEL_MS_CRT wchar_t* MsWcscat(wchar_t* d, const wchar_t* s) { return wcscat(d, s); }
TARVEL_MS_CRT wchar_t* MsWcsncat(wchar_t* d, const wchar_t* s, size_t n) { return wcsncat(d, s, n); }
TARVEL_MS_CRT int MsWcscmp(const wchar_t* a, const wchar_t* b) { return wcscmp(a, b); }
TARVEL_MS_CRT int MsWcsncmp(const wchar_t* a, const wchar_t* b, size_t n) { return wcsncmp(a, b, n); }
TARVEL_MS_CRT int MsWcsicmp(const wchar_t* a, const wchar_t* b) { return _wcsicmp(a, b); }
TARVEL_MS_CRT int MsWcsnicmp(const wchar_t* a, const wchar_t* b, size_t n) { return _wcsnicmp(a, b, n); }
#undef TARVEL_MS_CRT

// swprintf and vswprintf of the platform are the unsized overloads of wdm/crt.h.
int(__attribute__((ms_abi)) & PlatformSwprintf)(wchar_t*, const wchar_t*, ...) = swprintf;
int(__attribute__((ms_abi)) & PlatformVswprintf)(wchar_t*, const wchar_t*, __builtin_ms_va_list) = vswprintf;

const Export kCrtExports[] = {
    {"memcpy", TARVEL_ROUTINE_ADDRESS(&MsMemcpy)},   {"memmove", TARVEL_ROUTINE_ADDRESS(&MsMemmove)},
    {"memset", TARVEL_ROUTINE_ADDRESS(&MsMemset)},   {"memcmp", TARVEL_ROUTINE_ADDRESS(&MsMemcmp)},
    {"memchr", TARVEL_ROUTINE_ADDRESS(&MsMemchr)},   {"strlen", TARVEL_ROUTINE_ADDRESS(&MsStrlen)},
    {"strnlen", TARVEL_ROUTINE_ADDRESS(&MsStrnlen)}, {"strcmp", TARVEL_ROUTINE_ADDRESS(&MsStrcmp)},
    {"strncmp", TARVEL_ROUTINE_ADDRESS(&MsStrncmp)}, {"strcpy", TARVEL_ROUTINE_ADDRESS(&MsStrcpy)},
    {"strncpy", TARVEL_ROUTINE_ADDRESS(&MsStrncpy)}, {"strcat", TARVEL_ROUTINE_ADDRESS(&MsStrcat)},
    {"strncat", TARVEL_ROUTINE_ADDRESS(&MsStrncat)}, {"strchr", TARVEL_ROUTINE_ADDRESS(&MsStrchr)},
    {"strrchr", TARVEL_ROUTINE_ADDRESS(&MsStrrchr)}, {"strstr", TARVEL_ROUTINE_ADDRESS(&MsStrstr)},
    {"wcslen", TARVEL_ROUTINE_ADDRESS(&MsWcslen)},     {"wcsnlen", TARVEL_ROUTINE_ADDRESS(&MsWcsnlen)},
    {"wcscpy", TARVEL_ROUTINE_ADDRESS(&MsWcscpy)},     {"wcsncpy", TARVEL_ROUTINE_ADDRESS(&MsWcsncpy)},
    {"wcscat", TARVEL_ROUTINE_ADDRESS(&MsWcscat)},     {"wcsncat", TARVEL_ROUTINE_ADDRESS(&MsWcsncat)},
    {"wcscmp", TARVEL_ROUTINE_ADDRESS(&MsWcscmp)},     {"wcsncmp", TARVEL_ROUTINE_ADDRESS(&MsWcsncmp)},
    {"_wcsicmp", TARVEL_ROUTINE_ADDRESS(&MsWcsicmp)},  {"_wcsnicmp", TARVEL_ROUTINE_ADDRESS(&MsWcsnicmp)},
    TARVEL_EXPORT(_snwprintf), TARVEL_EXPORT(_vsnwprintf),
    TARVEL_EXPORT_AS("swprintf", PlatformSwprintf), TARVEL_EXPORT_AS("vswprintf", PlatformVswprintf),
};

const Export kKernelExports[] = {
    TARVEL_EXPORT(DbgBreakPoint), TARVEL_EXPORT(DbgPrint), TARVEL_EXPORT(DbgPrintEx),
    TARVEL_EXPORT(ExAllocatePool), TARVEL_EXPORT(ExAllocatePoolWithQuotaTag),
    TARVEL_EXPORT(ExAllocatePoolWithTag), TARVEL_EXPORT(ExFreePool), TARVEL_EXPORT(ExFreePoolWithTag),
    TARVEL_EXPORT(ExInterlockedInsertHeadList), TARVEL_EXPORT(ExInterlockedInsertTailList),
    TARVEL_EXPORT(ExInterlockedPopEntryList), TARVEL_EXPORT(ExInterlockedPushEntryList),
    TARVEL_EXPORT(ExInterlockedRemoveHeadList), TARVEL_EXPORT(ExQueueWorkItem), TARVEL_EXPORT(InterlockedAnd),
    TARVEL_EXPORT(InterlockedBitTestAndReset), TARVEL_EXPORT(InterlockedBitTestAndSet),
    TARVEL_EXPORT(InterlockedCompareExchange), TARVEL_EXPORT(InterlockedCompareExchange64),
    TARVEL_EXPORT(InterlockedCompareExchangePointer), TARVEL_EXPORT(InterlockedDecrement),
    TARVEL_EXPORT(InterlockedDecrement64), TARVEL_EXPORT(InterlockedExchange),
    TARVEL_EXPORT(InterlockedExchange64), TARVEL_EXPORT(InterlockedExchangeAdd),
    TARVEL_EXPORT(InterlockedExchangeAdd64), TARVEL_EXPORT(InterlockedExchangePointer),
    TARVEL_EXPORT(InterlockedIncrement), TARVEL_EXPORT(InterlockedIncrement64), TARVEL_EXPORT(InterlockedOr),
    TARVEL_EXPORT(InterlockedXor), TARVEL_EXPORT(IoAcquireCancelSpinLock),
    TARVEL_EXPORT(IoAcquireRemoveLockEx), TARVEL_EXPORT(IoAllocateIrp), TARVEL_EXPORT(IoAllocateMdl),
    TARVEL_EXPORT(IoAllocateWorkItem), TARVEL_EXPORT(IoAttachDeviceToDeviceStack),
    TARVEL_EXPORT(IoAttachDeviceToDeviceStackSafe), TARVEL_EXPORT(IoBuildAsynchronousFsdRequest),
    TARVEL_EXPORT(IoBuildDeviceIoControlRequest), TARVEL_EXPORT(IoBuildPartialMdl),
    TARVEL_EXPORT(IoBuildSynchronousFsdRequest), TARVEL_EXPORT(IoCancelIrp), TARVEL_EXPORT(IoCreateDevice),
    TARVEL_EXPORT(IoCreateSymbolicLink), TARVEL_EXPORT(IoDeleteDevice), TARVEL_EXPORT(IoDeleteSymbolicLink),
    TARVEL_EXPORT(IoDetachDevice), TARVEL_EXPORT(IoFreeIrp), TARVEL_EXPORT(IoFreeMdl),
    TARVEL_EXPORT(IoFreeWorkItem), TARVEL_EXPORT(IoGetAttachedDeviceReference),
    TARVEL_EXPORT(IoGetCurrentProcess), TARVEL_EXPORT(IoGetDeviceObjectPointer),
    TARVEL_EXPORT(IoGetRelatedDeviceObject), TARVEL_EXPORT(IoInitializeIrp),
    TARVEL_EXPORT(IoInitializeRemoveLockEx), TARVEL_EXPORT(IoInitializeWorkItem),
    TARVEL_EXPORT(IoIsWdmVersionAvailable), TARVEL_EXPORT(IoOpenDeviceRegistryKey),
    TARVEL_EXPORT(IoQueueWorkItem), TARVEL_EXPORT(IoQueueWorkItemEx), TARVEL_EXPORT(IoRegisterDeviceInterface),
    TARVEL_EXPORT(IoReleaseCancelSpinLock), TARVEL_EXPORT(IoReleaseRemoveLockAndWaitEx),
    TARVEL_EXPORT(IoReleaseRemoveLockEx), TARVEL_EXPORT(IoReuseIrp), TARVEL_EXPORT(IoSetDeviceInterfaceState),
    TARVEL_EXPORT(IoSizeofWorkItem), TARVEL_EXPORT(IoStartNextPacket), TARVEL_EXPORT(IoStartPacket),
    TARVEL_EXPORT(IoUninitializeWorkItem), TARVEL_EXPORT(IofCallDriver), TARVEL_EXPORT(IofCompleteRequest),
    TARVEL_EXPORT(KeAcquireInStackQueuedSpinLock), TARVEL_EXPORT(KeAcquireInStackQueuedSpinLockAtDpcLevel),
    TARVEL_EXPORT(KeAcquireSpinLockAtDpcLevel), TARVEL_EXPORT(KeAcquireSpinLockRaiseToDpc),
    TARVEL_EXPORT(KeAreApcsDisabled), TARVEL_EXPORT(KeBugCheck), TARVEL_EXPORT(KeBugCheckEx),
    TARVEL_EXPORT(KeCancelTimer), TARVEL_EXPORT(KeClearEvent), TARVEL_EXPORT(KeDelayExecutionThread),
    TARVEL_EXPORT(KeEnterCriticalRegion), TARVEL_EXPORT(KeFlushQueuedDpcs), TARVEL_EXPORT(KeGetCurrentIrql),
    TARVEL_EXPORT(KeGetCurrentProcessorNumber), TARVEL_EXPORT(KeGetCurrentThread),
    TARVEL_EXPORT(KeInitializeDeviceQueue), TARVEL_EXPORT(KeInitializeDpc), TARVEL_EXPORT(KeInitializeEvent),
    TARVEL_EXPORT(KeInitializeMutex), TARVEL_EXPORT(KeInitializeSemaphore),
    TARVEL_EXPORT(KeInitializeThreadedDpc), TARVEL_EXPORT(KeInitializeTimer),
    TARVEL_EXPORT(KeInitializeTimerEx), TARVEL_EXPORT(KeInsertByKeyDeviceQueue),
    TARVEL_EXPORT(KeInsertDeviceQueue), TARVEL_EXPORT(KeInsertQueueDpc), TARVEL_EXPORT(KeLeaveCriticalRegion),
    TARVEL_EXPORT(KeLowerIrql), TARVEL_EXPORT(KePulseEvent), TARVEL_EXPORT(KeQueryInterruptTime),
    TARVEL_EXPORT(KeQueryPerformanceCounter), TARVEL_EXPORT(KeQuerySystemTime),
    TARVEL_EXPORT(KeQueryTickCount), TARVEL_EXPORT(KeQueryTimeIncrement), TARVEL_EXPORT(KeRaiseIrqlToDpcLevel),
    TARVEL_EXPORT(KeRaiseIrqlToSynchLevel), TARVEL_EXPORT(KeReadStateEvent), TARVEL_EXPORT(KeReadStateMutex),
    TARVEL_EXPORT(KeReadStateSemaphore), TARVEL_EXPORT(KeReadStateTimer),
    TARVEL_EXPORT(KeReleaseInStackQueuedSpinLock), TARVEL_EXPORT(KeReleaseInStackQueuedSpinLockFromDpcLevel),
    TARVEL_EXPORT(KeReleaseMutex), TARVEL_EXPORT(KeReleaseSemaphore), TARVEL_EXPORT(KeReleaseSpinLock),
    TARVEL_EXPORT(KeReleaseSpinLockFromDpcLevel), TARVEL_EXPORT(KeRemoveByKeyDeviceQueue),
    TARVEL_EXPORT(KeRemoveDeviceQueue), TARVEL_EXPORT(KeRemoveEntryDeviceQueue),
    TARVEL_EXPORT(KeRemoveQueueDpc), TARVEL_EXPORT(KeResetEvent), TARVEL_EXPORT(KeSetEvent),
    TARVEL_EXPORT(KeSetImportanceDpc), TARVEL_EXPORT(KeSetPriorityThread), TARVEL_EXPORT(KeSetTimer),
    TARVEL_EXPORT(KeSetTimerEx), TARVEL_EXPORT(KeStallExecutionProcessor), TARVEL_EXPORT(KeTestSpinLock),
    TARVEL_EXPORT(KeTryToAcquireSpinLockAtDpcLevel), TARVEL_EXPORT(KeWaitForMultipleObjects),
    TARVEL_EXPORT(KeWaitForSingleObject), TARVEL_EXPORT(KfRaiseIrql), TARVEL_EXPORT(MmBuildMdlForNonPagedPool),
    TARVEL_EXPORT(MmCreateMdl), TARVEL_EXPORT(MmIsAddressValid), TARVEL_EXPORT(MmMapLockedPages),
    TARVEL_EXPORT(MmMapLockedPagesSpecifyCache), TARVEL_EXPORT(MmProbeAndLockPages),
    TARVEL_EXPORT(MmSizeOfMdl), TARVEL_EXPORT(MmUnlockPages), TARVEL_EXPORT(MmUnmapLockedPages),
    TARVEL_EXPORT(ObfDereferenceObject), TARVEL_EXPORT(ObfReferenceObject), TARVEL_EXPORT(PoCallDriver),
    TARVEL_EXPORT(PoRequestPowerIrp), TARVEL_EXPORT(PoSetPowerState), TARVEL_EXPORT(PoStartNextPowerIrp),
    TARVEL_EXPORT(PsGetCurrentProcess), TARVEL_EXPORT(PsGetCurrentProcessId),
    TARVEL_EXPORT(PsGetCurrentThread), TARVEL_EXPORT(PsGetCurrentThreadId),
    TARVEL_EXPORT(RtlAnsiStringToUnicodeString), TARVEL_EXPORT(RtlAppendUnicodeStringToString),
    TARVEL_EXPORT(RtlAppendUnicodeToString), TARVEL_EXPORT(RtlAssert), TARVEL_EXPORT(RtlCharToInteger),
    TARVEL_EXPORT(RtlCheckRegistryKey), TARVEL_EXPORT(RtlCompareMemory),
    TARVEL_EXPORT(RtlCompareUnicodeString), TARVEL_EXPORT(RtlCopyUnicodeString),
    TARVEL_EXPORT(RtlCreateRegistryKey), TARVEL_EXPORT(RtlDeleteRegistryValue),
    TARVEL_EXPORT(RtlEqualUnicodeString), TARVEL_EXPORT(RtlFreeAnsiString),
    TARVEL_EXPORT(RtlFreeUnicodeString), TARVEL_EXPORT(RtlInitAnsiString), TARVEL_EXPORT(RtlInitString),
    TARVEL_EXPORT(RtlInitUnicodeString), TARVEL_EXPORT(RtlIntegerToUnicodeString),
    TARVEL_EXPORT(RtlPrefixUnicodeString), TARVEL_EXPORT(RtlQueryRegistryValues),
    TARVEL_EXPORT(RtlUnicodeStringToAnsiString), TARVEL_EXPORT(RtlUnicodeStringToInteger),
    TARVEL_EXPORT(RtlUpcaseUnicodeChar), TARVEL_EXPORT(RtlUpcaseUnicodeString),
    TARVEL_EXPORT(RtlWriteRegistryValue), TARVEL_EXPORT(ZwClose), TARVEL_EXPORT(ZwCreateKey),
    TARVEL_EXPORT(ZwDeleteKey), TARVEL_EXPORT(ZwDeleteValueKey), TARVEL_EXPORT(ZwEnumerateValueKey),
    TARVEL_EXPORT(ZwFlushKey), TARVEL_EXPORT(ZwOpenKey), TARVEL_EXPORT(ZwQueryValueKey),
    TARVEL_EXPORT(ZwSetValueKey),
};

// ntoskrnl.exe and HAL.dll are one kernel here.
const struct Registration {
  Registration() {
    RegisterExports("ntoskrnl.exe", kKernelExports);
    RegisterExports("ntoskrnl.exe", kCrtExports);
    RegisterExports("HAL.dll", kKernelExports);
  }
} gRegistration;

}  // namespace
}  // namespace tarvel::kernel
