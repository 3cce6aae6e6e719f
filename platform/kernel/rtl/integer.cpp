// Integer conversion of the run-time library with the platform's parsing rules: characters up to and
// including the space are skipped, one '+' or '-' is taken as the sign, base 0 reads a "0x", "0o" or
// "0b" prefix (decimal otherwise), and conversion stops quietly at the first character that is not a
// digit of the base; no digit at all gives 0. Overflow wraps modulo 2^32 as on the platform.
#include <wdm.h>

#include <cstddef>
#include "verifier/irql_rules.h"

namespace {

int DigitValue(unsigned c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'z') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'Z') return static_cast<int>(c - 'A' + 10);
  return -1;
}

// Parses count characters read through at(i); shared by the wide and the 8-bit form.
template <class At>
NTSTATUS ParseInteger(std::size_t count, At at, ULONG base, PULONG value) {
  std::size_t i = 0;
  while (i < count && at(i) <= ' ') ++i;
  bool negative = false;
  if (i < count && (at(i) == '+' || at(i) == '-')) {
    negative = at(i) == '-';
    ++i;
  }
  if (base == 0) {
    base = 10;
    if (i + 1 < count && at(i) == '0') {
      const unsigned p = at(i + 1);
      if (p == 'x') base = 16;
      else if (p == 'o') base = 8;
      else if (p == 'b') base = 2;
      if (base != 10) i += 2;
    }
  } else if (base != 2 && base != 8 && base != 10 && base != 16) {
    return STATUS_INVALID_PARAMETER;
  }
  if (value == nullptr) return STATUS_ACCESS_VIOLATION;
  ULONG total = 0;
  for (; i < count; ++i) {
    const int digit = DigitValue(at(i));
    if (digit < 0 || static_cast<ULONG>(digit) >= base) break;
    total = total * base + static_cast<ULONG>(digit);
  }
  *value = negative ? 0u - total : total;
  return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
  tarvel::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlUnicodeStringToInteger");
  const WCHAR* text = String->Buffer;
  return ParseInteger(String->Length / sizeof(WCHAR),
                      [text](std::size_t i) { return static_cast<unsigned>(static_cast<unsigned short>(text[i])); },
                      Base, Value);
}

NTSTATUS RtlCharToInteger(PCSTR String, ULONG Base, PULONG Value) {
  tarvel::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlCharToInteger");
  return ParseInteger(strlen(String),
                      [String](std::size_t i) { return static_cast<unsigned>(static_cast<unsigned char>(String[i])); },
                      Base, Value);
}

// Digits in upper case; the terminator is written when there is room for it. A string too small for
// the digits is left unchanged and reported with STATUS_BUFFER_OVERFLOW.
NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  tarvel::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlIntegerToUnicodeString");
  if (Base == 0) Base = 10;
  if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
  WCHAR digits[33];
  std::size_t n = 0;
  do {
    const ULONG d = Value % Base;
    digits[n++] = static_cast<WCHAR>(d < 10 ? '0' + d : 'A' + d - 10);
    Value /= Base;
  } while (Value != 0);
  if (n * sizeof(WCHAR) > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (std::size_t i = 0; i < n; ++i) String->Buffer[i] = digits[n - 1 - i];
  String->Length = static_cast<USHORT>(n * sizeof(WCHAR));
  if (String->Length + sizeof(WCHAR) <= String->MaximumLength) String->Buffer[n] = 0;
  return STATUS_SUCCESS;
}

}  // extern "C"
