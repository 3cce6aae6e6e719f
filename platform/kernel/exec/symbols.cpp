#include "exec/symbols.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>

namespace tarvel::kernel::exec {

std::string SymbolName(const void* address) {
  Dl_info info{};
  char text[64];
  if (!address || !dladdr(address, &info)) {
    std::snprintf(text, sizeof text, "%p", address);
    return text;
  }
  const char* module = info.dli_fname ? std::strrchr(info.dli_fname, '/') : nullptr;
  module = module ? module + 1 : (info.dli_fname ? info.dli_fname : "?");
  if (info.dli_sname && info.dli_saddr == address) return std::string(info.dli_sname) + " in " + module;
  std::snprintf(text, sizeof text, "+0x%zx", static_cast<const char*>(address) - static_cast<const char*>(info.dli_fbase));
  return module + std::string(text);
}

}  // namespace tarvel::kernel::exec
