// Dispatcher objects (events, timers, semaphores, mutexes) and the waits on them. Private to the
// emulated kernel.
#pragma once

#include <wdm.h>

#include "exec/engine.h"

namespace tarvel::kernel::ke {

// Object types in DISPATCHER_HEADER.Type and KDPC.Type, with the platform's values.
enum ObjectType : UCHAR {
  kEventNotificationObject = 0,
  kEventSynchronizationObject = 1,
  kMutantObject = 2,
  kSemaphoreObject = 5,
  kTimerNotificationObject = 8,
  kTimerSynchronizationObject = 9,
  kDpcObject = 19,
};

// Satisfies the waits of threads blocked on object, in the order they started waiting, for as long as
// the object stays signaled (a synchronization event or a semaphore runs out). Never switches.
void WakeWaitersOf(DISPATCHER_HEADER* object);
// True if a thread waits on object (KeInitializeEvent and the like must not reset its wait list).
bool SomeoneWaitsOn(const DISPATCHER_HEADER* object);
// KeSetEvent with Wait TRUE: the caller stays at DISPATCH_LEVEL until its next call, which must be a
// wait; the wait runs at the IRQL the caller had before KeSetEvent.
void HoldForWait(const char* routine);
// The wait kind a dispatcher wait records (compared by address).
extern const char kObjectWait[];

// The verifier rule for waits: above DISPATCH_LEVEL never, at DISPATCH_LEVEL only with a zero timeout.
void CheckWaitIrql(const char* routine, const void* object, const LARGE_INTEGER* timeout);
// Due time in virtual time of a platform timeout (negative: relative, positive: absolute system time).
VirtualTime DueTimeOf(LONGLONG timeout);
// The system time at boot (100-ns units since 1601), fixed so that runs are reproducible.
constexpr LONGLONG kBootSystemTime = 133'485'408'000'000'000LL;  // 2024-01-01 00:00:00 UTC

// Pending DPCs in memory [begin, begin + size), timers ditto (for the free check).
const void* QueuedDpcIn(const void* begin, std::size_t size);
const void* QueuedTimerIn(const void* begin, std::size_t size);
// Queues a DPC without a switch point (timer expiry). Returns FALSE if it was already queued.
BOOLEAN QueueDpc(PKDPC dpc, PVOID argument1, PVOID argument2);
// DPCs and timers whose routine lies in [begin, end) (checked when a driver unloads).
const void* QueuedDpcWithRoutineIn(const void* begin, const void* end);
const void* QueuedTimerWithRoutineIn(const void* begin, const void* end);

// Takes a spin lock (already at DISPATCH_LEVEL) for a kernel routine that acts for a driver: site is the
// driver's call, which the lock-order check reports.
void AcquireSpinLockFor(PKSPIN_LOCK lock, const char* routine, const void* site);
KIRQL Raise(KIRQL newIrql, const char* routine);
void Lower(KIRQL newIrql, const char* routine);

}  // namespace tarvel::kernel::ke
