#include "exec/symbols.h"

#include <cxxabi.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
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
  if (info.dli_sname && info.dli_saddr == address) {
    // C++ names without their parameter lists: "TickDpc in tarveltest.so".
    int status = -1;
    char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    std::string name = status == 0 && demangled ? demangled : info.dli_sname;
    std::free(demangled);
    if (const auto paren = name.find('('); paren != std::string::npos) name.resize(paren);
    return name + " in " + module;
  }
  std::snprintf(text, sizeof text, "+0x%zx", static_cast<const char*>(address) - static_cast<const char*>(info.dli_fbase));
  return module + std::string(text);
}

}  // namespace tarvel::kernel::exec
