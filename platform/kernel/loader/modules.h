// The driver modules loaded now and the address ranges of their code, so that pool blocks, DPCs and
// timers can be attributed to the driver they belong to. Private.
#pragma once

struct _DRIVER_OBJECT;

namespace tarvel::kernel::loader {

struct Module {
  const void* base;
  const void* end;
  _DRIVER_OBJECT* driver;
};

void RegisterModule(const Module& module);
void UnregisterModule(const void* base);
// Base of the loaded module whose image contains address, or nullptr (kernel or test code).
const void* ModuleBaseOf(const void* address);
const Module* ModuleOfDriver(const _DRIVER_OBJECT* driver);

}  // namespace tarvel::kernel::loader
