// Emulated threads as fibers: each has a stack of its own, large enough for deep driver call chains,
// with a guard below it, and state of its own where the platform keeps per-thread state.
#include <cstring>
#include <stdexcept>
#include <string>

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

TEST_F(Fibers, AStackOverflowHitsTheGuardPageAndEndsTheRun) {
  EXPECT_DEATH(OverflowAThreadsStack(), kOverflowReport);
}

}  // namespace
}  // namespace tarvel::kernel::testing
