// Timers and time on the virtual clock.
#include <vector>

#include "machine_fixture.h"

namespace tarvel::kernel::testing {
namespace {

using Time = MachineTest;

struct TimerProbe {
  KTIMER timer;
  KDPC dpc;
  std::vector<VirtualTime> firedAt;
  std::vector<KIRQL> irqls;

  explicit TimerProbe(TIMER_TYPE type = NotificationTimer) {
    KeInitializeTimerEx(&timer, type);
    KeInitializeDpc(&dpc, Fired, this);
  }
  static void NTAPI Fired(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<TimerProbe*>(context);
    self->firedAt.push_back(static_cast<VirtualTime>(KeQueryInterruptTime()));
    self->irqls.push_back(KeGetCurrentIrql());
  }
};

TEST_F(Time, ThirtySecondTimerFiresAfterExactlyThirtyVirtualSeconds) {
  TimerProbe probe;
  EXPECT_FALSE(KeSetTimer(&probe.timer, Relative(30 * kSecond), &probe.dpc));
  EXPECT_EQ(KeWaitForSingleObject(&probe.timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(Now(), 30 * kSecond);
  RunUntilIdle();
  EXPECT_EQ(probe.firedAt, std::vector<VirtualTime>{30 * kSecond});
  EXPECT_EQ(probe.irqls, std::vector<KIRQL>{DISPATCH_LEVEL});
  EXPECT_TRUE(KeReadStateTimer(&probe.timer));
}

TEST_F(Time, CancelledTimerNeverFiresAndCancelReportsWhetherItWasSet) {
  TimerProbe probe;
  KeSetTimer(&probe.timer, Relative(10 * kSecond), &probe.dpc);
  RunFor(5 * kSecond);
  EXPECT_TRUE(KeCancelTimer(&probe.timer));
  EXPECT_FALSE(KeCancelTimer(&probe.timer));
  RunFor(20 * kSecond);
  EXPECT_TRUE(probe.firedAt.empty());
  EXPECT_FALSE(KeReadStateTimer(&probe.timer));
}

TEST_F(Time, SettingASetTimerAgainReplacesItsDueTime) {
  TimerProbe probe;
  KeSetTimer(&probe.timer, Relative(10 * kSecond), &probe.dpc);
  EXPECT_TRUE(KeSetTimer(&probe.timer, Relative(3 * kSecond), &probe.dpc));
  RunFor(20 * kSecond);
  EXPECT_EQ(probe.firedAt, std::vector<VirtualTime>{3 * kSecond});
}

TEST_F(Time, PeriodicTimerFiresEveryPeriodUntilCancelled) {
  TimerProbe probe;
  KeSetTimerEx(&probe.timer, Relative(100 * kMillisecond), 250, &probe.dpc);
  RunFor(kSecond);
  KeCancelTimer(&probe.timer);
  RunFor(kSecond);
  EXPECT_EQ(probe.firedAt, (std::vector<VirtualTime>{100 * kMillisecond, 350 * kMillisecond,
                                                     600 * kMillisecond, 850 * kMillisecond}));
}

TEST_F(Time, AbsoluteDueTimeIsSystemTimeAndAPastOneFiresAtOnce) {
  TimerProbe probe;
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  LARGE_INTEGER due;
  due.QuadPart = now.QuadPart + 2 * kSecond;
  KeSetTimer(&probe.timer, due, &probe.dpc);
  RunFor(3 * kSecond);
  due.QuadPart = now.QuadPart;  // already past
  KeSetTimer(&probe.timer, due, &probe.dpc);
  RunUntilIdle();
  EXPECT_EQ(probe.firedAt, (std::vector<VirtualTime>{2 * kSecond, 3 * kSecond}));
}

TEST_F(Time, TimersDueAtTheSameTimeFireInTheOrderTheyWereSet) {
  struct Entry {
    KTIMER timer;
    KDPC dpc;
    int id;
    std::vector<int>* order;
  };
  std::vector<int> order;
  Entry entries[3];
  for (int id : {2, 0, 1}) {
    Entry& e = entries[id];
    e.id = id;
    e.order = &order;
    KeInitializeTimer(&e.timer);
    KeInitializeDpc(&e.dpc, [](PKDPC, PVOID context, PVOID, PVOID) NTAPI {
      auto* entry = static_cast<Entry*>(context);
      entry->order->push_back(entry->id);
    }, &e);
    KeSetTimer(&e.timer, Relative(kSecond), &e.dpc);
  }
  RunFor(kSecond);
  EXPECT_EQ(order, (std::vector<int>{2, 0, 1}));
}

TEST_F(Time, SynchronizationTimerReleasesOneWaiterNotificationTimerAll) {
  for (TIMER_TYPE type : {SynchronizationTimer, NotificationTimer}) {
    KTIMER timer;
    KeInitializeTimerEx(&timer, type);
    int woken = 0;
    for (int i = 0; i < 2; ++i)
      StartThread("waiter", [&] {
        KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
        ++woken;
      });
    RunUntilIdle();
    KeSetTimer(&timer, Relative(kMillisecond), nullptr);
    RunFor(2 * kMillisecond);
    EXPECT_EQ(woken, type == SynchronizationTimer ? 1 : 2);
    KeSetTimer(&timer, Relative(kMillisecond), nullptr);  // release the rest
    RunFor(2 * kMillisecond);
    EXPECT_EQ(woken, 2);
  }
}

TEST_F(Time, ClockReadingsAgreeWithTheVirtualClock) {
  LARGE_INTEGER before, after, ticks;
  KeQuerySystemTime(&before);
  LARGE_INTEGER delay = Relative(5 * kMillisecond);
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
  KeQuerySystemTime(&after);
  EXPECT_EQ(after.QuadPart - before.QuadPart, 5 * kMillisecond);
  EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(5 * kMillisecond));
  RunFor(kSecond - 5 * kMillisecond);
  KeQueryTickCount(&ticks);
  EXPECT_EQ(ticks.QuadPart, kSecond / 156'250);  // the platform's 15.625-ms tick
  LARGE_INTEGER frequency;
  EXPECT_EQ(KeQueryPerformanceCounter(&frequency).QuadPart, kSecond);
  EXPECT_EQ(frequency.QuadPart, kSecond);
}

}  // namespace
}  // namespace tarvel::kernel::testing
