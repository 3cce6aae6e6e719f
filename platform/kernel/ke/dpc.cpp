// Deferred procedure calls: one queue (the machine has one processor), run at DISPATCH_LEVEL before a
// thread below DISPATCH_LEVEL continues past a switch point, or on the DPC context when nothing runs.
#include <deque>
#include <vector>

#include "exec/symbols.h"
#include "ke/apc.h"
#include "ke/dispatcher.h"
#include "verifier/paged_code.h"

namespace tarvel::kernel::ke {
namespace {

// Marks a queued DPC in its DpcData, as the platform does.
void* const kQueuedMark = reinterpret_cast<void*>(std::uintptr_t{1});

std::deque<PKDPC> gQueue;
// DPC routines that have started and not yet returned. A routine that spins on a spin lock held by
// another thread is switched out mid-routine and still counts.
unsigned gRunning = 0;
const char kFlushWait[] = "DPC flush";

bool Pending() { return !gQueue.empty(); }

void RunOne(PKDPC dpc) {
  exec::Thread* self = exec::Current();
  const unsigned char irql = self->irql;
  const std::size_t locks = self->spinLocks.size();
  exec::SetIrql(self, DISPATCH_LEVEL);
  ++self->dpcDepth;
  ++gRunning;
  exec::NoteDpcRun();
  if (Tracing()) Trace("DPC " + exec::SymbolName(reinterpret_cast<const void*>(dpc->DeferredRoutine)));
  dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
  if (self->irql != DISPATCH_LEVEL)
    VerifierStop("IRQL not restored", "DPC routine", dpc,
                 exec::SymbolName(reinterpret_cast<const void*>(dpc->DeferredRoutine)) + " returned at IRQL " +
                     std::to_string(self->irql));
  if (self->spinLocks.size() > locks)
    VerifierStop("spin lock held on return", "DPC routine", dpc,
                 exec::SymbolName(reinterpret_cast<const void*>(dpc->DeferredRoutine)) +
                     " returned holding spin lock " + exec::DescribeObject(self->spinLocks.back()));
  --self->dpcDepth;
  exec::SetIrql(self, irql);
  if (--gRunning == 0) {
    std::vector<exec::Thread*> flushers;
    for (exec::Thread* t : exec::Waiters())
      if (t->wait.kind == kFlushWait) flushers.push_back(t);
    for (exec::Thread* t : flushers) exec::Wake(t, STATUS_SUCCESS);
  }
}

void Drain() {
  exec::Thread* self = exec::Current();
  if (self->dpcDepth) return;  // a DPC's own switch points do not start DPCs
  while (!gQueue.empty()) {
    PKDPC dpc = gQueue.front();
    gQueue.pop_front();
    dpc->DpcData = nullptr;
    RunOne(dpc);
  }
  DeliverApcs();  // what the DPCs finished for this thread, now that it is back at its own IRQL
}

void Boot() {
  gQueue.clear();
  gRunning = 0;
  exec::SetDpcHooks({Pending, Drain});
}

// Registered at load time so that Boot starts the DPC context.
const bool gHooks = (exec::SetDpcHooks({Pending, Drain}), true);
const exec::ComponentRegistration gRegistration{{"dpc", Boot, nullptr}};

}  // namespace

BOOLEAN QueueDpc(PKDPC dpc, PVOID argument1, PVOID argument2) {
  if (dpc->DpcData) return FALSE;
  dpc->SystemArgument1 = argument1;
  dpc->SystemArgument2 = argument2;
  dpc->DpcData = kQueuedMark;
  if (dpc->Importance == HighImportance) gQueue.push_front(dpc);
  else gQueue.push_back(dpc);
  return TRUE;
}

const void* QueuedDpcIn(const void* begin, std::size_t size) {
  const auto* b = static_cast<const char*>(begin);
  for (PKDPC dpc : gQueue) {
    const auto* p = reinterpret_cast<const char*>(dpc);
    if (p + sizeof(KDPC) > b && p < b + size) return dpc;
  }
  return nullptr;
}

const void* QueuedDpcWithRoutineIn(const void* begin, const void* end) {
  for (PKDPC dpc : gQueue) {
    const auto* r = reinterpret_cast<const char*>(dpc->DeferredRoutine);
    if (r >= static_cast<const char*>(begin) && r < static_cast<const char*>(end)) return dpc;
  }
  return nullptr;
}

}  // namespace tarvel::kernel::ke

using namespace tarvel::kernel;

extern "C" {

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  // A queued DPC is linked into the processor's DPC queue: initialising it again corrupts the queue.
  for (PKDPC queued : ke::gQueue)
    if (queued == Dpc)
      VerifierStop("queued DPC initialised again", "KeInitializeDpc", Dpc,
                   "remove it (KeRemoveQueueDpc) or let it run before initialising it again");
  Dpc->Type = ke::kDpcObject;
  Dpc->Importance = MediumImportance;
  Dpc->Number = 0;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = nullptr;
  Dpc->SystemArgument2 = nullptr;
  Dpc->DpcData = nullptr;
}

// Threaded DPCs run like ordinary ones here (the platform may run them at DISPATCH_LEVEL too).
VOID KeInitializeThreadedDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  KeInitializeDpc(Dpc, DeferredRoutine, DeferredContext);
}

// Returns once every DPC queued so far has run to completion: queued ones run at the caller's switch
// point, and a DPC that another thread is still executing (switched out mid-routine) is waited for, so
// that a driver may free what its DPCs touch once the flush returns.
VOID KeFlushQueuedDpcs(VOID) {
  if (KeGetCurrentIrql() > PASSIVE_LEVEL)
    VerifierStop("KeFlushQueuedDpcs above PASSIVE_LEVEL", "KeFlushQueuedDpcs", nullptr,
                 "IRQL " + std::to_string(KeGetCurrentIrql()));
  SwitchPoint();
  while (!ke::gQueue.empty() || ke::gRunning) {
    if (!ke::gQueue.empty()) {
      SwitchPoint();
      continue;
    }
    exec::Thread* self = exec::Current();
    self->wait = exec::WaitFor(ke::kFlushWait, "KeFlushQueuedDpcs");
    exec::Block();
  }
}

VOID KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) { Dpc->Importance = static_cast<UCHAR>(Importance); }

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  verifier::CheckNotCalledFromPageable(__builtin_return_address(0), "KeInsertQueueDpc");
  const BOOLEAN queued = ke::QueueDpc(Dpc, SystemArgument1, SystemArgument2);
  SwitchPoint();  // below DISPATCH_LEVEL the DPC runs here, as the software interrupt would
  return queued;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  SwitchPoint();
  if (!Dpc->DpcData) return FALSE;
  auto& queue = ke::gQueue;
  for (auto it = queue.begin(); it != queue.end(); ++it) {
    if (*it == Dpc) {
      queue.erase(it);
      break;
    }
  }
  Dpc->DpcData = nullptr;
  return TRUE;
}

}  // extern "C"
