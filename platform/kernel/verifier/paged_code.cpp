// PAGED_CODE() and the pageable sections of the driver modules: pageable code run above APC_LEVEL would
// page-fault on the platform.
#include "verifier/paged_code.h"

#include <wdm.h>

#include "exec/engine.h"
#include "loader/modules.h"
#include "verifier/code_address.h"

namespace tarvel::kernel::verifier {
namespace {

// "StartDevice" out of "StartDevice (pnp.cpp:77) in tarvelpipe.so+0x2a10".
std::string FunctionName(const std::string& description) {
  const auto end = description.find_first_of(" +");
  return description.substr(0, end);
}

[[noreturn]] void StopInPageable(const char* routine, const void* object, const loader::Module& module,
                                 const std::string& what) {
  VerifierStop("pageable code at DISPATCH_LEVEL", routine, object,
               what + " (PAGE section of " + module.name + ": paged out at this IRQL)");
}

}  // namespace

void CheckNotCalledFromPageable(const void* caller, const char* routine) {
  const unsigned char irql = CurrentIrql();
  if (irql <= APC_LEVEL) return;
  if (const loader::Module* module = loader::PageableModuleOf(caller))
    StopInPageable(routine, nullptr, *module,
                   "called at IRQL " + std::to_string(irql) + " from pageable code " + DescribeCode(caller));
}

void CheckNotReturningToPageable(const void* caller, const char* routine, unsigned char irql) {
  if (irql <= APC_LEVEL) return;
  if (const loader::Module* module = loader::PageableModuleOf(caller))
    StopInPageable(routine, nullptr, *module,
                   "returns at IRQL " + std::to_string(irql) + " to pageable code " + DescribeCode(caller));
}

}  // namespace tarvel::kernel::verifier

using namespace tarvel::kernel;

extern "C" {

VOID TarvelCheckPagedCode(const char* Routine) {
  const unsigned irql = CurrentIrql();
  if (irql > APC_LEVEL)
    VerifierStop("pageable code at DISPATCH_LEVEL", Routine, nullptr, "PAGED_CODE() at IRQL " + std::to_string(irql));
}

// The entry hook of -finstrument-functions (driver modules only): function is the entered function,
// site the return address into its caller.
__attribute__((visibility("default"))) void __cyg_profile_func_enter(void* function, void* site) {
  const loader::Module* module = loader::PageableModuleOf(function);
  if (!module) return;
  const unsigned char irql = CurrentIrql();
  if (irql <= APC_LEVEL) return;
  const std::string described = verifier::DescribeCode(function, false);
  const std::string name = verifier::FunctionName(described);
  verifier::StopInPageable(name.c_str(), function, *module,
                           "entered at IRQL " + std::to_string(irql) + ": " + described + ", called from " +
                               verifier::DescribeCode(site));
}

__attribute__((visibility("default"))) void __cyg_profile_func_exit(void*, void*) {}

}  // extern "C"
