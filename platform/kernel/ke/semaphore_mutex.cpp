// Semaphores and mutexes, the other dispatcher objects a driver may wait on.
#include "ke/dispatcher.h"

using namespace tarvel::kernel;

extern "C" {

VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
  if (Count < 0 || Limit <= 0 || Count > Limit)
    VerifierStop("bad semaphore counts", "KeInitializeSemaphore", Semaphore,
                 "count " + std::to_string(Count) + ", limit " + std::to_string(Limit));
  Semaphore->Header.Type = ke::kSemaphoreObject;
  Semaphore->Header.Size = sizeof(KSEMAPHORE) / sizeof(LONG);
  Semaphore->Header.SignalState = Count;
  InitializeListHead(&Semaphore->Header.WaitListHead);
  Semaphore->Limit = Limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY, LONG Adjustment, BOOLEAN) {
  SwitchPoint();
  const LONG previous = Semaphore->Header.SignalState;
  if (Adjustment <= 0 || previous + Adjustment > Semaphore->Limit)
    VerifierStop("semaphore limit exceeded", "KeReleaseSemaphore", Semaphore,
                 "count " + std::to_string(previous) + " + " + std::to_string(Adjustment) + " > limit " +
                     std::to_string(Semaphore->Limit));
  Semaphore->Header.SignalState = previous + Adjustment;
  ke::WakeWaitersOf(&Semaphore->Header);
  return previous;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
  SwitchPoint();
  return Semaphore->Header.SignalState;
}

VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG) {
  Mutex->Header.Type = ke::kMutantObject;
  Mutex->Header.Size = sizeof(KMUTEX) / sizeof(LONG);
  Mutex->Header.SignalState = 1;
  InitializeListHead(&Mutex->Header.WaitListHead);
  Mutex->OwnerThread = nullptr;
  Mutex->Abandoned = FALSE;
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN) {
  SwitchPoint();
  if (Mutex->OwnerThread != reinterpret_cast<_KTHREAD*>(exec::Current()))
    VerifierStop("mutex released by a thread that does not own it", "KeReleaseMutex", Mutex);
  const LONG previous = Mutex->Header.SignalState;
  if (++Mutex->Header.SignalState == 1) {
    Mutex->OwnerThread = nullptr;
    ke::WakeWaitersOf(&Mutex->Header);
  }
  return previous;
}

LONG KeReadStateMutex(PRKMUTEX Mutex) {
  SwitchPoint();
  return Mutex->Header.SignalState;
}

}  // extern "C"
