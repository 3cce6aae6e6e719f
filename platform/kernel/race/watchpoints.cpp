#include "race/watchpoints.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "exec/engine.h"
#include "tarvel/verifier.h"
#include "verifier/code_address.h"
#include "verifier/lock_order.h"

namespace tarvel::kernel::race {
namespace {

// One side of a race: where it was, on which thread, what it held.
struct Party {
  const void* pc = nullptr;
  bool write = false;
  bool marked = false;
  std::string thread;
  unsigned irql = 0;
  bool inDpc = false;
  std::vector<verifier::HeldLock> locks;
};

struct Watch {
  std::uintptr_t address = 0;
  std::size_t size = 0;
  Party watcher;
  unsigned char before[16] = {};
  bool markedWriteSeen = false;  // an interlocked write changed it: no race for a plain read
};

unsigned gSample = 40;
unsigned gMaxDelay = 1200;  // microseconds
std::mt19937_64 gRng;
std::uint64_t gSkip = 0;
std::vector<Watch*> gWatches;  // active, innermost last
std::size_t gAccesses = 0, gWatchpoints = 0;

unsigned FromEnvironment(const char* name, unsigned fallback) {
  const char* value = std::getenv(name);
  if (!value || !*value) return fallback;
  char* end = nullptr;
  const unsigned long n = std::strtoul(value, &end, 0);
  if (*end || n == 0 || n > 1'000'000) {
    std::fprintf(stderr, "%s=%s is not a number from 1 to 1000000\n", name, value);
    std::abort();
  }
  return static_cast<unsigned>(n);
}

std::uint64_t NextSkip() { return 1 + gRng() % (2 * gSample); }

void Boot() {
  gSample = FromEnvironment("TARVEL_RACE_SAMPLE", 40);
  gMaxDelay = FromEnvironment("TARVEL_RACE_DELAY_US", 1200);
  gRng.seed(CurrentSeed() ^ 0x5deece66dULL);
  gSkip = NextSkip();
  gWatches.clear();
  gAccesses = gWatchpoints = 0;
}

const exec::ComponentRegistration gRegistration{{"race watchpoints", Boot, nullptr}};

Party Here(const void* pc, bool write, bool marked) {
  const exec::Thread* self = exec::Current();
  Party p;
  p.pc = pc;
  p.write = write;
  p.marked = marked;
  p.thread = self->name;
  p.irql = self->irql;
  p.inDpc = self->dpcDepth > 0;
  p.locks = verifier::HeldLocks(self);
  return p;
}

std::string Describe(const Party& p, const char* role) {
  std::string text = std::string("  ") + (p.marked ? "interlocked " : "") + (p.write ? "write" : "read") + " by thread \"" +
                     p.thread + "\" at IRQL " + std::to_string(p.irql) + (p.inDpc ? " in a DPC" : "") + " (" + role + ")\n    at " +
                     (p.pc ? verifier::DescribeCode(p.pc) : std::string("code that is not instrumented (kernel, bus or device)")) +
                     "\n    holding " + verifier::DescribeLocks(p.locks) + "\n";
  return text;
}

[[noreturn]] void Report(const Watch& w, const Party& other, const char* what) {
  char where[96];
  std::snprintf(where, sizeof where, " on %zu byte%s at %p", w.size, w.size == 1 ? "" : "s", reinterpret_cast<void*>(w.address));
  std::string text = std::string("RACE: ") + what + where + "\n" + Describe(w.watcher, "watched, stalled there") +
                     Describe(other, "while it was stalled");
  exec::StopRun(text);
}

bool Overlaps(const Watch& w, std::uintptr_t address, std::size_t size) {
  return address < w.address + w.size && w.address < address + size;
}

// The running thread's own stack (its frames and its callers'): nobody else's business.
bool OnOwnStack(std::uintptr_t address) {
  const auto sp = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  return address + 512 >= sp && address < sp + 64 * 1024;
}

// A thread may stall only where it could be preempted: running driver code, not inside the scheduler.
bool CanStall(const exec::Thread* self) { return self->state == exec::Thread::State::Running && !exec::Stopping(); }

void Stall() {
  VirtualTime delay = 0;
  if (gRng() % 2) delay = static_cast<VirtualTime>(1 + gRng() % gMaxDelay) * kMicrosecond;
  RunFor(delay);  // the others run; time may reach the next timer (a USB frame, a timeout)
}

}  // namespace

void Access(const void* address, std::size_t size, bool write, const void* pc) {
  if (!InEmulatedThread()) return;  // module constructors, host threads
  ++gAccesses;
  const auto a = reinterpret_cast<std::uintptr_t>(address);
  for (const Watch* w : gWatches) {
    if (Overlaps(*w, a, size) && (write || w->watcher.write)) Report(*w, Here(pc, write, false), "data race");
  }
  if (--gSkip != 0) return;
  gSkip = NextSkip();
  exec::Thread* self = exec::Current();
  if (size > sizeof(Watch::before) || OnOwnStack(a) || !CanStall(self)) return;
  Watch watch;
  watch.address = a;
  watch.size = size;
  watch.watcher = Here(pc, write, false);
  std::memcpy(watch.before, address, size);
  gWatches.push_back(&watch);
  ++gWatchpoints;
  Stall();
  std::erase(gWatches, &watch);
  if (!write && !watch.markedWriteSeen && std::memcmp(watch.before, address, size) != 0) {
    Party unknown;
    unknown.write = true;
    unknown.thread = "?";
    Report(watch, unknown, "value changed under a read watchpoint");
  }
}

void MarkedAccess(const volatile void* address, std::size_t size, const void* pc) {
  if (gWatches.empty() || !InEmulatedThread()) return;
  const auto a = reinterpret_cast<std::uintptr_t>(address);
  for (Watch* w : gWatches) {
    if (!Overlaps(*w, a, size)) continue;
    // A plain read of a word others update with interlocked operations is the platform's idiom; a plain
    // write beside them loses their updates.
    if (w->watcher.write) Report(*w, Here(pc, true, true), "data race");
    w->markedWriteSeen = true;
  }
}

std::size_t AccessesSeen() { return gAccesses; }
std::size_t WatchpointsSet() { return gWatchpoints; }

}  // namespace tarvel::kernel::race

namespace tarvel::kernel {
std::size_t RaceAccessesChecked() { return race::AccessesSeen(); }
std::size_t RaceWatchpointsSet() { return race::WatchpointsSet(); }
}  // namespace tarvel::kernel
