#include "loader/pe_image.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace tarvel::kernel::loader::pe {
namespace {

constexpr uint32_t kOptionalHeaderMagic64 = 0x20b;
constexpr uint32_t kFileHeaderSize = 20;
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kDirectoryExport = 0, kDirectoryImport = 1, kDirectoryResource = 2, kDirectoryRelocation = 5;
constexpr uint32_t kResourceVersion = 16;  // RT_VERSION
constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;

template <typename T>
bool Read(std::span<const uint8_t> bytes, uint64_t offset, T& value) {
  if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) {
    return false;
  }
  std::memcpy(&value, bytes.data() + offset, sizeof(T));
  return true;
}

}  // namespace

uint32_t ComputeChecksum(std::span<const uint8_t> bytes, uint32_t checksumOffset) {
  // Sum of the 16-bit words with the carries folded back in, then the file's length.
  uint64_t sum = 0;
  for (size_t i = 0; i < bytes.size(); i += 2) {
    if (i >= checksumOffset && i < size_t(checksumOffset) + 4) {
      continue;
    }
    uint16_t word = bytes[i];
    if (i + 1 < bytes.size()) {
      word |= uint16_t(bytes[i + 1]) << 8;
    }
    sum += word;
    sum = (sum & 0xffff) + (sum >> 16);
  }
  sum = (sum & 0xffff) + (sum >> 16);
  return uint32_t(sum + bytes.size());
}

std::optional<Image> Image::Load(const std::string& path, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "cannot open " + path;
    return std::nullopt;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  return Parse(std::move(bytes), error);
}

std::optional<Image> Image::Parse(std::vector<uint8_t> bytes, std::string& error) {
  Image image;
  image.bytes_ = std::move(bytes);
  if (!image.ParseHeaders(error)) {
    return std::nullopt;
  }
  return image;
}

bool Image::ParseHeaders(std::string& error) {
  std::span<const uint8_t> b = bytes_;
  uint16_t mz = 0;
  uint32_t peOffset = 0, signature = 0;
  if (!Read(b, 0, mz) || mz != 0x5a4d || !Read(b, 0x3c, peOffset) || !Read(b, peOffset, signature) ||
      signature != 0x00004550) {
    error = "not a PE image (no MZ header or PE signature)";
    return false;
  }
  const uint64_t fileHeader = uint64_t(peOffset) + 4;
  uint16_t sectionCount = 0, optionalSize = 0;
  uint32_t symbolTable = 0, symbolCount = 0;
  if (!Read(b, fileHeader, machine_) || !Read(b, fileHeader + 2, sectionCount) ||
      !Read(b, fileHeader + 8, symbolTable) || !Read(b, fileHeader + 12, symbolCount) ||
      !Read(b, fileHeader + 16, optionalSize) || !Read(b, fileHeader + 18, characteristics_)) {
    error = "file header truncated";
    return false;
  }
  characteristicsOffset_ = uint32_t(fileHeader + 18);
  const uint64_t optional = fileHeader + kFileHeaderSize;
  uint16_t magic = 0;
  uint32_t directoryCount = 0;
  if (!Read(b, optional, magic) || magic != kOptionalHeaderMagic64) {
    error = "not a PE32+ (64-bit) image";
    return false;
  }
  if (optionalSize < 112 || !Read(b, optional + 16, entryPointRva_) || !Read(b, optional + 24, imageBase_) ||
      !Read(b, optional + 56, sizeOfImage_) || !Read(b, optional + 60, sizeOfHeaders_) ||
      !Read(b, optional + 64, storedChecksum_) || !Read(b, optional + 68, subsystem_) ||
      !Read(b, optional + 108, directoryCount)) {
    error = "optional header truncated";
    return false;
  }
  checksumOffset_ = uint32_t(optional + 64);

  const uint64_t table = optional + optionalSize;
  for (uint32_t i = 0; i < sectionCount; ++i) {
    const uint64_t at = table + uint64_t(i) * kSectionHeaderSize;
    char name[9] = {};
    Section s;
    if (at + kSectionHeaderSize > b.size() || !Read(b, at + 8, s.virtualSize) ||
        !Read(b, at + 12, s.virtualAddress) || !Read(b, at + 16, s.rawSize) || !Read(b, at + 20, s.rawOffset) ||
        !Read(b, at + 36, s.characteristics)) {
      error = "section table truncated";
      return false;
    }
    std::memcpy(name, b.data() + at, 8);
    s.name = name;
    // A long name is "/offset" into the string table after the symbols.
    if (s.name.size() > 1 && s.name[0] == '/' && symbolTable != 0) {
      uint64_t offset = 0;
      for (char c : s.name.substr(1)) {
        offset = (c >= '0' && c <= '9') ? offset * 10 + uint64_t(c - '0') : b.size();
      }
      const uint64_t strings = uint64_t(symbolTable) + uint64_t(symbolCount) * 18 + offset;
      std::string longName;
      for (uint64_t p = strings; p < b.size() && b[p] != 0; ++p) {
        longName.push_back(char(b[p]));
      }
      s.name = longName;
    }
    if (s.rawSize != 0 && (uint64_t(s.rawOffset) + s.rawSize > b.size())) {
      error = "section " + s.name + " lies outside the file";
      return false;
    }
    if (uint64_t(s.virtualAddress) + s.Extent() > sizeOfImage_) {
      error = "section " + s.name + " lies outside the image";
      return false;
    }
    sections_.push_back(s);
  }

  ParseRoutines(symbolTable, symbolCount);

  auto directory = [&](uint32_t index, uint32_t& rva, uint32_t& size) {
    rva = size = 0;
    if (index < directoryCount) {
      Read(b, optional + 112 + index * 8, rva);
      Read(b, optional + 116 + index * 8, size);
    }
    return rva != 0 && size != 0;
  };
  uint32_t rva = 0, size = 0;
  if (directory(kDirectoryImport, rva, size) && !ParseImports(rva, size, error)) {
    return false;
  }
  if (directory(kDirectoryExport, rva, size) && !ParseExports(rva, size, error)) {
    return false;
  }
  if (directory(kDirectoryRelocation, rva, size) && !ParseRelocations(rva, size, error)) {
    return false;
  }
  if (directory(kDirectoryResource, rva, size) && !ParseVersion(rva, size, error)) {
    return false;
  }
  return true;
}

