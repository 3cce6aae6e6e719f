// Wide-character helpers of the emulated kernel. WCHAR is 16 bits here while the host C library's
// wchar_t functions work on 32-bit characters, so the kernel never calls them: every wide string
// operation of the platform goes through these helpers, and platform-side copies of names are kept as
// std::u16string.
#pragma once

#include <wdm.h>

#include <string>
#include <string_view>

namespace tarvel::rtl {

std::size_t WideLength(const WCHAR* text);
WCHAR Upcase(WCHAR c);

std::u16string ToU16(const WCHAR* text);               // up to the terminating zero; empty for nullptr
std::u16string ToU16(const WCHAR* text, std::size_t count);
std::u16string ToU16(const UNICODE_STRING* text);      // Length bytes; empty for nullptr
std::u16string ToU16(std::string_view utf8);
std::string ToUtf8(std::u16string_view text);

std::u16string Upcased(std::u16string_view text);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);
bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix);

// Copies text (without terminator) to dest element by element; returns dest + text.size().
WCHAR* CopyOut(WCHAR* dest, std::u16string_view text);

// A counted string whose buffer comes from paged pool with the given tag (freed with
// RtlFreeUnicodeString / ExFreePool): Length = text, MaximumLength = text + terminator.
NTSTATUS AllocateUnicodeString(UNICODE_STRING* out, std::u16string_view text, ULONG tag);

}  // namespace tarvel::rtl
