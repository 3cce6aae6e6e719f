// The export tables by DLL, which libraries register when they are loaded and the image loader reads.
#include <algorithm>
#include <string>
#include <vector>

#include "tarvel/exports.h"

namespace tarvel::kernel {
namespace {

struct Table {
  std::string dll;  // lower case
  std::span<const Export> exports;
};

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return lower;
}

// Filled by the libraries' static initialisers, so constructed on first use.
std::vector<Table>& Tables() {
  static std::vector<Table> tables;
  return tables;
}

}  // namespace

void RegisterExports(std::string_view dll, std::span<const Export> exports) {
  Tables().push_back({Lower(dll), exports});
}

void UnregisterExports(std::string_view dll) {
  std::erase_if(Tables(), [lower = Lower(dll)](const Table& t) { return t.dll == lower; });
}

const void* FindExport(std::string_view dll, std::string_view name) {
  const std::string lower = Lower(dll);
  for (const Table& table : Tables()) {
    if (table.dll != lower) continue;
    for (const Export& e : table.exports)
      if (name == e.name) return e.routine;
  }
  return nullptr;
}

}  // namespace tarvel::kernel
