// PAGED_CODE(): pageable code entered above APC_LEVEL would page-fault on the platform.
#include <wdm.h>

#include "exec/engine.h"

extern "C" VOID TarvelCheckPagedCode(const char* Routine) {
  const unsigned irql = tarvel::kernel::CurrentIrql();
  if (irql > APC_LEVEL)
    tarvel::kernel::VerifierStop("pageable code at DISPATCH_LEVEL", Routine, nullptr,
                                 "PAGED_CODE() at IRQL " + std::to_string(irql));
}
