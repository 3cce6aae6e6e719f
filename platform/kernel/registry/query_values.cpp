// RtlQueryRegistryValues: walks a query table over one key (and its subkeys by SUBKEY entries),
// handing each value to the entry's routine or storing it directly, with defaults for missing values,
// as the platform does. REG_MULTI_SZ goes to a routine string by string unless NOEXPAND is given;
// REG_EXPAND_SZ has no environment to expand here and is passed as it is.
#include <wdm.h>

#include <string>
#include <vector>

#include "io/pool_tags.h"
#include "registry/store.h"
#include "registry/zw_checks.h"
#include "rtl/wide.h"

namespace reg = tarvel::registry;
using tarvel::rtl::ToU16;

namespace {

const char16_t* Base(ULONG relativeTo) {
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

bool IsString(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Stores a value into EntryContext as RTL_QUERY_REGISTRY_DIRECT describes.
NTSTATUS StoreDirect(const RTL_QUERY_REGISTRY_TABLE& entry, ULONG type, const void* data, ULONG length) {
  if (IsString(type)) {
    auto* destination = static_cast<PUNICODE_STRING>(entry.EntryContext);
    ULONG bytes = length;
    const auto* text = static_cast<const WCHAR*>(data);
    if (type != REG_MULTI_SZ) {  // stored without the terminator in Length
      while (bytes >= sizeof(WCHAR) && text[bytes / sizeof(WCHAR) - 1] == 0) bytes -= sizeof(WCHAR);
    }
    if (destination->Buffer == nullptr) {
      auto* buffer = static_cast<PWSTR>(
          ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), tarvel::kernel_tags::kRtlString));
      if (buffer == nullptr) return STATUS_NO_MEMORY;
      destination->Buffer = buffer;
      destination->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    } else if (bytes + sizeof(WCHAR) > destination->MaximumLength) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    memcpy(destination->Buffer, data, bytes);
    destination->Buffer[bytes / sizeof(WCHAR)] = 0;
    destination->Length = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
  }
  if (length <= sizeof(ULONG)) {
    memcpy(entry.EntryContext, data, length);
    return STATUS_SUCCESS;
  }
  // A larger value: the buffer starts with its size as a LONG; negative means data only, otherwise
  // length and type come first.
  auto* header = static_cast<LONG*>(entry.EntryContext);
  const LONG size = *header;
  if (size < 0) {
    if (static_cast<ULONG>(-size) < length) return STATUS_BUFFER_TOO_SMALL;
    memcpy(header, data, length);
    return STATUS_SUCCESS;
  }
  if (static_cast<ULONG>(size) < length + 2 * sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  auto* out = reinterpret_cast<ULONG*>(header);
  out[0] = length;
  out[1] = type;
  memcpy(out + 2, data, length);
  return STATUS_SUCCESS;
}

NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE& entry, const std::u16string& name, ULONG type, const void* data,
                 ULONG length, PVOID context) {
  if (entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) {
    const ULONG expected = entry.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
    if (expected != REG_NONE && expected != type) return STATUS_OBJECT_TYPE_MISMATCH;
  }
  if (entry.Flags & RTL_QUERY_REGISTRY_DIRECT) return StoreDirect(entry, type, data, length);
  std::vector<WCHAR> nameBuffer(name.size() + 1);
  *tarvel::rtl::CopyOut(nameBuffer.data(), name) = 0;
  if (type == REG_MULTI_SZ && !(entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND)) {
    const auto* text = static_cast<const WCHAR*>(data);
    const ULONG count = length / sizeof(WCHAR);
    for (ULONG i = 0; i < count && text[i] != 0;) {
      ULONG end = i;
      while (end < count && text[end] != 0) ++end;
      const NTSTATUS status = entry.QueryRoutine(nameBuffer.data(), REG_SZ, const_cast<WCHAR*>(text + i),
                                                 (end - i + 1) * sizeof(WCHAR), context, entry.EntryContext);
      if (!NT_SUCCESS(status)) return status;
      i = end + 1;
    }
    return STATUS_SUCCESS;
  }
  return entry.QueryRoutine(nameBuffer.data(), type, const_cast<void*>(data), length, context, entry.EntryContext);
}

}  // namespace

