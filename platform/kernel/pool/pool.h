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

}  // namespace tarvel::kernel::pool
