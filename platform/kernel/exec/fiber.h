// Execution contexts of emulated threads: user-space fibers on the host thread that booted the machine,
// switched by Boost.Context's jump (no host kernel call). The booting host thread's own stack is the
// context of "app"; every other emulated thread runs on a stack of its own with a guard page below it.
// AddressSanitizer is told about every switch, so its stack checks follow the fibers.
#pragma once

#include <cstddef>

namespace tarvel::kernel::exec {

struct FiberStack {
  void* base = nullptr;     // lowest address of the mapping (the guard page)
  std::size_t size = 0;     // the whole mapping
  void* Bottom() const;     // lowest usable address
  std::size_t Usable() const;
};

struct Fiber {
  void* context = nullptr;  // where a suspended fiber resumes; empty while it runs
  FiberStack stack;         // empty for the host thread's own context
  // What AddressSanitizer needs to switch onto this fiber: its stack bounds (learnt at the first switch
  // away from a host thread's own stack) and, while suspended, its fake-stack handle.
  const void* sanitizerBottom = nullptr;
  std::size_t sanitizerSize = 0;
  void* fakeStack = nullptr;
  void (*entry)(void*) = nullptr;  // what a prepared fiber runs at its first switch
  void* argument = nullptr;
};

// Prepares fiber to run entry(argument) at its first switch; entry must never return (it ends by a
// switch away with finished = true).
void PrepareFiber(Fiber& fiber, void (*entry)(void*), void* argument);
// Suspends `from` (the running context) and resumes `to`. With finished, `from` never runs again and
// its stack goes back to the pool once `to` runs.
void SwitchFiber(Fiber& from, Fiber& to, bool finished);
// Returns the stack of a fiber that finished.
void ReleaseFiberStack(Fiber& fiber);
// A fiber parked for good (it still waited when the machine shut down): its stack stays, and the leak
// checker keeps counting what that stack points to as reachable, as it does for a parked host thread.
void AbandonFiber(Fiber& fiber);

}  // namespace tarvel::kernel::exec
