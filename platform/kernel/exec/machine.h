// The state of one booted machine, shared by the files of the scheduler engine (exec/). Everything in
// it is touched only by the running emulated thread, except what is marked as guarded by BatonMutex().
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>

#include "exec/engine.h"

namespace tarvel::kernel::exec {

// pct: the priority change points of the run, by step (switch point count).
struct PctPlan {
  struct Change {
    std::uint64_t step;
    std::uint64_t priority;  // below every thread's initial priority
  };
  std::vector<Change> changes;
  std::size_t next = 0;
  std::uint64_t step = 0;
};

struct Machine {
  BootOptions options;
  std::mt19937_64 rng;             // the policy's choices
  std::mt19937_64 interruptRng;    // when interrupts land: a stream of its own
  std::uniform_real_distribution<double> coin{0.0, 1.0};
  PctPlan pct;
  VirtualTime now = 0;
  std::uint64_t nextThreadId = 0;
  std::uint64_t nextTimelineSequence = 0;
  std::uint64_t nextWaitOrder = 0;
  std::vector<std::unique_ptr<Thread>> threads;  // every thread of this boot, finished ones included
  Thread* app = nullptr;
  Thread* dpcThread = nullptr;
  Thread* postThread = nullptr;
  std::deque<Thread*> ready;
  std::vector<Thread*> waiters;       // blocked threads in the order they started waiting
  std::deque<Thread*> idleCallers;    // RunUntilIdle callers, resumed when nothing else can run
  std::map<TimelineKey, std::function<void()>> timeline;
  bool stopping = false;
  Statistics statistics;

  // Guarded by BatonMutex(): the only state other host threads touch.
  std::deque<std::function<void()>> posted;
  int externalSources = 0;
  std::condition_variable postedArrived;
  std::chrono::steady_clock::time_point paceAnchorReal;
  VirtualTime paceAnchorVirtual = 0;
  std::atomic<bool> postedPending{false};
};

Machine& TheMachine();
std::mutex& BatonMutex();

// Picks the thread to run next (advancing virtual time if nothing can run now) and hands the CPU to
// it. The caller has already put itself in the ready queue, in a wait, or finished.
void Reschedule(Thread* self);

// The policies' choices (policy.cpp).
void StartPolicy(Machine& m);                     // at boot, once the options are final
void AdmitThread(Machine& m, Thread* thread);     // a new thread, before it is first ready
bool SwitchAtPoint(Machine& m, Thread* running);  // at a switch point: should another thread run?
std::size_t PickReady(Machine& m);                // the index in m.ready of the thread to run next
bool InterruptAtPoint(Machine& m);                // at a switch point: should a due-soon entry fire?
// Body of the thread that runs work posted from outside the machine.
void RunPostedWork();

}  // namespace tarvel::kernel::exec
