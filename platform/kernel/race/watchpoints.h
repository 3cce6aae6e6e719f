// Data-race watchpoints for instrumented driver code (the race build, cmake/RaceBuild.cmake),
// after the kernel concurrency sanitizers that sample accesses and stall them: driver modules built with
// the compiler's thread-sanitizer instrumentation call the __tsan_* hooks (hooks.cpp) on each plain
// memory access. Now and then an access is sampled: a soft watchpoint (address, size, read or write) is
// set and the accessing thread is stalled while the others run, possibly until the next due timer.
// Another plain access to the watched bytes that conflicts (one of the two writes), or a change of the
// value under a read watchpoint, is a data race: the run stops with both accesses, their threads, the
// spin locks each held and the replay line.
//
// Not reported: volatile accesses and the interlocked family (marked accesses, atomic by the platform's
// rules), a plain read that races only with a marked write, and accesses to the running thread's stack.
//
// TARVEL_RACE_SAMPLE=N samples one access in about N (default 40); TARVEL_RACE_DELAY_US=D stalls a
// sampled access for up to D microseconds of virtual time (default 1200: past the next USB frame).
#pragma once

#include <cstddef>

namespace tarvel::kernel::race {

// A plain access by instrumented code at pc.
void Access(const void* address, std::size_t size, bool write, const void* pc);
// An access the platform makes atomically on a driver's behalf (interlocked operations), called at pc.
void MarkedAccess(const volatile void* address, std::size_t size, const void* pc);
// Accesses checked and sampled since boot (for the race suite's figures).
std::size_t AccessesSeen();
std::size_t WatchpointsSet();

}  // namespace tarvel::kernel::race
