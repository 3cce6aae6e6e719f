// IRQL per emulated thread. Lowering below DISPATCH_LEVEL lets pending DPCs run, as the platform's
// software interrupt does.
#include "ke/apc.h"
#include "ke/dispatcher.h"
#include "verifier/paged_code.h"

using namespace tarvel::kernel;

namespace tarvel::kernel::ke {

KIRQL Raise(KIRQL newIrql, const char* routine, const void* caller) {
  exec::Thread* self = exec::Current();
  if (!self) VerifierStop("kernel routine called outside the machine", routine, nullptr);
  const KIRQL old = self->irql;
  if (newIrql < old)
    VerifierStop("IRQL raised to a lower level", routine, nullptr,
                 "from " + std::to_string(old) + " to " + std::to_string(newIrql));
  exec::SetIrql(self, newIrql);
  if (caller) verifier::CheckNotReturningToPageable(caller, routine, newIrql);
  return old;
}

void Lower(KIRQL newIrql, const char* routine, const void* caller) {
  exec::Thread* self = exec::Current();
  if (!self) VerifierStop("kernel routine called outside the machine", routine, nullptr);
  if (caller) verifier::CheckNotCalledFromPageable(caller, routine);
  if (newIrql > self->irql)
    VerifierStop("IRQL lowered to a higher level", routine, nullptr,
                 "from " + std::to_string(self->irql) + " to " + std::to_string(newIrql));
  if (newIrql < DISPATCH_LEVEL && self->dpcDepth && self->irql >= DISPATCH_LEVEL)
    VerifierStop("IRQL lowered below DISPATCH_LEVEL in a DPC", routine, nullptr,
                 "to " + std::to_string(newIrql));
  exec::SetIrql(self, newIrql);
  if (newIrql == PASSIVE_LEVEL) DeliverApcs();
  if (newIrql < DISPATCH_LEVEL) SwitchPoint();
}

}  // namespace tarvel::kernel::ke

namespace tarvel::kernel {
unsigned char CurrentIrql() { return exec::Current() ? exec::Current()->irql : PASSIVE_LEVEL; }

void CheckIrqlBalanced(unsigned char irqlOnEntry, const char* routine, const void* object) {
  const unsigned char irql = CurrentIrql();
  if (irql != irqlOnEntry)
    VerifierStop("IRQL not restored", routine, object,
                 "entered at IRQL " + std::to_string(irqlOnEntry) + ", returned at " + std::to_string(irql));
}
}  // namespace tarvel::kernel

extern "C" {

KIRQL KeGetCurrentIrql(VOID) { return CurrentIrql(); }

KIRQL KfRaiseIrql(KIRQL NewIrql) { return ke::Raise(NewIrql, "KeRaiseIrql", __builtin_return_address(0)); }

KIRQL KeRaiseIrqlToDpcLevel(VOID) {
  return ke::Raise(DISPATCH_LEVEL, "KeRaiseIrqlToDpcLevel", __builtin_return_address(0));
}

KIRQL KeRaiseIrqlToSynchLevel(VOID) {
  return ke::Raise(SYNCH_LEVEL, "KeRaiseIrqlToSynchLevel", __builtin_return_address(0));
}

VOID KeLowerIrql(KIRQL NewIrql) { ke::Lower(NewIrql, "KeLowerIrql", __builtin_return_address(0)); }

}  // extern "C"
