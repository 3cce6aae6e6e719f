// The driver modules loaded now and the address ranges of their code, so that pool blocks, DPCs and
// timers can be attributed to the driver they belong to, and code to its pageable part. Private.
#pragma once

#include <string>

#include "loader/elf_sections.h"

struct _DRIVER_OBJECT;

namespace tarvel::kernel::loader {

struct Module {
  const void* base;
  const void* end;
  _DRIVER_OBJECT* driver;
  AddressRange pageable;  // the PAGE section: code the platform may page out (PAGEDCODE)
  std::string name;       // the service name
};

void RegisterModule(const Module& module);
void UnregisterModule(const void* base);
// Base of the loaded module whose image contains address, or nullptr (kernel or test code).
const void* ModuleBaseOf(const void* address);
const Module* ModuleOfDriver(const _DRIVER_OBJECT* driver);
// The module whose pageable code contains address, or nullptr. Cheap: called on entry to every
// function of a driver module.
const Module* PageableModuleOf(const void* address);

}  // namespace tarvel::kernel::loader
