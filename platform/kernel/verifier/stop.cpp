// The verifier's stop: names the rule, the routine and the object, then ends the run as a real
// kernel's bug check would.
#include <cstdio>
#include <cstdlib>

#include "exec/engine.h"

namespace tarvel::kernel {

void VerifierStop(const char* rule, const char* routine, const void* object, std::string detail) {
  char pointer[32];
  std::snprintf(pointer, sizeof pointer, "%p", object);
  std::string text = std::string("VERIFIER STOP: ") + rule + " in " + (routine ? routine : "?") + " on " +
                     (object ? exec::DescribeObject(object) : std::string(pointer)) + ": " +
                     (detail.empty() ? "-" : detail) + "\n";
  if (exec::IsBooted()) {
    text += "  at virtual time " + exec::FormatTime(Now()) + " on thread \"" + CurrentThreadName() + "\"\n";
    text += exec::ThreadReport();
  }
  text += exec::ReplayLine() + "\n";
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace tarvel::kernel
