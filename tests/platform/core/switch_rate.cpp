// tarvel-switch-rate: how many thread switches the execution model makes per second of host time, for
// comparing engines on one machine (not a test: figures depend on the machine and its load).
//   tarvel-switch-rate [ROUND_TRIPS]
// Two workloads: a ping-pong of two threads over synchronization events (every wait a switch) under the
// sequential policy, and four threads of interlocked increments under the random policy.
#include <wdm.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "tarvel/kernel.h"

namespace {

using namespace tarvel::kernel;

struct Figure {
  std::uint64_t switches;
  double seconds;
};

Figure PingPong(long roundTrips) {
  Boot({});
  KEVENT ping, pong;
  KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
  KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
  const auto start = std::chrono::steady_clock::now();
  StartThread("ping", [&] {
    for (long i = 0; i < roundTrips; ++i) {
      KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
      KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
    }
  });
  StartThread("pong", [&] {
    for (long i = 0; i < roundTrips; ++i) {
      KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
      KeSetEvent(&pong, IO_NO_INCREMENT, FALSE);
    }
  });
  RunUntilIdle();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::uint64_t switches = MachineStatistics().threadSwitches;
  Shutdown();
  return {switches, seconds};
}

Figure Interleaved(long increments) {
  Boot({.policy = Policy::Random, .seed = 1});
  LONG shared = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int t = 0; t < 4; ++t)
    StartThread("adder", [&] {
      for (long i = 0; i < increments; ++i) InterlockedIncrement(&shared);
    });
  RunUntilIdle();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::uint64_t switches = MachineStatistics().threadSwitches;
  Shutdown();
  return {switches, seconds};
}

void Print(const char* what, const Figure& f) {
  std::printf("%-34s %10llu switches in %7.3f s: %12.0f switches/s\n", what, static_cast<unsigned long long>(f.switches),
              f.seconds, static_cast<double>(f.switches) / f.seconds);
}

}  // namespace

int main(int argc, char** argv) {
  const long roundTrips = argc > 1 ? std::atol(argv[1]) : 100'000;
  Print("ping-pong, sequential", PingPong(roundTrips));
  Print("4 threads of increments, random", Interleaved(roundTrips));
  return 0;
}
