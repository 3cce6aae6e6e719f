// 16-bit wmem* routines for applications (see tarvel/user/wide_memory.h). Comparison is by unsigned
// 16-bit code unit, as the platform's wmemcmp does.
#include "tarvel/user/wide_memory.h"

#include <cstring>

extern "C" {

int wmemcmp(const wchar_t* String1, const wchar_t* String2, size_t Count) noexcept {
  for (size_t i = 0; i < Count; ++i) {
    const auto a = static_cast<unsigned short>(String1[i]), b = static_cast<unsigned short>(String2[i]);
    if (a != b) return a < b ? -1 : 1;
  }
  return 0;
}

wchar_t* wmemcpy(wchar_t* Destination, const wchar_t* Source, size_t Count) noexcept {
  if (Count != 0) std::memcpy(Destination, Source, Count * sizeof(wchar_t));
  return Destination;
}

wchar_t* wmemmove(wchar_t* Destination, const wchar_t* Source, size_t Count) noexcept {
  if (Count != 0) std::memmove(Destination, Source, Count * sizeof(wchar_t));
  return Destination;
}

wchar_t* wmemset(wchar_t* Destination, wchar_t Character, size_t Count) noexcept {
  for (size_t i = 0; i < Count; ++i) Destination[i] = Character;
  return Destination;
}

}  // extern "C"

// One definition for both overloads, or for the one C routine: the symbol TarvelUserWmemchr.
#ifdef __CORRECT_ISO_CPP_WCHAR_H_PROTO
const wchar_t* wmemchr(const wchar_t* String, wchar_t Character, size_t Count) noexcept {
#else
extern "C" wchar_t* wmemchr(const wchar_t* String, wchar_t Character, size_t Count) noexcept {
#endif
  for (size_t i = 0; i < Count; ++i)
    if (String[i] == Character) return const_cast<wchar_t*>(String) + i;
  return nullptr;
}
