#include "verifier/code_address.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "loader/pe_loader.h"

namespace tarvel::kernel::verifier {
namespace {

std::string Demangled(const char* name) {
  int status = -1;
  char* demangled = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  std::string text = status == 0 && demangled ? demangled : name;
  std::free(demangled);
  if (const auto paren = text.find('('); paren != std::string::npos) text.resize(paren);
  return text;
}

// Function and line from the module's debug information (binutils' addr2line), for reports only:
// "Function (file.cpp:12)", or empty when it has none.
std::string LineOf(const char* module, std::size_t offset) {
  // posix_spawn, not popen: it does not fork the whole (sanitized, many-threaded) process.
  int fds[2];
  if (pipe(fds) != 0) return {};
  char address[32];
  std::snprintf(address, sizeof address, "0x%zx", offset);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", 0, 0);
  char* argv[] = {const_cast<char*>("addr2line"), const_cast<char*>("-f"), const_cast<char*>("-C"), const_cast<char*>("-e"),
                  const_cast<char*>(module), address, nullptr};
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, "addr2line", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  std::string out;
  char buffer[512];
  ssize_t n;
  while (spawned == 0 && (n = read(fds[0], buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
  close(fds[0]);
  if (spawned == 0) waitpid(pid, nullptr, 0);
  const auto newline = out.find('\n');
  if (newline == std::string::npos) return {};
  std::string name = out.substr(0, newline);
  std::string where = out.substr(newline + 1);
  where.resize(where.find('\n') == std::string::npos ? where.size() : where.find('\n'));
  if (where.rfind("??", 0) == 0) return {};
  for (const std::string anonymous = "(anonymous namespace)::"; name.find(anonymous) != std::string::npos;)
    name.erase(name.find(anonymous), anonymous.size());
  if (const auto paren = name.find('('); paren != std::string::npos) name.resize(paren);
  if (const auto scope = name.rfind("::"); scope != std::string::npos) name = name.substr(scope + 2);
  if (const auto slash = where.rfind('/'); slash != std::string::npos) where = where.substr(slash + 1);
  if (const auto discriminator = where.find(" ("); discriminator != std::string::npos) where.resize(discriminator);
  return name + " (" + where + ")";
}

}  // namespace

std::string DescribeCode(const void* address, bool returnAddress) {
  char text[64];
  // A Windows image is not known to the dynamic linker.
  if (auto inImage = loader::DescribeImageAddress(static_cast<const char*>(address) - (returnAddress ? 1 : 0)))
    return *inImage;
  Dl_info info{};
  if (!address || !dladdr(address, &info) || !info.dli_fname) {
    std::snprintf(text, sizeof text, "%p", address);
    return text;
  }
  const char* slash = std::strrchr(info.dli_fname, '/');
  const std::string module = slash ? slash + 1 : info.dli_fname;
  const auto* pc = static_cast<const char*>(address) - (returnAddress ? 1 : 0);
  const std::size_t offset = static_cast<std::size_t>(pc - static_cast<const char*>(info.dli_fbase));
  std::snprintf(text, sizeof text, "+0x%zx", offset);
  const std::string moduleOffset = module + text;
  if (std::string line = LineOf(info.dli_fname, offset); !line.empty()) return line + " in " + moduleOffset;
  if (info.dli_sname) {
    std::snprintf(text, sizeof text, "+0x%zx", static_cast<std::size_t>(pc - static_cast<const char*>(info.dli_saddr)));
    return Demangled(info.dli_sname) + text + " in " + moduleOffset;
  }
  return moduleOffset;
}

}  // namespace tarvel::kernel::verifier
