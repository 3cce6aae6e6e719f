// The state of one booted machine, shared by the files of the scheduler engine (exec/). Everything in
// it is touched only by the running emulated thread, except what is marked as guarded by BatonMutex().
#pragma once

#include <atomic>
#include <chrono>
#include <memory>

#include "exec/engine.h"

namespace tarvel::kernel::exec {

struct Machine {
  BootOptions options;
  std::mt19937_64 rng;
  std::uniform_real_distribution<double> coin{0.0, 1.0};
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
// Body of the thread that runs work posted from outside the machine.
void RunPostedWork();

}  // namespace tarvel::kernel::exec
