// The run-time library's registry helpers: a value written or deleted by a path relative to one of the
// platform's well-known keys (RTL_REGISTRY_DEVICEMAP for SERIALCOMM, ...) or to an open key handle.
#include <wdm.h>

#include <string>

#include "registry/store.h"
#include "registry/zw_checks.h"
#include "rtl/wide.h"

namespace reg = tarvel::registry;

namespace {

const char16_t* WellKnownBase(ULONG relativeTo) {
  switch (relativeTo) {
    case RTL_REGISTRY_ABSOLUTE: return u"";
    case RTL_REGISTRY_SERVICES: return u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\";
    case RTL_REGISTRY_CONTROL: return u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\";
    case RTL_REGISTRY_WINDOWS_NT: return u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\";
    case RTL_REGISTRY_DEVICEMAP: return u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\";
    case RTL_REGISTRY_USER: return u"\\Registry\\User\\.Default\\";
    default: return nullptr;
  }
}

// Opens (or, for writes, creates the last component of) the key that RelativeTo and Path name.
NTSTATUS KeyFor(ULONG relativeTo, PCWSTR path, bool create, reg::Key** key) {
  *key = nullptr;
  relativeTo &= ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL);
  if (relativeTo & RTL_REGISTRY_HANDLE) {
    return reg::KeyOfHandle(const_cast<PWSTR>(path), "RtlRegistry", key);
  }
  const char16_t* base = WellKnownBase(relativeTo);
  if (base == nullptr) return STATUS_INVALID_PARAMETER;
  const std::u16string full = std::u16string(base) + tarvel::rtl::ToU16(path);
  if (relativeTo == RTL_REGISTRY_ABSOLUTE && (full.empty() || full.front() != u'\\'))
    return STATUS_OBJECT_PATH_SYNTAX_BAD;
  *key = create ? reg::Create(nullptr, full, false) : reg::Find(nullptr, full);
  return *key == nullptr ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_SUCCESS;
}

}  // namespace

extern "C" {

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength) {
  reg::RequirePassive("RtlWriteRegistryValue");
  reg::Key* key = nullptr;
  NTSTATUS status = KeyFor(RelativeTo, Path, true, &key);
  if (!NT_SUCCESS(status)) return status;
  if (ValueData == nullptr && ValueLength != 0) return STATUS_INVALID_PARAMETER;
  key->SetValue(tarvel::rtl::ToU16(ValueName), ValueType, ValueData, ValueLength);
  return STATUS_SUCCESS;
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
  reg::RequirePassive("RtlDeleteRegistryValue");
  reg::Key* key = nullptr;
  NTSTATUS status = KeyFor(RelativeTo, Path, false, &key);
  if (!NT_SUCCESS(status)) return status;
  return key->DeleteValue(tarvel::rtl::ToU16(ValueName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
  reg::RequirePassive("RtlCheckRegistryKey");
  if (reg::ReadFaultInjected()) return STATUS_INSUFFICIENT_RESOURCES;
  reg::Key* key = nullptr;
  return KeyFor(RelativeTo, Path, false, &key);
}

NTSTATUS RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path) {
  reg::RequirePassive("RtlCreateRegistryKey");
  reg::Key* key = nullptr;
  return KeyFor(RelativeTo, Path, true, &key);
}

}  // extern "C"