extern "C" NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                           PVOID Context, PVOID Environment) {
  UNREFERENCED_PARAMETER(Environment);
  reg::RequirePassive("RtlQueryRegistryValues");
  if (reg::ReadFaultInjected()) return STATUS_INSUFFICIENT_RESOURCES;
  reg::Key* top = nullptr;
  const ULONG relative = RelativeTo & ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL);
  if (relative & RTL_REGISTRY_HANDLE) {
    NTSTATUS status = reg::KeyOfHandle(const_cast<PWSTR>(Path), "RtlQueryRegistryValues", &top);
    if (!NT_SUCCESS(status)) return status;
  } else {
    const char16_t* base = Base(relative);
    if (base == nullptr) return STATUS_INVALID_PARAMETER;
    top = reg::Find(nullptr, std::u16string(base) + ToU16(Path));
    if (top == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  reg::Key* key = top;
  for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable;
       entry->QueryRoutine != nullptr || (entry->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_DIRECT)) != 0;
       ++entry) {
    if (entry->Flags & (RTL_QUERY_REGISTRY_TOPKEY | RTL_QUERY_REGISTRY_SUBKEY)) key = top;
    if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
      key = entry->Name != nullptr ? reg::Find(top, ToU16(entry->Name)) : top;
      if (key == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
      if (entry->QueryRoutine == nullptr) continue;
    }
    if (entry->Flags & RTL_QUERY_REGISTRY_NOVALUE) {
      const NTSTATUS status = entry->QueryRoutine(const_cast<PWSTR>(entry->Name), REG_NONE, nullptr, 0, Context,
                                                  entry->EntryContext);
      if (!NT_SUCCESS(status)) return status;
      continue;
    }
    if (entry->Name == nullptr) {  // every value of the key
      if (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) return STATUS_INVALID_PARAMETER;
      const std::vector<reg::Value> values = key->values;  // the routine may change the key
      for (const auto& v : values) {
        const NTSTATUS status =
            Deliver(*entry, v.name, v.type, v.data.data(), static_cast<ULONG>(v.data.size()), Context);
        if (!NT_SUCCESS(status)) return status;
      }
      continue;
    }
    const std::u16string name = ToU16(entry->Name);
    const reg::Value* value = key->FindValue(name);
    NTSTATUS status = STATUS_SUCCESS;
    if (value != nullptr) {
      const reg::Value copy = *value;
      status = Deliver(*entry, copy.name, copy.type, copy.data.data(), static_cast<ULONG>(copy.data.size()), Context);
      if (NT_SUCCESS(status) && (entry->Flags & RTL_QUERY_REGISTRY_DELETE)) key->DeleteValue(name);
    } else if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) {
      return STATUS_OBJECT_NAME_NOT_FOUND;
    } else {
      const ULONG defaultType = entry->DefaultType & 0x00FFFFFF;
      if (defaultType == REG_NONE) continue;
      ULONG length = entry->DefaultLength;
      if (length == 0 && IsString(defaultType) && entry->DefaultData != nullptr) {
        const auto* text = static_cast<const WCHAR*>(entry->DefaultData);
        ULONG n = 0;
        if (defaultType == REG_MULTI_SZ) {
          while (text[n] != 0 || text[n + 1] != 0) ++n;
          n += 2;
        } else {
          n = static_cast<ULONG>(tarvel::rtl::WideLength(text)) + 1;
        }
        length = n * sizeof(WCHAR);
      }
      status = Deliver(*entry, name, defaultType, entry->DefaultData, length, Context);
    }
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}
