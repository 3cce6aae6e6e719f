// The policies beyond sequential: pct's priorities and change points, interrupts that move the clock
// while a thread is mid-routine, and how both are named and replayed.
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <unistd.h>

#include "machine_fixture.h"

namespace tarvel::kernel::testing {
namespace {

BootOptions Pct(std::uint64_t seed, unsigned depth, std::uint64_t steps) {
  return {.policy = Policy::Pct, .seed = seed, .pctDepth = depth, .pctSteps = steps};
}

// Three threads that note every step (each step one switch point); the notes show the interleaving.
std::string Interleaving(const BootOptions& options) {
  Boot(options);
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
  return steps;
}

std::size_t Turns(const std::string& steps) {
  std::size_t turns = steps.empty() ? 0 : 1;
  for (std::size_t i = 1; i < steps.size(); ++i) turns += steps[i] != steps[i - 1];
  return turns;
}

TEST(PctPolicy, WithoutChangePointsTheHighestPriorityThreadRunsUntilItEndsInAnOrderTheSeedPicks) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::set<std::string> orders;
  for (std::uint64_t seed = 1; seed <= 12; ++seed) {
    const std::string steps = Interleaving(Pct(seed, 1, 1000));
    ASSERT_EQ(steps.size(), 36u);
    EXPECT_EQ(Turns(steps), 3u) << "a thread was preempted by a lower-priority one under seed " << seed << ": " << steps;
    orders.insert(std::string{steps[0], steps[12], steps[24]});
  }
  EXPECT_GE(orders.size(), 3u) << "the priorities do not depend on the seed";
}

TEST(PctPolicy, ChangePointsHandTheCpuOverMidRunAndTheSameSeedReplaysTheSameInterleaving) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::size_t preempted = 0;
  for (std::uint64_t seed = 1; seed <= 12; ++seed) {
    const std::string steps = Interleaving(Pct(seed, 3, 40));
    EXPECT_LE(Turns(steps), 5u) << "two change points make at most two preemptions: " << steps;
    preempted += Turns(steps) > 3;
    EXPECT_EQ(Interleaving(Pct(seed, 3, 40)), steps) << "seed " << seed << " does not replay";
  }
  EXPECT_GE(preempted, 3u);
}

// A pointer checked, then used some steps later, while another thread clears it after long work of its
// own: the fault needs the clear to land inside the user's short window, that is, the user stalled
// for all of the closer's work right after its check (two ordering constraints: depth 2).
bool CheckThenUseRaceHits(const BootOptions& options) {
  Boot(options);
  int object = 0;
  int* shared = &object;
  bool hit = false;
  LONG work = 0;
  StartThread("user", [&] {
    for (int i = 0; i < 5; ++i) InterlockedIncrement(&work);
    if (shared) {
      for (int i = 0; i < 20; ++i) InterlockedIncrement(&work);
      hit = shared == nullptr;
    }
  });
  StartThread("closer", [&] {
    for (int i = 0; i < 100; ++i) InterlockedIncrement(&work);
    shared = nullptr;
  });
  RunUntilIdle();
  Shutdown();
  return hit;
}

TEST(PctPolicy, FindsAPlantedDepthTwoOrderingFaultThatRandomAlmostNeverReaches) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  int pct = 0, random = 0;
  for (std::uint64_t seed = 1; seed <= 200; ++seed) {
    pct += CheckThenUseRaceHits(Pct(seed, 2, 150));
    random += CheckThenUseRaceHits({.policy = Policy::Random, .seed = seed});
  }
  ::testing::Test::RecordProperty("pct_hits", pct);
  ::testing::Test::RecordProperty("random_hits", random);
  EXPECT_GE(pct, 8) << "pct found the fault under " << pct << " of 200 seeds";
  EXPECT_GE(pct, 5 * random + 1) << "pct " << pct << ", random " << random << " of 200 seeds";
}

TEST(PolicyNames, ParsedFromTextAndWrittenBackForTheReplayLine) {
  BootOptions options;
  EXPECT_TRUE(ParsePolicy("pct", options));
  EXPECT_EQ(options.policy, Policy::Pct);
  EXPECT_TRUE(ParsePolicy("pct:2:500", options));
  EXPECT_EQ(options.pctDepth, 2u);
  EXPECT_EQ(options.pctSteps, 500u);
  EXPECT_TRUE(ParsePolicy("random", options));
  EXPECT_EQ(options.policy, Policy::Random);
  for (const char* wrong : {"pct:", "pct:0", "pct:2:", "pct:2:x", "pct:2:5:1", "pctx", "Random", ""})
    EXPECT_FALSE(ParsePolicy(wrong, options)) << wrong;
  EXPECT_EQ(options.policy, Policy::Random) << "a refused text changes nothing";

  setenv("TARVEL_POLICY", "pct:4:900", 1);
  setenv("TARVEL_SEED", "9", 1);
  Boot({});
  EXPECT_EQ(CurrentPolicy(), Policy::Pct);
  EXPECT_EQ(PolicyText(), "pct:4:900");
  EXPECT_NE(ReplayCommand().find("replay: TARVEL_POLICY=pct:4:900 TARVEL_SEED=9 "), std::string::npos)
      << ReplayCommand();
  Shutdown();
  unsetenv("TARVEL_POLICY");
  unsetenv("TARVEL_SEED");
}