void Image::ParseRoutines(uint32_t symbolTable, uint32_t symbolCount) {
  constexpr uint32_t kSymbolSize = 18;
  constexpr uint16_t kTypeFunction = 0x20;
  constexpr uint8_t kClassExternal = 2, kClassStatic = 3;
  const std::span<const uint8_t> b = bytes_;
  const uint64_t strings = uint64_t(symbolTable) + uint64_t(symbolCount) * kSymbolSize;
  if (symbolTable == 0 || strings > b.size()) return;
  for (uint32_t i = 0; i < symbolCount; ++i) {
    const uint64_t at = symbolTable + uint64_t(i) * kSymbolSize;
    uint32_t value = 0, zeroes = 0, offset = 0;
    int16_t section = 0;
    uint16_t type = 0;
    uint8_t storage = 0, aux = 0;
    Read(b, at, zeroes);
    Read(b, at + 4, offset);
    Read(b, at + 8, value);
    Read(b, at + 12, section);
    Read(b, at + 14, type);
    Read(b, at + 16, storage);
    Read(b, at + 17, aux);
    i += aux;
    if (type != kTypeFunction || (storage != kClassExternal && storage != kClassStatic) || section < 1 ||
        size_t(section) > sections_.size()) {
      continue;
    }
    std::string name;
    if (zeroes != 0) {
      name.assign(reinterpret_cast<const char*>(b.data() + at), strnlen(reinterpret_cast<const char*>(b.data() + at), 8));
    } else {
      for (uint64_t p = strings + offset; p < b.size() && b[p] != 0; ++p) {
        name.push_back(char(b[p]));
      }
    }
    routines_.push_back({std::move(name), sections_[size_t(section) - 1].virtualAddress + value});
  }
  std::sort(routines_.begin(), routines_.end(), [](const Routine& a, const Routine& c) { return a.rva < c.rva; });
}

