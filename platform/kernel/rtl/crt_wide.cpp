// The wide-character C run-time routines the kernel exports to drivers (16-bit WCHAR). The driver-kit
// header gives them assembler names so that they never bind to the host C library's 32-bit versions.
#include <wdm.h>
#include <wdm/crt.h>

#include <cstddef>

#include "rtl/wide.h"
#include "rtl/wide_format.h"

namespace {

using tarvel::rtl::Upcase;

int CompareUpTo(const wchar_t* a, const wchar_t* b, size_t count, bool ignoreCase) {
  for (size_t i = 0; i < count; ++i) {
    unsigned ca = static_cast<unsigned short>(a[i]), cb = static_cast<unsigned short>(b[i]);
    // The platform's _wcsicmp folds to lower case; only the order of letters against '_' and the like
    // depends on it.
    if (ignoreCase) {
      ca = static_cast<unsigned short>(Upcase(static_cast<WCHAR>(ca)));
      cb = static_cast<unsigned short>(Upcase(static_cast<WCHAR>(cb)));
      if (ca >= 'A' && ca <= 'Z') ca += 0x20;
      if (cb >= 'A' && cb <= 'Z') cb += 0x20;
    }
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
  return 0;
}

// Writes formatted text into a buffer of `count` characters: with the terminator when it fits; when
// the text fills the buffer exactly, without it (returning the length); when it is longer, the first
// `count` characters and -1, as the platform's _snwprintf does.
int StoreBounded(wchar_t* buffer, size_t count, const std::u16string& text) {
  if (text.size() < count) {
    *tarvel::rtl::CopyOut(buffer, text) = 0;
    return static_cast<int>(text.size());
  }
  tarvel::rtl::CopyOut(buffer, std::u16string_view(text).substr(0, count));
  return text.size() == count ? static_cast<int>(count) : -1;
}

}  // namespace

extern "C" {

size_t wcslen(const wchar_t* String) { return tarvel::rtl::WideLength(String); }

size_t wcsnlen(const wchar_t* String, size_t MaxCount) {
  size_t n = 0;
  while (n < MaxCount && String[n] != 0) ++n;
  return n;
}

wchar_t* wcscpy(wchar_t* Destination, const wchar_t* Source) {
  wchar_t* d = Destination;
  while ((*d++ = *Source++) != 0) {
  }
  return Destination;
}

// Copies at most Count characters and pads with zeros up to Count; no terminator if Source is longer.
wchar_t* wcsncpy(wchar_t* Destination, const wchar_t* Source, size_t Count) {
  size_t i = 0;
  for (; i < Count && Source[i] != 0; ++i) Destination[i] = Source[i];
  for (; i < Count; ++i) Destination[i] = 0;
  return Destination;
}

wchar_t* wcscat(wchar_t* Destination, const wchar_t* Source) {
  wcscpy(Destination + wcslen(Destination), Source);
  return Destination;
}

wchar_t* wcsncat(wchar_t* Destination, const wchar_t* Source, size_t Count) {
  wchar_t* d = Destination + wcslen(Destination);
  size_t i = 0;
  for (; i < Count && Source[i] != 0; ++i) d[i] = Source[i];
  d[i] = 0;
  return Destination;
}

int wcscmp(const wchar_t* String1, const wchar_t* String2) {
  return CompareUpTo(String1, String2, static_cast<size_t>(-1), false);
}

int wcsncmp(const wchar_t* String1, const wchar_t* String2, size_t Count) {
  return CompareUpTo(String1, String2, Count, false);
}

int _wcsicmp(const wchar_t* String1, const wchar_t* String2) {
  return CompareUpTo(String1, String2, static_cast<size_t>(-1), true);
}

int _wcsnicmp(const wchar_t* String1, const wchar_t* String2, size_t Count) {
  return CompareUpTo(String1, String2, Count, true);
}

int _vsnwprintf(wchar_t* Buffer, size_t Count, const wchar_t* Format, __builtin_ms_va_list Arguments) {
  return StoreBounded(Buffer, Count, tarvel::rtl::FormatWide(Format, Arguments));
}

int _snwprintf(wchar_t* Buffer, size_t Count, const wchar_t* Format, ...) {
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, Format);
  const int n = _vsnwprintf(Buffer, Count, Format, args);
  __builtin_ms_va_end(args);
  return n;
}

}  // extern "C"

// The platform's unsized forms: the caller promises room for the whole text and its terminator.
int vswprintf(wchar_t* Buffer, const wchar_t* Format, __builtin_ms_va_list Arguments) {
  const std::u16string text = tarvel::rtl::FormatWide(Format, Arguments);
  *tarvel::rtl::CopyOut(Buffer, text) = 0;
  return static_cast<int>(text.size());
}

int swprintf(wchar_t* Buffer, const wchar_t* Format, ...) {
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, Format);
  const int n = vswprintf(Buffer, Format, args);
  __builtin_ms_va_end(args);
  return n;
}
