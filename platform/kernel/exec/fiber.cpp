// Fibers on Boost.Context's jump: a switch saves the callee-saved registers on the running stack and
// loads the other context's, without a system call. Stacks come from a pool: runs start and end many
// emulated threads, and a mapping per thread would cost two system calls each.
#include "exec/fiber.h"

#include <sys/mman.h>
#include <unistd.h>

#include <boost/context/detail/fcontext.hpp>
#include <cstdio>
#include <cstdlib>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define TARVEL_FIBER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARVEL_FIBER_ASAN 1
#endif
#endif
#ifdef TARVEL_FIBER_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#include <sanitizer/lsan_interface.h>
#endif

namespace tarvel::kernel::exec {
namespace {

namespace ctx = boost::context::detail;

// As large as a host thread's default stack, so that nothing that ran on host threads overflows here:
// driver call chains through several stacks of devices, completion routines, and the sanitizer's larger
// frames. Only the touched pages cost memory.
constexpr std::size_t kStackBytes = 8u << 20;

std::size_t PageSize() {
  static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

std::vector<FiberStack>& Pool() {
  static auto& pool = *new std::vector<FiberStack>;  // never destroyed: parked fibers may outlive statics
  return pool;
}

FiberStack NewStack() {
  if (!Pool().empty()) {
    FiberStack stack = Pool().back();
    Pool().pop_back();
    return stack;
  }
  FiberStack stack;
  stack.size = kStackBytes + PageSize();
  stack.base = mmap(nullptr, stack.size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK,
                    -1, 0);
  if (stack.base == MAP_FAILED) {
    std::perror("tarvel: fiber stack");
    std::abort();
  }
  // The guard page: an overflow faults there (the sanitizer reports it as a stack overflow) instead of
  // running into another fiber's stack.
  if (mprotect(stack.base, PageSize(), PROT_NONE) != 0) {
    std::perror("tarvel: fiber stack guard");
    std::abort();
  }
  return stack;
}

// Passed through the jump: the context that left and the one that arrives; for a fiber that finished,
// the lowest address of the frames still open on its stack (those of the switch away for good).
struct Handoff {
  Fiber* from;
  Fiber* to;
  bool finished;
  const char* openFrames = nullptr;
};

// Back to the pool. Frames that returned have unpoisoned their redzones; only the frames from
// openFrames up to the top never return. Unpoisoning just those keeps the sanitizer's shadow of the
// rest of the 8 MB untouched: clearing all of it cost 256 page faults and a megabyte of writes per
// stack in every process, most of a short run's system time.
void Recycle(Fiber& fiber, const char* openFrames) {
  if (!fiber.stack.base) return;
#ifdef TARVEL_FIBER_ASAN
  char* bottom = static_cast<char*>(fiber.stack.Bottom());
  char* top = bottom + fiber.stack.Usable();
  char* from = openFrames && openFrames > bottom && openFrames < top ? const_cast<char*>(openFrames) : bottom;
  __asan_unpoison_memory_region(from, static_cast<std::size_t>(top - from));
#else
  (void)openFrames;
#endif
  Pool().push_back(fiber.stack);
  fiber.stack = {};
  fiber.context = nullptr;
}

// First thing on the arriving side of every switch.
void Arrive(ctx::transfer_t transfer) {
  const Handoff* handoff = static_cast<const Handoff*>(transfer.data);
  Fiber* from = handoff->from;
  from->context = transfer.fctx;
#ifdef TARVEL_FIBER_ASAN
  const void* bottom = nullptr;
  std::size_t size = 0;
  __sanitizer_finish_switch_fiber(handoff->to->fakeStack, &bottom, &size);
  handoff->to->fakeStack = nullptr;
  from->sanitizerBottom = bottom;  // how a host thread's own stack becomes known
  from->sanitizerSize = size;
#endif
  if (handoff->finished) Recycle(*from, handoff->openFrames);
}

void Trampoline(ctx::transfer_t transfer) {
  Fiber* self = static_cast<const Handoff*>(transfer.data)->to;
  Arrive(transfer);
  self->entry(self->argument);
  std::fputs("tarvel: a fiber's entry returned\n", stderr);
  std::abort();
}

}  // namespace

void* FiberStack::Bottom() const { return static_cast<char*>(base) + PageSize(); }
std::size_t FiberStack::Usable() const { return size - PageSize(); }

void PrepareFiber(Fiber& fiber, void (*entry)(void*), void* argument) {
  fiber.stack = NewStack();
  fiber.entry = entry;
  fiber.argument = argument;
  fiber.sanitizerBottom = fiber.stack.Bottom();
  fiber.sanitizerSize = fiber.stack.Usable();
  fiber.fakeStack = nullptr;
  void* top = static_cast<char*>(fiber.stack.Bottom()) + fiber.stack.Usable();
  fiber.context = ctx::make_fcontext(top, fiber.stack.Usable(), Trampoline);
}

void SwitchFiber(Fiber& from, Fiber& to, bool finished) {
  Handoff handoff{&from, &to, finished};
  // This frame's own locals (and their redzones) lie below its frame address: a page covers them.
  if (finished) handoff.openFrames = static_cast<const char*>(__builtin_frame_address(0)) - 4096;
#ifdef TARVEL_FIBER_ASAN
  __sanitizer_start_switch_fiber(finished ? nullptr : &from.fakeStack, to.sanitizerBottom, to.sanitizerSize);
#endif
  void* target = to.context;
  to.context = nullptr;
  Arrive(ctx::jump_fcontext(target, &handoff));
}

void ReleaseFiberStack(Fiber& fiber) { Recycle(fiber, nullptr); }

void AbandonFiber(Fiber& fiber) {
#ifdef TARVEL_FIBER_ASAN
  if (fiber.stack.base) __lsan_register_root_region(fiber.stack.Bottom(), fiber.stack.Usable());
#else
  (void)fiber;
#endif
}

}  // namespace tarvel::kernel::exec
