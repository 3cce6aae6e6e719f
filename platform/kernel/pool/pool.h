// Pool accounting shared by the pool routines, the verifier and the loader. Private.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarvel::kernel::pool {

// Outstanding allocations made by code of the module loaded at base (a driver), as a report by tag;
// empty if there are none.
std::string ModuleLeakReport(const void* moduleBase);
// True if address lies in an outstanding block of paged pool.
bool InPaged(const void* address);

// The outstanding paged-pool blocks by address, with their size.
struct PagedBlock {
  const char* block;
  std::size_t size;
  std::uint32_t tag;
};
// The paged block that contains address, if any (block == nullptr otherwise).
PagedBlock PagedBlockAt(const void* address);
// Calls visit(block, size) for every outstanding paged block.
void ForEachPagedBlock(void (*visit)(const char* block, std::size_t size));

// Paged pool is poisoned for AddressSanitizer while the running thread is at DISPATCH_LEVEL or above
// (paged_at_dispatch.cpp): the pool calls these around its own changes of the paged blocks.
void UnpoisonPagedPool();     // before the pool forgets every block (shutdown)
bool PagedPoolPoisoned();

}  // namespace tarvel::kernel::pool
