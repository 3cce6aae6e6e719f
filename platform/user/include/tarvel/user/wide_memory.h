// The wide-character memory routines an application's std::wstring calls (through
// std::char_traits<wchar_t>), with 16-bit WCHAR. Applications of the emulated machine are built with
// -fshort-wchar like the drivers, but the host C library's wmem* routines work on 32-bit units; the
// declarations below carry assembler names so that every call binds to the application side's own
// versions instead (wcslen and the other wcs* routines come with the driver-kit headers).
#pragma once

#include <stddef.h>
#include <wchar.h>

#define TARVEL_USER_WIDE_NAME(name) __asm__("TarvelUser" #name)

extern "C" {
int wmemcmp(const wchar_t* String1, const wchar_t* String2, size_t Count) noexcept TARVEL_USER_WIDE_NAME(Wmemcmp);
wchar_t* wmemcpy(wchar_t* Destination, const wchar_t* Source, size_t Count) noexcept TARVEL_USER_WIDE_NAME(Wmemcpy);
wchar_t* wmemmove(wchar_t* Destination, const wchar_t* Source, size_t Count) noexcept TARVEL_USER_WIDE_NAME(Wmemmove);
wchar_t* wmemset(wchar_t* Destination, wchar_t Character, size_t Count) noexcept TARVEL_USER_WIDE_NAME(Wmemset);
}
// For g++, the C library declares wmemchr for C++ as a const-correct pair of overloads of one symbol;
// for other compilers, as one C routine.
#ifdef __CORRECT_ISO_CPP_WCHAR_H_PROTO
extern "C++" {
wchar_t* wmemchr(wchar_t* String, wchar_t Character, size_t Count) noexcept TARVEL_USER_WIDE_NAME(Wmemchr);
const wchar_t* wmemchr(const wchar_t* String, wchar_t Character, size_t Count) noexcept
    TARVEL_USER_WIDE_NAME(Wmemchr);
}
#else
extern "C" wchar_t* wmemchr(const wchar_t* String, wchar_t Character, size_t Count) noexcept TARVEL_USER_WIDE_NAME(Wmemchr);
#endif
#undef TARVEL_USER_WIDE_NAME
