// Waits on dispatcher objects: KeWaitForSingleObject and KeWaitForMultipleObjects, with the signal
// and satisfaction rules of each object type.
#include "ke/dispatcher.h"

#include <cstdio>
#include <map>

namespace tarvel::kernel::ke {

const char kObjectWait[] = "object";

namespace {

using exec::Thread;

// Threads between KeSetEvent(..., TRUE) and their wait, with the IRQL to wait at.
std::map<const Thread*, KIRQL> gHeldForWait;
void Boot() { gHeldForWait.clear(); }
const exec::ComponentRegistration gRegistration{{"waits", Boot, nullptr}};

bool IsMutex(const DISPATCHER_HEADER* h) { return h->Type == kMutantObject; }

bool SignaledFor(const DISPATCHER_HEADER* h, const Thread* thread) {
  if (IsMutex(h))
    return h->SignalState > 0 ||
           reinterpret_cast<const KMUTEX*>(h)->OwnerThread == reinterpret_cast<const _KTHREAD*>(thread);
  return h->SignalState > 0;
}

// The side effect of a satisfied wait: auto-reset objects reset, semaphores count down, mutexes
// change owner.
void Consume(DISPATCHER_HEADER* h, Thread* thread) {
  switch (h->Type) {
    case kEventSynchronizationObject:
    case kTimerSynchronizationObject:
      h->SignalState = 0;
      break;
    case kSemaphoreObject:
      --h->SignalState;
      break;
    case kMutantObject:
      --h->SignalState;
      reinterpret_cast<KMUTEX*>(h)->OwnerThread = reinterpret_cast<_KTHREAD*>(thread);
      break;
    default:
      break;
  }
}

DISPATCHER_HEADER* HeaderAt(const void* const* objects, unsigned i) {
  return static_cast<DISPATCHER_HEADER*>(const_cast<void*>(objects[i]));
}

// Tries to satisfy thread's wait now; returns the wait status or -1 if it must go on waiting.
NTSTATUS TrySatisfy(Thread* thread, const void* const* objects, unsigned count, bool waitAll) {
  if (waitAll) {
    for (unsigned i = 0; i < count; ++i)
      if (!SignaledFor(HeaderAt(objects, i), thread)) return -1;
    for (unsigned i = 0; i < count; ++i) Consume(HeaderAt(objects, i), thread);
    return STATUS_SUCCESS;
  }
  for (unsigned i = 0; i < count; ++i) {
    if (SignaledFor(HeaderAt(objects, i), thread)) {
      Consume(HeaderAt(objects, i), thread);
      return static_cast<NTSTATUS>(STATUS_WAIT_0 + i);
    }
  }
  return -1;
}

bool WaitsOn(const Thread* t, const DISPATCHER_HEADER* h) {
  if (t->wait.kind != kObjectWait) return false;
  for (unsigned i = 0; i < t->wait.count; ++i)
    if (t->wait.objects[i] == h) return true;
  return false;
}

NTSTATUS WaitOnObjects(const char* routine, const void* caller, const void* const* objects, unsigned count,
                       bool waitAll, const LARGE_INTEGER* timeout) {
  Thread* self = exec::Current();
  if (auto held = gHeldForWait.find(self); held != gHeldForWait.end()) {
    exec::SetIrql(self, held->second);  // the wait drops back to the IRQL before KeSetEvent
    gHeldForWait.erase(held);
  }
  SwitchPoint();
  CheckWaitIrql(routine, objects[0], timeout);
  const NTSTATUS now = TrySatisfy(self, objects, count, waitAll);
  if (now != -1) return now;
  if (timeout && timeout->QuadPart == 0) return STATUS_TIMEOUT;
  self->wait = exec::WaitFor(kObjectWait, routine);
  self->wait.caller = caller;
  self->wait.objects = objects;
  self->wait.count = count;
  self->wait.waitAll = waitAll;
  if (timeout) {
    self->wait.hasDeadline = true;
    self->wait.deadline = exec::ScheduleAt(DueTimeOf(timeout->QuadPart), [self] {
      self->wait.hasDeadline = false;
      exec::Wake(self, STATUS_TIMEOUT);
    });
  }
  exec::Block();
  return self->waitStatus;
}

}  // namespace

bool SomeoneWaitsOn(const DISPATCHER_HEADER* object) {
  // An application may initialise its events before the machine boots; nobody can wait then.
  if (!exec::IsBooted()) return false;
  for (const Thread* t : exec::Waiters())
    if (WaitsOn(t, object)) return true;
  return false;
}

void HoldForWait(const char* routine) {
  Thread* self = exec::Current();
  if (self->irql >= DISPATCH_LEVEL)
    VerifierStop("Wait TRUE at DISPATCH_LEVEL", routine, nullptr,
                 "a caller at IRQL " + std::to_string(self->irql) + " cannot wait after it");
  gHeldForWait[self] = self->irql;
  exec::SetIrql(self, DISPATCH_LEVEL);
}

void CheckWaitIrql(const char* routine, const void* object, const LARGE_INTEGER* timeout) {
  const unsigned irql = exec::Current()->irql;
  if (irql > DISPATCH_LEVEL)
    VerifierStop("wait above DISPATCH_LEVEL", routine, object, "IRQL " + std::to_string(irql));
  if (irql == DISPATCH_LEVEL && (!timeout || timeout->QuadPart != 0))
    VerifierStop("wait at DISPATCH_LEVEL", routine, object,
                 timeout ? "a wait at DISPATCH_LEVEL must have a zero timeout"
                         : "a wait without timeout at DISPATCH_LEVEL");
}

VirtualTime DueTimeOf(LONGLONG timeout) {
  if (timeout < 0) return Now() - timeout;
  return timeout - kBootSystemTime;  // absolute: already past is due now (the timeline clamps)
}

void WakeWaitersOf(DISPATCHER_HEADER* object) {
  const std::vector<Thread*>& waiters = exec::Waiters();
  // Wake() removes the woken thread from the list, so the next one moves into its place.
  for (std::size_t i = 0; i < waiters.size() && object->SignalState > 0;) {
    Thread* t = waiters[i];
    if (!WaitsOn(t, object)) {
      ++i;
      continue;
    }
    const NTSTATUS status = TrySatisfy(t, t->wait.objects, t->wait.count, t->wait.waitAll);
    if (status == -1) {
      ++i;
      continue;
    }
    exec::Wake(t, status);
  }
}

}  // namespace tarvel::kernel::ke

using namespace tarvel::kernel;

extern "C" {

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout) {
  const void* objects[1] = {Object};
  return ke::WaitOnObjects("KeWaitForSingleObject", __builtin_return_address(0), objects, 1, false, Timeout);
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON,
                                  KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout, PKWAIT_BLOCK) {
  if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS)
    VerifierStop("bad object count", "KeWaitForMultipleObjects", Object, std::to_string(Count) + " objects");
  return ke::WaitOnObjects("KeWaitForMultipleObjects", __builtin_return_address(0),
                           const_cast<const void* const*>(Object), Count, WaitType == WaitAll, Timeout);
}

}  // extern "C"
