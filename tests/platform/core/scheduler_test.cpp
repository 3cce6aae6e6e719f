// The execution model: who runs when, under each policy; hangs and runaway time stop the run.
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "machine_fixture.h"

namespace tarvel::kernel::testing {
namespace {

using Scheduler = MachineTest;

TEST_F(Scheduler, SequentialThreadRunsUntilItBlocksThenTheOldestRunnableRuns) {
  std::vector<std::string> log;
  KEVENT go;
  KeInitializeEvent(&go, NotificationEvent, FALSE);
  LONG counter = 0;
  StartThread("first", [&] {
    log.push_back("first waits");
    KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
    log.push_back("first woke");
  });
  StartThread("second", [&] {
    log.push_back("second runs");
    InterlockedIncrement(&counter);  // a switch point: no switch under the sequential policy
    KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
    log.push_back("second after set");
  });
  StartThread("third", [&] { log.push_back("third runs"); });
  RunUntilIdle();
  EXPECT_EQ(log, (std::vector<std::string>{"first waits", "second runs", "second after set", "third runs",
                                           "first woke"}));
}

TEST_F(Scheduler, RunUntilIdleLeavesTheClockWhereItIs) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, Relative(5 * kSecond), nullptr);
  bool ran = false;
  StartThread("worker", [&] { ran = true; });
  RunUntilIdle();
  EXPECT_TRUE(ran);
  EXPECT_EQ(Now(), 0);
  EXPECT_FALSE(KeReadStateTimer(&timer));
  KeCancelTimer(&timer);
}

TEST_F(Scheduler, ThreadsSeeTheirOwnNamesAndStartAtPassiveLevel) {
  std::string name;
  KIRQL irql = HIGH_LEVEL;
  StartThread("reader", [&] {
    name = CurrentThreadName();
    irql = KeGetCurrentIrql();
  });
  RunUntilIdle();
  EXPECT_EQ(name, "reader");
  EXPECT_EQ(irql, PASSIVE_LEVEL);
  EXPECT_STREQ(CurrentThreadName(), "app");
}

TEST_F(Scheduler, WorkQueuedToASystemWorkerRunsAtPassiveLevelOnAWorkerThread) {
  std::string name;
  KIRQL irql = HIGH_LEVEL;
  QueueWork(WorkQueue::Delayed, [&] {
    name = CurrentThreadName();
    irql = KeGetCurrentIrql();
  });
  RunUntilIdle();
  EXPECT_EQ(name.rfind("worker.delayed.", 0), 0u) << name;
  EXPECT_EQ(irql, PASSIVE_LEVEL);
}

TEST_F(Scheduler, ExecutiveWorkItemRunsItsRoutineWithItsParameterOnTheQueueAsked) {
  struct Context {
    std::string thread;
    int runs = 0;
  } context;
  WORK_QUEUE_ITEM item;
  ExInitializeWorkItem(&item, [](PVOID p) NTAPI {
    auto* c = static_cast<Context*>(p);
    c->thread = CurrentThreadName();
    ++c->runs;
  }, &context);
  ExQueueWorkItem(&item, CriticalWorkQueue);
  EXPECT_EQ(context.runs, 0) << "work runs on a worker, not inside the call";
  RunUntilIdle();
  EXPECT_EQ(context.runs, 1);
  EXPECT_EQ(context.thread.rfind("worker.critical.", 0), 0u) << context.thread;
}

TEST_F(Scheduler, WorkItemsOfOneQueueCanWaitForEachOther) {
  KEVENT second;
  KeInitializeEvent(&second, NotificationEvent, FALSE);
  std::vector<std::string> log;
  QueueWork(WorkQueue::Critical, [&] {
    KeWaitForSingleObject(&second, Executive, KernelMode, FALSE, nullptr);
    log.push_back("first done");
  });
  QueueWork(WorkQueue::Critical, [&] {
    log.push_back("second done");
    KeSetEvent(&second, IO_NO_INCREMENT, FALSE);
  });
  RunUntilIdle();
  EXPECT_EQ(log, (std::vector<std::string>{"second done", "first done"}));
}

TEST_F(Scheduler, WorkPostedFromOutsideTheMachineRunsOnAnEmulatedThread) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  std::string ranOn;
  OpenExternalSource();
  std::thread outside([&] {
    Post([&] {
      ranOn = CurrentThreadName();
      KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    });
  });
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  outside.join();
  CloseExternalSource();
  EXPECT_EQ(ranOn, "post");
}

// Three threads that note every step; the notes show the interleaving.
std::string Interleaving(Policy policy, std::uint64_t seed) {
  Boot({.policy = policy, .seed = seed});
  std::string steps;
  LONG shared = 0;
  for (char name : {'a', 'b', 'c'}) {
    StartThread(std::string(1, name), [&steps, &shared, name] {
      for (int i = 0; i < 12; ++i) {
        steps += name;
        InterlockedIncrement(&shared);
      }
    });
  }
  RunUntilIdle();
  Shutdown();
  EXPECT_EQ(shared, 36);
  return steps;
}

