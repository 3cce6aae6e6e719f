#include "registry/zw_checks.h"

namespace tarvel::registry {

void RequirePassive(const char* routine) {
  kernel::SwitchPoint();
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    kernel::VerifierStop("registry routine above PASSIVE_LEVEL", routine, nullptr,
                         "IRQL " + std::to_string(KeGetCurrentIrql()));
}

bool ReadFaultInjected() { return kernel::ShouldFail(kernel::FaultSite::Registry); }

NTSTATUS KeyOfHandle(HANDLE handle, const char* routine, Key** key) {
  (void)routine;
  *key = FromHandle(handle);
  if (*key == nullptr) return STATUS_INVALID_HANDLE;
  if ((*key)->deleted) return STATUS_KEY_DELETED;
  return STATUS_SUCCESS;
}

NTSTATUS BaseKey(const OBJECT_ATTRIBUTES* attributes, Key** base) {
  *base = nullptr;
  if (attributes->ObjectName == nullptr) return STATUS_INVALID_PARAMETER;
  if (attributes->RootDirectory == nullptr) {
    const UNICODE_STRING* name = attributes->ObjectName;
    if (name->Length == 0 || name->Buffer[0] != L'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    return STATUS_SUCCESS;
  }
  NTSTATUS status = KeyOfHandle(attributes->RootDirectory, "ObjectAttributes", base);
  return status;
}

}  // namespace tarvel::registry