std::optional<uint32_t> Image::FileOffset(uint32_t rva, uint32_t count) const {
  if (uint64_t(rva) + count <= sizeOfHeaders_ && uint64_t(rva) + count <= bytes_.size()) {
    return rva;
  }
  for (const Section& s : sections_) {
    if (rva >= s.virtualAddress && uint64_t(rva) - s.virtualAddress + count <= s.rawSize) {
      return s.rawOffset + (rva - s.virtualAddress);
    }
  }
  return std::nullopt;
}

std::optional<std::string> Image::StringAt(uint32_t rva) const {
  auto start = FileOffset(rva, 1);
  if (!start) {
    return std::nullopt;
  }
  std::string text;
  for (size_t p = *start; p < bytes_.size(); ++p) {
    if (bytes_[p] == 0) {
      return text;
    }
    text.push_back(char(bytes_[p]));
  }
  return std::nullopt;
}

const Section* Image::FindSection(const std::string& name) const {
  for (const Section& s : sections_) {
    if (s.name == name) {
      return &s;
    }
  }
  return nullptr;
}

bool Image::ParseImports(uint32_t rva, uint32_t size, std::string& error) {
  (void)size;
  for (uint32_t descriptor = rva;; descriptor += 20) {
    auto at = FileOffset(descriptor, 20);
    if (!at) {
      error = "import directory truncated";
      return false;
    }
    uint32_t lookup = 0, nameRva = 0, slots = 0;
    Read<uint32_t>(bytes_, *at, lookup);
    Read<uint32_t>(bytes_, *at + 12, nameRva);
    Read<uint32_t>(bytes_, *at + 16, slots);
    if (nameRva == 0 && slots == 0) {
      return true;
    }
    auto dll = StringAt(nameRva);
    if (!dll) {
      error = "import directory names a DLL outside the image";
      return false;
    }
    const uint32_t thunks = lookup != 0 ? lookup : slots;
    for (uint32_t i = 0;; ++i) {
      auto thunk = FileOffset(thunks + i * 8, 8);
      uint64_t value = 0;
      if (!thunk || !Read<uint64_t>(bytes_, *thunk, value)) {
        error = "import table of " + *dll + " truncated";
        return false;
      }
      if (value == 0) {
        break;
      }
      Import import{*dll, {}, slots + i * 8};
      if (value >> 63) {
        import.name = "#" + std::to_string(value & 0xffff);
      } else {
        auto name = StringAt(uint32_t(value) + 2);  // after the hint
        if (!name) {
          error = "import of " + *dll + " names a routine outside the image";
          return false;
        }
        import.name = *name;
      }
      imports_.push_back(std::move(import));
    }
  }
}

bool Image::ParseExports(uint32_t rva, uint32_t size, std::string& error) {
  (void)size;
  auto at = FileOffset(rva, 40);
  if (!at) {
    error = "export directory truncated";
    return false;
  }
  uint32_t functions = 0, names = 0, nameTable = 0;
  Read<uint32_t>(bytes_, *at + 20, functions);
  Read<uint32_t>(bytes_, *at + 24, names);
  Read<uint32_t>(bytes_, *at + 32, nameTable);
  for (uint32_t i = 0; i < names; ++i) {
    auto entry = FileOffset(nameTable + i * 4, 4);
    uint32_t nameRva = 0;
    std::optional<std::string> name;
    if (!entry || !Read<uint32_t>(bytes_, *entry, nameRva) || !(name = StringAt(nameRva))) {
      error = "export name table truncated";
      return false;
    }
    exports_.push_back(*name);
  }
  for (uint32_t i = names; i < functions; ++i) {
    exports_.push_back("#" + std::to_string(i + 1));
  }
  return true;
}

