// Thread and process identity: the running emulated thread stands for the current KTHREAD; every
// thread belongs to the system process.
#include "ke/dispatcher.h"

using namespace tarvel::kernel;

namespace {
constexpr KPRIORITY kDefaultPriority = 8;
// The system process, as an opaque object drivers can compare.
alignas(16) char gSystemProcess[64];
}  // namespace

extern "C" {

PKTHREAD KeGetCurrentThread(VOID) { return reinterpret_cast<PKTHREAD>(exec::Current()); }
PETHREAD PsGetCurrentThread(VOID) { return reinterpret_cast<PETHREAD>(exec::Current()); }
HANDLE PsGetCurrentThreadId(VOID) { return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(exec::Current()->id * 4)); }
HANDLE PsGetCurrentProcessId(VOID) { return reinterpret_cast<HANDLE>(ULONG_PTR{4}); }
PEPROCESS PsGetCurrentProcess(VOID) { return reinterpret_cast<PEPROCESS>(gSystemProcess); }
PEPROCESS IoGetCurrentProcess(VOID) { return reinterpret_cast<PEPROCESS>(gSystemProcess); }

KPRIORITY KeSetPriorityThread(PKTHREAD, KPRIORITY) {
  SwitchPoint();
  return kDefaultPriority;
}

VOID KeEnterCriticalRegion(VOID) { ++exec::Current()->criticalRegions; }

VOID KeLeaveCriticalRegion(VOID) {
  exec::Thread* self = exec::Current();
  if (self->criticalRegions == 0)
    VerifierStop("critical region left more often than entered", "KeLeaveCriticalRegion", nullptr);
  --self->criticalRegions;
}

ULONG KeGetCurrentProcessorNumber(VOID) { return 0; }

BOOLEAN KeAreApcsDisabled(VOID) {
  const exec::Thread* self = exec::Current();
  return self->criticalRegions > 0 || self->irql >= APC_LEVEL;
}

}  // extern "C"
