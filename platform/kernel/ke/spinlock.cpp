// Spin locks. The lock word holds its owner; a thread that finds the lock held by another emulated
// thread waits for its release (the other thread stands for a second processor). Acquiring raises to
// DISPATCH_LEVEL first, as the platform does, so DPCs do not run on a lock holder.
#include <algorithm>

#include "ke/dispatcher.h"
#include "verifier/lock_order.h"
#include "verifier/paged_code.h"

namespace tarvel::kernel::ke {

namespace {

const char kSpinLockWait[] = "spin lock";

exec::Thread* OwnerOf(const KSPIN_LOCK* lock) { return reinterpret_cast<exec::Thread*>(*lock); }

// site: the driver's call of the kernel routine, for the lock-order report.
void Acquire(PKSPIN_LOCK lock, const char* routine, const void* site, bool trying = false) {
  SwitchPoint();
  exec::Thread* self = exec::Current();
  if (!trying) verifier::CheckLockOrder(lock, site, routine);
  while (*lock) {
    if (OwnerOf(lock) == self)
      VerifierStop("spin lock acquired twice", routine, lock, "the thread already holds it (deadlocks the processor)");
    const void* objects[1] = {lock};
    self->wait = exec::WaitFor(kSpinLockWait, routine);
    self->wait.objects = objects;
    self->wait.count = 1;
    exec::Block();
  }
  *lock = reinterpret_cast<KSPIN_LOCK>(self);
  self->spinLocks.push_back(lock);
  verifier::NoteLockHeld(lock, site);
}

void Release(PKSPIN_LOCK lock, const char* routine) {
  exec::Thread* self = exec::Current();
  if (OwnerOf(lock) != self)
    VerifierStop("spin lock released by a thread that does not hold it", routine, lock,
                 *lock ? "held by \"" + OwnerOf(lock)->name + "\"" : std::string("not held by anyone"));
  *lock = 0;
  verifier::NoteLockReleased(lock);
  auto held = std::find(self->spinLocks.rbegin(), self->spinLocks.rend(), lock);
  self->spinLocks.erase(std::next(held).base());
  for (exec::Thread* t : exec::Waiters()) {
    if (t->wait.kind == kSpinLockWait && t->wait.objects[0] == lock) {
      exec::Wake(t, STATUS_SUCCESS);
      break;  // the first in line takes it; the others wait on
    }
  }
}

void RequireDispatchLevel(const void* lock, const char* routine) {
  if (exec::Current()->irql < DISPATCH_LEVEL)
    VerifierStop("spin lock used below DISPATCH_LEVEL", routine, lock,
                 "IRQL " + std::to_string(exec::Current()->irql) + " (use KeAcquireSpinLock)");
}

}  // namespace

void AcquireSpinLockFor(PKSPIN_LOCK lock, const char* routine, const void* site) { Acquire(lock, routine, site); }

}  // namespace tarvel::kernel::ke

namespace tarvel::kernel {

unsigned SpinLocksHeld() { return exec::Current() ? static_cast<unsigned>(exec::Current()->spinLocks.size()) : 0; }

void CheckNoSpinLocksHeld(const char* routine, const void* object) {
  if (exec::Thread* self = exec::Current(); self && !self->spinLocks.empty())
    VerifierStop("spin lock held on return", routine, object,
                 "still holds spin lock " + exec::DescribeObject(self->spinLocks.back()));
}

}  // namespace tarvel::kernel

using namespace tarvel::kernel;

extern "C" {

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  const KIRQL old = ke::Raise(DISPATCH_LEVEL, "KeAcquireSpinLock", __builtin_return_address(0));
  ke::Acquire(SpinLock, "KeAcquireSpinLock", __builtin_return_address(0));
  return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  verifier::CheckNotCalledFromPageable(__builtin_return_address(0), "KeReleaseSpinLock");
  ke::Release(SpinLock, "KeReleaseSpinLock");
  ke::Lower(NewIrql, "KeReleaseSpinLock");
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  ke::RequireDispatchLevel(SpinLock, "KeAcquireSpinLockAtDpcLevel");
  verifier::CheckNotCalledFromPageable(__builtin_return_address(0), "KeAcquireSpinLockAtDpcLevel");
  ke::Acquire(SpinLock, "KeAcquireSpinLockAtDpcLevel", __builtin_return_address(0));
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  ke::RequireDispatchLevel(SpinLock, "KeReleaseSpinLockFromDpcLevel");
  verifier::CheckNotCalledFromPageable(__builtin_return_address(0), "KeReleaseSpinLockFromDpcLevel");
  ke::Release(SpinLock, "KeReleaseSpinLockFromDpcLevel");
  SwitchPoint();
}

BOOLEAN KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  ke::RequireDispatchLevel(SpinLock, "KeTryToAcquireSpinLockAtDpcLevel");
  SwitchPoint();
  if (*SpinLock) return FALSE;
  ke::Acquire(SpinLock, "KeTryToAcquireSpinLockAtDpcLevel", __builtin_return_address(0), true);
  return TRUE;
}

// In-stack queued spin locks: the same lock word, with the handle keeping the lock and old IRQL.
VOID KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
  LockHandle->LockQueue.Next = nullptr;
  LockHandle->LockQueue.Lock = SpinLock;
  LockHandle->OldIrql = ke::Raise(DISPATCH_LEVEL, "KeAcquireInStackQueuedSpinLock", __builtin_return_address(0));
  ke::Acquire(SpinLock, "KeAcquireInStackQueuedSpinLock", __builtin_return_address(0));
}

VOID KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle) {
  verifier::CheckNotCalledFromPageable(__builtin_return_address(0), "KeReleaseInStackQueuedSpinLock");
  ke::Release(LockHandle->LockQueue.Lock, "KeReleaseInStackQueuedSpinLock");
  ke::Lower(LockHandle->OldIrql, "KeReleaseInStackQueuedSpinLock");
}

VOID KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
  ke::RequireDispatchLevel(SpinLock, "KeAcquireInStackQueuedSpinLockAtDpcLevel");
  verifier::CheckNotCalledFromPageable(__builtin_return_address(0), "KeAcquireInStackQueuedSpinLockAtDpcLevel");
  LockHandle->LockQueue.Next = nullptr;
  LockHandle->LockQueue.Lock = SpinLock;
  ke::Acquire(SpinLock, "KeAcquireInStackQueuedSpinLockAtDpcLevel", __builtin_return_address(0));
}

VOID KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle) {
  ke::RequireDispatchLevel(LockHandle->LockQueue.Lock, "KeReleaseInStackQueuedSpinLockFromDpcLevel");
  verifier::CheckNotCalledFromPageable(__builtin_return_address(0), "KeReleaseInStackQueuedSpinLockFromDpcLevel");
  ke::Release(LockHandle->LockQueue.Lock, "KeReleaseInStackQueuedSpinLockFromDpcLevel");
  SwitchPoint();
}

BOOLEAN KeTestSpinLock(PKSPIN_LOCK SpinLock) {
  SwitchPoint();
  return *SpinLock == 0;
}

}  // extern "C"
