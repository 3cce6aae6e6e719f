// Emulated threads as fibers: each has a stack of its own, large enough for deep driver call chains,
// with a guard below it, and state of its own where the platform keeps per-thread state.
#include <cstring>
#include <stdexcept>
#include <string>
#include <sys/resource.h>

#include "machine_fixture.h"

namespace tarvel::kernel::testing {
namespace {

using Fibers = MachineTest;

#if defined(__SANITIZE_ADDRESS__)
constexpr const char* kOverflowReport = "stack-overflow";
#else
constexpr const char* kOverflowReport = "";  // a plain SIGSEGV without the sanitizer
#endif

TEST_F(Fibers, EveryThreadKeepsItsOwnLastErrorAcrossSwitches) {
  KEVENT firstSet, secondSet;
  KeInitializeEvent(&firstSet, NotificationEvent, FALSE);
  KeInitializeEvent(&secondSet, NotificationEvent, FALSE);
  std::uint32_t firstSaw = 0, secondSaw = 0;
  StartThread("first", [&] {
    CurrentThreadLastError() = 5;
    KeSetEvent(&firstSet, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&secondSet, Executive, KernelMode, FALSE, nullptr);
    firstSaw = CurrentThreadLastError();
  });
  StartThread("second", [&] {
    KeWaitForSingleObject(&firstSet, Executive, KernelMode, FALSE, nullptr);
    CurrentThreadLastError() = 7;
    KeSetEvent(&secondSet, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&firstSet, Executive, KernelMode, FALSE, nullptr);
    secondSaw = CurrentThreadLastError();
  });
  CurrentThreadLastError() = 9;
  RunUntilIdle();
  EXPECT_EQ(firstSaw, 5u);
  EXPECT_EQ(secondSaw, 7u);
  EXPECT_EQ(CurrentThreadLastError(), 9u);
}

TEST_F(Fibers, AThreadHasMegabytesOfStackAndExceptionsWorkOnIt) {
  std::size_t sum = 0;
  std::string caught;
  StartThread("deep", [&] {
    char frame[4 << 20];
    std::memset(frame, 1, sizeof frame);
    KeStallExecutionProcessor(1);  // switched out and back with the frame in use
    for (std::size_t i = 0; i < sizeof frame; i += 4096) sum += static_cast<unsigned char>(frame[i]);
    try {
      throw std::runtime_error("thrown on a fiber");
    } catch (const std::exception& e) {
      caught = e.what();
    }
  });
  StartThread("beside", [] { KeStallExecutionProcessor(1); });
  RunUntilIdle();
  RunFor(kMillisecond);
  EXPECT_EQ(sum, (4u << 20) / 4096);
  EXPECT_EQ(caught, "thrown on a fiber");
}

int Recurse(int depth) {
  volatile char frame[4096];
  frame[0] = static_cast<char>(depth);
  if (depth > 1'000'000'000) return frame[0];
  return Recurse(depth + 1) + frame[0];
}

void OverflowAThreadsStack() {
  StartThread("recursing", [] { Recurse(0); });
  RunUntilIdle();
  std::_Exit(0);
}

#if defined(__SANITIZE_ADDRESS__)
// A finished thread's stack goes back to the pool costing the pages it touched, not the sanitizer's
// shadow of all its 8 MB (256 page faults a stack, the bulk of every campaign seed's system time).
// ctest runs each case in a process of its own, so these stacks are new ones.
TEST_F(Fibers, AThreadThatFinishesCostsOnlyThePagesItTouched) {
  constexpr long kThreads = 48;
  KEVENT go;
  KeInitializeEvent(&go, NotificationEvent, FALSE);
  int finished = 0;
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  for (long i = 0; i < kThreads; ++i)
    StartThread("short-lived", [&] {
      KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
      ++finished;
    });
  RunUntilIdle();  // every one is waiting on a stack of its own
  KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
  RunUntilIdle();
  getrusage(RUSAGE_SELF, &after);
  EXPECT_EQ(finished, kThreads);
  const long faults = after.ru_minflt - before.ru_minflt;
  EXPECT_LT(faults, kThreads * 64) << faults << " page faults for " << kThreads << " threads";
}
#endif

TEST_F(Fibers, AStackOverflowHitsTheGuardPageAndEndsTheRun) {
  EXPECT_DEATH(OverflowAThreadsStack(), kOverflowReport);
}

}  // namespace
}  // namespace tarvel::kernel::testing
