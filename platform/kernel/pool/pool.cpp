// Pool: every block is a real heap block (so AddressSanitizer sees overruns in drivers), tracked by
// tag, type and the module that allocated it, for leak reports and the verifier's free checks.
#include "pool/pool.h"

#include <wdm.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <unordered_map>

#include "exec/engine.h"
#include "ke/dispatcher.h"
#include "loader/modules.h"
#include "tarvel/pool.h"
#include "verifier/paged_code.h"

namespace tarvel::kernel::pool {
namespace {

struct Allocation {
  std::size_t size;
  ULONG tag;
  bool paged;
  const void* module;  // base of the driver module whose code allocated it, or nullptr
};

struct TagTotals {
  std::size_t count = 0;
  std::size_t bytes = 0;
  bool paged = false;
  bool nonPaged = false;
};

std::unordered_map<const void*, Allocation> gAllocations;
// Paged blocks by address with their size, for the look-up of an address inside one.
std::map<const char*, std::size_t> gPagedBlocks;
// Blocks still outstanding at shutdown: reported once, then out of the accounting. Never destroyed, so
// they stay reachable (the leak checker at exit runs after static destructors).
std::vector<void*>& LeakedAtShutdown() {
  static auto* leaked = new std::vector<void*>;
  return *leaked;
}
std::vector<FreeCheck> gFreeChecks;
// Bytes outstanding per pool type (nonpaged, paged) and what each type may hold.
std::size_t gOutstanding[2] = {0, 0};
std::size_t gCapacity = kPoolCapacity;

bool IsPaged(POOL_TYPE type) { return (static_cast<int>(type) & 1) != 0; }

template <class Filter>
std::string Report(Filter include) {
  std::map<ULONG, TagTotals> byTag;
  std::size_t count = 0, bytes = 0;
  for (const auto& [block, a] : gAllocations) {
    if (!include(a)) continue;
    TagTotals& t = byTag[a.tag];
    ++t.count;
    t.bytes += a.size;
    (a.paged ? t.paged : t.nonPaged) = true;
    ++count;
    bytes += a.size;
  }
  if (!count) return {};
  std::string text = std::to_string(count) + " pool allocation" + (count == 1 ? "" : "s") + " (" +
                     std::to_string(bytes) + " bytes) outstanding:";
  for (const auto& [tag, t] : byTag) {
    text += "\n    tag '" + TagName(tag) + "': " + std::to_string(t.count) + " allocation" + (t.count == 1 ? "" : "s") +
            ", " + std::to_string(t.bytes) + " bytes" +
            (t.paged && t.nonPaged ? " (paged and nonpaged)" : t.paged ? " (paged)" : " (nonpaged)");
  }
  return text;
}

void* Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const void* caller, const char* routine) {
  verifier::CheckNotCalledFromPageable(caller, routine);
  const KIRQL irql = KeGetCurrentIrql();
  if (IsPaged(type) && irql > APC_LEVEL)
    VerifierStop("paged pool at DISPATCH_LEVEL", routine, nullptr,
                 "tag '" + TagName(tag) + "', " + std::to_string(bytes) + " bytes at IRQL " + std::to_string(irql));
  if (irql > DISPATCH_LEVEL)
    VerifierStop("pool allocation above DISPATCH_LEVEL", routine, nullptr, "IRQL " + std::to_string(irql));
  if (ShouldFail(FaultSite::Pool, tag)) return nullptr;
  std::size_t& outstanding = gOutstanding[IsPaged(type)];
  if (bytes > gCapacity - outstanding) return nullptr;  // the pool is exhausted
  void* block = std::malloc(bytes ? bytes : 1);
  if (!block) return nullptr;
  std::memset(block, 0xCD, bytes);  // pool is not zeroed: make reliance on it visible
  outstanding += bytes;
  gAllocations.emplace(block, Allocation{bytes, tag, IsPaged(type), loader::ModuleBaseOf(caller)});
  if (IsPaged(type)) gPagedBlocks.emplace(static_cast<const char*>(block), bytes);
  return block;
}

void Free(void* block, const ULONG* tag, const char* routine) {
  if (!block) VerifierStop("free of a null pointer", routine, nullptr);
  auto it = gAllocations.find(block);
  if (it == gAllocations.end())
    VerifierStop("free of memory that is not an outstanding pool block", routine, block,
                 "freed twice, or never allocated from pool");
  const Allocation& a = it->second;
  if (tag && *tag != a.tag)
    VerifierStop("pool tag mismatch", routine, block,
                 "allocated with tag '" + TagName(a.tag) + "', freed with '" + TagName(*tag) + "'");
  const KIRQL irql = KeGetCurrentIrql();
  if (a.paged && irql > APC_LEVEL)
    VerifierStop("paged pool at DISPATCH_LEVEL", routine, block, "freed at IRQL " + std::to_string(irql));
  if (irql > DISPATCH_LEVEL)
    VerifierStop("pool free above DISPATCH_LEVEL", routine, block, "IRQL " + std::to_string(irql));
  CheckNothingQueuedIn(routine, block, a.size, "block of tag '" + TagName(a.tag) + "'");
  for (const FreeCheck& check : gFreeChecks) check(routine, block, a.size);
  if (a.paged) gPagedBlocks.erase(static_cast<const char*>(block));
  gOutstanding[a.paged] -= a.size;
  gAllocations.erase(it);
  std::free(block);
}

void ReportAtShutdown() {
  const std::string report = Report([](const Allocation&) { return true; });
  if (report.empty()) return;
  std::fprintf(stderr, "tarvel: pool leak report at shutdown: %s\n", report.c_str());
  for (auto& [block, a] : gAllocations) LeakedAtShutdown().push_back(const_cast<void*>(block));
  UnpoisonPagedPool();
  gAllocations.clear();
  gPagedBlocks.clear();
}

void ResetAtBoot() {
  gOutstanding[0] = gOutstanding[1] = 0;
  gCapacity = kPoolCapacity;
}

const exec::ComponentRegistration gRegistration{{"pool", ResetAtBoot, ReportAtShutdown}};

}  // namespace

