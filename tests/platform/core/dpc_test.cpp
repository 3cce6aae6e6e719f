// DPCs: when they run, at which IRQL, in which order.
#include <string>
#include <vector>

#include "machine_fixture.h"

namespace tarvel::kernel::testing {
namespace {

using Dpcs = MachineTest;

struct Recorder {
  std::vector<std::string> log;
  struct Probe {
    KDPC dpc;
    std::string name;
    Recorder* recorder;
  };
  std::vector<Probe> probes;

  explicit Recorder(std::initializer_list<const char*> names) : probes(names.size()) {
    std::size_t i = 0;
    for (const char* name : names) {
      Probe& p = probes[i++];
      p.name = name;
      p.recorder = this;
      KeInitializeDpc(&p.dpc, Run, &p);
    }
  }
  PKDPC operator[](std::size_t i) { return &probes[i].dpc; }
  static void NTAPI Run(PKDPC, PVOID context, PVOID argument1, PVOID) {
    auto* p = static_cast<Probe*>(context);
    p->recorder->log.push_back(p->name + "@" + std::to_string(KeGetCurrentIrql()) + " on " + CurrentThreadName() +
                               (argument1 ? " with argument" : ""));
  }
};

TEST_F(Dpcs, QueuedBelowDispatchLevelRunsAtOnceAtDispatchLevel) {
  Recorder r{"a"};
  int argument = 0;
  EXPECT_TRUE(KeInsertQueueDpc(r[0], &argument, nullptr));
  EXPECT_EQ(r.log, std::vector<std::string>{"a@2 on app with argument"});
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(Dpcs, QueuedAtDispatchLevelWaitsUntilIrqlDropsThenRunsInQueueOrder) {
  Recorder r{"first", "second", "urgent"};
  KeSetImportanceDpc(r[2], HighImportance);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeInsertQueueDpc(r[0], nullptr, nullptr);
  KeInsertQueueDpc(r[1], nullptr, nullptr);
  EXPECT_FALSE(KeInsertQueueDpc(r[0], nullptr, nullptr)) << "a queued DPC is queued once";
  KeInsertQueueDpc(r[2], nullptr, nullptr);
  EXPECT_TRUE(r.log.empty());
  KeLowerIrql(old);
  EXPECT_EQ(r.log, (std::vector<std::string>{"urgent@2 on app", "first@2 on app", "second@2 on app"}));
}

TEST_F(Dpcs, RemovedDpcDoesNotRun) {
  Recorder r{"gone", "kept"};
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeInsertQueueDpc(r[0], nullptr, nullptr);
  KeInsertQueueDpc(r[1], nullptr, nullptr);
  EXPECT_TRUE(KeRemoveQueueDpc(r[0]));
  EXPECT_FALSE(KeRemoveQueueDpc(r[0]));
  KeLowerIrql(old);
  EXPECT_EQ(r.log, std::vector<std::string>{"kept@2 on app"});
}

TEST_F(Dpcs, SpinLockHolderDoesNotRunDpcsUntilItReleases) {
  Recorder r{"d"};
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  KeInsertQueueDpc(r[0], nullptr, nullptr);
  EXPECT_TRUE(r.log.empty());
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(r.log, std::vector<std::string>{"d@2 on app"});
}

TEST_F(Dpcs, DpcOfATimerThatExpiresWhileEveryThreadWaitsRunsOnTheDpcContext) {
  Recorder r{"tick"};
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, Relative(kMillisecond), r[0]);
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  LARGE_INTEGER timeout = Relative(10 * kMillisecond);
  KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
  EXPECT_EQ(r.log, std::vector<std::string>{"tick@2 on dpc with argument"});  // the system time
}

// A DPC that spins on a spin lock another thread holds is switched out mid-routine; a flush must wait
// for it, or a driver that frees its device after the flush frees memory the DPC still touches.
struct SpinningDpc {
  KDPC dpc;
  KSPIN_LOCK lock;
  bool done = false;
  static void NTAPI Run(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<SpinningDpc*>(context);
    KeAcquireSpinLockAtDpcLevel(&self->lock);
    self->done = true;
    KeReleaseSpinLockFromDpcLevel(&self->lock);
  }
};

TEST_F(Dpcs, FlushReturnsOnlyAfterARunningDpcHasFinished) {
  SpinningDpc s;
  KeInitializeSpinLock(&s.lock);
  KeInitializeDpc(&s.dpc, SpinningDpc::Run, &s);
  KIRQL old;
  KeAcquireSpinLock(&s.lock, &old);
  bool flushed = false, doneWhenFlushed = false;
  StartThread("queuer", [&] { KeInsertQueueDpc(&s.dpc, nullptr, nullptr); });
  StartThread("flusher", [&] {
    KeFlushQueuedDpcs();
    flushed = true;
    doneWhenFlushed = s.done;
  });
  KeStallExecutionProcessor(100);  // the DPC starts and spins; the flusher calls in meanwhile
  EXPECT_FALSE(flushed) << "the flush returned while the DPC was still running";
  KeReleaseSpinLock(&s.lock, old);
  RunUntilIdle();
  EXPECT_TRUE(flushed);
  EXPECT_TRUE(doneWhenFlushed);
}

TEST_F(Dpcs, FlushAboveApcLevelStopsAndAtPassiveLevelRunsTheQueue) {
  Recorder r{"queued"};
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeInsertQueueDpc(r[0], nullptr, nullptr);
  KeLowerIrql(APC_LEVEL);  // DPCs run here already; the flush is what is refused
  EXPECT_DEATH(KeFlushQueuedDpcs(), "VERIFIER STOP: KeFlushQueuedDpcs above PASSIVE_LEVEL in KeFlushQueuedDpcs .*IRQL 1");
  KeLowerIrql(PASSIVE_LEVEL);
  KeFlushQueuedDpcs();
  EXPECT_EQ(r.log, std::vector<std::string>{"queued@2 on app"});
}

}  // namespace
}  // namespace tarvel::kernel::testing
