#include "verifier/irql_rules.h"

#include <string>

#include "tarvel/kernel.h"

namespace tarvel::kernel {

void RequireIrqlAtMost(unsigned char max, const char* routine, const void* object) {
  static const char* const kRules[] = {"called above PASSIVE_LEVEL", "called above APC_LEVEL",
                                       "called above DISPATCH_LEVEL"};
  const unsigned char irql = CurrentIrql();
  if (irql <= max) return;
  VerifierStop(max < 3 ? kRules[max] : "called above its IRQL", routine, object, "IRQL " + std::to_string(irql));
}

}  // namespace tarvel::kernel