bool Image::ParseRelocations(uint32_t rva, uint32_t size, std::string& error) {
  for (uint32_t block = 0; block + 8 <= size;) {
    auto at = FileOffset(rva + block, 8);
    uint32_t page = 0, blockSize = 0;
    if (!at || !Read<uint32_t>(bytes_, *at, page) || !Read<uint32_t>(bytes_, *at + 4, blockSize) || blockSize < 8 ||
        blockSize > size - block || !FileOffset(rva + block, blockSize)) {
      error = "base relocation table damaged";
      return false;
    }
    for (uint32_t e = 8; e + 2 <= blockSize; e += 2) {
      uint16_t entry = 0;
      Read<uint16_t>(bytes_, *at + e, entry);
      relocations_.push_back({page + (entry & 0xfff), uint16_t(entry >> 12)});
    }
    block += blockSize;
  }
  return true;
}

bool Image::ParseVersion(uint32_t rva, uint32_t size, std::string& error) {
  // Resource tree: type, then name, then language; the version resource is type 16. Offsets in the
  // tree are relative to the start of the resource directory.
  auto entryOf = [&](uint32_t directoryOffset, bool wantId, uint32_t id, uint32_t& target) {
    auto at = FileOffset(rva + directoryOffset, 16);
    uint16_t named = 0, ids = 0;
    if (!at || !Read<uint16_t>(bytes_, *at + 12, named) || !Read<uint16_t>(bytes_, *at + 14, ids)) {
      return false;
    }
    for (uint32_t i = 0; i < uint32_t(named) + ids; ++i) {
      auto entry = FileOffset(rva + directoryOffset + 16 + i * 8, 8);
      uint32_t nameOrId = 0, offset = 0;
      if (!entry || !Read<uint32_t>(bytes_, *entry, nameOrId) || !Read<uint32_t>(bytes_, *entry + 4, offset)) {
        return false;
      }
      if (!wantId || nameOrId == id) {
        target = offset;
        return true;
      }
    }
    return false;
  };
  constexpr uint32_t kSubdirectory = 0x80000000;
  uint32_t names = 0, languages = 0, data = 0;
  if (!entryOf(0, true, kResourceVersion, names)) {
    return true;  // no version resource
  }
  if (!(names & kSubdirectory) || !entryOf(names & ~kSubdirectory, false, 0, languages) ||
      !(languages & kSubdirectory) || !entryOf(languages & ~kSubdirectory, false, 0, data) ||
      (data & kSubdirectory) || data >= size) {
    error = "version resource damaged";
    return false;
  }
  auto dataEntry = FileOffset(rva + data, 16);
  uint32_t dataRva = 0, dataSize = 0;
  if (!dataEntry || !Read<uint32_t>(bytes_, *dataEntry, dataRva) || !Read<uint32_t>(bytes_, *dataEntry + 4, dataSize)) {
    error = "version resource damaged";
    return false;
  }
  // VS_VERSIONINFO: three words, the key L"VS_VERSION_INFO" with its terminator, padding to a
  // 32-bit boundary, then VS_FIXEDFILEINFO.
  constexpr uint32_t kFixedInfoOffset = 40;
  auto info = FileOffset(dataRva, kFixedInfoOffset + 24);
  uint32_t signature = 0, fileMs = 0, fileLs = 0, productMs = 0, productLs = 0;
  if (dataSize < kFixedInfoOffset + 24 || !info || !Read<uint32_t>(bytes_, *info + kFixedInfoOffset, signature) ||
      signature != kFixedFileInfoSignature) {
    error = "version resource has no fixed file information";
    return false;
  }
  Read<uint32_t>(bytes_, *info + kFixedInfoOffset + 8, fileMs);
  Read<uint32_t>(bytes_, *info + kFixedInfoOffset + 12, fileLs);
  Read<uint32_t>(bytes_, *info + kFixedInfoOffset + 16, productMs);
  Read<uint32_t>(bytes_, *info + kFixedInfoOffset + 20, productLs);
  auto parts = [](uint32_t ms, uint32_t ls) {
    return std::array<uint16_t, 4>{uint16_t(ms >> 16), uint16_t(ms), uint16_t(ls >> 16), uint16_t(ls)};
  };
  version_ = Version{parts(fileMs, fileLs), parts(productMs, productLs)};
  return true;
}

uint32_t Image::ComputeChecksum() const {
  return pe::ComputeChecksum(bytes_, checksumOffset_);
}

}  // namespace tarvel::kernel::loader::pe
