// Counted-string routines of the run-time library, with the platform's rules: lengths in bytes, a
// terminating zero written only where the buffer has room for it, and appends that refuse (rather than
// truncate) when the destination is too small.
#include <wdm.h>

#include <cstddef>

#include "io/pool_tags.h"
#include "rtl/wide.h"
#include "verifier/irql_rules.h"

using tarvel::rtl::Upcase;
using tarvel::rtl::WideLength;

namespace {

constexpr USHORT kMaxCountedBytes = 0xFFFC;  // largest even length that leaves room for a terminator

void TerminateIfRoom(PUNICODE_STRING s) {
  if (s->Length + sizeof(WCHAR) <= s->MaximumLength) s->Buffer[s->Length / sizeof(WCHAR)] = 0;
}

NTSTATUS Append(PUNICODE_STRING destination, const WCHAR* source, std::size_t bytes) {
  if (bytes == 0) return STATUS_SUCCESS;
  if (destination->Length + bytes > destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  memmove(reinterpret_cast<char*>(destination->Buffer) + destination->Length, source, bytes);
  destination->Length = static_cast<USHORT>(destination->Length + bytes);
  TerminateIfRoom(destination);
  return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  tarvel::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "RtlInitUnicodeString");
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  if (SourceString == nullptr) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  std::size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
  if (bytes > kMaxCountedBytes) bytes = kMaxCountedBytes;
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

VOID RtlInitString(PSTRING DestinationString, PCSTR SourceString) {
  tarvel::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "RtlInitString");
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
  if (SourceString == nullptr) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  std::size_t bytes = strlen(SourceString);
  if (bytes > 0xFFFE) bytes = 0xFFFE;
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
  tarvel::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "RtlInitAnsiString");
  RtlInitString(DestinationString, SourceString);
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  tarvel::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "RtlCopyUnicodeString");
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  const USHORT bytes = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                               : DestinationString->MaximumLength;
  memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  TerminateIfRoom(DestinationString);
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  tarvel::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "RtlAppendUnicodeToString");
  if (Source == nullptr) return STATUS_SUCCESS;
  return Append(Destination, Source, WideLength(Source) * sizeof(WCHAR));
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  tarvel::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "RtlAppendUnicodeStringToString");
  return Append(Destination, Source->Buffer, Source->Length);
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  tarvel::kernel::RequireIrqlAtMost(APC_LEVEL, "RtlCompareUnicodeString");
  const std::size_t n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
  const std::size_t n = n1 < n2 ? n1 : n2;
  for (std::size_t i = 0; i < n; ++i) {
    WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = Upcase(a);
      b = Upcase(b);
    }
    if (a != b) return static_cast<LONG>(static_cast<unsigned short>(a)) - static_cast<unsigned short>(b);
  }
  return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  tarvel::kernel::RequireIrqlAtMost(APC_LEVEL, "RtlEqualUnicodeString");
  if (String1->Length != String2->Length) return FALSE;
  return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  tarvel::kernel::RequireIrqlAtMost(APC_LEVEL, "RtlPrefixUnicodeString");
  if (String1->Length > String2->Length) return FALSE;
  UNICODE_STRING head = *String2;
  head.Length = String1->Length;
  return RtlCompareUnicodeString(String1, &head, CaseInSensitive) == 0;
}

WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter) { return Upcase(SourceCharacter); }

NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                BOOLEAN AllocateDestinationString) {
  tarvel::kernel::RequireIrqlAtMost(APC_LEVEL, "RtlUpcaseUnicodeString");
  const USHORT bytes = SourceString->Length;
  if (AllocateDestinationString) {
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR),
                                                            tarvel::kernel_tags::kRtlString));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  } else if (bytes > DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (std::size_t i = 0; i < bytes / sizeof(WCHAR); ++i) {
    DestinationString->Buffer[i] = Upcase(SourceString->Buffer[i]);
  }
  DestinationString->Length = bytes;
  return STATUS_SUCCESS;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  tarvel::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlFreeUnicodeString");
  if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

VOID RtlFreeAnsiString(PANSI_STRING AnsiString) {
  tarvel::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlFreeAnsiString");
  if (AnsiString->Buffer != nullptr) ExFreePool(AnsiString->Buffer);
  AnsiString->Buffer = nullptr;
  AnsiString->Length = AnsiString->MaximumLength = 0;
}

// Conversions between the 8-bit and the wide form map the first 256 code points one to one (the
// platform's default code page agrees with Latin-1 on the characters drivers use); others become '?'.
NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
  tarvel::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlUnicodeStringToAnsiString");
  const std::size_t chars = SourceString->Length / sizeof(WCHAR);
  if (chars + 1 > 0xFFFF) return STATUS_INVALID_PARAMETER_2;
  if (AllocateDestinationString) {
    auto* buffer =
        static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, chars + 1, tarvel::kernel_tags::kRtlString));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = static_cast<USHORT>(chars + 1);
  } else if (chars >= DestinationString->MaximumLength) {
    if (DestinationString->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
    // Like the platform: convert what fits and report the overflow.
    const std::size_t fit = DestinationString->MaximumLength - 1u;
    for (std::size_t i = 0; i < fit; ++i) {
      const unsigned c = static_cast<unsigned short>(SourceString->Buffer[i]);
      DestinationString->Buffer[i] = c < 0x100 ? static_cast<char>(c) : '?';
    }
    DestinationString->Buffer[fit] = 0;
    DestinationString->Length = static_cast<USHORT>(fit);
    return STATUS_BUFFER_OVERFLOW;
  }
  for (std::size_t i = 0; i < chars; ++i) {
    const unsigned c = static_cast<unsigned short>(SourceString->Buffer[i]);
    DestinationString->Buffer[i] = c < 0x100 ? static_cast<char>(c) : '?';
  }
  DestinationString->Buffer[chars] = 0;
  DestinationString->Length = static_cast<USHORT>(chars);
  return STATUS_SUCCESS;
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
  tarvel::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlAnsiStringToUnicodeString");
  const std::size_t bytes = SourceString->Length * sizeof(WCHAR);
  if (bytes + sizeof(WCHAR) > 0xFFFF) return STATUS_INVALID_PARAMETER_2;
  if (AllocateDestinationString) {
    auto* buffer = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), tarvel::kernel_tags::kRtlString));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  } else if (bytes > DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (std::size_t i = 0; i < SourceString->Length; ++i) {
    DestinationString->Buffer[i] = static_cast<WCHAR>(static_cast<unsigned char>(SourceString->Buffer[i]));
  }
  DestinationString->Length = static_cast<USHORT>(bytes);
  TerminateIfRoom(DestinationString);
  return STATUS_SUCCESS;
}

}  // extern "C"
