// tarvel-demo: boots the emulated kernel, loads the small test driver, lets it run in virtual time,
// unloads it and shows what happened: every kernel event with its virtual time and thread, the pool
// the driver held, the leak report, and how much virtual time passed for how much real time.
//
//   tarvel-demo [--policy sequential|random|pct[:DEPTH[:STEPS]]] [--seed N] [--quiet]
#include <wdm.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tarvel/io.h"
#include "tarvel/kernel.h"
#include "tarveltest.h"

namespace {

using namespace tarvel::kernel;

struct Arguments {
  BootOptions boot;
  bool policyGiven = false;
  bool quiet = false;
};

[[noreturn]] void Usage(const char* problem) {
  if (problem) std::fprintf(stderr, "tarvel-demo: %s\n", problem);
  std::fprintf(stderr, "usage: tarvel-demo [--policy sequential|random|pct[:DEPTH[:STEPS]]] [--seed N] [--quiet]\n"
                       "  a seed without a policy runs under random\n");
  std::exit(problem ? 2 : 0);
}

Arguments Parse(int argc, char** argv) {
  Arguments a;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage((arg + " needs a value").c_str());
      return argv[++i];
    };
    if (arg == "--policy") {
      const std::string policy = value();
      if (!ParsePolicy(policy, a.boot)) Usage(("unknown policy '" + policy + "'").c_str());
      a.policyGiven = true;
    } else if (arg == "--seed") {
      const std::string seed = value();
      char* end = nullptr;
      a.boot.seed = std::strtoull(seed.c_str(), &end, 0);
      if (seed.empty() || *end) Usage(("'" + seed + "' is not a number").c_str());
      if (!a.policyGiven) a.boot.policy = Policy::Random;
    } else if (arg == "--quiet") {
      a.quiet = true;
    } else if (arg == "--help" || arg == "-h") {
      Usage(nullptr);
    } else {
      Usage(("unknown argument '" + arg + "'").c_str());
    }
  }
  return a;
}

std::string Seconds(VirtualTime t) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%06lld s", static_cast<long long>(t / kSecond),
                static_cast<long long>(t % kSecond / 10));
  return text;
}

void PrintEvent(const TraceEvent& e) {
  std::printf("  %12s  %-22s %s\n", Seconds(e.time).c_str(), e.thread.c_str(), e.what.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const Arguments args = Parse(argc, argv);
  const auto started = std::chrono::steady_clock::now();

  Boot(args.boot);
  std::printf("tarvel-demo: the emulated Windows kernel runs the test driver \"tarveltest\" in virtual time\n");
  std::printf("policy %s, seed %llu\n\n", PolicyText().c_str(), static_cast<unsigned long long>(CurrentSeed()));
  if (!args.quiet) {
    std::printf("  %12s  %-22s %s\n", "virtual time", "thread", "what happened");
    SetTraceSink(PrintEvent);
  }
  SetDriverDirectory(TARVEL_DEMO_DRIVER_DIR);

  PDRIVER_OBJECT driver = LoadDriver("tarveltest");
  if (!driver) {
    std::fprintf(stderr, "tarvel-demo: %s\n", LastLoadError().c_str());
    Shutdown();
    return 1;
  }
  // Let it tick: ten 100-ms ticks, then the driver stops its own timer.
  RunFor(TARVELTEST_TICKS * TARVELTEST_TICK_PERIOD_MS * kMillisecond + 500 * kMillisecond);
  // Ask the driver through its dispatch table, as an application would.
  ULONG ticks = 0;
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = tarvel::io::OpenFile("\\Device\\TarvelTest", &file);
  if (NT_SUCCESS(status)) {
    tarvel::io::FileRequest request;
    request.majorFunction = IRP_MJ_DEVICE_CONTROL;
    request.ioControlCode = IOCTL_TARVELTEST_GET_TICKS;
    request.outputBuffer = &ticks;
    request.outputLength = sizeof ticks;
    status = tarvel::io::SendFileRequestAndWait(file, request).Status;
    tarvel::io::CloseFile(file);
  }
  const std::size_t blocks = PoolOutstanding(TARVELTEST_POOL_TAG);
  const std::size_t bytes = PoolOutstandingBytes(TARVELTEST_POOL_TAG);
  UnloadDriver(driver);
  SetTraceSink({});

  const std::string leaks = PoolLeakReport();
  const Statistics stats = MachineStatistics();
  const VirtualTime elapsed = Now();
  Shutdown();
  const auto real = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);

  std::printf("\ndevice control request to \\Device\\TarvelTest: status 0x%08X, the driver counted %lu ticks\n",
              static_cast<unsigned>(status), static_cast<unsigned long>(ticks));
  std::printf("pool held by the driver before unload: tag '%s', %zu blocks, %zu bytes\n",
              TagName(TARVELTEST_POOL_TAG).c_str(), blocks, bytes);
  std::printf("leak report after unload: %s\n", leaks.empty() ? "nothing outstanding" : leaks.c_str());
  std::printf("%s of virtual time in %.1f ms of real time: %llu DPCs, %llu timer expiries, %llu switch points, "
              "%llu thread switches, %llu threads\n",
              Seconds(elapsed).c_str(), real.count() / 1000.0, static_cast<unsigned long long>(stats.dpcsRun),
              static_cast<unsigned long long>(stats.timerExpiries), static_cast<unsigned long long>(stats.switchPoints),
              static_cast<unsigned long long>(stats.threadSwitches), static_cast<unsigned long long>(stats.threadsStarted));
  return leaks.empty() ? 0 : 1;
}
