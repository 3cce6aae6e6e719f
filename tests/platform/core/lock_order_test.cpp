// Lock-order checking: small driver-style routines that take two spin locks in one order and, elsewhere,
// in the other. None of the runs deadlocks; the inversion alone must stop the run, naming both sites.
#include "machine_fixture.h"

namespace tarvel::kernel::testing {
namespace {

using LockOrder = MachineTest;

struct DeviceLocks {
  KSPIN_LOCK StateLock;
  KSPIN_LOCK QueueLock;
  KSPIN_LOCK EventLock;
};

DeviceLocks* NewLocks() {
  auto* locks = static_cast<DeviceLocks*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(DeviceLocks), 'kcoL'));
  KeInitializeSpinLock(&locks->StateLock);
  KeInitializeSpinLock(&locks->QueueLock);
  KeInitializeSpinLock(&locks->EventLock);
  return locks;
}

// The routines the checks name: external linkage, not inlined.
__attribute__((noinline)) void TakeStateThenQueue(DeviceLocks* locks) {
  KIRQL irql;
  KeAcquireSpinLock(&locks->StateLock, &irql);
  KeAcquireSpinLockAtDpcLevel(&locks->QueueLock);
  KeReleaseSpinLockFromDpcLevel(&locks->QueueLock);
  KeReleaseSpinLock(&locks->StateLock, irql);
}

__attribute__((noinline)) void TakeQueueThenState(DeviceLocks* locks) {
  KLOCK_QUEUE_HANDLE queue;
  KeAcquireInStackQueuedSpinLock(&locks->QueueLock, &queue);
  KIRQL irql;
  KeAcquireSpinLock(&locks->StateLock, &irql);
  KeReleaseSpinLock(&locks->StateLock, irql);
  KeReleaseInStackQueuedSpinLock(&queue);
}

__attribute__((noinline)) void TakeEventLockThenCancelLock(DeviceLocks* locks) {
  KIRQL irql, cancelIrql;
  KeAcquireSpinLock(&locks->EventLock, &irql);
  IoAcquireCancelSpinLock(&cancelIrql);
  IoReleaseCancelSpinLock(cancelIrql);
  KeReleaseSpinLock(&locks->EventLock, irql);
}

__attribute__((noinline)) void TakeCancelLockThenEventLock(DeviceLocks* locks) {
  KIRQL irql, cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  KeAcquireSpinLock(&locks->EventLock, &irql);
  KeReleaseSpinLock(&locks->EventLock, irql);
  IoReleaseCancelSpinLock(cancelIrql);
}

TEST_F(LockOrder, InversionOnAnotherThreadStopsWithBothSites) {
  DeviceLocks* locks = NewLocks();
  TakeStateThenQueue(locks);
  TakeStateThenQueue(locks);  // the same order again is fine
  EXPECT_DEATH(
      {
        StartThread("second", [locks] { TakeQueueThenState(locks); });
        RunUntilIdle();
      },
      "VERIFIER STOP: spin lock order inversion in KeAcquireSpinLock on 0x[0-9a-f]+: "
      "takes spin lock 0x[0-9a-f]+ taken at TakeQueueThenState \\(lock_order_test.cpp:[0-9]+\\) in tarvel_core_tests\\+0x[0-9a-f]+\n"
      "    while holding spin lock 0x[0-9a-f]+ taken at TakeQueueThenState \\(lock_order_test.cpp:[0-9]+\\).*\n"
      "  but the other order was seen before:\n"
      "    thread \"app\" took spin lock 0x[0-9a-f]+ taken at TakeStateThenQueue \\(lock_order_test.cpp:[0-9]+\\).*\n"
      "      while holding spin lock 0x[0-9a-f]+ taken at TakeStateThenQueue \\(lock_order_test.cpp:[0-9]+\\).*"
      "at virtual time .* on thread \"second\"");
  ExFreePool(locks);
}

TEST_F(LockOrder, InversionWithTheCancelSpinLockStops) {
  DeviceLocks* locks = NewLocks();
  TakeEventLockThenCancelLock(locks);
  EXPECT_DEATH(TakeCancelLockThenEventLock(locks),
               "VERIFIER STOP: spin lock order inversion in KeAcquireSpinLock on 0x[0-9a-f]+: "
               "takes spin lock 0x[0-9a-f]+ taken at TakeCancelLockThenEventLock \\(lock_order_test.cpp:[0-9]+\\).*\n"
               "    while holding the cancel spin lock \\(spin lock 0x[0-9a-f]+\\) taken at TakeCancelLockThenEventLock.*"
               "thread \"app\" took the cancel spin lock \\(spin lock 0x[0-9a-f]+\\) taken at TakeEventLockThenCancelLock");
  ExFreePool(locks);
}

TEST_F(LockOrder, ACycleThroughThreeLocksStops) {
  DeviceLocks* locks = NewLocks();
  auto take = [](KSPIN_LOCK* first, KSPIN_LOCK* second) {
    KIRQL irql;
    KeAcquireSpinLock(first, &irql);
    KeAcquireSpinLockAtDpcLevel(second);
    KeReleaseSpinLockFromDpcLevel(second);
    KeReleaseSpinLock(first, irql);
  };
  take(&locks->StateLock, &locks->QueueLock);
  take(&locks->QueueLock, &locks->EventLock);
  EXPECT_DEATH(take(&locks->EventLock, &locks->StateLock),
               "spin lock order inversion .*other order was seen before:\n"
               "    thread \"app\" took .*\n      while holding .*\n"
               "    thread \"app\" took .*\n      while holding ");
  ExFreePool(locks);
}

TEST_F(LockOrder, ATryAcquisitionInTheOtherOrderIsNoInversion) {
  DeviceLocks* locks = NewLocks();
  TakeStateThenQueue(locks);
  // It cannot deadlock: it gives up instead of waiting.
  KIRQL irql;
  KeAcquireSpinLock(&locks->QueueLock, &irql);
  ASSERT_TRUE(KeTryToAcquireSpinLockAtDpcLevel(&locks->StateLock));
  KeReleaseSpinLockFromDpcLevel(&locks->StateLock);
  KeReleaseSpinLock(&locks->QueueLock, irql);
  TakeStateThenQueue(locks);
  ExFreePool(locks);
}

}  // namespace
}  // namespace tarvel::kernel::testing