// Run by the case below in a process of its own, with the command line the case chooses.
TEST(ReplayLine, DISABLED_PrintsItsOwn) {
  Boot({});
  std::printf("%s\n", ReplayCommand().c_str());
  Shutdown();
}

// The replay line repeats the command as it was: repeated arguments and repeated values are part of it
// (only a gtest flag given twice is written once, as the last one is the one that counts).
TEST(ReplayLine, RepeatsTheCommandWithEveryArgument) {
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(length, 0);
  self[length] = 0;
  const std::string arguments =
      " --gtest_filter=Other.* --cycles 3 --seeds 3 --write ab --write ab --gtest_filter=ReplayLine.DISABLED_PrintsItsOwn";
  FILE* child = popen((std::string("TARVEL_POLICY=random TARVEL_SEED=5 ") + self + arguments +
                       " --gtest_also_run_disabled_tests 2>&1").c_str(), "r");
  ASSERT_NE(child, nullptr);
  std::string output;
  for (char buffer[512]; std::fgets(buffer, sizeof buffer, child);) output += buffer;
  EXPECT_EQ(pclose(child), 0) << output;
  const std::string expected = std::string("replay: TARVEL_POLICY=random TARVEL_SEED=5 ") + self +
                               " --cycles 3 --seeds 3 --write ab --write ab --gtest_filter=ReplayLine.DISABLED_PrintsItsOwn\n";
  EXPECT_NE(output.find(expected), std::string::npos) << "expected " << expected << "in\n" << output;
}

// A thread busy for many switch points without blocking while a timer is due soon. Returns how far
// the thread had come when the timer's DPC ran (2000: only after it).
struct BusyThreadAndTimer {
  KTIMER timer;
  KDPC dpc;
  LONG progress = 0;
  LONG progressAtDpc = -1;
  VirtualTime clockAtEnd = -1;

  static void NTAPI Fired(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<BusyThreadAndTimer*>(context);
    self->progressAtDpc = self->progress;
  }
  LONG Run(const BootOptions& options, VirtualTime due) {
    Boot(options);
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, Fired, this);
    KeSetTimer(&timer, Relative(due), &dpc);
    StartThread("busy", [this] {
      for (int i = 0; i < 2000; ++i) InterlockedIncrement(&progress);
      clockAtEnd = Now();
    });
    RunUntilIdle();
    RunFor(due + kMillisecond);
    Shutdown();
    return progressAtDpc;
  }
};

TEST(Interrupts, UnderRandomAndPctADueTimerFiresWhileAThreadIsMidRoutine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const BootOptions& options : {BootOptions{.policy = Policy::Random, .seed = 3}, Pct(3, 3, 5000)}) {
    BusyThreadAndTimer run;
    const LONG progress = run.Run(options, kMillisecond);
    EXPECT_GT(progress, 0);
    EXPECT_LT(progress, 2000) << "the timer waited for the busy thread to block";
    EXPECT_EQ(run.clockAtEnd, kMillisecond) << "the clock moved while the thread ran";
    BusyThreadAndTimer again;
    EXPECT_EQ(again.Run(options, kMillisecond), progress) << "the interrupt's moment does not replay";
  }
}

TEST(Interrupts, SequentialMovesTheClockOnlyWhenNothingCanRunAndNoneReachesBeyondTheHorizon) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  BusyThreadAndTimer sequential;
  EXPECT_EQ(sequential.Run({}, kMillisecond), 2000);
  EXPECT_EQ(sequential.clockAtEnd, 0);
  BusyThreadAndTimer far;
  EXPECT_EQ(far.Run({.policy = Policy::Random, .seed = 3, .interruptHorizon = 10 * kMillisecond}, kSecond), 2000)
      << "an entry due beyond the horizon fired mid-routine";
  BusyThreadAndTimer off;
  EXPECT_EQ(off.Run({.policy = Policy::Random, .seed = 3, .interruptProbability = 0}, kMillisecond), 2000);
}

}  // namespace
}  // namespace tarvel::kernel::testing
