// The hooks that -fsanitize=thread instrumentation calls (GCC and clang spell them alike), implemented
// by the emulated kernel instead of the sanitizer's runtime: plain accesses go to the watchpoints;
// volatile accesses are the drivers' marked accesses and are not checked; function entry and exit
// are not needed.
#include <cstddef>

#include "race/watchpoints.h"

namespace race = tarvel::kernel::race;

#define TARVEL_RACE_HOOKS(size)                                                                            \
  void __tsan_read##size(void* a) { race::Access(a, size, false, __builtin_return_address(0)); }           \
  void __tsan_write##size(void* a) { race::Access(a, size, true, __builtin_return_address(0)); }           \
  void __tsan_unaligned_read##size(void* a) { race::Access(a, size, false, __builtin_return_address(0)); } \
  void __tsan_unaligned_write##size(void* a) { race::Access(a, size, true, __builtin_return_address(0)); } \
  void __tsan_volatile_read##size(void*) {}                                                                \
  void __tsan_volatile_write##size(void*) {}

extern "C" {

TARVEL_RACE_HOOKS(1)
TARVEL_RACE_HOOKS(2)
TARVEL_RACE_HOOKS(4)
TARVEL_RACE_HOOKS(8)
TARVEL_RACE_HOOKS(16)

void __tsan_read_range(void* a, std::size_t size) {
  if (size <= 16) race::Access(a, size, false, __builtin_return_address(0));
}
void __tsan_write_range(void* a, std::size_t size) {
  if (size <= 16) race::Access(a, size, true, __builtin_return_address(0));
}
void __tsan_func_entry(void*) {}
void __tsan_func_exit() {}
void __tsan_init() {}
void __tsan_vptr_update(void**, void*) {}
void __tsan_vptr_read(void**) {}

}  // extern "C"
