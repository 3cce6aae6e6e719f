// Small PE32+ driver images made in memory for the loader's tests: code and data sections with the
// bytes and flags a test gives, imports by name, 64-bit base relocations. Each section gets pages of
// its own in the order added; the import and relocation tables come last.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvel::testing {

class ImageBuilder {
 public:
  static constexpr uint64_t kPreferredBase = 0x10000;
  static constexpr uint32_t kCode = 0x60000020;         // code, execute, read
  static constexpr uint32_t kInitCode = 0x62000020;     // the same, discardable (INIT)
  static constexpr uint32_t kData = 0xC0000040;         // initialised data, read, write
  static constexpr uint32_t kReadOnlyData = 0x40000040;

  // Adds a section and returns its RVA.
  uint32_t AddSection(std::string name, std::vector<uint8_t> bytes, uint32_t characteristics);
  void AddImport(std::string dll, std::string name) { imports_.push_back({std::move(dll), std::move(name)}); }
  // A 64-bit value at rva that holds an address in the image (relative to kPreferredBase).
  void AddRelocation(uint32_t rva) { relocations_.push_back(rva); }
  void SetEntryPoint(uint32_t rva) { entry_ = rva; }
  // The image file.
  std::vector<uint8_t> Build() const;
  // The RVA the next section will get.
  uint32_t NextRva() const;

 private:
  struct Section {
    std::string name;
    uint32_t rva;
    std::vector<uint8_t> bytes;
    uint32_t characteristics;
  };
  struct Import {
    std::string dll, name;
  };

  std::vector<Section> sections_;
  std::vector<Import> imports_;
  std::vector<uint32_t> relocations_;
  uint32_t entry_ = 0;
};

}  // namespace tarvel::testing
