#include "image_builder.h"

#include <cstring>
#include <map>

namespace tarvel::testing {
namespace {

constexpr uint32_t kPage = 0x1000, kFileAlignment = 0x200, kHeadersSize = 0x400;

uint32_t Align(uint32_t value, uint32_t alignment) { return (value + alignment - 1) / alignment * alignment; }

template <typename T>
void Put(std::vector<uint8_t>& bytes, std::size_t at, T value) {
  if (bytes.size() < at + sizeof(T)) bytes.resize(at + sizeof(T));
  std::memcpy(bytes.data() + at, &value, sizeof(T));
}

void PutText(std::vector<uint8_t>& bytes, std::size_t at, const std::string& text) {
  if (bytes.size() < at + text.size() + 1) bytes.resize(at + text.size() + 1);
  std::memcpy(bytes.data() + at, text.c_str(), text.size() + 1);
}

}  // namespace

uint32_t ImageBuilder::NextRva() const {
  if (sections_.empty()) return kPage;
  const Section& last = sections_.back();
  return last.rva + Align(std::max<uint32_t>(uint32_t(last.bytes.size()), 1), kPage);
}

uint32_t ImageBuilder::AddSection(std::string name, std::vector<uint8_t> bytes, uint32_t characteristics) {
  const uint32_t rva = NextRva();
  sections_.push_back({std::move(name), rva, std::move(bytes), characteristics});
  return rva;
}

std::vector<uint8_t> ImageBuilder::Build() const {
  ImageBuilder b = *this;
  uint32_t importRva = 0, importSize = 0, relocationRva = 0, relocationSize = 0;
  if (!imports_.empty()) {
    // Descriptors, then per DLL its lookup table, its address table (the slots), its name and the
    // hint/name entries.
    std::map<std::string, std::vector<std::string>> byDll;
    for (const Import& i : imports_) byDll[i.dll].push_back(i.name);
    importRva = b.NextRva();
    std::vector<uint8_t> idata((byDll.size() + 1) * 20, 0);
    std::size_t d = 0;
    for (const auto& [dll, names] : byDll) {
      const std::size_t lookup = idata.size(), slots = lookup + (names.size() + 1) * 8;
      const std::size_t dllName = slots + (names.size() + 1) * 8;
      idata.resize(dllName);
      PutText(idata, dllName, dll);
      for (std::size_t n = 0; n < names.size(); ++n) {
        const std::size_t hint = Align(uint32_t(idata.size()), 2);
        Put<uint16_t>(idata, hint, 0);
        PutText(idata, hint + 2, names[n]);
        Put<uint64_t>(idata, lookup + n * 8, importRva + hint);
        Put<uint64_t>(idata, slots + n * 8, importRva + hint);
      }
      Put<uint32_t>(idata, d * 20, uint32_t(importRva + lookup));
      Put<uint32_t>(idata, d * 20 + 12, uint32_t(importRva + dllName));
      Put<uint32_t>(idata, d * 20 + 16, uint32_t(importRva + slots));
      ++d;
    }
    importSize = uint32_t((byDll.size() + 1) * 20);
    b.AddSection(".idata", idata, kData);
  }
  if (!relocations_.empty()) {
    std::map<uint32_t, std::vector<uint16_t>> byPage;
    for (uint32_t rva : relocations_) byPage[rva & ~(kPage - 1)].push_back(uint16_t((10 << 12) | (rva & (kPage - 1))));
    std::vector<uint8_t> reloc;
    for (auto& [page, entries] : byPage) {
      if (entries.size() % 2) entries.push_back(0);  // an absolute entry keeps the block 4-aligned
      const std::size_t at = reloc.size();
      Put<uint32_t>(reloc, at, page);
      Put<uint32_t>(reloc, at + 4, uint32_t(8 + entries.size() * 2));
      for (std::size_t n = 0; n < entries.size(); ++n) Put<uint16_t>(reloc, at + 8 + n * 2, entries[n]);
    }
    relocationRva = b.NextRva();
    relocationSize = uint32_t(reloc.size());
    b.AddSection(".reloc", reloc, 0x42000040);
  }

  std::vector<uint8_t> file(kHeadersSize, 0);
  Put<uint16_t>(file, 0, 0x5a4d);
  Put<uint32_t>(file, 0x3c, 0x40);
  Put<uint32_t>(file, 0x40, 0x00004550);
  const std::size_t header = 0x44, optional = header + 20;
  Put<uint16_t>(file, header, 0x8664);
  Put<uint16_t>(file, header + 2, uint16_t(b.sections_.size()));
  Put<uint16_t>(file, header + 16, 240);
  Put<uint16_t>(file, header + 18, 0x0022);  // executable, large-address aware
  Put<uint16_t>(file, optional, 0x20b);
  Put<uint32_t>(file, optional + 16, entry_);
  Put<uint64_t>(file, optional + 24, kPreferredBase);
  Put<uint32_t>(file, optional + 32, kPage);
  Put<uint32_t>(file, optional + 36, kFileAlignment);
  Put<uint32_t>(file, optional + 56, b.NextRva());
  Put<uint32_t>(file, optional + 60, kHeadersSize);
  Put<uint16_t>(file, optional + 68, 1);  // native
  Put<uint32_t>(file, optional + 108, 16);
  Put<uint32_t>(file, optional + 112 + 1 * 8, importRva);
  Put<uint32_t>(file, optional + 116 + 1 * 8, importSize);
  Put<uint32_t>(file, optional + 112 + 5 * 8, relocationRva);
  Put<uint32_t>(file, optional + 116 + 5 * 8, relocationSize);
  std::size_t table = optional + 240;
  for (const Section& s : b.sections_) {
    const uint32_t raw = Align(uint32_t(s.bytes.size()), kFileAlignment);
    const uint32_t offset = uint32_t(file.size());
    char name[8] = {};
    std::memcpy(name, s.name.data(), std::min<std::size_t>(8, s.name.size()));
    std::memcpy(file.data() + table, name, 8);
    Put<uint32_t>(file, table + 8, uint32_t(s.bytes.size()));
    Put<uint32_t>(file, table + 12, s.rva);
    Put<uint32_t>(file, table + 16, raw);
    Put<uint32_t>(file, table + 20, raw ? offset : 0);
    Put<uint32_t>(file, table + 36, s.characteristics);
    table += 40;
    file.insert(file.end(), s.bytes.begin(), s.bytes.end());
    file.resize(offset + raw, 0);
  }
  return file;
}

}  // namespace tarvel::testing
