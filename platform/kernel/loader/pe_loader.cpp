#include "loader/pe_loader.h"

#include <cxxabi.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "loader/fault_handler.h"

namespace tarvel::kernel::loader {
namespace {

constexpr uint32_t kPage = 0x1000;

uint32_t RoundUp(uint32_t value) { return (value + kPage - 1) & ~(kPage - 1); }

// The mapped images, for the fault handler: a fixed array so that reading it never allocates.
constexpr std::size_t kMaxImages = 64;
const MappedImage* gImages[kMaxImages];

void Remember(const MappedImage* image) {
  for (const MappedImage*& slot : gImages)
    if (!slot) {
      slot = image;
      return;
    }
  std::fprintf(stderr, "tarvel: more than %zu driver images mapped at once\n", kMaxImages);
  std::abort();
}

void Forget(const MappedImage* image) {
  for (const MappedImage*& slot : gImages)
    if (slot == image) slot = nullptr;
}

int ProtectionOf(uint32_t characteristics) {
  int protection = PROT_NONE;
  if (characteristics & pe::kSectionRead) protection |= PROT_READ;
  if (characteristics & pe::kSectionWrite) protection |= PROT_WRITE;
  if (characteristics & pe::kSectionExecute) protection |= PROT_EXEC | PROT_READ;
  return protection;
}

// "PipeAddDevice" for "_Z13PipeAddDeviceP14_DRIVER_OBJECTP14_DEVICE_OBJECT".
std::string ShortName(const std::string& name) {
  int status = -1;
  char* demangled = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  std::string text = status == 0 && demangled ? demangled : name;
  std::free(demangled);
  if (const auto paren = text.find('('); paren != std::string::npos) text.resize(paren);
  return text;
}

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

}  // namespace

std::unique_ptr<MappedImage> MappedImage::Map(const pe::Image& image, std::string name, const ExportLookup& exports,
                                              std::string& error) {
  if (image.Machine() != pe::kMachineAmd64) {
    error = name + " is not an x64 image (machine " + Hex(image.Machine()) + ")";
    return nullptr;
  }
  const uint32_t size = RoundUp(image.SizeOfImage());
  if (size == 0 || image.SizeOfHeaders() > size) {
    error = name + ": image size " + Hex(image.SizeOfImage()) + " cannot hold its headers";
    return nullptr;
  }
  std::unique_ptr<MappedImage> mapped(new MappedImage);
  mapped->name_ = std::move(name);
  mapped->headersSize_ = image.SizeOfHeaders();
  mapped->entryRva_ = image.EntryPointRva();
  for (const pe::Routine& r : image.Routines()) mapped->routines_.push_back({ShortName(r.name), r.rva});
  void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) {
    error = mapped->name_ + ": cannot map " + Hex(size) + " bytes: " + std::strerror(errno);
    return nullptr;
  }
  mapped->base_ = static_cast<uint8_t*>(base);
  mapped->size_ = size;

  const auto bytes = image.Bytes();
  std::memcpy(mapped->base_, bytes.data(), std::min<std::size_t>(image.SizeOfHeaders(), bytes.size()));
  for (const pe::Section& s : image.Sections()) {
    // Sections start on pages of their own, so that each keeps its own protection.
    if (s.virtualAddress % kPage != 0 || s.virtualAddress < RoundUp(image.SizeOfHeaders()) ||
        s.virtualAddress > size || s.Extent() > size - s.virtualAddress) {
      error = mapped->name_ + ": section " + s.name + " at " + Hex(s.virtualAddress) + " (" + Hex(s.Extent()) +
              " bytes) does not fit whole pages of the image";
      return nullptr;
    }
    const uint32_t raw = std::min(s.rawSize, s.Extent());
    if (raw != 0) {
      if (s.rawOffset > bytes.size() || raw > bytes.size() - s.rawOffset) {
        error = mapped->name_ + ": section " + s.name + " runs past the end of the file";
        return nullptr;
      }
      std::memcpy(mapped->base_ + s.virtualAddress, bytes.data() + s.rawOffset, raw);
    }
    mapped->sections_.push_back(
        {s.name, s.virtualAddress, RoundUp(s.Extent()), s.characteristics, ProtectionOf(s.characteristics), false});
  }
  const MappedSection* entry = mapped->SectionAt(mapped->EntryPoint());
  if (!entry || !entry->Executable()) {
    error = mapped->name_ + ": entry point " + Hex(image.EntryPointRva()) + " is not in a code section";
    return nullptr;
  }
  if (!mapped->Relocate(image, error) || !mapped->BindImports(image, exports, error) || !mapped->Protect(error))
    return nullptr;
  InstallFaultHandler();
  Remember(mapped.get());
  return mapped;
}

