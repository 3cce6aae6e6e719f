// The scheduler engine behind the execution model: emulated threads (fibers), the ready queue and the
// policies' choices, virtual time and its timeline, interrupts, idle and hang handling. Private to the emulated kernel; the kernel's
// routines (ke/, pool/, io/, ...) build on it.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "exec/fiber.h"
#include "tarvel/kernel.h"

namespace tarvel::kernel::exec {

constexpr unsigned char kPassiveLevel = 0, kApcLevel = 1, kDispatchLevel = 2;

// A point on the timeline: due time plus a sequence number, so entries due at the same time fire in
// the order they were set (deterministic).
struct TimelineKey {
  VirtualTime due = 0;
  std::uint64_t sequence = 0;
  auto operator<=>(const TimelineKey&) const = default;
};

// What a blocked thread waits for, kept cheap to set: formatted only for hang reports.
struct WaitInfo {
  const char* kind = nullptr;         // "event", "timer", "spin lock", "delay", "work", ...
  const char* routine = nullptr;      // the kernel routine that waits
  const void* caller = nullptr;       // the return address into the code that called it, if known
  const void* const* objects = nullptr;
  unsigned count = 0;
  bool waitAll = false;
  bool idle = false;                  // a system thread waiting for work: not a hang
  bool hasDeadline = false;
  TimelineKey deadline;
};

inline WaitInfo WaitFor(const char* kind, const char* routine, bool idle = false) {
  WaitInfo w;
  w.kind = kind;
  w.routine = routine;
  w.idle = idle;
  return w;
}

struct Thread {
  std::uint64_t id = 0;
  std::string name;
  enum class State { Ready, Running, Blocked, Finished } state = State::Ready;
  bool system = false;                 // worker, DPC or post thread: stopped at shutdown
  bool ran = false;                    // has run at least once
  std::function<void()> body;
  Fiber fiber;                         // "app" keeps the booting host thread's own stack
  std::uint64_t priority = 0;          // pct: the highest-priority runnable thread runs
  std::uint64_t stepsWithoutYield = 0; // pct: switch points since it last blocked or was switched out
  std::uint32_t lastError = 0;         // the application side's GetLastError

  unsigned char irql = kPassiveLevel;
  std::vector<const void*> spinLocks;  // held, in acquisition order
  unsigned dpcDepth = 0;               // > 0 while a DPC runs on this thread
  unsigned criticalRegions = 0;        // KeEnterCriticalRegion depth

  WaitInfo wait;
  std::uint64_t waitOrder = 0;         // global order of wait start (FIFO among waiters)
  std::int32_t waitStatus = 0;         // NTSTATUS the wait ends with
  std::uintptr_t waitSatisfiedIndex = 0;
};

// The running thread; valid only on the running emulated thread.
Thread* Current();
bool IsBooted();

// Blocking: the running thread sets its WaitInfo, then calls Block(); it returns once another thread
// (or the timeline) called Wake() on it. The wait status is left in Current()->waitStatus.
void Block();
// Makes a blocked thread runnable with status; cancels its deadline if any. Does not switch.
void Wake(Thread* thread, std::int32_t status);
// Threads currently blocked, in the order they started waiting.
const std::vector<Thread*>& Waiters();

// Timeline of virtual time: callbacks fire (on whichever thread advances time, not switching) when the
// clock reaches their due time. The clock only moves when nothing can run.
TimelineKey ScheduleAt(VirtualTime due, std::function<void()> fire);
bool Unschedule(const TimelineKey& key);  // false if it already fired or was never set
bool IsScheduled(const TimelineKey& key);

// DPC queue hook: the ke layer registers how to tell whether DPCs are pending and how to run them.
struct DpcHooks {
  bool (*pending)() = nullptr;
  void (*drain)() = nullptr;  // runs every pending DPC at DISPATCH_LEVEL on the running thread
};
void SetDpcHooks(DpcHooks hooks);
void NoteDpcRun();  // statistics

// The IRQL of an emulated thread is set through SetIrql, so that what follows the running thread's
// IRQL (the poisoning of paged pool at DISPATCH_LEVEL) hears of every change, and of every switch to a
// thread at another IRQL. One observer, set by the pool.
void SetIrql(Thread* thread, unsigned char irql);
void SetIrqlObserver(void (*observer)(unsigned char runningIrql));

// Starts a system thread (workers, DPC context): stopped when the machine shuts down.
Thread* StartSystemThread(std::string name, std::function<void()> body);
bool Stopping();

// Functions run by Boot and Shutdown of each component (workers, DPC context, pool, loader ...),
// registered by static initialisers of the kernel library, run in order of registration.
struct Component {
  const char* name;
  void (*boot)();
  void (*shutdown)();
};
void RegisterComponent(Component component);
struct ComponentRegistration {
  explicit ComponentRegistration(Component c) { RegisterComponent(c); }
};

// Reports: every thread, its wait, IRQL and spin locks; the replay line.
std::string ThreadReport();
std::string FormatTime(VirtualTime t);  // "12.3456789 s"
std::string ReplayLine();
[[noreturn]] void StopRun(const std::string& headline);  // prints headline, thread report, replay; aborts
// An object's address as reports show it.
std::string DescribeObject(const void* object);
// Describes the dispatcher objects of waits ("synchronization event 0x... (not signaled)"); set by ke.
void SetWaitObjectDescriber(std::string (*describe)(const void* object));
std::string ThreadNameOwningSpinLock(const void* lock);

}  // namespace tarvel::kernel::exec
