// Pageable driver code at DISPATCH_LEVEL, as the platform's Driver Verifier finds it when it forces
// IRQL checking: pageable code is paged out whenever the IRQL is raised, so any instruction of it run
// at DISPATCH_LEVEL or above faults. The loader records each module's PAGE section (functions marked
// PAGEDCODE); the driver modules are compiled with -finstrument-functions, whose entry hook here stops
// when a function of that section is entered above APC_LEVEL. Pageable code can run on at a raised
// IRQL only after a kernel routine raised it (a spin lock, KeRaiseIrql) or a routine it called
// returned at one; the kernel routines below check their caller for that. The return address a kernel
// routine sees is its real caller's: the instrumentation's exit hook keeps driver functions from
// tail-calling kernel routines (a locked helper's last KeReleaseSpinLock would otherwise seem to come
// from its pageable caller). Private to the kernel.
#pragma once

namespace tarvel::kernel::verifier {

// Stops if the running thread is above APC_LEVEL and caller (a return address) lies in pageable code:
// routine was called from pageable code at a raised IRQL.
void CheckNotCalledFromPageable(const void* caller, const char* routine);
// Stops if caller lies in pageable code and irql (the IRQL routine returns at) is above APC_LEVEL.
void CheckNotReturningToPageable(const void* caller, const char* routine, unsigned char irql);

}  // namespace tarvel::kernel::verifier
