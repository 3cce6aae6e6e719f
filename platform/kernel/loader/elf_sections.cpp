#include "loader/elf_sections.h"

#include <elf.h>
#include <link.h>

#include <cstring>
#include <fstream>
#include <vector>

namespace tarvel::kernel::loader {

AddressRange LoadedSectionRange(const std::string& path, std::uintptr_t loadBias, const char* name) {
  std::ifstream file(path, std::ios::binary);
  ElfW(Ehdr) header{};
  if (!file.read(reinterpret_cast<char*>(&header), sizeof header)) return {};
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_shentsize != sizeof(ElfW(Shdr)) ||
      header.e_shstrndx == SHN_UNDEF || header.e_shstrndx >= header.e_shnum)
    return {};
  std::vector<ElfW(Shdr)> sections(header.e_shnum);
  file.seekg(static_cast<std::streamoff>(header.e_shoff));
  if (!file.read(reinterpret_cast<char*>(sections.data()),
                 static_cast<std::streamsize>(sections.size() * sizeof(ElfW(Shdr)))))
    return {};
  const ElfW(Shdr)& names = sections[header.e_shstrndx];
  std::vector<char> table(names.sh_size + 1, '\0');
  file.seekg(static_cast<std::streamoff>(names.sh_offset));
  if (!file.read(table.data(), static_cast<std::streamsize>(names.sh_size))) return {};
  for (const ElfW(Shdr)& s : sections) {
    if (s.sh_name >= names.sh_size || std::strcmp(&table[s.sh_name], name) != 0) continue;
    if (!(s.sh_flags & SHF_ALLOC) || s.sh_size == 0) return {};
    const auto* begin = reinterpret_cast<const char*>(loadBias + s.sh_addr);
    return {begin, begin + s.sh_size};
  }
  return {};
}

}  // namespace tarvel::kernel::loader
