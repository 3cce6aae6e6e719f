// Symbolic links in "\??\" (also spelt "\DosDevices\" and "\GLOBAL??\").
#include <wdm.h>

#include "ob/namespace.h"
#include "registry/zw_checks.h"
#include "rtl/wide.h"
#include "tarvel/kernel.h"

using namespace tarvel;

extern "C" {

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  registry::RequirePassive("IoCreateSymbolicLink");
  if (SymbolicLinkName == nullptr || DeviceName == nullptr || DeviceName->Length == 0) return STATUS_INVALID_PARAMETER;
  const NTSTATUS status = ob::CreateLink(rtl::ToU16(SymbolicLinkName), rtl::ToU16(DeviceName));
  if (NT_SUCCESS(status) && kernel::Tracing()) {
    kernel::Trace("IoCreateSymbolicLink " + rtl::ToUtf8(rtl::ToU16(SymbolicLinkName)) + " -> " +
                  rtl::ToUtf8(rtl::ToU16(DeviceName)));
  }
  return status;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  registry::RequirePassive("IoDeleteSymbolicLink");
  if (SymbolicLinkName == nullptr) return STATUS_INVALID_PARAMETER;
  return ob::DeleteLink(rtl::ToU16(SymbolicLinkName));
}

}  // extern "C"
