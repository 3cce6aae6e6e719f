// Faults inside driver images. The platform's headers inline instructions that user mode cannot
// execute (privileged.h lists the forms); when one faults in a mapped image on an emulated thread, the
// handler performs it against that thread's IRQL and the virtual clock and the image goes on after it:
//
//   mov %cr8, r64        the thread's IRQL
//   mov r64, %cr8        raises or lowers the thread's IRQL through the kernel's own path (the verifier's
//                        IRQL rules apply, and lowering below DISPATCH_LEVEL lets pending DPCs run)
//   mov moffs64, %eax/%rax, mov disp(base,index), r32/r64
//                        a time field of the shared user page (shared_user_page.h)
//
// A call or access into a discarded INIT section is a verifier stop that says so. Any other fault
// (another instruction, a bad address, a fault outside the images) goes on to the handler that was
// there before (AddressSanitizer's report, or the default action), after a line that names the image
// and the offset when it happened in one. Private.
#pragma once

#include <csignal>

namespace tarvel::kernel::loader {

// Installs the handler for SIGSEGV and SIGILL in front of the one in place; once, further calls do
// nothing. Called when the first image is mapped, so runs of modules alone never see it.
void InstallFaultHandler();

}  // namespace tarvel::kernel::loader
