// The kernel's key and value routines (Zw*) over the in-memory registry. Registry access is for
// PASSIVE_LEVEL only, as on the platform; reads are a fault-injection site.
#include <wdm.h>

#include "registry/store.h"
#include "registry/value_information.h"
#include "registry/zw_checks.h"
#include "rtl/wide.h"
#include "verifier/irql_rules.h"

#ifndef STATUS_CANNOT_DELETE
#define STATUS_CANNOT_DELETE ((NTSTATUS)0xC0000121L)
#endif

namespace reg = tarvel::registry;
using tarvel::rtl::ToU16;

extern "C" {

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
  UNREFERENCED_PARAMETER(DesiredAccess);
  reg::RequirePassive("ZwOpenKey");
  if (KeyHandle == nullptr || ObjectAttributes == nullptr) return STATUS_INVALID_PARAMETER;
  *KeyHandle = nullptr;
  if (reg::ReadFaultInjected()) return STATUS_INSUFFICIENT_RESOURCES;
  reg::Key* base = nullptr;
  NTSTATUS status = reg::BaseKey(ObjectAttributes, &base);
  if (!NT_SUCCESS(status)) return status;
  reg::Key* key = reg::Find(base, ToU16(ObjectAttributes->ObjectName));
  if (key == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  *KeyHandle = reg::OpenHandle(key);
  return STATUS_SUCCESS;
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
  UNREFERENCED_PARAMETER(DesiredAccess);
  UNREFERENCED_PARAMETER(TitleIndex);
  UNREFERENCED_PARAMETER(Class);
  UNREFERENCED_PARAMETER(CreateOptions);
  reg::RequirePassive("ZwCreateKey");
  if (KeyHandle == nullptr || ObjectAttributes == nullptr) return STATUS_INVALID_PARAMETER;
  *KeyHandle = nullptr;
  reg::Key* base = nullptr;
  NTSTATUS status = reg::BaseKey(ObjectAttributes, &base);
  if (!NT_SUCCESS(status)) return status;
  bool created = false;
  reg::Key* key = reg::Create(base, ToU16(ObjectAttributes->ObjectName), false, &created);
  if (key == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (Disposition != nullptr) *Disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *KeyHandle = reg::OpenHandle(key);
  return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength) {
  reg::RequirePassive("ZwQueryValueKey");
  reg::Key* key = nullptr;
  NTSTATUS status = reg::KeyOfHandle(KeyHandle, "ZwQueryValueKey", &key);
  if (!NT_SUCCESS(status)) return status;
  if (reg::ReadFaultInjected()) return STATUS_INSUFFICIENT_RESOURCES;
  const reg::Value* value = key->FindValue(ToU16(ValueName));
  if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  return reg::FillValueInformation(*value, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  reg::RequirePassive("ZwEnumerateValueKey");
  reg::Key* key = nullptr;
  NTSTATUS status = reg::KeyOfHandle(KeyHandle, "ZwEnumerateValueKey", &key);
  if (!NT_SUCCESS(status)) return status;
  if (reg::ReadFaultInjected()) return STATUS_INSUFFICIENT_RESOURCES;
  if (Index >= key->values.size()) return STATUS_NO_MORE_ENTRIES;
  return reg::FillValueInformation(key->values[Index], KeyValueInformationClass, KeyValueInformation, Length,
                                   ResultLength);
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize) {
  UNREFERENCED_PARAMETER(TitleIndex);
  reg::RequirePassive("ZwSetValueKey");
  reg::Key* key = nullptr;
  NTSTATUS status = reg::KeyOfHandle(KeyHandle, "ZwSetValueKey", &key);
  if (!NT_SUCCESS(status)) return status;
  if (Data == nullptr && DataSize != 0) return STATUS_INVALID_PARAMETER;
  key->SetValue(ToU16(ValueName), Type, Data, DataSize);
  return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
  reg::RequirePassive("ZwDeleteValueKey");
  reg::Key* key = nullptr;
  NTSTATUS status = reg::KeyOfHandle(KeyHandle, "ZwDeleteValueKey", &key);
  if (!NT_SUCCESS(status)) return status;
  return key->DeleteValue(ToU16(ValueName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS ZwDeleteKey(HANDLE KeyHandle) {
  reg::RequirePassive("ZwDeleteKey");
  reg::Key* key = nullptr;
  NTSTATUS status = reg::KeyOfHandle(KeyHandle, "ZwDeleteKey", &key);
  if (!NT_SUCCESS(status)) return status;
  if (!key->subkeys.empty()) return STATUS_CANNOT_DELETE;
  reg::Delete(key);
  return STATUS_SUCCESS;
}

NTSTATUS ZwFlushKey(HANDLE KeyHandle) {
  reg::Key* key = nullptr;
  return reg::KeyOfHandle(KeyHandle, "ZwFlushKey", &key);
}

// Kernel handles of this emulation are key handles only; closing anything else (or a key handle twice)
// is what the platform stops on (INVALID_KERNEL_HANDLE).
NTSTATUS ZwClose(HANDLE Handle) {
  tarvel::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
  tarvel::kernel::SwitchPoint();
  if (!reg::CloseHandle(Handle))
    tarvel::kernel::VerifierStop("invalid kernel handle closed", "ZwClose", Handle,
                                 "the handle is not open (closed twice, or never opened)");
  return STATUS_SUCCESS;
}

}  // extern "C"
