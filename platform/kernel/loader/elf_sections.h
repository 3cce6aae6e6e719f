// Sections of a loaded module as its ELF file describes them: the section headers are not mapped, so
// they are read from the file. Private to the loader.
#pragma once

#include <cstdint>
#include <string>

namespace tarvel::kernel::loader {

struct AddressRange {
  const void* begin = nullptr;
  const void* end = nullptr;
  bool Contains(const void* address) const { return address >= begin && address < end; }
};

// Where section name of the module file at path lies once loaded at loadBias (link_map::l_addr);
// an empty range if the file has no such section or cannot be read.
AddressRange LoadedSectionRange(const std::string& path, std::uintptr_t loadBias, const char* name);

}  // namespace tarvel::kernel::loader
