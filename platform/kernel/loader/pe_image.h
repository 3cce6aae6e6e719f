// A read-only view of a PE32+ image file (a Windows .sys driver): headers, sections, imports, exports,
// base relocations and the version resource. Every offset in the file is checked against its size, so
// a damaged image gives an error, never an out-of-bounds read. Used by the image loader and by the
// image check of the build.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tarvel::kernel::loader::pe {

// Values of the image headers this code reads (the platform's winnt.h names).
inline constexpr uint16_t kMachineAmd64 = 0x8664;
inline constexpr uint16_t kFileExecutableImage = 0x0002;
inline constexpr uint16_t kFileDll = 0x2000;
inline constexpr uint16_t kSubsystemNative = 1;
inline constexpr uint32_t kSectionCode = 0x00000020;
inline constexpr uint32_t kSectionInitializedData = 0x00000040;
inline constexpr uint32_t kSectionUninitializedData = 0x00000080;
inline constexpr uint32_t kSectionDiscardable = 0x02000000;
inline constexpr uint32_t kSectionExecute = 0x20000000;
inline constexpr uint32_t kSectionRead = 0x40000000;
inline constexpr uint32_t kSectionWrite = 0x80000000;
inline constexpr uint16_t kRelocationAbsolute = 0;  // padding entry
inline constexpr uint16_t kRelocationDir64 = 10;

struct Section {
  std::string name;
  uint32_t virtualAddress = 0;
  uint32_t virtualSize = 0;
  uint32_t rawOffset = 0;
  uint32_t rawSize = 0;
  uint32_t characteristics = 0;

  bool Contains(uint32_t rva) const { return rva >= virtualAddress && rva - virtualAddress < Extent(); }
  uint32_t Extent() const { return virtualSize != 0 ? virtualSize : rawSize; }
};

// One imported routine: the DLL it comes from, its name, and the RVA of its slot in the import
// address table that the loader fills in.
struct Import {
  std::string dll;
  std::string name;
  uint32_t slotRva = 0;
};

struct Relocation {
  uint32_t rva = 0;
  uint16_t type = 0;
};

// A routine of the image's symbol table (when the linker kept one), by its name as the linker spells
// it (C++ names mangled).
struct Routine {
  std::string name;
  uint32_t rva = 0;
};

// File and product version of a VERSIONINFO resource, most significant part first (1.0.0.0).
struct Version {
  std::array<uint16_t, 4> file{};
  std::array<uint16_t, 4> product{};
};

class Image {
 public:
  // Parses the file's bytes; on failure returns nothing and says why in error.
  static std::optional<Image> Parse(std::vector<uint8_t> bytes, std::string& error);
  static std::optional<Image> Load(const std::string& path, std::string& error);

  std::span<const uint8_t> Bytes() const { return bytes_; }
  uint16_t Machine() const { return machine_; }
  uint16_t Characteristics() const { return characteristics_; }
  uint16_t Subsystem() const { return subsystem_; }
  uint64_t ImageBase() const { return imageBase_; }
  uint32_t SizeOfImage() const { return sizeOfImage_; }
  uint32_t SizeOfHeaders() const { return sizeOfHeaders_; }
  uint32_t EntryPointRva() const { return entryPointRva_; }
  uint32_t StoredChecksum() const { return storedChecksum_; }
  // Offset in the file of the CheckSum field of the optional header.
  uint32_t ChecksumOffset() const { return checksumOffset_; }
  // Offset in the file of the Characteristics field of the file header.
  uint32_t CharacteristicsOffset() const { return characteristicsOffset_; }
  const std::vector<Section>& Sections() const { return sections_; }
  const Section* FindSection(const std::string& name) const;
  const std::vector<Import>& Imports() const { return imports_; }
  // Names (or ordinals, as "#n") the export directory lists; empty when it has none.
  const std::vector<std::string>& Exports() const { return exports_; }
  const std::vector<Relocation>& Relocations() const { return relocations_; }
  const std::optional<Version>& VersionResource() const { return version_; }
  // The routines of the symbol table, by RVA; empty when the image has none.
  const std::vector<Routine>& Routines() const { return routines_; }

  // The checksum of the file as the platform's image help computes it (the CheckSum field skipped).
  uint32_t ComputeChecksum() const;

 private:
  bool ParseHeaders(std::string& error);
  bool ParseImports(uint32_t rva, uint32_t size, std::string& error);
  bool ParseExports(uint32_t rva, uint32_t size, std::string& error);
  bool ParseRelocations(uint32_t rva, uint32_t size, std::string& error);
  bool ParseVersion(uint32_t rva, uint32_t size, std::string& error);
  // Names for reports only, so a damaged table is skipped rather than refused.
  void ParseRoutines(uint32_t symbolTable, uint32_t symbolCount);
  // Offset in the file of the bytes at rva, when count bytes from there lie in one section's data.
  std::optional<uint32_t> FileOffset(uint32_t rva, uint32_t count) const;
  std::optional<std::string> StringAt(uint32_t rva) const;

  std::vector<uint8_t> bytes_;
  uint16_t machine_ = 0;
  uint16_t characteristics_ = 0;
  uint16_t subsystem_ = 0;
  uint64_t imageBase_ = 0;
  uint32_t sizeOfImage_ = 0;
  uint32_t sizeOfHeaders_ = 0;
  uint32_t entryPointRva_ = 0;
  uint32_t storedChecksum_ = 0;
  uint32_t checksumOffset_ = 0;
  uint32_t characteristicsOffset_ = 0;
  std::vector<Section> sections_;
  std::vector<Import> imports_;
  std::vector<std::string> exports_;
  std::vector<Relocation> relocations_;
  std::optional<Version> version_;
  std::vector<Routine> routines_;
};

// The checksum of a PE file whose CheckSum field is at checksumOffset.
uint32_t ComputeChecksum(std::span<const uint8_t> bytes, uint32_t checksumOffset);

}  // namespace tarvel::kernel::loader::pe