MappedImage::~MappedImage() {
  Forget(this);
  if (base_) munmap(base_, size_);
}

bool MappedImage::Relocate(const pe::Image& image, std::string& error) {
  const uint64_t delta = reinterpret_cast<uint64_t>(base_) - image.ImageBase();
  for (const pe::Relocation& r : image.Relocations()) {
    if (r.type == pe::kRelocationAbsolute) continue;
    if (r.type != pe::kRelocationDir64) {
      error = name_ + ": base relocation of type " + std::to_string(r.type) + " at " + Hex(r.rva) +
              " (an x64 image has only 64-bit ones)";
      return false;
    }
    if (r.rva < headersSize_ || r.rva > size_ - 8) {
      error = name_ + ": base relocation at " + Hex(r.rva) + " lies outside the image's sections";
      return false;
    }
    uint64_t value;
    std::memcpy(&value, base_ + r.rva, 8);
    value += delta;
    std::memcpy(base_ + r.rva, &value, 8);
  }
  return true;
}

bool MappedImage::BindImports(const pe::Image& image, const ExportLookup& exports, std::string& error) {
  std::vector<std::string> missing;
  for (const pe::Import& i : image.Imports()) {
    if (i.slotRva < headersSize_ || i.slotRva > size_ - 8) {
      error = name_ + ": the import slot of " + i.dll + "!" + i.name + " lies outside the image";
      return false;
    }
    const void* routine = exports(i.dll, i.name);
    if (!routine) {
      missing.push_back(i.dll + "!" + i.name);
      continue;
    }
    std::memcpy(base_ + i.slotRva, &routine, 8);
  }
  if (!missing.empty()) {
    error = name_ + " imports " + (missing.size() == 1 ? "a routine" : "routines") +
            " the emulated kernel does not export:";
    for (const std::string& m : missing) error += " " + m;
    return false;
  }
  return true;
}

bool MappedImage::Protect(std::string& error) {
  auto protect = [&](uint32_t rva, uint32_t size, int protection, const std::string& what) {
    if (mprotect(base_ + rva, size, protection) == 0) return true;
    error = name_ + ": cannot protect " + what + ": " + std::strerror(errno);
    return false;
  };
  if (!protect(0, RoundUp(headersSize_), PROT_READ, "the headers")) return false;
  for (const MappedSection& s : sections_)
    if (s.size && !protect(s.rva, s.size, s.protection, "section " + s.name)) return false;
  return true;
}

void MappedImage::DiscardInitSections() {
  for (MappedSection& s : sections_) {
    if (!s.Discardable() || s.discarded) continue;
    mprotect(base_ + s.rva, s.size, PROT_NONE);
    s.protection = PROT_NONE;
    s.discarded = true;
  }
}

const MappedSection* MappedImage::SectionAt(const void* address) const {
  if (!Contains(address)) return nullptr;
  const auto rva = static_cast<uint32_t>(static_cast<const uint8_t*>(address) - base_);
  for (const MappedSection& s : sections_)
    if (rva >= s.rva && rva - s.rva < s.size) return &s;
  return nullptr;
}

std::string MappedImage::Describe(const void* address) const {
  const auto rva = static_cast<uint32_t>(static_cast<const uint8_t*>(address) - base_);
  const MappedSection* s = SectionAt(address);
  if (!s) return name_ + "+" + Hex(rva);
  const std::string where = name_ + " " + s->name + "+" + Hex(rva - s->rva);
  // The last routine that starts at or before the address, in the same section.
  const auto after = std::upper_bound(routines_.begin(), routines_.end(), rva,
                                      [](uint32_t at, const pe::Routine& r) { return at < r.rva; });
  if (after == routines_.begin() || std::prev(after)->rva < s->rva) return where;
  const pe::Routine& routine = *std::prev(after);
  return routine.name + "+" + Hex(rva - routine.rva) + " in " + where;
}

const MappedImage* MappedImageAt(const void* address) {
  for (const MappedImage* image : gImages)
    if (image && image->Contains(address)) return image;
  return nullptr;
}

std::optional<std::string> DescribeImageAddress(const void* address) {
  if (const MappedImage* image = MappedImageAt(address)) return image->Describe(address);
  return std::nullopt;
}

}  // namespace tarvel::kernel::loader
