// Events: notification events stay signaled until cleared and release every waiter; synchronization
// events release one waiter and reset.
#include "ke/dispatcher.h"
#include "verifier/paged_code.h"

using namespace tarvel::kernel;

extern "C" {

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  // Threads wait on it through its wait list: initialising it again strands them.
  if (ke::SomeoneWaitsOn(&Event->Header))
    VerifierStop("event initialised again while a thread waits on it", "KeInitializeEvent", Event);
  if (Type != NotificationEvent && Type != SynchronizationEvent)
    VerifierStop("bad event type", "KeInitializeEvent", Event, std::to_string(static_cast<int>(Type)));
  Event->Header.Type = Type == NotificationEvent ? ke::kEventNotificationObject : ke::kEventSynchronizationObject;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.SignalState = State ? 1 : 0;
  InitializeListHead(&Event->Header.WaitListHead);
}

// With Wait TRUE the platform returns holding the dispatcher lock at DISPATCH_LEVEL, and the caller's
// next call must be a wait: a caller that does anything else returns from its routine at the raised
// IRQL, which the verifier reports.
LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN Wait) {
  verifier::CheckNotCalledFromPageable(__builtin_return_address(0), "KeSetEvent");
  SwitchPoint();
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    VerifierStop("KeSetEvent above DISPATCH_LEVEL", "KeSetEvent", Event, "IRQL " + std::to_string(KeGetCurrentIrql()));
  const LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  ke::WakeWaitersOf(&Event->Header);
  if (Wait) {
    ke::HoldForWait("KeSetEvent");
    verifier::CheckNotReturningToPageable(__builtin_return_address(0), "KeSetEvent", DISPATCH_LEVEL);
  }
  return previous;
}

// Releases the current waiters (all, or one for a synchronization event) and leaves the event reset.
LONG KePulseEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
  SwitchPoint();
  const LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  ke::WakeWaitersOf(&Event->Header);
  Event->Header.SignalState = 0;
  return previous;
}

LONG KeResetEvent(PRKEVENT Event) {
  SwitchPoint();
  const LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
  SwitchPoint();
  Event->Header.SignalState = 0;
}

LONG KeReadStateEvent(PRKEVENT Event) {
  SwitchPoint();
  return Event->Header.SignalState;
}

}  // extern "C"
