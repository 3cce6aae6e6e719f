// The C run-time routines the kernel exports to drivers (part of wdm.h), with the platform's
// signatures and 16-bit WCHAR.
//
// The host C library in the same process owns the plain names with 32-bit wchar_t semantics, and the
// sanitizer runtime intercepts some of them, so a driver's call to wcslen must not bind to those. The
// declarations below therefore carry assembler names: driver and kernel sources spell the platform
// names, and the emulated kernel exports them as Tarvel<Name> (TarvelWcslen, TarvelSwprintf, ...).
// The host's declarations are read first so that ours take their place in any translation unit,
// whatever it includes later. The byte routines (memcpy, memset, memmove, memcmp, strlen) are the
// host's, whose behaviour is the platform's.
//
// The formatting routines use the platform's calling convention and its va_list, as every export
// does (NTAPI); the string routines keep the host's, since the host C library declares the same
// names in the same translation units, and a driver image reaches them through the image loader.
//
// Formats follow the platform: %s and %ws in a wide format take a WCHAR string, %hs and %S a char
// string, %l modifies a 32-bit integer (ULONG), %I64 and %ll a 64-bit one.
#pragma once

#include <stdarg.h>
#include <wchar.h>

#include <ntdef.h>

#define TARVEL_CRT_NAME(name) __asm__("Tarvel" #name)

extern "C" {
size_t wcslen(const wchar_t* String) TARVEL_CRT_NAME(Wcslen);
size_t wcsnlen(const wchar_t* String, size_t MaxCount) TARVEL_CRT_NAME(Wcsnlen);
wchar_t* wcscpy(wchar_t* Destination, const wchar_t* Source) TARVEL_CRT_NAME(Wcscpy);
wchar_t* wcsncpy(wchar_t* Destination, const wchar_t* Source, size_t Count) TARVEL_CRT_NAME(Wcsncpy);
wchar_t* wcscat(wchar_t* Destination, const wchar_t* Source) TARVEL_CRT_NAME(Wcscat);
wchar_t* wcsncat(wchar_t* Destination, const wchar_t* Source, size_t Count) TARVEL_CRT_NAME(Wcsncat);
int wcscmp(const wchar_t* String1, const wchar_t* String2) TARVEL_CRT_NAME(Wcscmp);
int wcsncmp(const wchar_t* String1, const wchar_t* String2, size_t Count) TARVEL_CRT_NAME(Wcsncmp);
int _wcsicmp(const wchar_t* String1, const wchar_t* String2) TARVEL_CRT_NAME(Wcsicmp);
int _wcsnicmp(const wchar_t* String1, const wchar_t* String2, size_t Count) TARVEL_CRT_NAME(Wcsnicmp);
int NTAPI _snwprintf(wchar_t* Buffer, size_t Count, const wchar_t* Format, ...) TARVEL_CRT_NAME(Snwprintf);
int NTAPI _vsnwprintf(wchar_t* Buffer, size_t Count, const wchar_t* Format, __builtin_ms_va_list Arguments)
    TARVEL_CRT_NAME(Vsnwprintf);
}

// The platform's swprintf and vswprintf take no buffer size; they overload the host's sized ones.
extern "C++" {
int NTAPI swprintf(wchar_t* Buffer, const wchar_t* Format, ...) TARVEL_CRT_NAME(Swprintf);
int NTAPI vswprintf(wchar_t* Buffer, const wchar_t* Format, __builtin_ms_va_list Arguments) TARVEL_CRT_NAME(Vswprintf);
}

#undef TARVEL_CRT_NAME
