// The highest IRQL a kernel routine may be called at, as the platform documents it: pageable routines
// (most of the run-time library's string routines, the object and registry routines) no higher than
// APC_LEVEL or PASSIVE_LEVEL, the rest no higher than DISPATCH_LEVEL. Private to the emulated kernel.
#pragma once

namespace tarvel::kernel {

// Verifier stop "called above <level>" naming routine if the running thread's IRQL is above max.
void RequireIrqlAtMost(unsigned char max, const char* routine, const void* object = nullptr);

}  // namespace tarvel::kernel
