// Paged pool at a raised IRQL: on the platform a paged-pool page may be out when code at DISPATCH_LEVEL
// touches it, a bug check that Driver Verifier provokes by paging pool out on every raise. Here every
// outstanding paged block is poisoned for AddressSanitizer while the running thread is at
// DISPATCH_LEVEL or above, and unpoisoned when it lowers or another thread at a lower IRQL runs: an
// access in between is an AddressSanitizer report ("use-after-poison"), which the note printed after
// it explains with the block's tag, size and the thread's IRQL. The pool's own bookkeeping lives
// outside the blocks, and paged blocks are allocated and freed only at PASSIVE or APC level, so the
// kernel never touches a poisoned block itself. Without AddressSanitizer this does nothing.
#include <wdm.h>

#include <cstdio>

#include "exec/engine.h"
#include "pool/pool.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace tarvel::kernel::pool {
namespace {

bool gPoisoned = false;

#if defined(__SANITIZE_ADDRESS__)
void Poison(const char* block, std::size_t size) { __asan_poison_memory_region(block, size ? size : 1); }
void Unpoison(const char* block, std::size_t size) { __asan_unpoison_memory_region(block, size ? size : 1); }

void FollowIrql(unsigned char irql) {
  const bool poison = irql >= DISPATCH_LEVEL;
  if (poison == gPoisoned) return;
  gPoisoned = poison;
  ForEachPagedBlock(poison ? Poison : Unpoison);
}

// Runs after AddressSanitizer's report, before the process ends: says why the memory was poisoned.
void ExplainReport(const char*) {
  if (!gPoisoned) return;
  const PagedBlock b = PagedBlockAt(__asan_get_report_address());
  if (!b.block) return;
  const exec::Thread* self = exec::Current();
  char tag[5] = {};
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>((b.tag >> (8 * i)) & 0xff);
    tag[i] = c >= 0x20 && c < 0x7f ? c : '?';
  }
  std::fprintf(stderr,
               "VERIFIER STOP: paged pool touched at DISPATCH_LEVEL on %p: offset %zu of the paged pool block "
               "%p (tag '%s', %zu bytes) by thread \"%s\" at IRQL %u; paged pool may be paged out at this "
               "IRQL (the AddressSanitizer report above names the access as use-after-poison)\n",
               __asan_get_report_address(), static_cast<std::size_t>(
                   static_cast<const char*>(__asan_get_report_address()) - b.block),
               static_cast<const void*>(b.block), tag, b.size, self ? self->name.c_str() : "?",
               self ? self->irql : 0u);
}

void Boot() {
  gPoisoned = false;
  exec::SetIrqlObserver(FollowIrql);
  __asan_set_error_report_callback(ExplainReport);
}
#else
void Boot() {}
#endif

const exec::ComponentRegistration gRegistration{{"paged pool at DISPATCH_LEVEL", Boot, nullptr}};

}  // namespace

void UnpoisonPagedPool() {
#if defined(__SANITIZE_ADDRESS__)
  if (gPoisoned) ForEachPagedBlock(Unpoison);
#endif
  gPoisoned = false;
}

bool PagedPoolPoisoned() { return gPoisoned; }

}  // namespace tarvel::kernel::pool
