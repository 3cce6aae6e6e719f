#include "loader/modules.h"

#include <algorithm>
#include <vector>

#include "tarvel/kernel.h"

namespace tarvel::kernel::loader {
namespace {
std::vector<Module> gModules;
// The pageable ranges apart, in a flat array: the look-up runs on entry to every driver function.
constexpr std::size_t kMaxPageable = 32;
struct PageableRange {
  const char* begin;
  const char* end;
  const void* base;
};
PageableRange gPageable[kMaxPageable];
std::size_t gPageableCount = 0;
}  // namespace

void RegisterModule(const Module& module) {
  gModules.push_back(module);
  if (module.pageable.begin && gPageableCount < kMaxPageable)
    gPageable[gPageableCount++] = {static_cast<const char*>(module.pageable.begin),
                                   static_cast<const char*>(module.pageable.end), module.base};
}

void UnregisterModule(const void* base) {
  std::erase_if(gModules, [base](const Module& m) { return m.base == base; });
  std::size_t kept = 0;
  for (std::size_t i = 0; i < gPageableCount; ++i)
    if (gPageable[i].base != base) gPageable[kept++] = gPageable[i];
  gPageableCount = kept;
}

const Module* PageableModuleOf(const void* address) {
  const auto* a = static_cast<const char*>(address);
  for (std::size_t i = 0; i < gPageableCount; ++i) {
    if (a < gPageable[i].begin || a >= gPageable[i].end) continue;
    for (const Module& m : gModules)
      if (m.base == gPageable[i].base) return &m;
  }
  return nullptr;
}

const void* ModuleBaseOf(const void* address) {
  for (const Module& m : gModules)
    if (address >= m.base && address < m.end) return m.base;
  return nullptr;
}

const Module* ModuleOfDriver(const _DRIVER_OBJECT* driver) {
  for (const Module& m : gModules)
    if (m.driver == driver) return &m;
  return nullptr;
}

}  // namespace tarvel::kernel::loader

namespace tarvel::kernel {

_DRIVER_OBJECT* DriverOwningAddress(const void* address) {
  const void* base = loader::ModuleBaseOf(address);
  if (!base) return nullptr;
  for (_DRIVER_OBJECT* driver : LoadedDrivers()) {
    const loader::Module* m = loader::ModuleOfDriver(driver);
    if (m && m->base == base) return driver;
  }
  return nullptr;
}

}  // namespace tarvel::kernel
