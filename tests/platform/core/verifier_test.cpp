// Each rule of the verifier, triggered by a small misbehaving routine.
#include "machine_fixture.h"

namespace tarvel::kernel::testing {
namespace {

using Verifier = MachineTest;

KIRQL RaiseToDispatch() {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return old;
}

TEST_F(Verifier, WaitWithATimeoutAtDispatchLevelStops) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  RaiseToDispatch();
  LARGE_INTEGER poll{};
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);  // allowed
  LARGE_INTEGER timeout = Relative(kMillisecond);
  EXPECT_DEATH(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
               "VERIFIER STOP: wait at DISPATCH_LEVEL in KeWaitForSingleObject on 0x[0-9a-f]+: a wait at "
               "DISPATCH_LEVEL must have a zero timeout");
  EXPECT_DEATH(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
               "VERIFIER STOP: wait at DISPATCH_LEVEL .*without timeout");
  LARGE_INTEGER delay = Relative(kMillisecond);
  EXPECT_DEATH(KeDelayExecutionThread(KernelMode, FALSE, &delay), "VERIFIER STOP: wait at DISPATCH_LEVEL in KeDelayExecutionThread");
}

TEST_F(Verifier, PagedPoolAtDispatchLevelStops) {
  RaiseToDispatch();
  void* nonPaged = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'tseT');
  ExFreePool(nonPaged);
  EXPECT_DEATH(ExAllocatePoolWithTag(PagedPool, 16, 'tseT'),
               "VERIFIER STOP: paged pool at DISPATCH_LEVEL in ExAllocatePoolWithTag .*tag 'Test', 16 bytes at IRQL 2");
}

void PageableRoutine() { PAGED_CODE(); }

TEST_F(Verifier, PageableCodeEnteredAtDispatchLevelStops) {
  PageableRoutine();  // fine at PASSIVE_LEVEL
  RaiseToDispatch();
  EXPECT_DEATH(PageableRoutine(), "VERIFIER STOP: pageable code at DISPATCH_LEVEL in PageableRoutine");
}

TEST_F(Verifier, SpinLockReleasedByAThreadThatDoesNotHoldItStops) {
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        StartThread("holder", [&] {
          KIRQL irql;
          KeAcquireSpinLock(&lock, &irql);
          KeStallExecutionProcessor(10);
          KeReleaseSpinLock(&lock, irql);
        });
        StartThread("intruder", [&] { KeReleaseSpinLock(&lock, PASSIVE_LEVEL); });
        RunFor(kMillisecond);
      },
      "VERIFIER STOP: spin lock released by a thread that does not hold it in KeReleaseSpinLock on 0x[0-9a-f]+: "
      "held by \"holder\"");
  KSPIN_LOCK free;
  KeInitializeSpinLock(&free);
  EXPECT_DEATH(KeReleaseSpinLock(&free, PASSIVE_LEVEL), "does not hold it .*not held by anyone");
}

void NTAPI DpcThatKeepsItsLock(PKDPC, PVOID context, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(static_cast<PKSPIN_LOCK>(context)); }
void NTAPI DpcThatLowersIrql(PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); }

TEST_F(Verifier, DpcReturningWithASpinLockHeldStops) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KDPC dpc;
  KeInitializeDpc(&dpc, DpcThatKeepsItsLock, &lock);
  EXPECT_DEATH(KeInsertQueueDpc(&dpc, nullptr, nullptr),
               "VERIFIER STOP: spin lock held on return in DPC routine on 0x[0-9a-f]+: .* returned holding "
               "spin lock 0x[0-9a-f]+.*thread \"app\" \\(running, DISPATCH_LEVEL, in a DPC\\); holds spin lock");
}

TEST_F(Verifier, DpcLoweringIrqlStops) {
  KDPC dpc;
  KeInitializeDpc(&dpc, DpcThatLowersIrql, nullptr);
  EXPECT_DEATH(KeInsertQueueDpc(&dpc, nullptr, nullptr), "VERIFIER STOP: IRQL lowered below DISPATCH_LEVEL in a DPC");
}

TEST_F(Verifier, DriverCallbackMustReturnAtItsIrqlWithoutNewSpinLocks) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  EXPECT_DEATH(RunDriverCallback("completion routine", &lock, [&] { KeRaiseIrqlToDpcLevel(); }),
               "VERIFIER STOP: IRQL not restored in completion routine .*entered at IRQL 0, returned at 2");
  EXPECT_DEATH(RunDriverCallback("dispatch routine", &lock,
                                 [&] {
                                   KIRQL irql;
                                   KeAcquireSpinLock(&lock, &irql);
                                   KeLowerIrql(irql);  // hides the IRQL, not the lock
                                 }),
               "VERIFIER STOP: .* in dispatch routine");
  EXPECT_EQ(RunDriverCallback("fine", nullptr, [] { return 7; }), 7);
}

struct Holder {
  KTIMER timer;
  KDPC dpc;
};

void NTAPI Nothing(PKDPC, PVOID, PVOID, PVOID) {}

TEST_F(Verifier, FreeingMemoryWithASetTimerStops) {
  auto* holder = static_cast<Holder*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Holder), 'mitT'));
  KeInitializeTimer(&holder->timer);
  KeInitializeDpc(&holder->dpc, Nothing, nullptr);
  KeSetTimer(&holder->timer, Relative(kSecond), &holder->dpc);
  EXPECT_DEATH(ExFreePool(holder), "VERIFIER STOP: timer still set in memory being freed in ExFreePool .*tag 'Ttim'");
  KeCancelTimer(&holder->timer);
  ExFreePool(holder);
}

