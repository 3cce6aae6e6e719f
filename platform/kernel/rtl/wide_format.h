// The formatting engine behind the kernel's swprintf family, with the platform's (LLP64) meaning of
// the size prefixes: "l" is 32 bits, "ll", "I64" and "I" (on x64) are 64 bits; "%s" and "%c" are wide
// in the wide functions, "%S"/"%C"/"%hs"/"%hc" 8-bit, "%ws"/"%ls"/"%wc"/"%lc" wide; "%Z"/"%wZ" take a
// counted string. Flags - + space # 0, width and precision (also as *).
#pragma once

#include <wdm.h>

#include <cstdarg>
#include <string>

namespace tarvel::rtl {

std::u16string FormatWide(const WCHAR* format, __builtin_ms_va_list args);

}  // namespace tarvel::rtl
