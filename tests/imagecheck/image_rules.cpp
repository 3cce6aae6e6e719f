#include "image_rules.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

namespace tarvel::imagecheck {
namespace pe = kernel::loader::pe;

namespace {

std::string Hex(uint64_t value) {
  std::ostringstream text;
  text << "0x" << std::hex << value;
  return text.str();
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return text;
}

bool IsCodeSectionName(const std::string& name) {
  return name == ".text" || name == "INIT" || name.rfind("PAGE", 0) == 0;
}

}  // namespace

std::optional<Version> ReadDriverVer(const std::string& infPath, std::string& error) {
  std::ifstream inf(infPath);
  if (!inf) {
    error = "cannot open " + infPath;
    return std::nullopt;
  }
  for (std::string text; std::getline(inf, text);) {
    // DriverVer = mm/dd/yyyy,a.b.c.d  (spaces allowed around the separators)
    std::string compact;
    for (char c : text.substr(0, text.find(';'))) {
      if (!std::isspace(static_cast<unsigned char>(c))) {
        compact.push_back(c);
      }
    }
    if (Lower(compact).rfind("driverver=", 0) != 0 || compact.find(',') == std::string::npos) {
      continue;
    }
    std::istringstream parts(compact.substr(compact.find(',') + 1));
    Version v{};
    bool valid = true;
    for (int i = 0; i < 4 && valid; ++i) {
      std::string part;
      std::getline(parts, part, '.');
      valid = !part.empty() && part.size() <= 5 &&
              std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
              std::stoul(part) <= 0xffff;
      v[i] = valid ? uint16_t(std::stoul(part)) : 0;
    }
    if (valid && parts.peek() == EOF) {
      return v;
    }
    error = infPath + ": DriverVer has no version a.b.c.d of 16-bit parts: " + text;
    return std::nullopt;
  }
  error = infPath + ": no DriverVer line with a version a.b.c.d";
  return std::nullopt;
}

std::string VersionText(const Version& v) {
  return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
         std::to_string(v[3]);
}

std::vector<std::string> CheckHeaders(const pe::Image& image) {
  std::vector<std::string> problems;
  if (image.Machine() != pe::kMachineAmd64) {
    problems.push_back("machine " + Hex(image.Machine()) + " is not x64 (0x8664)");
  }
  if (image.Subsystem() != pe::kSubsystemNative) {
    problems.push_back("subsystem " + std::to_string(image.Subsystem()) + " is not native (1)");
  }
  if (image.EntryPointRva() == 0) {
    problems.push_back("no entry point");
  }
  if (!(image.Characteristics() & pe::kFileExecutableImage)) {
    problems.push_back("file characteristics lack IMAGE_FILE_EXECUTABLE_IMAGE");
  }
  if (image.Characteristics() & pe::kFileDll) {
    problems.push_back("file characteristics have IMAGE_FILE_DLL: a driver is an image, not a DLL");
  }
  const uint32_t checksum = image.ComputeChecksum();
  if (image.StoredChecksum() != checksum) {
    problems.push_back("checksum " + Hex(image.StoredChecksum()) + " is wrong, the file sums to " + Hex(checksum));
  }
  if (!image.Exports().empty()) {
    std::string names;
    for (size_t i = 0; i < image.Exports().size() && i < 5; ++i) {
      names += (i ? ", " : "") + image.Exports()[i];
    }
    if (image.Exports().size() > 5) {
      names += ", ...";
    }
    problems.push_back("exports " + std::to_string(image.Exports().size()) + " symbols (" + names +
                       "): a driver exports nothing");
  }
  if (image.Imports().empty()) {
    problems.push_back("imports nothing (a driver imports at least ntoskrnl.exe)");
  }
  for (const pe::Import& import : image.Imports()) {
    const std::string dll = Lower(import.dll);
    if (dll != "ntoskrnl.exe" && dll != "hal.dll" && dll != "usbd.sys") {
      problems.push_back("imports " + import.name + " from " + import.dll +
                         " (only ntoskrnl.exe, HAL.dll and USBD.SYS are allowed)");
    }
  }
  return problems;
}

std::vector<std::string> CheckSections(const pe::Image& image) {
  std::vector<std::string> problems;
  for (const pe::Section& s : image.Sections()) {
    const uint32_t f = s.characteristics;
    const bool code = (f & pe::kSectionCode) || (f & pe::kSectionExecute);
    if (code && !IsCodeSectionName(s.name)) {
      problems.push_back("section " + s.name + " holds code; code goes to .text, PAGE or INIT");
    }
    if (IsCodeSectionName(s.name) && !((f & pe::kSectionCode) && (f & pe::kSectionExecute) && (f & pe::kSectionRead))) {
      problems.push_back("section " + s.name + " (" + Hex(f) + ") is not readable executable code");
    }
    if ((f & pe::kSectionExecute) && (f & pe::kSectionWrite)) {
      problems.push_back("section " + s.name + " is both writable and executable");
    }
    if (s.name == "INIT" && !(f & pe::kSectionDiscardable)) {
      problems.push_back("section INIT (" + Hex(f) + ") is not discardable: the kernel frees it after DriverEntry");
    }
    if (s.name != "INIT" && code && (f & pe::kSectionDiscardable)) {
      problems.push_back("section " + s.name + " is discardable code outside INIT");
    }
  }
  return problems;
}

std::vector<std::string> CheckVersion(const pe::Image& image, const Version& expected) {
  const auto& version = image.VersionResource();
  if (!version) {
    return {"no VERSIONINFO resource"};
  }
  std::vector<std::string> problems;
  if (version->file != expected) {
    problems.push_back("file version " + VersionText(version->file) + " is not the INF's DriverVer " +
                       VersionText(expected));
  }
  if (version->product != expected) {
    problems.push_back("product version " + VersionText(version->product) + " is not the INF's DriverVer " +
                       VersionText(expected));
  }
  return problems;
}

}  // namespace tarvel::imagecheck