TEST_F(Verifier, FreeingMemoryWithAQueuedDpcStops) {
  auto* holder = static_cast<Holder*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Holder), 'cpdT'));
  KeInitializeDpc(&holder->dpc, Nothing, nullptr);
  const KIRQL old = RaiseToDispatch();
  KeInsertQueueDpc(&holder->dpc, nullptr, nullptr);
  EXPECT_DEATH(ExFreePoolWithTag(holder, 'cpdT'), "VERIFIER STOP: DPC still queued in memory being freed in ExFreePoolWithTag");
  KeLowerIrql(old);
  ExFreePool(holder);
}

TEST_F(Verifier, DoubleFreeAndTagMismatchStop) {
  void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'AgaT');
  EXPECT_DEATH(ExFreePoolWithTag(block, 'BgaT'), "VERIFIER STOP: pool tag mismatch .*allocated with tag 'TagA', freed with 'TagB'");
  ExFreePool(block);
  EXPECT_DEATH(ExFreePool(block), "VERIFIER STOP: free of memory that is not an outstanding pool block");
}

TEST_F(Verifier, PoolLeakStopNamesTheTag) {
  void* block = ExAllocatePoolWithTag(PagedPool, 40, 'kaeL');
  CheckPoolLeaks("test", nullptr, {'enoN'});  // other tags: nothing outstanding
  EXPECT_DEATH(CheckPoolLeaks("DriverUnload", nullptr, {'kaeL'}),
               "VERIFIER STOP: pool leak in DriverUnload .*1 pool allocation \\(40 bytes\\) outstanding:.*"
               "tag 'Leak': 1 allocation, 40 bytes \\(paged\\)");
  ExFreePool(block);
}

TEST_F(Verifier, RaisingToALowerIrqlStops) {
  RaiseToDispatch();
  KIRQL old;
  EXPECT_DEATH(KeRaiseIrql(PASSIVE_LEVEL, &old), "VERIFIER STOP: IRQL raised to a lower level");
}

// KeSetEvent with Wait TRUE returns at DISPATCH_LEVEL; the caller's next call is its wait, which runs
// at the IRQL the caller had.
TEST_F(Verifier, SetEventWithWaitTrueHoldsDispatchLevelUntilTheCallersWait) {
  KEVENT signalled, other;
  KeInitializeEvent(&signalled, NotificationEvent, FALSE);
  KeInitializeEvent(&other, NotificationEvent, FALSE);
  KeSetEvent(&signalled, IO_NO_INCREMENT, TRUE);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  LARGE_INTEGER timeout = Relative(kMillisecond);
  EXPECT_EQ(KeWaitForSingleObject(&other, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_DEATH(RunDriverCallback("dispatch routine", &signalled, [&] { KeSetEvent(&signalled, IO_NO_INCREMENT, TRUE); }),
               "VERIFIER STOP: IRQL not restored in dispatch routine .*entered at IRQL 0, returned at 2");
  const KIRQL old = RaiseToDispatch();
  EXPECT_DEATH(KeSetEvent(&signalled, IO_NO_INCREMENT, TRUE), "VERIFIER STOP: Wait TRUE at DISPATCH_LEVEL in KeSetEvent");
  KeSetEvent(&signalled, IO_NO_INCREMENT, FALSE);  // fine at DISPATCH_LEVEL
  KIRQL high;
  KeRaiseIrql(HIGH_LEVEL, &high);
  EXPECT_DEATH(KeSetEvent(&signalled, IO_NO_INCREMENT, FALSE), "VERIFIER STOP: KeSetEvent above DISPATCH_LEVEL");
  KeLowerIrql(old);
}

TEST_F(Verifier, InitialisingASetTimerAQueuedDpcOrAnEventAThreadWaitsOnStops) {
  Holder holder;
  KeInitializeTimer(&holder.timer);
  KeInitializeDpc(&holder.dpc, Nothing, nullptr);
  KeSetTimer(&holder.timer, Relative(kSecond), nullptr);
  EXPECT_DEATH(KeInitializeTimer(&holder.timer), "VERIFIER STOP: set timer initialised again in KeInitializeTimerEx");
  KeCancelTimer(&holder.timer);
  KeInitializeTimer(&holder.timer);

  const KIRQL old = RaiseToDispatch();
  KeInsertQueueDpc(&holder.dpc, nullptr, nullptr);
  EXPECT_DEATH(KeInitializeDpc(&holder.dpc, Nothing, nullptr), "VERIFIER STOP: queued DPC initialised again in KeInitializeDpc");
  KeLowerIrql(old);
  KeInitializeDpc(&holder.dpc, Nothing, nullptr);  // it has run

  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_DEATH(
      {
        StartThread("waiter", [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); });
        RunUntilIdle();
        KeInitializeEvent(&event, NotificationEvent, FALSE);
      },
      "VERIFIER STOP: event initialised again while a thread waits on it in KeInitializeEvent");
  KeInitializeEvent(&event, SynchronizationEvent, TRUE);  // nobody waits: fine
}

}  // namespace
}  // namespace tarvel::kernel::testing
