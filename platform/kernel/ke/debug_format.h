// printf-style formatting with the platform's conventions for debug output: %ws/%ls/%S take a 16-bit
// wide string, %wZ a UNICODE_STRING, %Z an ANSI_STRING, %wc/%C a wide character, %I64d/%I64x 64-bit.
#pragma once

#include <cstdarg>
#include <string>

namespace tarvel::kernel::ke {
std::string FormatDebugString(const char* format, __builtin_ms_va_list arguments);
}
