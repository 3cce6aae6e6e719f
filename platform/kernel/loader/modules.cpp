#include "loader/modules.h"

#include <algorithm>
#include <vector>

#include "tarvel/kernel.h"

namespace tarvel::kernel::loader {
namespace {
std::vector<Module> gModules;
}

void RegisterModule(const Module& module) { gModules.push_back(module); }

void UnregisterModule(const void* base) {
  std::erase_if(gModules, [base](const Module& m) { return m.base == base; });
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