TEST(SchedulerPolicy, RandomPolicyInterleavesBySeedAndReplaysTheSameSeedExactly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EQ(Interleaving(Policy::Sequential, 0), std::string(12, 'a') + std::string(12, 'b') + std::string(12, 'c'));
  const std::string seed1 = Interleaving(Policy::Random, 1);
  const std::string seed2 = Interleaving(Policy::Random, 2);
  EXPECT_NE(seed1, seed2);
  EXPECT_EQ(Interleaving(Policy::Random, 1), seed1);
  EXPECT_EQ(Interleaving(Policy::Random, 2), seed2);
  EXPECT_NE(seed1.find("ab"), std::string::npos) << "no switch at all under seed 1: " << seed1;
}

TEST(SchedulerPolicy, EnvironmentOverridesPolicyAndSeedForReplay) {
  setenv("TARVEL_POLICY", "random", 1);
  setenv("TARVEL_SEED", "77", 1);
  Boot({.policy = Policy::Sequential, .seed = 3});
  EXPECT_EQ(CurrentPolicy(), Policy::Random);
  EXPECT_EQ(CurrentSeed(), 77u);
  Shutdown();
  unsetenv("TARVEL_POLICY");
  unsetenv("TARVEL_SEED");
  const std::string replayed = [] {
    setenv("TARVEL_POLICY", "random", 1);
    setenv("TARVEL_SEED", "5", 1);
    std::string steps = Interleaving(Policy::Sequential, 0);
    unsetenv("TARVEL_POLICY");
    unsetenv("TARVEL_SEED");
    return steps;
  }();
  EXPECT_EQ(replayed, Interleaving(Policy::Random, 5));
}

// The test body waits for something nobody will signal.
void WaitForever() {
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
}

// Two threads, each waiting for what only the other would signal after its own wait.
void RunDeadlockedPair() {
  KEVENT left;
  KEVENT right;
  KeInitializeEvent(&left, SynchronizationEvent, FALSE);
  KeInitializeEvent(&right, SynchronizationEvent, FALSE);
  StartThread("left", [&] {
    KeWaitForSingleObject(&right, Executive, KernelMode, FALSE, nullptr);
    KeSetEvent(&left, IO_NO_INCREMENT, FALSE);
  });
  StartThread("right", [&] {
    KeWaitForSingleObject(&left, Executive, KernelMode, FALSE, nullptr);
    KeSetEvent(&right, IO_NO_INCREMENT, FALSE);
  });
  WaitForever();
  std::_Exit(0);
}

TEST_F(Scheduler, DeadlockedPairIsReportedAsAHangWithEachWait) {
  EXPECT_DEATH(RunDeadlockedPair(),
               "HANG: no thread can run.*thread \"left\" \\(waiting.*waits on synchronization event.*no timeout.*"
               "thread \"right\" \\(waiting.*waits on synchronization event.*"
               "replay: TARVEL_POLICY=sequential TARVEL_SEED=0");
}

void TakeBoth(PKSPIN_LOCK first, PKSPIN_LOCK second) {
  KIRQL irql;
  KeAcquireSpinLock(first, &irql);
  KeStallExecutionProcessor(5);  // the other processor takes its first lock meanwhile
  KeAcquireSpinLockAtDpcLevel(second);
}

void RunSpinLockDeadlock() {
  KSPIN_LOCK a;
  KSPIN_LOCK b;
  KeInitializeSpinLock(&a);
  KeInitializeSpinLock(&b);
  StartThread("ab", [&] { TakeBoth(&a, &b); });
  StartThread("ba", [&] { TakeBoth(&b, &a); });
  WaitForever();
  std::_Exit(0);
}

// The lock-order check sees the inversion before the second thread waits, and names both threads'
// orders; the held-by report of the hang it would become is the thread report below it.
TEST_F(Scheduler, SpinLockDeadlockNamesTheLocksEachThreadHolds) {
  EXPECT_DEATH(RunSpinLockDeadlock(),
               "spin lock order inversion .*other order was seen before:\n    thread \"ab\" took .*"
               "on thread \"ba\".*thread \"ab\" .*waits on spin lock .* held by \"ba\".*holds spin lock");
}

TEST(SchedulerBudget, TimerThatReArmsForeverExhaustsTheVirtualTimeBudget) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Boot({.timeBudget = 10 * kSecond});
        KTIMER ticker;
        KeInitializeTimer(&ticker);
        KeSetTimerEx(&ticker, Relative(kMillisecond), 1, nullptr);
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
      },
      "RUNAWAY: the virtual-time budget of 10 s is exhausted");
}

}  // namespace
}  // namespace tarvel::kernel::testing
