// Events, waits, semaphores, mutexes, spin locks and interlocked operations.
#include <string>
#include <vector>

#include "machine_fixture.h"

namespace tarvel::kernel::testing {
namespace {

using Sync = MachineTest;

// Starts n threads that each wait on object and note when they wake.
void StartWaiters(int n, PVOID object, int& woken) {
  for (int i = 0; i < n; ++i)
    StartThread("waiter" + std::to_string(i), [object, &woken] {
      EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
      ++woken;
    });
  RunUntilIdle();
}

TEST_F(Sync, NotificationEventReleasesEveryWaiterAndStaysSignaled) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  int woken = 0;
  StartWaiters(3, &event, woken);
  EXPECT_EQ(woken, 0);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  RunUntilIdle();
  EXPECT_EQ(woken, 3);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(KeResetEvent(&event), 1);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(Sync, SynchronizationEventReleasesOneWaiterPerSetAndResets) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  int woken = 0;
  StartWaiters(2, &event, woken);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  RunUntilIdle();
  EXPECT_EQ(woken, 1);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  RunUntilIdle();
  EXPECT_EQ(woken, 2);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);  // no waiter: stays signaled for the next one
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(Sync, PulseReleasesTheWaitersAndLeavesTheEventReset) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  int woken = 0;
  StartWaiters(2, &event, woken);
  KePulseEvent(&event, IO_NO_INCREMENT, FALSE);
  RunUntilIdle();
  EXPECT_EQ(woken, 2);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(Sync, WaitTimesOutAfterExactlyItsTimeoutInVirtualTime) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER timeout = Relative(250 * kMillisecond);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(Now(), 250 * kMillisecond);
  LARGE_INTEGER poll{};
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  EXPECT_EQ(Now(), 250 * kMillisecond);
}

TEST_F(Sync, WaitSatisfiedBeforeItsTimeoutReturnsSuccessAtTheSignalTime) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  StartThread("late setter", [&] {
    LARGE_INTEGER delay = Relative(40 * kMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  });
  LARGE_INTEGER timeout = Relative(kSecond);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  EXPECT_EQ(Now(), 40 * kMillisecond);
  RunFor(2 * kSecond);  // the cancelled timeout does not fire into a later wait
  EXPECT_EQ(Now(), 40 * kMillisecond + 2 * kSecond);
}

TEST_F(Sync, WaitAnyReportsWhichObjectAndWaitAllNeedsEvery) {
  KEVENT a, b;
  KeInitializeEvent(&a, NotificationEvent, FALSE);
  KeInitializeEvent(&b, SynchronizationEvent, FALSE);
  PVOID both[] = {&a, &b};
  StartThread("set b", [&] { KeSetEvent(&b, IO_NO_INCREMENT, FALSE); });
  EXPECT_EQ(KeWaitForMultipleObjects(2, both, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
            STATUS_WAIT_0 + 1);
  EXPECT_EQ(KeReadStateEvent(&b), 0);

  NTSTATUS all = -1;
  StartThread("wait all", [&] {
    all = KeWaitForMultipleObjects(2, both, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr);
  });
  RunUntilIdle();
  KeSetEvent(&a, IO_NO_INCREMENT, FALSE);
  RunUntilIdle();
  EXPECT_EQ(all, -1) << "released with only one of two objects signaled";
  KeSetEvent(&b, IO_NO_INCREMENT, FALSE);
  RunUntilIdle();
  EXPECT_EQ(all, STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&b), 0);
  EXPECT_EQ(KeReadStateEvent(&a), 1);
}

TEST_F(Sync, SemaphoreCountsReleasesAndMutexIsRecursiveForItsOwner) {
  KSEMAPHORE semaphore;
  KeInitializeSemaphore(&semaphore, 1, 2);
  EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  LARGE_INTEGER poll{};
  EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 2, FALSE), 0);
  EXPECT_EQ(KeReadStateSemaphore(&semaphore), 2);

  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  bool otherGotIt = false;
  StartThread("other", [&] {
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    otherGotIt = true;
    KeReleaseMutex(&mutex, FALSE);
  });
  RunUntilIdle();
  KeReleaseMutex(&mutex, FALSE);
  RunUntilIdle();
  EXPECT_FALSE(otherGotIt) << "mutex handed over while its owner still held it once";
  KeReleaseMutex(&mutex, FALSE);
  RunUntilIdle();
  EXPECT_TRUE(otherGotIt);
}

TEST_F(Sync, SpinLockRaisesToDispatchAndRestoresTheCallersIrql) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_EQ(SpinLocksHeld(), 1u);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(SpinLocksHeld(), 0u);
}

TEST_F(Sync, SpinLockHeldOnAnotherProcessorMakesTheAcquirerWaitForTheRelease) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  std::vector<std::string> log;
  StartThread("holder", [&] {
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    log.push_back("holder in");
    KeStallExecutionProcessor(10);  // busy on its processor; the other one runs meanwhile
    log.push_back("holder out");
    KeReleaseSpinLock(&lock, irql);
  });
  StartThread("contender", [&] {
    KIRQL irql;
    log.push_back("contender tries");
    KeAcquireSpinLock(&lock, &irql);
    log.push_back("contender in");
    KeReleaseSpinLock(&lock, irql);
  });
  RunFor(kMillisecond);
  EXPECT_EQ(log, (std::vector<std::string>{"holder in", "contender tries", "holder out", "contender in"}));
}

TEST_F(Sync, InterlockedOperationsReturnThePlatformsValues) {
  LONG value = 5;
  EXPECT_EQ(InterlockedIncrement(&value), 6);
  EXPECT_EQ(InterlockedDecrement(&value), 5);
  EXPECT_EQ(InterlockedExchange(&value, 9), 5);
  EXPECT_EQ(InterlockedExchangeAdd(&value, 3), 9);
  EXPECT_EQ(InterlockedCompareExchange(&value, 1, 7), 12);  // no match: unchanged
  EXPECT_EQ(value, 12);
  EXPECT_EQ(InterlockedCompareExchange(&value, 1, 12), 12);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(InterlockedOr(&value, 6), 1);
  EXPECT_EQ(InterlockedAnd(&value, 3), 7);
  EXPECT_EQ(value, 3);
  LONG max = 0x7fffffff;
  EXPECT_EQ(InterlockedIncrement(&max), static_cast<LONG>(0x80000000u));  // wraps as the hardware does
  LONG bits[2] = {0, 0};
  EXPECT_FALSE(InterlockedBitTestAndSet(bits, 33));
  EXPECT_TRUE(InterlockedBitTestAndSet(bits, 33));
  EXPECT_EQ(bits[1], 2);
  PVOID slot = nullptr;
  int target;
  EXPECT_EQ(InterlockedCompareExchangePointer(&slot, &target, nullptr), nullptr);
  EXPECT_EQ(slot, &target);
}

TEST_F(Sync, InterlockedListsKeepOrderUnderTheirLock) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  LIST_ENTRY head, one, two;
  InitializeListHead(&head);
  EXPECT_EQ(ExInterlockedInsertTailList(&head, &one, &lock), nullptr);
  EXPECT_EQ(ExInterlockedInsertTailList(&head, &two, &lock), &one);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &one);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &two);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

}  // namespace
}  // namespace tarvel::kernel::testing