bool InPaged(const void* address) { return PagedBlockAt(address).block != nullptr; }

PagedBlock PagedBlockAt(const void* address) {
  const auto* a = static_cast<const char*>(address);
  auto it = gPagedBlocks.upper_bound(a);
  if (it == gPagedBlocks.begin()) return {};
  --it;
  if (a >= it->first + std::max<std::size_t>(it->second, 1)) return {};
  const auto found = gAllocations.find(it->first);
  return {it->first, it->second, found == gAllocations.end() ? 0u : found->second.tag};
}

void ForEachPagedBlock(void (*visit)(const char* block, std::size_t size)) {
  for (const auto& [block, size] : gPagedBlocks) visit(block, size);
}

std::string ModuleLeakReport(const void* moduleBase) {
  return Report([moduleBase](const Allocation& a) { return a.module == moduleBase; });
}

}  // namespace tarvel::kernel::pool

namespace tarvel::kernel {
using namespace pool;

void SetPoolCapacity(std::size_t bytes) { gCapacity = std::max(bytes, std::max(gOutstanding[0], gOutstanding[1])); }

std::string TagName(std::uint32_t tag) {
  std::string name;
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>((tag >> (8 * i)) & 0xff);
    name += c >= 0x20 && c < 0x7f ? c : '?';
  }
  return name;
}

std::size_t PoolOutstanding(std::uint32_t tag) {
  std::size_t n = 0;
  for (const auto& [block, a] : gAllocations) n += a.tag == tag;
  return n;
}

std::size_t PoolOutstandingBytes(std::uint32_t tag) {
  std::size_t n = 0;
  for (const auto& [block, a] : gAllocations)
    if (a.tag == tag) n += a.size;
  return n;
}

std::size_t PoolOutstandingTotal() { return gAllocations.size(); }

std::string PoolLeakReport() { return Report([](const Allocation&) { return true; }); }

bool InPagedPool(const void* address) { return InPaged(address); }

void CheckPoolLeaks(const char* routine, const void* object, std::initializer_list<std::uint32_t> tags) {
  const std::string report = Report([&tags](const Allocation& a) {
    for (std::uint32_t tag : tags)
      if (a.tag == tag) return true;
    return false;
  });
  if (!report.empty()) VerifierStop("pool leak", routine, object, report);
}

void AddFreeCheck(FreeCheck check) { gFreeChecks.push_back(std::move(check)); }

}  // namespace tarvel::kernel

using namespace tarvel::kernel;

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return pool::Allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0), "ExAllocatePoolWithTag");
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return pool::Allocate(PoolType, NumberOfBytes, 'enoN', __builtin_return_address(0), "ExAllocatePool");
}

PVOID ExAllocatePoolWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return pool::Allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0), "ExAllocatePoolWithQuotaTag");
}

VOID ExFreePool(PVOID P) {
  verifier::CheckNotCalledFromPageable(__builtin_return_address(0), "ExFreePool");
  pool::Free(P, nullptr, "ExFreePool");
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
  verifier::CheckNotCalledFromPageable(__builtin_return_address(0), "ExFreePoolWithTag");
  pool::Free(P, &Tag, "ExFreePoolWithTag");
}

}  // extern "C"
