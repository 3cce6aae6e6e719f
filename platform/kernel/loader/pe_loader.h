// A Windows driver image mapped into the process as the platform's loader maps it: each section at its
// RVA from a base of our choosing with the protection its flags give, base relocations applied, every
// import bound by name to an export of the emulated kernel (an import it does not have refuses the
// image and is named), and after DriverEntry the discardable sections (INIT) made inaccessible, as the
// platform frees them. The mapped images are kept in a list so that faults and code addresses inside
// them can be told apart from the rest of the process (fault_handler.h, DescribeCode). Private.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "loader/pe_image.h"

namespace tarvel::kernel::loader {

// The routine a DLL exports under a name, or nullptr (FindExport, or a narrower table in tests).
using ExportLookup = std::function<const void*(const std::string& dll, const std::string& name)>;

struct MappedSection {
  std::string name;
  uint32_t rva = 0;
  uint32_t size = 0;        // in memory, rounded up to whole pages
  uint32_t characteristics = 0;
  int protection = 0;       // PROT_* while it is there
  bool discarded = false;

  bool Executable() const { return characteristics & pe::kSectionExecute; }
  bool Discardable() const { return characteristics & pe::kSectionDiscardable; }
};

class MappedImage {
 public:
  // Maps the image under name ("tarvelport.sys"); nullptr with the reason in error.
  static std::unique_ptr<MappedImage> Map(const pe::Image& image, std::string name, const ExportLookup& exports,
                                          std::string& error);
  ~MappedImage();
  MappedImage(const MappedImage&) = delete;
  MappedImage& operator=(const MappedImage&) = delete;

  const std::string& Name() const { return name_; }
  uint8_t* Base() const { return base_; }
  std::size_t Size() const { return size_; }
  const void* End() const { return base_ + size_; }
  void* EntryPoint() const { return base_ + entryRva_; }
  const std::vector<MappedSection>& Sections() const { return sections_; }
  bool Contains(const void* address) const { return address >= base_ && address < End(); }
  const MappedSection* SectionAt(const void* address) const;
  // Frees what the platform frees after DriverEntry: the discardable sections become inaccessible, so a
  // later call or access into them faults.
  void DiscardInitSections();

  // "SerialRead+0x1c in tarvelport.sys .text+0x21c" for an address inside the image (the routine when
  // the image has a symbol table).
  std::string Describe(const void* address) const;

 private:
  MappedImage() = default;
  bool Relocate(const pe::Image& image, std::string& error);
  bool BindImports(const pe::Image& image, const ExportLookup& exports, std::string& error);
  bool Protect(std::string& error);

  std::string name_;
  uint8_t* base_ = nullptr;
  std::size_t size_ = 0;
  uint32_t headersSize_ = 0;
  uint32_t entryRva_ = 0;
  std::vector<MappedSection> sections_;
  std::vector<pe::Routine> routines_;  // demangled, by RVA
};

// The mapped image an address lies in, or nullptr. Read by the fault handler, so it does not allocate.
const MappedImage* MappedImageAt(const void* address);
// Describe() when address lies in a mapped image.
std::optional<std::string> DescribeImageAddress(const void* address);

}  // namespace tarvel::kernel::loader
